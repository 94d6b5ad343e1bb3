// The seam's host stand-ins: files and folders inside the machine's
// sandbox, libraries (shared objects), the shell (programs started
// directly). Every change goes through host::MayChange first; reads may go
// anywhere.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "machine.h"
#include "os.h"

extern char** environ;

namespace host {
void SetLastErrorFromErrno(int error);
void SetLastErrorCode(std::uint32_t code);
}  // namespace host

int OsListFolder(const char* folder, void (*visit)(void*, const char*, int), void* context) {
  OsCountFileSystemCall();
  std::string path = host::HostPath(folder);
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  while (dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (visit) {
      struct stat info = {};
      bool isFolder = stat((path + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
      visit(context, name, isFolder ? 1 : 0);
    }
  }
  closedir(listing);
  return 1;
}

std::int32_t OsCountFolderEntries(const char* folder) {
  OsCountFileSystemCall();
  std::string path = host::HostPath(folder);
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) {
    host::SetLastErrorFromErrno(errno);
    return -1;
  }
  std::int32_t count = 0;
  while (dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    ++count;
  }
  closedir(listing);
  return count;
}

int OsRemoveFolder(const char* path) {
  OsCountFileSystemCall();
  std::string target = host::HostPath(path);
  if (!host::MayChange(target, false)) return 0;
  if (rmdir(target.c_str()) != 0) {
    host::SetLastErrorFromErrno(errno == EEXIST ? ENOTEMPTY : errno);
    return 0;
  }
  return 1;
}

int OsCreateFolder(const char* path) {
  OsCountFileSystemCall();
  std::string target = host::HostPath(path);
  if (!host::MayChange(target, false)) return 0;
  if (mkdir(target.c_str(), 0755) != 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

int OsFileExists(const char* path) {
  OsCountFileSystemCall();
  struct stat info = {};
  return stat(host::HostPath(path).c_str(), &info) == 0;
}

namespace {

// "C:\..." or "\\server\...": the only names a library is loaded by.
bool IsFullWindowsPath(const char* path) {
  bool drive =
      ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  bool unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
  return drive || unc;
}

// The files this process made through the stand-ins below, by device and
// inode: a copy may overwrite those and no others.
std::mutex g_madeLock;
std::set<std::pair<dev_t, ino_t>> g_made;

void Made(int fd) {
  struct stat info = {};
  if (fstat(fd, &info) != 0) return;
  std::lock_guard<std::mutex> guard(g_madeLock);
  g_made.insert({info.st_dev, info.st_ino});
}

bool MadeHere(const struct stat& info) {
  std::lock_guard<std::mutex> guard(g_madeLock);
  return g_made.count({info.st_dev, info.st_ino}) != 0;
}

// A deleted file's inode may come back as someone else's file.
void Forget(const std::string& path) {
  struct stat info = {};
  if (lstat(path.c_str(), &info) != 0) return;
  std::lock_guard<std::mutex> guard(g_madeLock);
  g_made.erase({info.st_dev, info.st_ino});
}

// The copy's target: a new file, never through a link at its name, and an
// existing one only when this process made it. -1 with the last error set.
int OpenCopyTarget(const std::string& target, mode_t mode) {
  int out = open(target.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode);
  if (out >= 0) {
    Made(out);
    return out;
  }
  if (errno != EEXIST) {
    host::SetLastErrorFromErrno(errno);
    return -1;
  }
  struct stat info = {};
  if (lstat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !MadeHere(info)) {
    host::SetLastErrorCode(kErrorAccessDenied);
    return -1;
  }
  out = open(target.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  if (out < 0) host::SetLastErrorFromErrno(errno);
  return out;
}

bool Changes(const char* mode) { return std::strpbrk(mode, "wa+") != nullptr; }

}  // namespace

int OsTempFileName(const char* dir, const char* prefix, char* out) {
  OsCountFileSystemCall();
  std::string folder = dir;
  if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) folder += '\\';
  static unsigned counter = static_cast<unsigned>(getpid());
  for (int attempt = 0; attempt < 65536; ++attempt) {
    unsigned unique = (counter++ & 0xFFFFu);
    if (unique == 0) continue;
    char name[32];
    std::snprintf(name, sizeof name, "%.3s%X.tmp", prefix, unique);
    std::string path = folder + name;
    if (path.size() >= 260) {
      host::SetLastErrorCode(kErrorInvalidParameter);
      return 0;
    }
    std::string target = host::HostPath(path.c_str());
    if (!host::MayChange(target, false)) return 0;
    int fd = open(target.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) {
      Made(fd);
      close(fd);
      std::memcpy(out, path.c_str(), path.size() + 1);
      return 1;
    }
    if (errno != EEXIST) {
      host::SetLastErrorFromErrno(errno);
      return 0;
    }
  }
  host::SetLastErrorCode(kErrorAlreadyExists);
  return 0;
}

int OsCopyFile(const char* from, const char* to) {
  OsCountFileSystemCall();
  std::string source = host::HostPath(from);
  std::string target = host::HostPath(to);
  if (!host::MayChange(target, false)) return 0;
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  struct stat info = {};
  fstat(in, &info);
  int out = OpenCopyTarget(target, info.st_mode & 0777);
  if (out < 0) {
    close(in);
    return 0;
  }
  char buffer[65536];
  ssize_t n;
  bool ok = true;
  while ((n = read(in, buffer, sizeof buffer)) > 0) {
    if (write(out, buffer, static_cast<std::size_t>(n)) != n) {
      host::SetLastErrorFromErrno(errno);
      ok = false;
      break;
    }
  }
  fchmod(out, info.st_mode & 0777);
  close(in);
  close(out);
  return ok ? 1 : 0;
}

namespace {

// Windows keeps a file that a program holds open without sharing from being
// deleted. Its host stand-in: a file another process holds under an
// exclusive flock.
bool HeldByAnother(const std::string& target) {
  int file = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) return false;
  bool held = flock(file, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(file);
  return held;
}

}  // namespace

int OsDeleteFile(const char* path) {
  OsCountFileSystemCall();
  std::string target = host::HostPath(path);
  if (!host::MayChange(target, false)) return 0;
  if (HeldByAnother(target)) {
    host::SetLastErrorCode(kErrorSharingViolation);
    return 0;
  }
  Forget(target);
  if (std::remove(target.c_str()) != 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

std::FILE* OsOpenFile(const char* path, const char* mode) {
  OsCountFileSystemCall();
  std::string target = host::HostPath(path);
  if (Changes(mode) && !host::MayChange(target, true)) return nullptr;
  std::FILE* file = std::fopen(target.c_str(), mode);
  if (file == nullptr) host::SetLastErrorFromErrno(errno);
  return file;
}

int OsTruncateTextFile(const char* path) {
  std::string target = host::HostPath(path);
  if (!host::MayChange(target, true)) return 0;
  std::FILE* file = std::fopen(target.c_str(), "w");
  if (file == nullptr) return 0;
  std::fclose(file);
  return 1;
}

int OsAppendTextFile(const char* path, const char* text, std::size_t length) {
  std::string target = host::HostPath(path);
  if (!host::MayChange(target, true)) return 0;
  std::FILE* file = std::fopen(target.c_str(), "a");
  if (file == nullptr) return 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') std::fputc('\r', file);
    std::fputc(text[i], file);
  }
  std::fclose(file);
  return 1;
}

OsHandle OsLoadLibrary(const char* path, std::uint32_t) {
  if (!IsFullWindowsPath(path)) {
    host::SetLastErrorCode(kErrorModNotFound);
    return 0;
  }
  void* library = dlopen(host::HostPath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) host::SetLastErrorCode(kErrorModNotFound);
  return reinterpret_cast<OsHandle>(library);
}

void* OsLibraryEntry(OsHandle library, const char* name) {
  void* entry = dlsym(reinterpret_cast<void*>(library), name);
  if (entry == nullptr) host::SetLastErrorCode(kErrorProcNotFound);
  return entry;
}

void OsFreeLibrary(OsHandle library) { dlclose(reinterpret_cast<void*>(library)); }

int OsProgramsFolder(char* out, std::uint32_t capacity) {
  host::MachineRoot();
  std::string path = "C:\\users\\" + host::UserName() + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";
  if (capacity == 0 || path.size() + 1 > capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, path.c_str(), path.size() + 1);
  return 1;
}

// "open" on the host starts the program itself; documents are not opened.
namespace {

// The interpreter named by the "#!" line of a readable script; empty for
// any other file.
std::string ScriptInterpreter(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "";
  char line[256] = {};
  bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  if (!read || line[0] != '#' || line[1] != '!') return "";
  std::string interpreter = line + 2;
  while (!interpreter.empty() &&
         (interpreter.back() == '\n' || interpreter.back() == '\r' || interpreter.back() == ' '))
    interpreter.pop_back();
  if (interpreter.empty() || interpreter[0] != '/' || interpreter.find_first_of("'\"$`;|&<>") != std::string::npos)
    return "";
  return interpreter;
}

}  // namespace

int OsShellExecute(const char*, const char* file, const char* parameters, int, OsHandle* process) {
  *process = 0;
  std::string program = host::HostPath(file);
  std::string arguments = parameters ? parameters : "";
  std::string shell = "exec \"$0\" " + arguments;
  if (access(program.c_str(), X_OK) != 0) {
    // Windows runs a program's file whatever its permissions; here a
    // script the program wrote itself (a download) has no execute bit, so
    // its "#!" line names what runs it.
    std::string interpreter = ScriptInterpreter(program);
    if (interpreter.empty()) {
      host::SetLastErrorCode(kErrorFileNotFound);
      return 0;
    }
    shell = "exec " + interpreter + " \"$0\" " + arguments;
  }
  const char* argv[] = {"/bin/sh", "-c", shell.c_str(), program.c_str(), nullptr};
  pid_t pid = 0;
  int error = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
  if (error != 0) {
    host::SetLastErrorFromErrno(error);
    return 0;
  }
  *process = static_cast<OsHandle>(pid);
  return 1;
}

namespace {
struct Reaped {
  pid_t pid = 0;
  int status = 0;
};
Reaped g_reaped;
}  // namespace

std::uint32_t OsWaitForProcess(OsHandle process, std::uint32_t milliseconds) {
  pid_t pid = static_cast<pid_t>(process);
  if (g_reaped.pid == pid) return kWaitObject0;
  for (std::uint32_t waited = 0;; waited += 10) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      g_reaped = {pid, status};
      return kWaitObject0;
    }
    if (done < 0) return kWaitObject0;
    if (waited >= milliseconds) return kWaitTimeout;
    usleep(10000);
  }
}

int OsProcessExitCode(OsHandle process, std::uint32_t* code) {
  pid_t pid = static_cast<pid_t>(process);
  if (g_reaped.pid != pid || !WIFEXITED(g_reaped.status)) {
    host::SetLastErrorCode(kErrorInvalidHandle);
    return 0;
  }
  *code = static_cast<std::uint32_t>(WEXITSTATUS(g_reaped.status));
  return 1;
}
