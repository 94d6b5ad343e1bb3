// The seam over Win32: the library search, and the files of the relaunch's
// private copy (fresh names, the exclusive copy, its removal).
#include <windows.h>

#include "os.h"

namespace {

bool g_searchRestricted = false;

}  // namespace

// Used by the library loader: whether a DLL loaded by full path may take
// its dependencies from its own folder and the system folder only.
bool LibrarySearchRestricted() { return g_searchRestricted; }

int OsRestrictLibrarySearch() {
  // SetDefaultDllDirectories is missing before Windows 7 with KB2533623:
  // look it up instead of importing it, so the program still starts there.
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto restrict = kernel ? reinterpret_cast<SetDefaultDllDirectoriesProc>(
                               reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
                         : nullptr;
  if (restrict&& restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    g_searchRestricted = true;
    return 1;
  }
  // Older systems: at least take the current folder out of the search.
  using SetDllDirectoryProc = BOOL(WINAPI*)(LPCSTR);
  auto clear =
      kernel
          ? reinterpret_cast<SetDllDirectoryProc>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")))
          : nullptr;
  return clear && clear("") ? 1 : 0;
}

std::uint32_t OsFreshNumber() {
  static LONG counter = 0;
  LARGE_INTEGER now = {};
  QueryPerformanceCounter(&now);
  std::uint32_t mixed = static_cast<std::uint32_t>(now.LowPart) ^ (static_cast<std::uint32_t>(now.HighPart) << 7);
  mixed ^= GetCurrentProcessId() * 2654435761u;
  mixed ^= GetTickCount() << 13;
  mixed += static_cast<std::uint32_t>(InterlockedIncrement(&counter)) * 0x9E3779B9u;
  // A last avalanche so that neighbouring inputs give distant names.
  mixed ^= mixed >> 16;
  mixed *= 0x7FEB352Du;
  mixed ^= mixed >> 15;
  return mixed;
}

int OsCopyFileNew(const char* from, const char* to) {
  OsCountFileSystemCall();
  HANDLE source =
      CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source == INVALID_HANDLE_VALUE) return 0;
  // CREATE_NEW fails on anything already at the name, a link included (a
  // dangling link too), so the copy is never written through one.
  HANDLE target =
      CreateFileA(to, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CloseHandle(source);
    SetLastError(error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error);
    return 0;
  }
  static char buffer[65536];
  DWORD error = ERROR_SUCCESS;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(source, buffer, sizeof buffer, &got, nullptr)) {
      error = GetLastError();
      break;
    }
    if (got == 0) break;
    DWORD written = 0;
    if (!WriteFile(target, buffer, got, &written, nullptr) || written != got) {
      error = GetLastError();
      if (error == ERROR_SUCCESS) error = ERROR_DISK_FULL;
      break;
    }
  }
  CloseHandle(source);
  if (!CloseHandle(target) && error == ERROR_SUCCESS) error = GetLastError();
  if (error != ERROR_SUCCESS) {
    DeleteFileA(to);
    SetLastError(error);
    return 0;
  }
  return 1;
}

int OsIsLink(const char* path) {
  OsCountFileSystemCall();
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The system keeps a running program's file from being deleted.
int OsDeleteIdleProgram(const char* path) {
  OsCountFileSystemCall();
  return DeleteFileA(path) != 0;
}

int OsDeleteAtRestart(const char* path) {
  OsCountFileSystemCall();
  return MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}
