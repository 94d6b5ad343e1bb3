// Windows paths on a host machine root, and the sandbox around it.
#include "machine.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "os.h"
#include "pathrules.h"

namespace host {

void SetLastErrorCode(std::uint32_t code);

namespace {

std::string AbsoluteHostPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  std::string cwd = getcwd(buffer, sizeof buffer) ? buffer : "/";
  return cwd + "/" + path;
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

// The machine root with every symbolic link of its own path resolved: the
// real locations of the drive folders start with it.
const std::string& RealRoot() {
  static const std::string real = [] {
    char resolved[PATH_MAX];
    return std::string(realpath(MachineRoot().c_str(), resolved) ? resolved : MachineRoot());
  }();
  return real;
}

// The real location of a path that may not exist yet: its deepest existing
// folder resolved, the names below it as they stand (what does not exist
// yet cannot be a link). Empty when the system cannot say.
std::string RealLocation(const std::string& path) {
  std::string existing = path;
  std::string below;
  for (;;) {
    char resolved[PATH_MAX];
    if (realpath(existing.empty() ? "/" : existing.c_str(), resolved) != nullptr) {
      std::string real = resolved;
      if (below.empty()) return real;
      return (real == "/" ? real : real + "/") + below;
    }
    if (errno != ENOENT && errno != ENOTDIR) return std::string();
    // A link that leads nowhere yet is no place to make things in.
    struct stat info = {};
    if (lstat(existing.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) return std::string();
    std::size_t cut = existing.rfind('/');
    if (cut == std::string::npos || existing.empty()) return std::string();
    std::string name = existing.substr(cut + 1);
    below = below.empty() ? name : name + "/" + below;
    existing.erase(cut);
  }
}

// Whether a real location lies strictly below a drive folder of the
// machine root: drive_<x>/... or unc/<server>/<share>/...
bool InsideDrive(const std::string& real) {
  const std::string& root = RealRoot();
  if (real.size() <= root.size() + 1 || real.compare(0, root.size(), root) != 0 || real[root.size()] != '/')
    return false;
  std::string rest = real.substr(root.size() + 1);
  if (rest.size() > 8 && rest.compare(0, 6, "drive_") == 0 && IsLetter(rest[6]) && rest[7] == '/') return true;
  if (rest.compare(0, 4, "unc/") != 0) return false;
  std::size_t server = rest.find('/', 4);
  if (server == std::string::npos || server == 4) return false;
  std::size_t share = rest.find('/', server + 1);
  return share != std::string::npos && share > server + 1 && share + 1 < rest.size();
}

std::string Join(const std::vector<std::string>& names, char separator) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) text += separator;
    text += names[i];
  }
  return text;
}

// Replaces the machine root prefix of a host path by the Windows drive it
// stands for; false when the path is not in a drive folder.
bool DriveOfHostPath(const std::string& path, const std::string& root, std::string* windows) {
  std::string prefix = root + "/drive_";
  if (path.compare(0, prefix.size(), prefix) == 0 && path.size() > prefix.size() && IsLetter(path[prefix.size()]) &&
      (path.size() == prefix.size() + 1 || path[prefix.size() + 1] == '/')) {
    std::string drive(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[prefix.size()]))));
    std::string rest = path.substr(prefix.size() + 1);
    if (rest.empty()) rest = "/";
    for (char& c : rest)
      if (c == '/') c = '\\';
    *windows = drive + ":" + rest;
    return true;
  }
  return false;
}

}  // namespace

void MakeFolders(const std::string& hostPath) {
  for (std::size_t i = 1; i <= hostPath.size(); ++i) {
    if (i == hostPath.size() || hostPath[i] == '/') mkdir(hostPath.substr(0, i).c_str(), 0755);
  }
}

const std::string& UserName() {
  static const std::string name = [] {
    const char* user = std::getenv("USER");
    return std::string(user && *user ? user : "user");
  }();
  return name;
}

