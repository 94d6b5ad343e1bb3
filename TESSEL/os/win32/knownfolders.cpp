// The seam's known folders and protected system files over Win32: the
// shell's register of known folders (IKnownFolderManager), and Windows File
// Protection's question, both looked up at run time so that a system
// without them still runs this program.
#include <windows.h>
#include <initguid.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstring>

#include "os.h"

namespace {

// A wide path in the ANSI code page the rest of the program speaks; false
// when it has no such form.
bool Narrow(const wchar_t* wide, char* out, int capacity) {
  BOOL lossy = FALSE;
  int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, capacity, nullptr, &lossy);
  return length > 0 && !lossy;
}

}  // namespace

int OsKnownFolders(void (*visit)(void* context, const char* path), void* context) {
  HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IKnownFolderManager* manager = nullptr;
  int listed = 0;
  if (SUCCEEDED(CoCreateInstance(CLSID_KnownFolderManager, nullptr, CLSCTX_INPROC_SERVER, IID_IKnownFolderManager,
                                 reinterpret_cast<void**>(&manager)))) {
    KNOWNFOLDERID* ids = nullptr;
    UINT count = 0;
    if (SUCCEEDED(manager->GetFolderIds(&ids, &count))) {
      listed = 1;
      for (UINT i = 0; i < count; ++i) {
        // The user's folder, and the one every user shares.
        PWSTR wide = nullptr;
        if (SUCCEEDED(SHGetKnownFolderPath(ids[i], KF_FLAG_DONT_VERIFY, nullptr, &wide)) && wide) {
          char path[kOsFinalPathRoom];
          if (Narrow(wide, path, sizeof path)) visit(context, path);
        }
        CoTaskMemFree(wide);
        wide = nullptr;
        HANDLE everyone = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
        if (SUCCEEDED(SHGetKnownFolderPath(ids[i], KF_FLAG_DONT_VERIFY, everyone, &wide)) && wide) {
          char path[kOsFinalPathRoom];
          if (Narrow(wide, path, sizeof path)) visit(context, path);
        }
        CoTaskMemFree(wide);
      }
      CoTaskMemFree(ids);
    }
    manager->Release();
  }
  if (SUCCEEDED(started)) CoUninitialize();
  return listed;
}

int OsSystemProtectsFile(const char* path) {
  char library[MAX_PATH];
  UINT length = GetSystemDirectoryA(library, sizeof library);
  if (length == 0 || length + 10 >= sizeof library) return 0;
  std::strcat(library, "\\sfc.dll");
  HMODULE sfc = LoadLibraryExA(library, nullptr, 0);
  if (sfc == nullptr) return 0;
  using Question = BOOL(WINAPI*)(HANDLE, LPCWSTR);
  Question protects = reinterpret_cast<Question>(reinterpret_cast<void*>(GetProcAddress(sfc, "SfcIsFileProtected")));
  wchar_t wide[MAX_PATH];
  int result = 0;
  if (protects && MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, MAX_PATH) > 0)
    result = protects(nullptr, wide) ? 1 : 0;
  FreeLibrary(sfc);
  return result;
}
