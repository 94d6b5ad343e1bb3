// The seam's system folders over Win32.
#include <windows.h>

#include "os.h"

namespace {

// A folder answer that filled the buffer was cut: report it as a failure.
std::uint32_t Checked(UINT length, char* out, std::uint32_t capacity) {
  if (length == 0 || length >= capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  return length;
}

}  // namespace

std::uint32_t OsWindowsFolder(char* out, std::uint32_t capacity) {
  return Checked(GetWindowsDirectoryA(out, capacity), out, capacity);
}

std::uint32_t OsSystemFolder(char* out, std::uint32_t capacity) {
  return Checked(GetSystemDirectoryA(out, capacity), out, capacity);
}

std::uint32_t OsCurrentFolder(char* out, std::uint32_t capacity) {
  return Checked(GetCurrentDirectoryA(capacity, out), out, capacity);
}

int OsSetCurrentFolder(const char* path) {
  OsCountFileSystemCall();
  return SetCurrentDirectoryA(path) != 0;
}
