// The seam's host stand-ins for the relaunch's private copy: fresh names,
// the exclusive copy, links, programs in use and removal at restart.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "machine.h"
#include "os.h"

namespace host {
void SetLastErrorFromErrno(int error);
void SetLastErrorCode(std::uint32_t code);
}  // namespace host

namespace {

// Whether a running process has the host file as its program.
bool RunByAProcess(const std::string& hostPath) {
  struct stat wanted = {};
  if (stat(hostPath.c_str(), &wanted) != 0) return false;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(processes)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    struct stat running = {};
    std::string exe = std::string("/proc/") + entry->d_name + "/exe";
    if (stat(exe.c_str(), &running) == 0 && running.st_dev == wanted.st_dev && running.st_ino == wanted.st_ino) {
      found = true;
      break;
    }
  }
  closedir(processes);
  return found;
}

}  // namespace

// The host has no DLL search to restrict: libraries are loaded by path.
int OsRestrictLibrarySearch() { return 1; }

std::uint32_t OsFreshNumber() {
  static std::random_device device;
  return static_cast<std::uint32_t>(device());
}

int OsCopyFileNew(const char* from, const char* to) {
  OsCountFileSystemCall();
  std::string source = host::HostPath(from);
  std::string target = host::HostPath(to);
  int in = open(source.c_str(), O_RDONLY);
  if (in < 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  struct stat info = {};
  fstat(in, &info);
  // O_EXCL with O_NOFOLLOW: fails on anything at the name, a link included.
  int out = open(target.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY, 0600);
  if (out < 0) {
    host::SetLastErrorFromErrno(errno);
    close(in);
    return 0;
  }
  static char buffer[65536];
  int error = 0;
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0) error = errno;
    if (got <= 0) break;
    if (write(out, buffer, static_cast<std::size_t>(got)) != got) {
      error = errno ? errno : ENOSPC;
      break;
    }
  }
  if (error == 0 && fchmod(out, info.st_mode & 0700) != 0) error = errno;
  close(in);
  if (close(out) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(target.c_str());
    host::SetLastErrorFromErrno(error);
    return 0;
  }
  return 1;
}

int OsIsLink(const char* path) {
  OsCountFileSystemCall();
  struct stat info = {};
  return lstat(host::HostPath(path).c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Linux lets a running program's file go; Windows does not, so the stand-in
// looks for a process running it first.
int OsDeleteIdleProgram(const char* path) {
  OsCountFileSystemCall();
  std::string file = host::HostPath(path);
  if (RunByAProcess(file)) {
    host::SetLastErrorCode(kErrorSharingViolation);
    return 0;
  }
  if (unlink(file.c_str()) != 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

// As Windows keeps it: pairs of "\??\<path>" and an empty destination in the
// machine's pending-operations value.
int OsDeleteAtRestart(const char* path) {
  OsCountFileSystemCall();
  const char* sessionManager = "System\\CurrentControlSet\\Control\\Session Manager";
  const char* valueName = "PendingFileRenameOperations";
  OsKey key = 0;
  std::uint32_t error = OsRegCreateKey(kHkeyLocalMachine, sessionManager, &key);
  if (error != kErrorSuccess) {
    host::SetLastErrorCode(error);
    return 0;
  }
  std::string pending;
  for (std::uint32_t index = 0;; ++index) {
    char name[64];
    static unsigned char data[65536];
    std::uint32_t nameLength = sizeof name;
    std::uint32_t dataLength = sizeof data;
    std::uint32_t type = 0;
    if (OsRegEnumValue(key, index, name, &nameLength, &type, data, &dataLength) != kErrorSuccess) break;
    if (std::strcmp(name, valueName) == 0 && type == kRegMultiSz) {
      pending.assign(reinterpret_cast<char*>(data), dataLength);
      // Without the list's closing terminator.
      if (!pending.empty() && pending.back() == '\0') pending.pop_back();
      break;
    }
  }
  pending += std::string("\\??\\") + path + '\0' + '\0' + '\0';
  error = OsRegSetValue(key, valueName, kRegMultiSz, pending.data(), static_cast<std::uint32_t>(pending.size()));
  OsRegCloseKey(key);
  if (error != kErrorSuccess) {
    host::SetLastErrorCode(error);
    return 0;
  }
  return 1;
}
