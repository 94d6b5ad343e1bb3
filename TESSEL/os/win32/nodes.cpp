// The seam over Win32: files and folders by handle. A child is opened by
// its one name relative to its folder's handle (NtCreateFile with a root
// directory), so no name on the way can be swapped for a link between the
// check and the deletion, and deleted through the same handle.
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "os.h"

extern "C" {
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN,
                                    PUNICODE_STRING, BOOLEAN);
}

namespace {

constexpr ULONG kFileDirectoryFile = 0x00000001;
constexpr ULONG kFileSynchronousIoNonAlert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr ULONG kFileOpenForBackupIntent = 0x00004000;
constexpr ULONG kFileOpenReparsePoint = 0x00200000;
constexpr ULONG kFileOpen = 0x00000001;
constexpr ULONG kFileNamesInformation = 12;
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103L);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// "\\?\C:\a" to "C:\a", "\\?\UNC\server\share" to "\\server\share".
bool FinalPath(HANDLE handle, char* out, std::size_t capacity) {
  char path[1024];
  DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof path, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof path) return false;
  const char* text = path;
  char unc[1024];
  if (std::strncmp(path, "\\\\?\\UNC\\", 8) == 0) {
    unc[0] = '\\';
    std::strcpy(unc + 1, path + 7);
    text = unc;
  } else if (std::strncmp(path, "\\\\?\\", 4) == 0) {
    text = path + 4;
  }
  std::size_t size = std::strlen(text);
  // A drive root keeps its '\'; any other folder loses it.
  while (size > 3 && text[size - 1] == '\\') --size;
  if (size + 1 > capacity) return false;
  std::memcpy(out, text, size);
  out[size] = '\0';
  if (size == 2 && out[1] == ':' && capacity > 3) {
    out[2] = '\\';
    out[3] = '\0';
  }
  return true;
}

// The object name the system gives an open handle ("\\Device\\HarddiskVolume2\\a"
// on Windows, "\\??\\C:\\a" under Wine, which names where a followed link led):
// one call, where the final path takes several.
constexpr int kObjectNameInformation = 1;
bool ObjectName(HANDLE handle, wchar_t* out, std::size_t capacity) {
  alignas(8) unsigned char buffer[sizeof(UNICODE_STRING) + 2 * MAX_PATH * sizeof(wchar_t)];
  ULONG length = 0;
  if (NtQueryObject(handle, static_cast<OBJECT_INFORMATION_CLASS>(kObjectNameInformation), buffer, sizeof buffer,
                    &length) != 0)
    return false;
  UNICODE_STRING name;
  std::memcpy(&name, buffer, sizeof name);
  std::size_t count = name.Length / sizeof(wchar_t);
  if (name.Buffer == nullptr || count == 0 || count + 1 > capacity) return false;
  std::memcpy(out, name.Buffer, count * sizeof(wchar_t));
  out[count] = L'\0';
  return true;
}

// A folder's object name, kept in its node for its children.
void KeepObjectName(HANDLE handle, OsNode* node) {
  wchar_t name[kOsFinalPathRoom];
  if (!ObjectName(handle, name, kOsFinalPathRoom) ||
      WideCharToMultiByte(CP_UTF8, 0, name, -1, node->systemName, sizeof node->systemName, nullptr, nullptr) == 0)
    node->systemName[0] = '\0';
}

