// A DLL planted where a careless program would load it from: named like a
// system DLL (comctl32.dll, version.dll, ...), it records being loaded by
// appending a line to the file that PLANT_RECORD names. It exports the
// common-controls start-up so that a program importing those names would
// load it and run on, as a real planted DLL would.
#include <windows.h>

#include <cstring>

namespace {

void Record(HINSTANCE module) {
  char record[MAX_PATH] = {};
  if (GetEnvironmentVariableA("PLANT_RECORD", record, sizeof record) == 0) return;
  char line[2 * MAX_PATH + 32] = "loaded ";
  GetModuleFileNameA(module, line + std::strlen(line), MAX_PATH);
  std::strcat(line, " into ");
  GetModuleFileNameA(nullptr, line + std::strlen(line), MAX_PATH);
  std::strcat(line, "\r\n");
  HANDLE file = CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Record(module);
  return TRUE;
}

extern "C" __declspec(dllexport) BOOL WINAPI InitCommonControlsEx(const void*) { return TRUE; }
extern "C" __declspec(dllexport) void WINAPI InitCommonControls() {}
