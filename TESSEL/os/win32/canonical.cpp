// The seam over Win32: canonical paths and the shell's folders.
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "os.h"
#include "pathrules.h"

namespace {

int Give(const std::string& text, char* out, std::uint32_t capacity) {
  if (capacity == 0 || text.empty() || text.size() + 1 > capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, text.c_str(), text.size() + 1);
  return 1;
}

// Short names expanded as far as the path exists: the longest existing
// part is given to GetLongPathName, the names below it stay as they are.
std::string Longer(const std::string& full, const std::string& root) {
  std::string head = full;
  bool trailing = head.size() > root.size() + 1 && head.back() == '\\';
  if (trailing) head.pop_back();
  std::string tail;
  while (head.size() > root.size() + 1) {
    char expanded[1024];
    DWORD length = GetLongPathNameA(head.c_str(), expanded, sizeof expanded);
    if (length > 0 && length < sizeof expanded) {
      head = expanded;
      break;
    }
    std::size_t cut = head.rfind('\\');
    if (cut == std::string::npos || cut < root.size()) break;
    tail = head.substr(cut) + tail;
    head.erase(cut);
    if (head.size() == root.size()) head += '\\';
  }
  std::string result = head;
  if (!tail.empty() && result.back() == '\\') result.pop_back();
  result += tail;
  if (trailing) result += '\\';
  return result;
}

}  // namespace

int OsCanonicalPath(const char* path, char* out, std::uint32_t capacity) {
  OsCountFileSystemCall();
  std::string text = pathrules::Plain(path);
  char full[1024];
  DWORD length = text.empty() ? 0 : GetFullPathNameA(text.c_str(), sizeof full, full, nullptr);
  std::string root;
  std::string rest;
  if (length == 0 || length >= sizeof full || !pathrules::SplitRoot(full, &root, &rest) || !pathrules::Sound(rest))
    return Give("", out, 0);
  return Give(Longer(full, root), out, capacity);
}

int OsResolvedPath(const char* path, char* out, std::uint32_t capacity) {
  OsCountFileSystemCall();
  std::string text = pathrules::Plain(path);
  char full[1024];
  DWORD length = text.empty() ? 0 : GetFullPathNameA(text.c_str(), sizeof full, full, nullptr);
  std::string root;
  std::string rest;
  if (length == 0 || length >= sizeof full || !pathrules::SplitRoot(full, &root, &rest) || !pathrules::Sound(rest))
    return Give("", out, 0);
  return Give(full, out, capacity);
}

int OsShellFolder(int csidl, char* out, std::uint32_t capacity) {
  if (capacity == 0) return 0;
  out[0] = '\0';
  LPITEMIDLIST items = nullptr;
  if (SHGetSpecialFolderLocation(nullptr, csidl, &items) != S_OK || items == nullptr) return 0;
  char path[MAX_PATH] = {};
  BOOL ok = SHGetPathFromIDListA(items, path);
  CoTaskMemFree(items);
  std::size_t size = std::strlen(path);
  if (!ok || size == 0 || size + 1 > capacity) return 0;
  std::memcpy(out, path, size + 1);
  return 1;
}