// Whether the file's handle is the entry of that name in its folder and
// nothing a link led to: its object name is the folder's and the name.
bool IsEntryOf(HANDLE handle, const OsNode* parent, const wchar_t* name) {
  wchar_t expected[kOsFinalPathRoom + MAX_PATH];
  int length =
      parent->systemName[0] ? MultiByteToWideChar(CP_UTF8, 0, parent->systemName, -1, expected, kOsFinalPathRoom) : 0;
  if (length <= 1) return false;
  std::size_t used = static_cast<std::size_t>(length - 1);
  if (expected[used - 1] != L'\\') expected[used++] = L'\\';
  std::size_t nameLength = std::wcslen(name);
  if (used + nameLength + 1 > sizeof expected / sizeof expected[0]) return false;
  std::memcpy(expected + used, name, (nameLength + 1) * sizeof(wchar_t));
  wchar_t actual[kOsFinalPathRoom + MAX_PATH];
  if (!ObjectName(handle, actual, sizeof actual / sizeof actual[0])) return false;
  return CompareStringOrdinal(actual, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

// Kind, reparse point and identity of an open handle.
bool Describe(HANDLE handle, OsNode* node) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return false;
  node->folder = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  node->link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  FILE_ID_INFO id = {};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
    node->id.volume = id.VolumeSerialNumber;
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::memcpy(&low, id.FileId.Identifier, 8);
    std::memcpy(&high, id.FileId.Identifier + 8, 8);
    node->id.index = low ^ (high * 0x9E3779B97F4A7C15ull);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(handle, &info)) return false;
  node->id.volume = info.dwVolumeSerialNumber;
  node->id.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

void Clear(OsNode* node) { std::memset(node, 0, sizeof *node); }

// FileDispositionInfoEx and its flag, which Windows 10 (1809) has and older
// systems' headers lack.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

// A read-only file refuses its deletion. Where the system can delete it
// regardless (FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE), nothing of it
// changes first; elsewhere (or where that still refuses) the attribute is
// cleared through the same handle, and set again when the deletion fails.
BOOL DeleteReadOnly(HANDLE handle, DWORD* error) {
  DWORD flags = kDispositionDelete | kDispositionIgnoreReadOnly;
  if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &flags, sizeof flags)) return TRUE;
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0)
    return FALSE;
  // Times left at zero stay as they are.
  FILE_BASIC_INFO writable = {};
  DWORD rest = basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  writable.FileAttributes = rest != 0 ? rest : FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(handle, FileBasicInfo, &writable, sizeof writable)) return FALSE;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) return TRUE;
  *error = GetLastError();
  FILE_BASIC_INFO original = {};
  original.FileAttributes = basic.FileAttributes;
  SetFileInformationByHandle(handle, FileBasicInfo, &original, sizeof original);
  return FALSE;
}

}  // namespace

int OsNodeOpen(const char* path, int removal, OsNode* node) {
  OsCountFileSystemCall();
  Clear(node);
  // Listed and opened below, and deleted when asked for; a file another
  // program keeps from being read is still opened for its identity.
  DWORD access = FILE_READ_ATTRIBUTES | SYNCHRONIZE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | (removal ? DELETE : 0);
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE handle = CreateFileA(path, access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE && !removal &&
      (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION))
    handle = CreateFileA(path, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  if (!Describe(handle, node) || !FinalPath(handle, node->finalPath, sizeof node->finalPath)) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error ? error : ERROR_INVALID_HANDLE);
    return 0;
  }
  if (node->folder) KeepObjectName(handle, node);
  node->handle = reinterpret_cast<OsHandle>(handle);
  node->changeable = 1;
  return 1;
}

