// The text rules by which Windows resolves a path, shared by both sides of
// the seam: the Win32 side applies them after the system's own resolution
// (for the names it leaves alone), the host side has nothing else.
#pragma once

#include <cctype>
#include <string>
#include <vector>

namespace pathrules {

// '/' read as '\', and a "\\?\" or "\\.\" prefix read as the path behind it.
inline std::string Plain(const char* path) {
  std::string text = path;
  for (char& c : text)
    if (c == '/') c = '\\';
  bool device = text.size() >= 4 && text[0] == '\\' && text[1] == '\\' && (text[2] == '?' || text[2] == '.') &&
                text[3] == '\\';
  if (!device) return text;
  std::string rest = text.substr(4);
  if (rest.size() >= 4 && std::toupper(static_cast<unsigned char>(rest[0])) == 'U' &&
      std::toupper(static_cast<unsigned char>(rest[1])) == 'N' &&
      std::toupper(static_cast<unsigned char>(rest[2])) == 'C' && rest[3] == '\\')
    return "\\\\" + rest.substr(4);
  return rest;
}

// Splits a full path into its root ("C:" or "\\server\share") and the rest
// (empty or starting with '\'); false when it is not a full path.
inline bool SplitRoot(const std::string& path, std::string* root, std::string* rest) {
  if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    if (path.size() > 2 && path[2] != '\\') return false;  // drive-relative
    *root = path.substr(0, 2);
    *rest = path.substr(2);
    return true;
  }
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    std::size_t server = path.find('\\', 2);
    if (server == std::string::npos || server == 2) return false;
    std::size_t share = path.find('\\', server + 1);
    if (share == server + 1) return false;
    if (share == std::string::npos) share = path.size();
    *root = path.substr(0, share);
    *rest = path.substr(share);
    return true;
  }
  return false;
}

// The names below the root resolved: empty names and "." dropped, ".."
// takes the name before it (never the root), trailing dots and blanks of a
// name dropped. A final '\' stays; a drive's root always ends in one.
inline std::string Resolve(const std::string& root, const std::string& rest) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string name = rest.substr(start, end - start);
    start = end + 1;
    while (!name.empty() && name.back() == ' ') name.pop_back();
    if (name == "..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    if (!name.empty()) names.push_back(name);
  }
  std::string result = root;
  for (const std::string& name : names) result += "\\" + name;
  bool trailing = !rest.empty() && rest.back() == '\\';
  if (names.empty() ? (root[1] == ':' || trailing) : trailing) result += "\\";
  return result;
}

}  // namespace pathrules
