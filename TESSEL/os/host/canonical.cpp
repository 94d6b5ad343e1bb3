// The seam's host stand-ins for canonical paths and the shell's folders.
// The host file system keeps no short names, so the text rules are all.
#include <cctype>
#include <cstring>
#include <string>

#include "machine.h"
#include "os.h"
#include "pathrules.h"

namespace {

int Give(const std::string& text, char* out, std::uint32_t capacity) {
  if (capacity == 0 || text.size() + 1 > capacity) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, text.c_str(), text.size() + 1);
  return 1;
}

}  // namespace

int OsCanonicalPath(const char* path, char* out, std::uint32_t capacity) {
  OsCountFileSystemCall();
  std::string text;
  if (path[0] == '\0' || !host::CanonicalText(path, &text)) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  return Give(text, out, capacity);
}

// The host has no short names.
int OsResolvedPath(const char* path, char* out, std::uint32_t capacity) { return OsCanonicalPath(path, out, capacity); }

int OsShellFolder(int csidl, char* out, std::uint32_t capacity) {
  host::MachineRoot();
  std::string profile = "C:\\users\\" + host::UserName();
  std::string roaming = profile + "\\AppData\\Roaming";
  std::string common = "C:\\ProgramData";
  std::string folder;
  switch (csidl) {
    case kCsidlPrograms: folder = roaming + "\\Microsoft\\Windows\\Start Menu\\Programs"; break;
    case kCsidlStartMenu: folder = roaming + "\\Microsoft\\Windows\\Start Menu"; break;
    case kCsidlPersonal: folder = profile + "\\Documents"; break;
    case kCsidlDesktopDirectory: folder = profile + "\\Desktop"; break;
    case kCsidlAppData: folder = roaming; break;
    case kCsidlLocalAppData: folder = profile + "\\AppData\\Local"; break;
    case kCsidlProfile: folder = profile; break;
    case kCsidlCommonStartMenu: folder = common + "\\Microsoft\\Windows\\Start Menu"; break;
    case kCsidlCommonPrograms: folder = common + "\\Microsoft\\Windows\\Start Menu\\Programs"; break;
    case kCsidlCommonDesktopDirectory: folder = "C:\\users\\Public\\Desktop"; break;
    case kCsidlCommonDocuments: folder = "C:\\users\\Public\\Documents"; break;
    case kCsidlCommonAppData: folder = common; break;
    case kCsidlWindows: folder = "C:\\windows"; break;
    case kCsidlSystem:
    case kCsidlSystemX86: folder = "C:\\windows\\system32"; break;
    case kCsidlProgramFiles:
    case kCsidlProgramFilesX86: folder = "C:\\Program Files"; break;
    case kCsidlProgramFilesCommon:
    case kCsidlProgramFilesCommonX86: folder = "C:\\Program Files\\Common Files"; break;
    case 0x06: folder = profile + "\\Favorites"; break;
    case 0x07: folder = roaming + "\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"; break;
    case 0x08: folder = roaming + "\\Microsoft\\Windows\\Recent"; break;
    case 0x09: folder = roaming + "\\Microsoft\\Windows\\SendTo"; break;
    case 0x0D: folder = profile + "\\Music"; break;
    case 0x0E: folder = profile + "\\Videos"; break;
    case 0x14: folder = "C:\\windows\\Fonts"; break;
    case 0x15: folder = roaming + "\\Microsoft\\Windows\\Templates"; break;
    case 0x18: folder = common + "\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"; break;
    case 0x27: folder = profile + "\\Pictures"; break;
    case 0x2F: folder = common + "\\Microsoft\\Windows\\Start Menu\\Programs\\Administrative Tools"; break;
    case 0x30: folder = roaming + "\\Microsoft\\Windows\\Start Menu\\Programs\\Administrative Tools"; break;
    case 0x35: folder = "C:\\users\\Public\\Music"; break;
    case 0x36: folder = "C:\\users\\Public\\Pictures"; break;
    case 0x37: folder = "C:\\users\\Public\\Videos"; break;
    default: break;
  }
  if (folder.empty()) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  return Give(folder, out, capacity);
}
