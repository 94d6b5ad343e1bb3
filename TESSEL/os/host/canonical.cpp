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
  std::string text = pathrules::Plain(path);
  if (text.empty()) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  const std::string& current = host::CurrentFolder();
  bool drive = text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
  bool unc = text.size() >= 2 && text[0] == '\\' && text[1] == '\\';
  if (drive && (text.size() == 2 || text[2] != '\\')) {
    // Drive-relative: against the current folder when it is on that drive.
    bool same = std::toupper(static_cast<unsigned char>(text[0])) ==
                std::toupper(static_cast<unsigned char>(current[0]));
    text = text.substr(0, 2) + (same ? current.substr(2) : std::string("\\")) + text.substr(2);
  } else if (!drive && !unc) {
    text = text[0] == '\\' ? current.substr(0, 2) + text : current + text;
  }
  std::string root;
  std::string rest;
  if (!pathrules::SplitRoot(text, &root, &rest)) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  return Give(pathrules::Resolve(root, rest), out, capacity);
}

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
    default: break;
  }
  if (folder.empty()) {
    if (capacity) out[0] = '\0';
    return 0;
  }
  return Give(folder, out, capacity);
}
