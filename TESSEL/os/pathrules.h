// The text rules by which Windows resolves a path, shared by both sides of
// the seam: the host side has nothing else, the Win32 side checks what the
// system's own resolution left.
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
  bool device =
      text.size() >= 4 && text[0] == '\\' && text[1] == '\\' && (text[2] == '?' || text[2] == '.') && text[3] == '\\';
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

// A path made full the way the system makes it: a drive-relative path
// ("C:x") against the current folder when that is on its drive, else the
// drive's root; a path from the root ("\x") on the current folder's drive;
// any other against the current folder (a full path ending in '\').
inline std::string Full(const std::string& plain, const std::string& current) {
  bool drive = plain.size() >= 2 && std::isalpha(static_cast<unsigned char>(plain[0])) && plain[1] == ':';
  bool unc = plain.size() >= 2 && plain[0] == '\\' && plain[1] == '\\';
  if (drive && (plain.size() == 2 || plain[2] != '\\')) {
    bool same =
        std::toupper(static_cast<unsigned char>(plain[0])) == std::toupper(static_cast<unsigned char>(current[0]));
    return plain.substr(0, 2) + (same ? current.substr(2) : std::string("\\")) + plain.substr(2);
  }
  if (drive || unc) return plain;
  return !plain.empty() && plain[0] == '\\' ? current.substr(0, 2) + plain : current + plain;
}

// The names below the root resolved as Windows resolves them: empty names
// and "." dropped, ".." takes the name before it (never the root), a folder
// name loses one trailing dot, and the last name of a path that does not
// end in '\' all its trailing dots and blanks (a last name of nothing but
// those leaves the folder before it: *folder is set, as for a final '\').
// False when a folder name is made of nothing but dots and blanks (other
// than "." and ".."): Windows hands "..." on as "..", which a file system
// below may take for the parent, so such a name is left out here and the
// path is not to be trusted.
inline bool Names(const std::string& rest, std::vector<std::string>* names, bool* folder) {
  bool sound = true;
  *folder = !rest.empty() && rest.back() == '\\';
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string name = rest.substr(start, end - start);
    bool last = end == rest.size();
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!names->empty()) names->pop_back();
      continue;
    }
    if (name.find_first_not_of(". ") == std::string::npos) {
      if (last)
        *folder = true;
      else
        sound = false;
      continue;
    }
    if (last) {
      while (name.back() == '.' || name.back() == ' ') name.pop_back();
    } else if (name.back() == '.') {
      name.pop_back();
    }
    names->push_back(name);
  }
  return sound;
}

// The root and the resolved names written back: a final '\' stays, a
// drive's root always ends in one.
inline std::string Text(const std::string& root, const std::vector<std::string>& names, bool trailing) {
  std::string result = root;
  for (const std::string& name : names) result += "\\" + name;
  if (names.empty() ? (root[1] == ':' || trailing) : trailing) result += "\\";
  return result;
}

// The canonical text of the rest below a root; false as for Names.
inline bool Resolve(const std::string& root, const std::string& rest, std::string* out) {
  std::vector<std::string> names;
  bool folder = false;
  bool sound = Names(rest, &names, &folder);
  *out = Text(root, names, folder);
  return sound;
}

// Whether a path the system has already resolved holds only real names:
// none made of nothing but dots and blanks (the system leaves "..." as "..").
inline bool Sound(const std::string& rest) {
  std::size_t start = 0;
  while (start < rest.size()) {
    std::size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start && rest.find_first_not_of(". ", start) >= end) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace pathrules
