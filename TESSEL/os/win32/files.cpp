// The seam over Win32: folder listing and removal, libraries, the shell.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>

#include "os.h"

namespace {

bool IsDotEntry(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

// "folder\*" for FindFirstFile; 0 when it would not fit.
bool Pattern(const char* folder, char* out, std::size_t capacity) {
  std::size_t length = std::strlen(folder);
  bool separator = length > 0 && (folder[length - 1] == '\\' || folder[length - 1] == '/');
  std::size_t needed = length + (separator ? 1 : 2) + 1;
  if (needed > capacity) return false;
  std::memcpy(out, folder, length);
  if (!separator) out[length++] = '\\';
  out[length++] = '*';
  out[length] = '\0';
  return true;
}

}  // namespace

int OsListFolder(const char* folder, void (*visit)(void*, const char*, int), void* context) {
  OsCountFileSystemCall();
  char pattern[MAX_PATH + 4];
  if (!Pattern(folder, pattern, sizeof pattern)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  do {
    if (!IsDotEntry(found.cFileName) && visit)
      visit(context, found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return 1;
}

std::int32_t OsCountFolderEntries(const char* folder) {
  std::int32_t count = 0;
  auto counter = [](void* context, const char*, int) { ++*static_cast<std::int32_t*>(context); };
  if (!OsListFolder(folder, counter, &count)) return -1;
  return count;
}

int OsRemoveFolder(const char* path) {
  OsCountFileSystemCall();
  return RemoveDirectoryA(path) != 0;
}
int OsCreateFolder(const char* path) {
  OsCountFileSystemCall();
  return CreateDirectoryA(path, nullptr) != 0;
}
int OsFileExists(const char* path) {
  OsCountFileSystemCall();
  return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool LibrarySearchRestricted();

namespace {

// "C:\..." or "\\server\share\...": a name the loader takes as it stands
// rather than searching folders for it.
bool IsFullPath(const char* path) {
  bool drive =
      ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  bool unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
  return drive || unc;
}

}  // namespace

OsHandle OsLoadLibrary(const char* path, std::uint32_t flags) {
  // A bare or relative name would be searched for, in folders others may
  // write to: only a full path is loaded.
  if (!IsFullPath(path)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  // Under a restricted search the DLL's own dependencies come from its
  // folder and the system folder, never from the current folder or PATH.
  if (LibrarySearchRestricted() && (flags & LOAD_WITH_ALTERED_SEARCH_PATH)) {
    flags &= ~static_cast<std::uint32_t>(LOAD_WITH_ALTERED_SEARCH_PATH);
    flags |= LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
  }
  return reinterpret_cast<OsHandle>(LoadLibraryExA(path, nullptr, flags));
}

void* OsLibraryEntry(OsHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void OsFreeLibrary(OsHandle library) { FreeLibrary(reinterpret_cast<HMODULE>(library)); }

int OsProgramsFolder(char* out, std::uint32_t capacity) {
  if (capacity == 0) return 0;
  out[0] = '\0';
  LPITEMIDLIST items = nullptr;
  if (SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &items) != S_OK || items == nullptr) return 0;
  char path[MAX_PATH] = {};
  BOOL ok = SHGetPathFromIDListA(items, path);
  CoTaskMemFree(items);
  std::size_t length = std::strlen(path);
  if (!ok || length == 0 || length + 1 > capacity) return 0;
  std::memcpy(out, path, length + 1);
  return 1;
}

int OsShellExecute(const char* verb, const char* file, const char* parameters, int showCommand, OsHandle* process) {
  SHELLEXECUTEINFOA request = {};
  request.cbSize = sizeof request;
  request.fMask = SEE_MASK_NOCLOSEPROCESS;
  request.lpVerb = verb;
  request.lpFile = file;
  request.lpParameters = parameters;
  request.nShow = showCommand;
  *process = 0;
  if (!ShellExecuteExA(&request)) return 0;
  *process = reinterpret_cast<OsHandle>(request.hProcess);
  return 1;
}

std::uint32_t OsWaitForProcess(OsHandle process, std::uint32_t milliseconds) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(process), milliseconds);
}

int OsProcessExitCode(OsHandle process, std::uint32_t* code) {
  DWORD value = 0;
  if (!GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &value)) return 0;
  *code = value;
  return 1;
}
