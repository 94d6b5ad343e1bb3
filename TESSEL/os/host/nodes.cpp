// The seam's host stand-ins for files and folders by handle: descriptors
// opened with O_NOFOLLOW, children opened and unlinked relative to their
// folder's descriptor, so a link is only ever removed as a link.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "machine.h"
#include "os.h"

namespace host {
void SetLastErrorFromErrno(int error);
void SetLastErrorCode(std::uint32_t code);
}  // namespace host

namespace {

void Clear(OsNode* node) { std::memset(node, 0, sizeof *node); }

int Fd(OsHandle handle) { return static_cast<int>(handle) - 1; }
OsHandle Handle(int fd) { return static_cast<OsHandle>(fd + 1); }

bool Put(const std::string& text, char* out, std::size_t capacity) {
  if (text.size() + 1 > capacity) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

// The Windows path of what the descriptor names, as the kernel resolved it.
bool FinalPath(int fd, char* out, std::size_t capacity) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return false;
  target[length] = '\0';
  std::string windows = host::WindowsPath(target);
  while (windows.size() > 3 && windows.back() == '\\') windows.pop_back();
  return Put(windows, out, capacity);
}

void Identity(const struct stat& info, OsNode* node) {
  node->id.volume = static_cast<std::uint64_t>(info.st_dev);
  node->id.index = static_cast<std::uint64_t>(info.st_ino);
  node->folder = S_ISDIR(info.st_mode) ? 1 : 0;
  node->link = S_ISLNK(info.st_mode) ? 1 : 0;
}

constexpr mode_t kWritable = S_IWUSR | S_IWGRP | S_IWOTH;

// A mode through a descriptor, also one opened for its identity only.
bool ChangeMode(int fd, mode_t mode) {
  if (fchmod(fd, mode) == 0) return true;
  if (errno != EBADF) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  return chmod(path, mode) == 0;
}

// Windows refuses to delete a read-only file; a file whose mode gives no
// one the right to write stands for one here. The mode it had, when it is
// such a file (not a folder, not a link).
bool ReadOnlyMode(const OsNode* node, int fd, mode_t* mode) {
  struct stat info = {};
  if (node->folder || node->link || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *mode = info.st_mode & 07777;
  return (*mode & kWritable) == 0;
}

}  // namespace

int OsNodeOpen(const char* path, int removal, OsNode* node) {
  OsCountFileSystemCall();
  Clear(node);
  std::string target = host::HostPath(path);
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  int fd = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) fd = open(target.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    host::SetLastErrorFromErrno(errno);
    return 0;
  }
  struct stat info = {};
  if (fstat(fd, &info) != 0) {
    host::SetLastErrorFromErrno(errno);
    close(fd);
    return 0;
  }
  Identity(info, node);
  bool named = node->link ? Put(host::CanonicalText(path), node->finalPath, sizeof node->finalPath)
                          : FinalPath(fd, node->finalPath, sizeof node->finalPath);
  if (!named) {
    host::SetLastErrorCode(kErrorInvalidParameter);
    close(fd);
    return 0;
  }
  std::string windows = node->finalPath;
  while (windows.size() > 3 && windows.back() == '\\') windows.pop_back();
  Put(windows, node->finalPath, sizeof node->finalPath);
  node->changeable = host::MayChange(target, false) ? 1 : 0;
  node->handle = Handle(fd);
  // Deleted later by its name in its folder, which is opened now.
  std::size_t cut = target.rfind('/');
  if (removal && cut != std::string::npos && cut + 1 < target.size()) {
    int folder = open(cut == 0 ? "/" : target.substr(0, cut).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0 && Put(target.substr(cut + 1), node->name, sizeof node->name)) {
      node->parent = Handle(folder);
      node->ownsParent = 1;
    } else if (folder >= 0) {
      close(folder);
    }
  }
  return 1;
}

int OsNodeOpenChild(const OsNode* parent, const char* name, int folder, OsNode* node) {
  OsCountFileSystemCall();
  Clear(node);
  if (name[0] == '\0' || std::strpbrk(name, "\\/") != nullptr || std::strcmp(name, ".") == 0 ||
      std::strcmp(name, "..") == 0) {
    host::SetLastErrorCode(kErrorInvalidParameter);
    return 0;
  }
  int at = Fd(parent->handle);
  int fd = -1;
  if (folder) {
    fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      if (error == ENOTDIR || error == ELOOP)
        host::SetLastErrorCode(kErrorDirectory);
      else
        host::SetLastErrorFromErrno(error);
      return 0;
    }
    struct stat info = {};
    if (fstat(fd, &info) != 0) {
      host::SetLastErrorFromErrno(errno);
      close(fd);
      return 0;
    }
    Identity(info, node);
  } else {
    // Opened readable, so that a lock another process holds shows; a link
    // as the link itself. Whether it is a folder shows when it is deleted.
    fd = openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && (errno == ELOOP || errno == EACCES || errno == EPERM)) {
      node->link = errno == ELOOP ? 1 : 0;
      node->id.index = 1;  // no lock can be seen through this descriptor
      fd = openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
      host::SetLastErrorFromErrno(errno);
      return 0;
    }
  }
  std::string path = parent->finalPath;
  if (path.empty() || path.back() != '\\') path += '\\';
  path += name;
  if (!Put(path, node->finalPath, sizeof node->finalPath) || !Put(name, node->name, sizeof node->name)) {
    close(fd);
    host::SetLastErrorCode(kErrorInvalidParameter);
    return 0;
  }
  node->changeable = parent->changeable;
  node->parent = parent->handle;
  node->handle = Handle(fd);
  return 1;
}

std::int32_t OsNodeCountEntries(const OsNode* folder) {
  OsCountFileSystemCall();
  int fd = openat(Fd(folder->handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    host::SetLastErrorFromErrno(errno);
    if (fd >= 0) close(fd);
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

// Windows keeps a file that a program holds open without sharing from being
// deleted. Its host stand-in: a file another process holds under an
// exclusive flock.
int OsNodeDelete(OsNode* node) {
  OsCountFileSystemCall();
  int fd = Fd(node->handle);
  int at = Fd(node->parent);
  int error = 0;
  mode_t mode = 0;
  bool readOnly = false;
  if (!node->changeable || node->parent == 0) {
    error = -1;
  } else if (!node->folder && node->id.index == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    error = -2;
  } else if ((readOnly = ReadOnlyMode(node, fd, &mode)) && !ChangeMode(fd, mode | S_IWUSR)) {
    // Its read-only attribute is cleared through the same descriptor first.
    error = -1;
  } else if (unlinkat(at, node->name, node->folder ? AT_REMOVEDIR : 0) != 0) {
    error = errno;
    // Still there: as it was.
    if (readOnly) ChangeMode(fd, mode);
  }
  close(fd);
  node->handle = 0;
  if (node->ownsParent) close(at);
  node->parent = 0;
  node->ownsParent = 0;
  if (error == -1)
    host::SetLastErrorCode(kErrorAccessDenied);
  else if (error == -2)
    host::SetLastErrorCode(kErrorSharingViolation);
  else if (error == EISDIR)
    host::SetLastErrorCode(kErrorDirectoryNotSupported);
  else if (error != 0)
    host::SetLastErrorFromErrno(error == EEXIST ? ENOTEMPTY : error);
  return error == 0 ? 1 : 0;
}

void OsNodeClose(OsNode* node) {
  if (node->handle) {
    OsCountFileSystemCall();
    close(Fd(node->handle));
  }
  if (node->ownsParent && node->parent) close(Fd(node->parent));
  node->handle = 0;
  node->parent = 0;
  node->ownsParent = 0;
}
