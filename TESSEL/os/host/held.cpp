// The seam's host stand-in for the update's held installer. No open keeps a
// writer of the same user out of a file here, so the file is copied, once
// written, into a sealed file in memory that nobody can change any more:
// that copy is read, hashed and started (through its descriptor), and the
// file in the folder is only what is kept for the product.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "machine.h"
#include "os.h"

extern char** environ;

namespace host {
void SetLastErrorFromErrno(int error);
}  // namespace host

namespace {

int Fail(int error) {
  host::SetLastErrorFromErrno(error);
  return 0;
}

bool CopyInto(int from, int to) {
  char block[65536];
  for (off_t at = 0;;) {
    ssize_t read = pread(from, block, sizeof block, at);
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return false;
    if (read == 0) return true;
    for (ssize_t done = 0; done < read;) {
      ssize_t written = write(to, block + done, static_cast<std::size_t>(read - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      done += written;
    }
    at += read;
  }
}

// The interpreter of a "#!" first line, read from the sealed copy; empty
// when there is none that can be named safely.
std::string Interpreter(OsHeldFile* file) {
  char line[256] = {};
  std::int32_t read = OsHeldRead(file, 0, line, sizeof line - 1);
  if (read < 2 || line[0] != '#' || line[1] != '!') return "";
  std::string interpreter(line + 2, static_cast<std::size_t>(read - 2));
  interpreter = interpreter.substr(0, interpreter.find('\n'));
  while (!interpreter.empty() && (interpreter.back() == '\r' || interpreter.back() == ' ')) interpreter.pop_back();
  if (interpreter.empty() || interpreter[0] != '/' || interpreter.find_first_of("'\"$`;|&<>") != std::string::npos)
    return "";
  return interpreter;
}

}  // namespace

int OsHeldCreate(const char* path, OsHeldFile* file) {
  OsCountFileSystemCall();
  *file = OsHeldFile();
  std::string target = host::HostPath(path);
  if (std::strlen(path) >= sizeof file->path) return Fail(ENAMETOOLONG);
  if (!host::MayChange(target, false)) return 0;
  int descriptor = open(target.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (descriptor < 0) return Fail(errno);
  file->handle = descriptor;
  std::strcpy(file->path, path);
  return 1;
}

int OsHeldWrite(OsHeldFile* file, const void* data, std::uint32_t length) {
  const char* at = static_cast<const char*>(data);
  while (length > 0) {
    if (file->sealed || file->handle < 0) return 0;
    ssize_t written = write(static_cast<int>(file->handle), at, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return Fail(errno);
    at += written;
    length -= static_cast<std::uint32_t>(written);
  }
  return 1;
}

int OsHeldSeal(OsHeldFile* file) {
  OsCountFileSystemCall();
  if (file->handle < 0 || file->sealed) return 0;
  int image = memfd_create("update-installer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (image < 0) return Fail(errno);
  file->image = image;
  if (!CopyInto(static_cast<int>(file->handle), image)) return Fail(errno ? errno : EIO);
  if (fcntl(image, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return Fail(errno);
  file->sealed = true;
  return 1;
}

std::int32_t OsHeldRead(OsHeldFile* file, std::uint64_t offset, void* buffer, std::uint32_t length) {
  if (!file->sealed) return -1;
  for (;;) {
    ssize_t read = pread(static_cast<int>(file->image), buffer, length, static_cast<off_t>(offset));
    if (read < 0 && errno == EINTR) continue;
    return read < 0 ? -1 : static_cast<std::int32_t>(read);
  }
}

int OsHeldIsProgram(OsHeldFile* file) {
  unsigned char head[4] = {};
  std::int32_t read = OsHeldRead(file, 0, head, sizeof head);
  bool elf = read == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
  bool script = read >= 2 && head[0] == '#' && head[1] == '!';
  return elf || script ? 1 : 0;
}

int OsHeldRename(OsHeldFile* file, const char* to) {
  OsCountFileSystemCall();
  std::string source = host::HostPath(file->path);
  std::string target = host::HostPath(to);
  if (!file->sealed || std::strlen(to) >= sizeof file->path) return Fail(EINVAL);
  if (!host::MayChange(source, false) || !host::MayChange(target, false)) return 0;
  if (rename(source.c_str(), target.c_str()) != 0) return Fail(errno);
  std::strcpy(file->path, to);
  return 1;
}

int OsHeldRun(OsHeldFile* file, const char* parameters, OsHandle* process) {
  *process = 0;
  if (!file->sealed) return Fail(EBADF);
  // The sealed copy itself is started: a descriptor without close-on-exec,
  // named through /proc/self/fd in the new process. A "#!" script is handed
  // to the interpreter its first line names.
  int image = fcntl(static_cast<int>(file->image), F_DUPFD, 10);
  if (image < 0) return Fail(errno);
  std::string name = "/proc/self/fd/" + std::to_string(image);
  std::string arguments = parameters ? parameters : "";
  std::string shell = "exec \"$0\" " + arguments;
  unsigned char head[4] = {};
  if (OsHeldRead(file, 0, head, 2) == 2 && head[0] == '#' && head[1] == '!') {
    std::string interpreter = Interpreter(file);
    if (interpreter.empty()) {
      close(image);
      return Fail(ENOEXEC);
    }
    shell = "exec " + interpreter + " \"$0\" " + arguments;
  }
  const char* argv[] = {"/bin/sh", "-c", shell.c_str(), name.c_str(), nullptr};
  pid_t pid = 0;
  int error = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
  close(image);
  if (error != 0) return Fail(error);
  *process = static_cast<OsHandle>(pid);
  return 1;
}

int OsHeldDelete(OsHeldFile* file) {
  OsCountFileSystemCall();
  std::string target = host::HostPath(file->path);
  int deleted = file->path[0] != '\0' && host::MayChange(target, false) && unlink(target.c_str()) == 0 ? 1 : 0;
  if (!deleted) host::SetLastErrorFromErrno(errno);
  OsHeldClose(file);
  return deleted;
}

void OsHeldClose(OsHeldFile* file) {
  if (file->handle >= 0) close(static_cast<int>(file->handle));
  if (file->image >= 0) close(static_cast<int>(file->image));
  file->handle = -1;
  file->image = -1;
  file->sealed = false;
}
