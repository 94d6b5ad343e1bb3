// The seam's system folders on the host machine: the Windows and system
// folders of the machine root's drive C:, and the process's current folder.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "machine.h"
#include "os.h"

namespace {

std::uint32_t Give(const std::string& folder, char* out, std::uint32_t capacity) {
  if (capacity == 0 || folder.size() + 1 > capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, folder.c_str(), folder.size() + 1);
  return static_cast<std::uint32_t>(folder.size());
}

}  // namespace

std::uint32_t OsWindowsFolder(char* out, std::uint32_t capacity) {
  host::MachineRoot();
  return Give("C:\\windows", out, capacity);
}

std::uint32_t OsSystemFolder(char* out, std::uint32_t capacity) {
  host::MachineRoot();
  return Give("C:\\windows\\system32", out, capacity);
}

std::uint32_t OsCurrentFolder(char* out, std::uint32_t capacity) {
  // As Windows gives it: no trailing '\' except at a drive's root.
  std::string folder = host::CurrentFolder();
  if (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return Give(folder, out, capacity);
}

int OsSetCurrentFolder(const char* path) {
  OsCountFileSystemCall();
  std::string hostPath = host::HostPath(path);
  char resolved[PATH_MAX];
  struct stat info = {};
  if (realpath(hostPath.c_str(), resolved) == nullptr || stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) return 0;
  if (chdir(resolved) != 0) return 0;
  std::string windows = host::WindowsPath(resolved);
  if (windows.back() != '\\') windows += '\\';
  host::CurrentFolder() = windows;
  return 1;
}
