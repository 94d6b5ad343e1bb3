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
#include <initializer_list>

#include "os.h"

namespace {

// A wide path in the ANSI code page the rest of the program speaks; false
// when it has no such form.
bool Narrow(const wchar_t* wide, char* out, int capacity) {
  BOOL lossy = FALSE;
  int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, out, capacity, nullptr, &lossy);
  return length > 0 && !lossy;
}

// The folder's path as the system gives it for the user (token 0) or for
// all users (-1); where the system gives none (Wine leaves some of them,
// the per-user program files among them, without one), its parent's path
// and the relative path the system's own definition of the folder names.
bool FolderPath(IKnownFolderManager* manager, REFKNOWNFOLDERID id, HANDLE token, int depth, wchar_t* out) {
  PWSTR wide = nullptr;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, token, &wide)) && wide) {
    bool fits = lstrlenW(wide) < MAX_PATH;
    if (fits) lstrcpyW(out, wide);
    CoTaskMemFree(wide);
    return fits;
  }
  CoTaskMemFree(wide);
  IKnownFolder* folder = nullptr;
  if (depth > 8 || FAILED(manager->GetFolder(id, &folder))) return false;
  KNOWNFOLDER_DEFINITION definition = {};
  bool found = false;
  if (SUCCEEDED(folder->GetFolderDefinition(&definition))) {
    wchar_t parent[MAX_PATH];
    found = definition.pszRelativePath && definition.pszRelativePath[0] && definition.fidParent != GUID_NULL &&
            FolderPath(manager, definition.fidParent, token, depth + 1, parent) &&
            lstrlenW(parent) + 1 + lstrlenW(definition.pszRelativePath) < MAX_PATH;
    if (found) {
      lstrcpyW(out, parent);
      lstrcatW(out, L"\\");
      lstrcatW(out, definition.pszRelativePath);
    }
    for (LPWSTR text :
         {definition.pszName, definition.pszDescription, definition.pszRelativePath, definition.pszParsingName,
          definition.pszTooltip, definition.pszLocalizedName, definition.pszIcon, definition.pszSecurity})
      CoTaskMemFree(text);
  }
  folder->Release();
  return found;
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
      // The user's folder, and the one every user shares.
      HANDLE tokens[] = {nullptr, reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1))};
      for (UINT i = 0; i < count; ++i) {
        for (HANDLE token : tokens) {
          wchar_t wide[MAX_PATH];
          char path[kOsFinalPathRoom];
          if (FolderPath(manager, ids[i], token, 0, wide) && Narrow(wide, path, sizeof path)) visit(context, path);
        }
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
