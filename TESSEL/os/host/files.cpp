// The seam's host stand-ins: folder listing and removal, libraries (shared
// objects), the shell (programs started directly).
#include <dirent.h>
#include <dlfcn.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "machine.h"
#include "os.h"

extern char** environ;

namespace host {
void SetLastErrorFromErrno(int error);
void SetLastErrorCode(std::uint32_t code);
}  // namespace host

int OsListFolder(const char* folder, void (*visit)(void*, const char*, int), void* context) {
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
  if (rmdir(host::HostPath(path).c_str()) != 0) {
    host::SetLastErrorFromErrno(errno == EEXIST ? ENOTEMPTY : errno);
    return 0;
  }
  return 1;
}

int OsCreateFolder(const char* path) {
  if (mkdir(host::HostPath(path).c_str(), 0755) != 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  return 1;
}

int OsFileExists(const char* path) {
  struct stat info = {};
  return stat(host::HostPath(path).c_str(), &info) == 0;
}

namespace {

// "C:\..." or "\\server\...": the only names a library is loaded by.
bool IsFullWindowsPath(const char* path) {
  bool drive = ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
               (path[2] == '\\' || path[2] == '/');
  bool unc = (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/');
  return drive || unc;
}

}  // namespace

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
int OsShellExecute(const char*, const char* file, const char* parameters, int, OsHandle* process) {
  *process = 0;
  std::string program = host::HostPath(file);
  std::string arguments = parameters ? parameters : "";
  std::string shell = "exec \"$0\" " + arguments;
  const char* argv[] = {"/bin/sh", "-c", shell.c_str(), program.c_str(), nullptr};
  if (access(program.c_str(), X_OK) != 0) {
    host::SetLastErrorCode(kErrorFileNotFound);
    return 0;
  }
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
