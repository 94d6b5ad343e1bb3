// The seam over Win32: what the update's download needs besides the
// sockets: a clock, the free space, a new file, the replacing rename and the
// check that a file is a program.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "os.h"

std::uint64_t OsTickCount() { return GetTickCount64(); }

int OsFreeSpace(const char* folder, std::uint64_t* bytes) {
  ULARGE_INTEGER available = {};
  if (!GetDiskFreeSpaceExA(folder, &available, nullptr, nullptr)) return 0;
  *bytes = available.QuadPart;
  return 1;
}

std::FILE* OsCreateNewFile(const char* path) {
  OsCountFileSystemCall();
  // CREATE_NEW fails on anything of the name, a link included.
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_WRONLY);
  if (descriptor < 0) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, "wb");
  if (stream == nullptr) _close(descriptor);
  return stream;
}

int OsReplaceFile(const char* from, const char* to) {
  OsCountFileSystemCall();
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

int OsIsProgramFile(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  // "MZ", and at the offset in its field 0x3C the "PE\0\0" of an image.
  unsigned char head[64] = {};
  unsigned char pe[4] = {};
  DWORD read = 0;
  bool program =
      ReadFile(file, head, sizeof head, &read, nullptr) && read == sizeof head && head[0] == 'M' && head[1] == 'Z';
  if (program) {
    LONG offset =
        static_cast<LONG>(head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | static_cast<DWORD>(head[0x3F]) << 24);
    program = offset >= 0x40 && SetFilePointer(file, offset, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
              ReadFile(file, pe, sizeof pe, &read, nullptr) && read == sizeof pe && pe[0] == 'P' && pe[1] == 'E' &&
              pe[2] == 0 && pe[3] == 0;
  }
  CloseHandle(file);
  return program ? 1 : 0;
}
