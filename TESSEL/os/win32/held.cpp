// The seam over Win32: the update's installer held from its download to
// its start. It is written through a handle that shares nothing; then read,
// renamed and started while one handle that shares reading only is held,
// so that nobody can write, rename or delete it in between.
#include <windows.h>

#include <cstring>
#include <vector>

#include "os.h"

namespace {

HANDLE Handle(const OsHeldFile* file) { return reinterpret_cast<HANDLE>(file->handle); }

bool Identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) { return GetFileInformationByHandle(handle, info) != 0; }

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

bool Wide(const char* text, std::vector<wchar_t>* wide) {
  int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 0) return false;
  wide->assign(static_cast<std::size_t>(length), L'\0');
  return MultiByteToWideChar(CP_ACP, 0, text, -1, wide->data(), length) == length;
}

}  // namespace

int OsHeldCreate(const char* path, OsHeldFile* file) {
  OsCountFileSystemCall();
  *file = OsHeldFile();
  if (std::strlen(path) >= sizeof file->path) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  // CREATE_NEW fails on anything of the name, a link included; sharing
  // nothing keeps every other opener out while the bytes arrive.
  HANDLE handle =
      CreateFileA(path, GENERIC_WRITE | GENERIC_READ | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  file->handle = reinterpret_cast<std::intptr_t>(handle);
  std::strcpy(file->path, path);
  return 1;
}

int OsHeldWrite(OsHeldFile* file, const void* data, std::uint32_t length) {
  const char* at = static_cast<const char*>(data);
  while (length > 0) {
    DWORD written = 0;
    if (file->sealed || !WriteFile(Handle(file), at, length, &written, nullptr) || written == 0) return 0;
    at += written;
    length -= written;
  }
  return 1;
}

int OsHeldSeal(OsHeldFile* file) {
  OsCountFileSystemCall();
  if (file->handle == -1 || file->sealed) return 0;
  // No handle can turn from writing to sharing reading only, so the file is
  // opened again by its name; it must be the one written (the same
  // identity), and whatever it holds then is what is read and hashed.
  BY_HANDLE_FILE_INFORMATION written = {};
  bool known = Identity(Handle(file), &written) && FlushFileBuffers(Handle(file));
  CloseHandle(Handle(file));
  file->handle = -1;
  if (!known) return 0;
  HANDLE held = CreateFileA(file->path, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 0;
  file->handle = reinterpret_cast<std::intptr_t>(held);
  BY_HANDLE_FILE_INFORMATION now = {};
  if (!Identity(held, &now) || !SameFile(written, now) ||
      (now.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    SetLastError(ERROR_FILE_INVALID);
    return 0;
  }
  file->sealed = true;
  return 1;
}

std::int32_t OsHeldRead(OsHeldFile* file, std::uint64_t offset, void* buffer, std::uint32_t length) {
  if (!file->sealed) return -1;
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!ReadFile(Handle(file), buffer, length, &read, &at)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return static_cast<std::int32_t>(read);
}

int OsHeldIsProgram(OsHeldFile* file) {
  // "MZ", and at the offset in its field 0x3C the "PE\0\0" of an image.
  unsigned char head[64] = {};
  unsigned char pe[4] = {};
  if (OsHeldRead(file, 0, head, sizeof head) != static_cast<std::int32_t>(sizeof head) || head[0] != 'M' ||
      head[1] != 'Z')
    return 0;
  std::uint32_t offset = static_cast<std::uint32_t>(head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16) |
                         static_cast<std::uint32_t>(head[0x3F]) << 24;
  return offset >= 0x40 && OsHeldRead(file, offset, pe, sizeof pe) == 4 && pe[0] == 'P' && pe[1] == 'E' && pe[2] == 0 &&
                 pe[3] == 0
             ? 1
             : 0;
}

int OsHeldRename(OsHeldFile* file, const char* to) {
  OsCountFileSystemCall();
  std::vector<wchar_t> name;
  if (!file->sealed || std::strlen(to) >= sizeof file->path || !Wide(to, &name)) return 0;
  std::size_t size = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
  std::vector<unsigned char> block(size, 0);
  FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>((name.size() - 1) * sizeof(wchar_t));
  std::memcpy(info->FileName, name.data(), name.size() * sizeof(wchar_t));
  if (!SetFileInformationByHandle(Handle(file), FileRenameInfo, info, static_cast<DWORD>(size))) return 0;
  std::strcpy(file->path, to);
  return 1;
}

int OsHeldRun(OsHeldFile* file, const char* parameters, OsHandle* process) {
  *process = 0;
  if (!file->sealed) return 0;
  // The program is started by its name; the hold keeps the file itself from
  // being written, renamed or replaced, and its name must still lead to it.
  BY_HANDLE_FILE_INFORMATION held = {};
  BY_HANDLE_FILE_INFORMATION named = {};
  HANDLE probe = CreateFileA(file->path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return 0;
  bool same = Identity(Handle(file), &held) && Identity(probe, &named) && SameFile(held, named);
  CloseHandle(probe);
  if (!same) {
    SetLastError(ERROR_FILE_INVALID);
    return 0;
  }
  return OsShellExecute("open", file->path, parameters, SW_SHOWDEFAULT, process);
}

int OsHeldDelete(OsHeldFile* file) {
  OsCountFileSystemCall();
  // A seal that failed has let go of the file: it goes by its name.
  if (file->handle == -1) return file->path[0] != '\0' && DeleteFileA(file->path) ? 1 : 0;
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  int deleted = SetFileInformationByHandle(Handle(file), FileDispositionInfo, &disposition, sizeof disposition) ? 1 : 0;
  OsHeldClose(file);
  return deleted;
}

void OsHeldClose(OsHeldFile* file) {
  if (file->handle != -1) CloseHandle(Handle(file));
  file->handle = -1;
  file->sealed = false;
}
