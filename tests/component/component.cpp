// A self-registering component for the tests and the demo. Its entry points
// record that they ran: each appends its name to the file that the
// environment variable COMPONENT_RECORD names, or else to "<library>.log"
// beside the library. Built in three forms: the normal one, one whose entry points
// report failure (COMPONENT_FAILS) and one without entry points
// (COMPONENT_WITHOUT_ENTRY_POINTS).
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#define COMPONENT_EXPORT extern "C" __declspec(dllexport)
#define COMPONENT_CALL __stdcall
using Status = long;
static HINSTANCE g_module;
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module = module;
  return TRUE;
}
static std::string ModulePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(g_module, path, sizeof path);
  return path;
}
#else
#include <dlfcn.h>
#define COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#define COMPONENT_CALL
using Status = int;
static std::string ModulePath() {
  Dl_info info = {};
  dladdr(reinterpret_cast<void*>(&ModulePath), &info);
  return info.dli_fname ? info.dli_fname : "component";
}
#endif

#include <cstdlib>

static Status Record(const char* what) {
  const char* chosen = std::getenv("COMPONENT_RECORD");
  std::string record = chosen && *chosen ? std::string(chosen) : ModulePath() + ".log";
  std::FILE* log = std::fopen(record.c_str(), "a");
  if (log) {
    std::fprintf(log, "%s\n", what);
    std::fclose(log);
  }
#if defined(COMPONENT_FAILS)
  return -2147467259;  // E_FAIL
#else
  return 1;  // S_FALSE: a positive status still counts as success
#endif
}

#if !defined(COMPONENT_WITHOUT_ENTRY_POINTS)
COMPONENT_EXPORT Status COMPONENT_CALL DllRegisterServer() { return Record("DllRegisterServer"); }
COMPONENT_EXPORT Status COMPONENT_CALL DllUnregisterServer() { return Record("DllUnregisterServer"); }
#else
COMPONENT_EXPORT int COMPONENT_CALL ComponentVersion() { return Record("ComponentVersion") ? 1 : 0; }
#endif
