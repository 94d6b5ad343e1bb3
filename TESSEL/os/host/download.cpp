// The seam's host stand-ins for what the update's download needs besides
// the sockets: a clock, the free space, a new file, the replacing rename
// and the check that a file is a program. Changes go through
// host::MayChange first, as every change of the machine does.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "machine.h"
#include "os.h"

namespace host {
void SetLastErrorFromErrno(int error);
}  // namespace host

std::uint64_t OsTickCount() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

int OsFreeSpace(const char* folder, std::uint64_t* bytes) {
  struct statvfs volume = {};
  if (statvfs(host::HostPath(folder).c_str(), &volume) != 0) return 0;
  *bytes = static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
  return 1;
}

std::FILE* OsCreateNewFile(const char* path) {
  OsCountFileSystemCall();
  std::string target = host::HostPath(path);
  if (!host::MayChange(target, false)) return nullptr;
  int descriptor = open(target.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (descriptor < 0) {
    host::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  std::FILE* stream = fdopen(descriptor, "wb");
  if (stream == nullptr) {
    host::SetLastErrorFromErrno(errno);
    close(descriptor);
  }
  return stream;
}

int OsReplaceFile(const char* from, const char* to) {
  OsCountFileSystemCall();
  std::string source = host::HostPath(from);
  std::string target = host::HostPath(to);
  if (!host::MayChange(source, false) || !host::MayChange(target, false)) return 0;
  if (rename(source.c_str(), target.c_str()) != 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

int OsIsProgramFile(const char* path) {
  std::FILE* file = std::fopen(host::HostPath(path).c_str(), "rb");
  if (file == nullptr) return 0;
  unsigned char head[4] = {};
  std::size_t read = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  bool elf = read == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
  bool script = read >= 2 && head[0] == '#' && head[1] == '!';
  return elf || script ? 1 : 0;
}
