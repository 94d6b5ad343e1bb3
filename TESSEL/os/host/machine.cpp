// Windows paths on a host machine root.
#include "machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>

namespace host {

namespace {

std::string AbsoluteHostPath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  std::string cwd = getcwd(buffer, sizeof buffer) ? buffer : "/";
  return cwd + "/" + path;
}

std::string ToHostSeparators(std::string text) {
  for (char& c : text)
    if (c == '\\') c = '/';
  return text;
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
  const std::string& root = MachineRoot();
  std::string prefix = root + "/drive_";
  if (path.compare(0, prefix.size(), prefix) == 0 && path.size() > prefix.size() &&
      std::isalpha(static_cast<unsigned char>(path[prefix.size()])) &&
      (path.size() == prefix.size() + 1 || path[prefix.size() + 1] == '/')) {
    std::string drive(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[prefix.size()]))));
    std::string rest = path.substr(prefix.size() + 1);
    if (rest.empty()) rest = "/";
    for (char& c : rest)
      if (c == '/') c = '\\';
    return drive + ":" + rest;
  }
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

std::string HostPath(const char* windowsPath) {
  std::string path = windowsPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    return MachineRoot() + "/unc/" + ToHostSeparators(path.substr(2));
  }
  char drive;
  std::string rest;
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
    drive = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    rest = path.substr(2);
    // A drive without a folder stands for that drive's root.
    if (rest.empty() || rest[0] != '\\') rest = "\\" + rest;
  } else {
    const std::string& current = CurrentFolder();
    drive = static_cast<char>(std::tolower(static_cast<unsigned char>(current[0])));
    rest = (!path.empty() && path[0] == '\\') ? path : current.substr(2) + path;
  }
  rest = ToHostSeparators(rest);
  if (drive == 'z') return rest;
  return MachineRoot() + "/drive_" + std::string(1, drive) + rest;
}

}  // namespace host
