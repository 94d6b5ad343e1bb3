// The seam's host stand-ins for the shell's register of known folders and
// for Windows File Protection. The known folders are those a fresh Windows
// installation names for the machine's user and for all users; the
// protected files are the machine's own list, `protected-files.txt` in the
// machine root (one Windows path a line), as the system keeps its catalog.
#include <cstdio>
#include <string>

#include "machine.h"
#include "os.h"

int OsKnownFolders(void (*visit)(void* context, const char* path), void* context) {
  host::MachineRoot();
  const std::string profile = "C:\\users\\" + host::UserName();
  const std::string local = profile + "\\AppData\\Local";
  const std::string roaming = profile + "\\AppData\\Roaming";
  const std::string common = "C:\\ProgramData";
  const std::string publicFolder = "C:\\users\\Public";
  const std::string folders[] = {profile,
                                 profile + "\\Desktop",
                                 profile + "\\Documents",
                                 profile + "\\Downloads",
                                 profile + "\\Music",
                                 profile + "\\Pictures",
                                 profile + "\\Videos",
                                 profile + "\\Favorites",
                                 profile + "\\Contacts",
                                 profile + "\\Links",
                                 profile + "\\Saved Games",
                                 profile + "\\Searches",
                                 profile + "\\AppData\\LocalLow",
                                 local,
                                 local + "\\Programs",
                                 local + "\\Programs\\Common",
                                 local + "\\Microsoft\\Windows\\History",
                                 local + "\\Microsoft\\Windows\\INetCache",
                                 roaming,
                                 roaming + "\\Microsoft\\Windows\\Start Menu",
                                 roaming + "\\Microsoft\\Windows\\Start Menu\\Programs",
                                 roaming + "\\Microsoft\\Windows\\Start Menu\\Programs\\Startup",
                                 roaming + "\\Microsoft\\Windows\\Recent",
                                 roaming + "\\Microsoft\\Windows\\SendTo",
                                 roaming + "\\Microsoft\\Windows\\Templates",
                                 common,
                                 common + "\\Microsoft\\Windows\\Start Menu",
                                 common + "\\Microsoft\\Windows\\Start Menu\\Programs",
                                 common + "\\Microsoft\\Windows\\Start Menu\\Programs\\Startup",
                                 common + "\\Microsoft\\Windows\\Templates",
                                 publicFolder,
                                 publicFolder + "\\Desktop",
                                 publicFolder + "\\Documents",
                                 publicFolder + "\\Downloads",
                                 publicFolder + "\\Music",
                                 publicFolder + "\\Pictures",
                                 publicFolder + "\\Videos",
                                 "C:\\users",
                                 "C:\\windows",
                                 "C:\\windows\\Fonts",
                                 "C:\\windows\\Resources",
                                 "C:\\windows\\system32",
                                 "C:\\Program Files",
                                 "C:\\Program Files\\Common Files"};
  for (const std::string& folder : folders) visit(context, folder.c_str());
  return 1;
}

int OsSystemProtectsFile(const char* path) {
  std::FILE* list = std::fopen((host::MachineRoot() + "/protected-files.txt").c_str(), "r");
  if (list == nullptr) return 0;
  std::string wanted = host::CanonicalText(path);
  char line[1024];
  int found = 0;
  while (!found && std::fgets(line, sizeof line, list)) {
    std::string entry = line;
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    if (entry.empty()) continue;
    std::string known = host::CanonicalText(entry.c_str());
    if (known.size() != wanted.size()) continue;
    found = 1;
    for (std::size_t i = 0; found && i < known.size(); ++i) {
      char a = known[i] >= 'A' && known[i] <= 'Z' ? static_cast<char>(known[i] + 32) : known[i];
      char b = wanted[i] >= 'A' && wanted[i] <= 'Z' ? static_cast<char>(wanted[i] + 32) : wanted[i];
      found = a == b;
    }
  }
  std::fclose(list);
  return found;
}