const std::string& MachineRoot() {
  static const std::string root = [] {
    const char* chosen = std::getenv("TESSEL_MACHINE");
    std::string path;
    if (chosen && *chosen) {
      path = AbsoluteHostPath(chosen);
    } else {
      const char* home = std::getenv("HOME");
      path = std::string(home && *home ? home : "/tmp") + "/.tessel-machine";
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::string c = path + "/drive_c";
    MakeFolders(c + "/windows/system32");
    MakeFolders(c + "/Program Files");
    MakeFolders(c + "/users/" + UserName() + "/Temp");
    MakeFolders(c + "/users/" + UserName() + "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs");
    return path;
  }();
  return root;
}

std::string WindowsPath(const std::string& hostPath) {
  std::string path = AbsoluteHostPath(hostPath);
  std::string windows;
  if (DriveOfHostPath(path, MachineRoot(), &windows) || DriveOfHostPath(path, RealRoot(), &windows)) return windows;
  for (char& c : path)
    if (c == '/') c = '\\';
  return "Z:" + path;
}

std::string& CurrentFolder() {
  static std::string folder = [] {
    char buffer[4096];
    std::string cwd = getcwd(buffer, sizeof buffer) ? buffer : "/";
    std::string windows = WindowsPath(cwd);
    if (windows.back() != '\\') windows += '\\';
    return windows;
  }();
  return folder;
}

CanonicalPath Canonical(const char* windowsPath) {
  std::string full = pathrules::Full(pathrules::Plain(windowsPath), CurrentFolder());
  CanonicalPath result;
  std::string root;
  std::string rest;
  if (!pathrules::SplitRoot(full, &root, &rest)) {
    // "\\server" alone, or "\\" with nothing: no share to stop at.
    rest = full.substr(2);
  } else if (root[1] == ':') {
    result.drive = Lower(root[0]);
  } else {
    std::size_t server = root.find('\\', 2);
    result.names = {root.substr(2, server - 2), root.substr(server + 1)};
  }
  std::vector<std::string> names;
  result.sound = pathrules::Names(rest, &names, &result.folder);
  result.names.insert(result.names.end(), names.begin(), names.end());
  if (!result.drive) result.rootNames = std::min<std::size_t>(2, result.names.size());
  return result;
}

bool CanonicalText(const char* windowsPath, std::string* text) {
  CanonicalPath path = Canonical(windowsPath);
  auto below = path.names.begin() + static_cast<std::ptrdiff_t>(path.rootNames);
  std::string root = path.drive ? std::string(1, static_cast<char>(std::toupper(path.drive))) + ":"
                                : "\\\\" + Join(std::vector<std::string>(path.names.begin(), below), '\\');
  *text = pathrules::Text(root, std::vector<std::string>(below, path.names.end()), path.folder);
  return path.sound;
}

std::string CanonicalText(const char* windowsPath) {
  std::string text;
  CanonicalText(windowsPath, &text);
  return text;
}

std::string HostPath(const char* windowsPath) {
  CanonicalPath path = Canonical(windowsPath);
  std::string below = Join(path.names, '/');
  if (path.folder && !path.names.empty()) below += '/';
  if (path.drive == 'z') return "/" + below;
  if (!path.drive) return MachineRoot() + "/unc/" + below;
  return MachineRoot() + "/drive_" + std::string(1, path.drive) + (below.empty() ? "/" : "/" + below);
}

bool MayChange(const std::string& hostPath, bool followLink) {
  std::string path = hostPath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  // The location of the name itself, not of what a link there leads to:
  // its folder resolved, the last name kept.
  std::string real;
  std::size_t cut = path.rfind('/');
  if (cut != std::string::npos && cut + 1 < path.size()) {
    std::string folder = RealLocation(cut == 0 ? "/" : path.substr(0, cut));
    if (!folder.empty()) real = (folder == "/" ? "" : folder) + "/" + path.substr(cut + 1);
  }
  struct stat info = {};
  if (followLink && lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char resolved[PATH_MAX];
    real = realpath(path.c_str(), resolved) ? resolved : std::string();
  }
  if (!real.empty() && InsideDrive(real)) return true;
  SetLastErrorCode(kErrorAccessDenied);
  errno = EACCES;
  return false;
}

}  // namespace host