int OsNodeOpenChild(const OsNode* parent, const char* name, int folder, OsNode* node) {
  OsCountFileSystemCall();
  Clear(node);
  wchar_t wide[MAX_PATH];
  int length = MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH);
  if (length <= 1 || std::strpbrk(name, "\\/") != nullptr) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  UNICODE_STRING text;
  text.Buffer = wide;
  text.Length = static_cast<USHORT>((length - 1) * sizeof(wchar_t));
  text.MaximumLength = static_cast<USHORT>(length * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, reinterpret_cast<HANDLE>(parent->handle),
                             nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  // A file also with the right to clear its read-only attribute before it
  // goes; where that right is refused, without it.
  ACCESS_MASK access = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES |
                       (folder ? FILE_LIST_DIRECTORY | FILE_TRAVERSE : FILE_WRITE_ATTRIBUTES);
  ULONG options = kFileSynchronousIoNonAlert | kFileOpenReparsePoint | kFileOpenForBackupIntent |
                  (folder ? kFileDirectoryFile : kFileNonDirectoryFile);
  NTSTATUS status =
      NtCreateFile(&handle, access, &attributes, &io, nullptr, 0, kShareAll, kFileOpen, options, nullptr, 0);
  if (status == kStatusAccessDenied && !folder)
    status = NtCreateFile(&handle, access & ~static_cast<ACCESS_MASK>(FILE_WRITE_ATTRIBUTES), &attributes, &io, nullptr,
                          0, kShareAll, kFileOpen, options, nullptr, 0);
  if (status != 0) {
    if (status == kStatusFileIsADirectory)
      SetLastError(kErrorDirectoryNotSupported);
    else if (status == kStatusNotADirectory)
      SetLastError(kErrorDirectory);
    else
      SetLastError(RtlNtStatusToDosError(status));
    return 0;
  }
  // A folder's identity, kind, final path and object name are asked once
  // per folder. A file that is its folder's entry of that name has its
  // folder's final path and its name; only one that is not (a link Wine
  // followed) needs its own final path asked, to tell where it leads.
  bool described = folder ? Describe(handle, node) : true;
  bool named = false;
  if (described && !folder && IsEntryOf(handle, parent, wide)) {
    std::size_t length = std::strlen(parent->finalPath);
    const char* separator = length > 0 && parent->finalPath[length - 1] == '\\' ? "" : "\\";
    int written = std::snprintf(node->finalPath, sizeof node->finalPath, "%s%s%s", parent->finalPath, separator, name);
    named = written > 0 && static_cast<std::size_t>(written) < sizeof node->finalPath;
  }
  if (!described || (!named && !FinalPath(handle, node->finalPath, sizeof node->finalPath))) {
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error ? error : ERROR_INVALID_HANDLE);
    return 0;
  }
  if (folder) KeepObjectName(handle, node);
  node->folder = folder ? 1 : 0;
  node->handle = reinterpret_cast<OsHandle>(handle);
  node->parent = parent->handle;
  node->changeable = 1;
  std::strncpy(node->name, name, sizeof node->name - 1);
  return 1;
}

std::int32_t OsNodeCountEntries(const OsNode* folder) {
  OsCountFileSystemCall();
  HANDLE handle = reinterpret_cast<HANDLE>(folder->handle);
  alignas(8) static unsigned char buffer[64 * 1024];
  std::int32_t count = 0;
  BOOLEAN restart = TRUE;
  for (;;) {
    IO_STATUS_BLOCK io = {};
    NTSTATUS status = NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer,
                                           kFileNamesInformation, FALSE, nullptr, restart);
    restart = FALSE;
    if (status == kStatusNoMoreFiles) return count;
    if (status != 0) {
      SetLastError(RtlNtStatusToDosError(status));
      return -1;
    }
    for (ULONG offset = 0;;) {
      const unsigned char* entry = buffer + offset;
      ULONG next = 0;
      ULONG nameLength = 0;
      std::memcpy(&next, entry, sizeof next);
      std::memcpy(&nameLength, entry + 8, sizeof nameLength);
      const wchar_t* name = reinterpret_cast<const wchar_t*>(entry + 12);
      bool dot = (nameLength == 2 && name[0] == L'.') || (nameLength == 4 && name[0] == L'.' && name[1] == L'.');
      if (!dot) ++count;
      if (next == 0) break;
      offset += next;
    }
  }
}

int OsNodeDelete(OsNode* node) {
  OsCountFileSystemCall();
  HANDLE handle = reinterpret_cast<HANDLE>(node->handle);
  FILE_DISPOSITION_INFO disposition = {TRUE};
  BOOL deleted = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
  DWORD error = deleted ? 0 : GetLastError();
  if (!deleted && error == ERROR_ACCESS_DENIED && !node->folder) deleted = DeleteReadOnly(handle, &error);
  CloseHandle(handle);
  node->handle = 0;
  if (!deleted) SetLastError(error);
  return deleted ? 1 : 0;
}

void OsNodeClose(OsNode* node) {
  if (node->handle) {
    OsCountFileSystemCall();
    CloseHandle(reinterpret_cast<HANDLE>(node->handle));
  }
  node->handle = 0;
}
