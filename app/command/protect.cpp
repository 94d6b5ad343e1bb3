// The folders a removal never takes, known by identity: each is opened once
// and kept by its final path and its file identity, so that another name of
// it (a link, another drive letter, a share, a short name) is still the
// same folder.
#include "protect.h"

#include "os.h"
#include "registry.h"
#include "removal.h"
#include "tessel-str.h"

namespace {

constexpr int kMostProtected = 1024;

struct ProtectedFolder {
  char path[kCanonicalRoom];  // final path, ASCII letters folded, no final '\'
  OsNodeId id;
  bool hasId;
  bool subtree;  // everything below it is protected too
};

struct ProtectedSet {
  bool known = false;
  std::int32_t count = 0;
  ProtectedFolder folders[kMostProtected];
};
ProtectedSet g_protected;

char Folded(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

void Fold(const char* text, char* out) {
  std::int32_t i = 0;
  for (; text[i] && i < kCanonicalRoom - 1; ++i) out[i] = Folded(text[i]);
  out[i] = '\0';
}

// The canonical form without its final separators (a drive root keeps its).
bool Key(const char* path, char* key) {
  if (!CanonicalPath(path, key, kCanonicalRoom)) return false;
  std::int32_t length = StrLength(key);
  while (length > 3 && key[length - 1] == '\\') key[--length] = '\0';
  return true;
}

bool Known(const char* folded) {
  for (std::int32_t i = 0; i < g_protected.count; ++i)
    if (StrEqual(g_protected.folders[i].path, folded)) return true;
  return false;
}

void AddText(const char* text, const OsNodeId* id, bool subtree) {
  char folded[kCanonicalRoom];
  Fold(text, folded);
  if (Known(folded) || g_protected.count == kMostProtected) return;
  ProtectedFolder& folder = g_protected.folders[g_protected.count++];
  StrCopy(folder.path, folded);
  folder.hasId = id != nullptr;
  if (id) folder.id = *id;
  folder.subtree = subtree;
}

// The folder by its name and, when it exists, by what it is.
void Add(const char* path, bool subtree = false) {
  char key[kCanonicalRoom];
  if (path[0] == '\0' || !Key(path, key)) return;
  OsNode node;
  if (OsNodeOpen(key, 0, &node)) {
    AddText(node.finalPath, &node.id, subtree);
    OsNodeClose(&node);
  }
  AddText(key, nullptr, subtree);
}

void AddKnownFolder(void*, const char* path) { Add(path); }

// The shell's folders, read from the system: every known folder it
// registers (the per-user program files among them), and every CSIDL that
// names one.
void AddShellFolders() {
  OsKnownFolders(AddKnownFolder, nullptr);
  for (int csidl = 0; csidl <= 0x3F; ++csidl) {
    char path[kCanonicalRoom];
    if (OsShellFolder(csidl, path, sizeof path)) Add(path);
  }
}

// Every folder value of a key (the shell's folder lists); values that
// still hold an environment reference are left to the CSIDL answers.
void AddFolderValues(std::int32_t root, const char* path) {
  RegistryKey key = kRegistryNoKey;
  if (!RegistryOpenKey(&key, root, path)) return;
  for (std::uint32_t index = 0;; ++index) {
    char name[kRegistryBuffer];
    std::uint32_t nameLength = sizeof name;
    std::uint32_t type = 0;
    unsigned char data[kCanonicalRoom];
    std::uint32_t dataLength = sizeof data - 1;
    std::uint32_t error = OsRegEnumValue(key, index, name, &nameLength, &type, data, &dataLength);
    if (error == kErrorNoMoreItems) break;
    if (error != kErrorSuccess) continue;
    if (type != kRegSz && type != kRegExpandSz) continue;
    data[dataLength < sizeof data ? dataLength : sizeof data - 1] = '\0';
    const char* text = reinterpret_cast<const char*>(data);
    bool reference = false;
    for (const char* c = text; *c; ++c) reference = reference || *c == '%';
    if (!reference) Add(text);
  }
  RegistryCloseKey(&key);
}

struct ProfileListing {
  char folder[kCanonicalRoom];
};

// A profile and the folders every profile holds, where they usually are
// (the shell names only the current user's).
void AddProfileFolders(const char* profile) {
  Add(profile);
  static const char* const kOwn[] = {"Desktop",
                                     "Documents",
                                     "Downloads",
                                     "Music",
                                     "Pictures",
                                     "Videos",
                                     "Favorites",
                                     "Contacts",
                                     "Links",
                                     "Saved Games",
                                     "Searches",
                                     "OneDrive",
                                     "AppData",
                                     "AppData\\Local",
                                     "AppData\\Roaming",
                                     "AppData\\LocalLow",
                                     "Start Menu",
                                     "Templates",
                                     "My Documents",
                                     "Application Data",
                                     "Local Settings",
                                     "Temp"};
  for (const char* name : kOwn) {
    char path[kCanonicalRoom];
    if (StrFormatBounded(path, sizeof path, "%s\\%s", profile, name)) Add(path);
  }
}

void AddProfile(void* context, const char* name, int isFolder) {
  if (!isFolder) return;
  char path[kCanonicalRoom];
  if (StrFormatBounded(path, sizeof path, "%s\\%s", static_cast<ProfileListing*>(context)->folder, name))
    AddProfileFolders(path);
}

// The profiles folder, every profile in it, Default and Public.
void AddProfiles() {
  char profile[kCanonicalRoom];
  if (!OsShellFolder(kCsidlProfile, profile, sizeof profile)) return;
  char key[kCanonicalRoom];
  if (!Key(profile, key)) return;
  std::int32_t cut = StrLength(key);
  while (cut > 0 && key[cut - 1] != '\\') --cut;
  if (cut <= 3) return;
  key[cut - 1] = '\0';
  Add(key);
  ProfileListing listing;
  StrCopy(listing.folder, key);
  OsListFolder(key, AddProfile, &listing);
  static const char* const kNames[] = {"Default", "Default User", "Public", "All Users"};
  for (const char* name : kNames) {
    char path[kCanonicalRoom];
    if (StrFormatBounded(path, sizeof path, "%s\\%s", key, name)) AddProfileFolders(path);
  }
  AddProfileFolders(profile);
}

void Learn() {
  g_protected.known = true;
  char path[kCanonicalRoom];
  // Everything at or below the Windows, system and temporary folders.
  if (OsWindowsFolder(path, sizeof path)) Add(path, true);
  if (OsSystemFolder(path, sizeof path)) {
    Add(path, true);
    // The fallback of the program files folder: the system drive's.
    if (StrLength(path) > 3) path[3] = '\0';
    if (StrAppendBounded(path, sizeof path, "Program Files")) Add(path);
  }
  if (OsTempPath(path, sizeof path)) Add(path, true);
  static const int kSystemSubtrees[] = {kCsidlWindows, kCsidlSystem, kCsidlSystemX86};
  for (int csidl : kSystemSubtrees)
    if (OsShellFolder(csidl, path, sizeof path)) Add(path, true);
  AddShellFolders();
  AddProfiles();
  static const char* const kShellFolderKeys[] = {
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
      "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"};
  for (const char* key : kShellFolderKeys) {
    AddFolderValues(RegistryCurrentUser, key);
    AddFolderValues(RegistryLocalMachine, key);
  }
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
}

// Whether a folded path is a drive root or a share's root.
bool IsRootText(const char* folded) {
  std::int32_t length = StrLength(folded);
  while (length > 0 && folded[length - 1] == '\\') --length;
  if (length <= 2) return true;
  if (folded[0] == '\\' && folded[1] == '\\') {
    std::int32_t separators = 0;
    for (std::int32_t i = 2; i < length; ++i)
      if (folded[i] == '\\') ++separators;
    return separators <= 1;
  }
  return false;
}

// Whether the text a starts with the whole of b followed by a separator
// (or b ends in one).
bool Below(const char* a, const char* b) {
  std::int32_t i = 0;
  for (; b[i]; ++i)
    if (a[i] != b[i]) return false;
  if (i > 0 && b[i - 1] == '\\') return a[i] != '\0';
  return a[i] == '\\' && a[i + 1] != '\0';
}

bool ProtectedText(const char* folded, const OsNodeId* id) {
  if (IsRootText(folded)) return true;
  if (!g_protected.known) Learn();
  for (std::int32_t i = 0; i < g_protected.count; ++i) {
    const ProtectedFolder& folder = g_protected.folders[i];
    if (id && folder.hasId && folder.id.volume == id->volume && folder.id.index == id->index) return true;
    if (StrEqual(folder.path, folded)) return true;
    if (folder.subtree && Below(folded, folder.path)) return true;
    // A folder that holds a protected one.
    if (Below(folder.path, folded)) return true;
  }
  return false;
}

}  // namespace

std::int32_t CanonicalPath(const char* path, char* out, std::int32_t capacity) {
  if (capacity <= 0) return 0;
  return OsCanonicalPath(path, out, static_cast<std::uint32_t>(capacity)) != 0 ? 1 : 0;
}

void ProtectedFoldersReset() { g_protected = ProtectedSet{}; }

bool IsProtectedNode(const OsNode& folder) {
  char folded[kCanonicalRoom];
  Fold(folder.finalPath, folded);
  return ProtectedText(folded, &folder.id);
}

bool IsProtectedFolder(const char* folder) {
  char key[kCanonicalRoom];
  if (!Key(folder, key)) return true;
  char folded[kCanonicalRoom];
  Fold(key, folded);
  if (ProtectedText(folded, nullptr)) return true;
  // What it really is, where it exists: another name of a protected folder
  // is protected.
  OsNode node;
  if (!OsNodeOpen(key, 0, &node)) return false;
  bool result = IsProtectedNode(node);
  OsNodeClose(&node);
  return result;
}

bool IsShellGroupName(const char* name) {
  static const char* const kGroups[] = {"Startup",
                                        "Administrative Tools",
                                        "Accessories",
                                        "Accessibility",
                                        "Maintenance",
                                        "System Tools",
                                        "Windows Accessories",
                                        "Windows Administrative Tools",
                                        "Windows Ease of Access",
                                        "Windows PowerShell",
                                        "Windows System",
                                        "Windows Tools",
                                        "Games"};
  for (const char* group : kGroups)
    if (StrEqualNoCase(name, group)) return true;
  return false;
}

bool SameFolderText(const char* a, const char* b) {
  char left[kCanonicalRoom];
  char right[kCanonicalRoom];
  Fold(a, left);
  Fold(b, right);
  std::int32_t l = StrLength(left);
  std::int32_t r = StrLength(right);
  while (l > 3 && left[l - 1] == '\\') left[--l] = '\0';
  while (r > 3 && right[r - 1] == '\\') right[--r] = '\0';
  return StrEqual(left, right);
}

bool IsInsideFolder(const char* path, const char* folder) {
  char inner[kCanonicalRoom];
  char outer[kCanonicalRoom];
  if (!Key(path, inner) || !Key(folder, outer)) return false;
  char a[kCanonicalRoom];
  char b[kCanonicalRoom];
  Fold(inner, a);
  Fold(outer, b);
  return Below(a, b);
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
