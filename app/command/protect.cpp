// The folders a removal never takes, and paths compared canonically: a
// text comparison alone lets another spelling of a folder ("..\Programs",
// a short name, a trailing dot) pass for a different one.
#include "protect.h"

#include "os.h"
#include "registry.h"
#include "removal.h"
#include "tessel-str.h"

namespace {

constexpr int kMostProtected = 40;

struct ProtectedSet {
  bool known = false;
  std::int32_t count = 0;
  char folders[kMostProtected][kCanonicalRoom];  // canonical, no final '\'
};
ProtectedSet g_protected;

char Folded(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// The canonical form without its final separators (a drive root keeps its).
bool Key(const char* path, char* key) {
  if (!CanonicalPath(path, key, kCanonicalRoom)) return false;
  std::int32_t length = StrLength(key);
  while (length > 3 && key[length - 1] == '\\') key[--length] = '\0';
  return true;
}

void Add(const char* folder) {
  if (folder[0] == '\0' || g_protected.count == kMostProtected) return;
  if (Key(folder, g_protected.folders[g_protected.count])) ++g_protected.count;
}

void Learn() {
  char path[kCanonicalRoom];
  if (OsWindowsFolder(path, sizeof path)) Add(path);
  if (OsSystemFolder(path, sizeof path)) {
    Add(path);
    // The fallback of the program files folder: the system drive's.
    if (StrLength(path) > 3) path[3] = '\0';
    if (StrAppendBounded(path, sizeof path, "Program Files")) Add(path);
  }
  if (OsTempPath(path, sizeof path)) Add(path);
  static const int kShellFolders[] = {kCsidlPrograms,
                                      kCsidlStartMenu,
                                      kCsidlPersonal,
                                      kCsidlDesktopDirectory,
                                      kCsidlAppData,
                                      kCsidlLocalAppData,
                                      kCsidlProfile,
                                      kCsidlCommonStartMenu,
                                      kCsidlCommonPrograms,
                                      kCsidlCommonDesktopDirectory,
                                      kCsidlCommonDocuments,
                                      kCsidlCommonAppData,
                                      kCsidlWindows,
                                      kCsidlSystem,
                                      kCsidlSystemX86,
                                      kCsidlProgramFiles,
                                      kCsidlProgramFilesX86,
                                      kCsidlProgramFilesCommon,
                                      kCsidlProgramFilesCommonX86};
  for (int csidl : kShellFolders)
    if (OsShellFolder(csidl, path, sizeof path)) Add(path);
  RegistryKey key = kRegistryNoKey;
  if (RegistryOpenKey(&key, RegistryLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion")) {
    static const char* const kValues[] = {"ProgramFilesDir", "ProgramFilesDir (x86)", "ProgramW6432Dir",
                                          "CommonFilesDir",  "CommonFilesDir (x86)",  "CommonW6432Dir"};
    for (const char* name : kValues) {
      char value[kRegistryBuffer];
      if (RegistryReadString(key, name, value) == kRegistryValueFound) Add(value);
    }
    RegistryCloseKey(&key);
  }
  g_protected.known = true;
}

// Whether the text a starts with the whole of b, ASCII case ignored; gives
// the length of b.
bool StartsWith(const char* a, const char* b, std::int32_t* length) {
  std::int32_t i = 0;
  for (; b[i]; ++i)
    if (Folded(a[i]) != Folded(b[i])) return false;
  *length = i;
  return true;
}

}  // namespace

std::int32_t CanonicalPath(const char* path, char* out, std::int32_t capacity) {
  if (capacity <= 0) return 0;
  return OsCanonicalPath(path, out, static_cast<std::uint32_t>(capacity)) != 0 ? 1 : 0;
}

void ProtectedFoldersReset() { g_protected = ProtectedSet{}; }

bool IsProtectedFolder(const char* folder) {
  char key[kCanonicalRoom];
  if (!Key(folder, key)) return true;
  if (IsDriveRoot(key)) return true;
  if (!g_protected.known) Learn();
  for (std::int32_t i = 0; i < g_protected.count; ++i) {
    // The folder itself, or one that holds it.
    std::int32_t length = 0;
    const char* system = g_protected.folders[i];
    if (StartsWith(system, key, &length) &&
        (system[length] == '\0' || system[length] == '\\' || key[length - 1] == '\\'))
      return true;
  }
  return false;
}

bool IsInsideFolder(const char* path, const char* folder) {
  char inner[kCanonicalRoom];
  char outer[kCanonicalRoom];
  if (!Key(path, inner) || !Key(folder, outer)) return false;
  std::int32_t length = 0;
  if (!StartsWith(inner, outer, &length)) return false;
  if (outer[length - 1] == '\\') return inner[length] != '\0';  // below a root
  return inner[length] == '\\' && inner[length + 1] != '\0';
}

bool IsUsableProductFolder(const char* folder) {
  const char* p = folder;
  bool drive = ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' && p[2] == '\\';
  bool share = false;
  if (p[0] == '\\' && p[1] == '\\') {
    // \\server\share\folder: a server, a share and at least one folder.
    std::int32_t names = 0;
    bool inName = false;
    for (const char* q = p + 2; *q; ++q) {
      if (*q == '\\') {
        inName = false;
      } else if (!inName) {
        inName = true;
        ++names;
      }
    }
    share = names >= 3 && p[2] != '\\';
  }
  if (!drive && !share) return false;
  return !IsProtectedFolder(folder);
}
