// Shared files and their usage counts. A file the script names through a
// path variable outside the product's folder may serve other programs: it
// goes only when its usage count says this product was the last to use it,
// never when there is no count or the system protects it. A component among
// them is loaded only from a system folder, and only to be unregistered by
// its last user: a library loaded runs its code, perhaps with the rights of
// an administrator.
#include "shared.h"

#include "os.h"
#include "protect.h"
#include "registry.h"
#include "removal.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "command";

// What this run decided about a shared file, so that a file named twice
// (in the file list and by "OLE") is counted once.
enum class Decision { Lowered, Released, NoCount, Protected };
struct Decided {
  char path[kCanonicalRoom];
  Decision decision;
};
constexpr int kMostDecided = 64;
struct DecidedSet {
  Decided items[kMostDecided];
  std::int32_t count = 0;
};
DecidedSet g_decided;

Decided* Find(const char* path) {
  for (std::int32_t i = 0; i < g_decided.count; ++i)
    if (SameFolderText(g_decided.items[i].path, path)) return &g_decided.items[i];
  return nullptr;
}

void Remember(const char* path, Decision decision) {
  if (Decided* known = Find(path)) {
    known->decision = decision;
    return;
  }
  if (g_decided.count == kMostDecided) return;
  StrCopy(g_decided.items[g_decided.count].path, path);
  g_decided.items[g_decided.count++].decision = decision;
}

// The value that counts the file's users, found by the path it names as
// the system resolves it. Its name is kept as written, to be changed under
// the same name. 1 with the count, 0 when there is none usable.
std::int32_t FindCount(OsKey key, const char* path, char* name, std::uint32_t capacity, std::uint32_t* count) {
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t nameLength = capacity;
    std::uint32_t type = 0;
    unsigned char data[8] = {};
    std::uint32_t dataLength = sizeof data;
    std::uint32_t error = OsRegEnumValue(key, index, name, &nameLength, &type, data, &dataLength);
    if (error == kErrorNoMoreItems) return 0;
    if (error != kErrorSuccess) continue;
    char canonical[kCanonicalRoom];
    bool same = SameFolderText(name, path) ||
                (CanonicalPath(name, canonical, sizeof canonical) && SameFolderText(canonical, path));
    if (!same) continue;
    // Only a count as Windows writes it; anything else is no count.
    if (type != kRegDword || dataLength != 4) return 0;
    *count = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
             static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    return 1;
  }
}

enum class Count { None, Lowered, Last, Failed };

// Takes this product's use off the file's count: the count goes down by
// one, or when this was its last user the value goes too (only with last
// set; else the count of one is left for the caller to decide).
Count TakeUse(const char* path, bool takeLast, std::uint32_t* left) {
  OsKey key = 0;
  std::uint32_t opened = OsRegOpenKey(kHkeyLocalMachine, kSharedDllsKey, &key);
  if (opened != kErrorSuccess) {
    // Without the right to change the counts (no administrator), every
    // count reads as none: the file stays.
    if (opened != kErrorFileNotFound)
      LogPrint("Unable to open key '%s' (%d) (0x%.8X)\n", kSharedDllsKey, static_cast<int>(opened), opened);
    return Count::None;
  }
  char name[kCanonicalRoom];
  std::uint32_t count = 0;
  Count result = Count::None;
  // A count of zero or one beyond sense is no count a program keeps.
  if (FindCount(key, path, name, sizeof name, &count) && count >= 1 && count < 0x80000000u) {
    std::uint32_t error = kErrorSuccess;
    if (count > 1) {
      std::uint32_t lowered = count - 1;
      unsigned char data[4] = {static_cast<unsigned char>(lowered), static_cast<unsigned char>(lowered >> 8),
                               static_cast<unsigned char>(lowered >> 16), static_cast<unsigned char>(lowered >> 24)};
      error = OsRegSetValue(key, name, kRegDword, data, sizeof data);
      result = Count::Lowered;
      *left = lowered;
    } else if (takeLast) {
      error = OsRegDeleteValue(key, name);
      result = Count::Last;
      *left = 0;
    } else {
      result = Count::Last;
      *left = 1;
    }
    if (error != kErrorSuccess) {
      LogPrint("Unable to change the usage count of '%s' (%d) (0x%.8X)\n", path, static_cast<int>(error), error);
      result = Count::Failed;
    }
  }
  OsRegCloseKey(key);
  return result;
}

// Whether the file is one the system guards as its own.
bool Guarded(const char* path) {
  if (!OsSystemProtectsFile(path)) return false;
  LogPrint("Kept system file '%s' (protected by the system)\n", path);
  return true;
}

// The folders a component is loaded from: the Windows and system folders
// and the common files folders, where only an administrator writes; never
// a temporary folder in or beside them.
bool InSystemFolder(const char* path) {
  char folder[kCanonicalRoom];
  if (OsTempPath(folder, sizeof folder) && IsInsideFolder(path, folder)) return false;
  if (OsWindowsFolder(folder, sizeof folder) && StrAppendBounded(folder, "\\Temp") && IsInsideFolder(path, folder))
    return false;
  if (OsWindowsFolder(folder, sizeof folder) && IsInsideFolder(path, folder)) return true;
  if (OsSystemFolder(folder, sizeof folder) && IsInsideFolder(path, folder)) return true;
  static const int kFolders[] = {kCsidlSystemX86, kCsidlProgramFilesCommon, kCsidlProgramFilesCommonX86};
  for (int csidl : kFolders)
    if (OsShellFolder(csidl, folder, sizeof folder) && IsInsideFolder(path, folder)) return true;
  RegistryKey key = kRegistryNoKey;
  bool inside = false;
  if (RegistryOpenKey(&key, RegistryLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion")) {
    static const char* const kValues[] = {"CommonFilesDir", "CommonFilesDir (x86)", "CommonW6432Dir"};
    for (const char* name : kValues)
      if (RegistryReadString(key, name, folder) == kRegistryValueFound && IsInsideFolder(path, folder)) inside = true;
    RegistryCloseKey(&key);
  }
  return inside;
}

}  // namespace

bool IsProductFile(const char* path) {
  CHECK_POINTER(kUnit, path);
  const char* product = RemovalProductFolder();
  char file[kCanonicalRoom];
  if (product == nullptr || !CanonicalPath(path, file, sizeof file)) return false;
  if (IsInsideFolder(file, product)) return true;
  // Another name of the product's folder on the way: its folders are asked
  // what they are, from the file's own up.
  OsNodeId id = {};
  if (!RemovalProductId(&id)) return false;
  char folder[kCanonicalRoom];
  StrCopy(folder, file);
  for (;;) {
    std::int32_t cut = StrLength(folder);
    while (cut > 0 && folder[cut - 1] != '\\') --cut;
    if (cut <= 3) return false;
    folder[cut - 1] = '\0';
    OsNode node;
    if (!OsNodeOpen(folder, 0, &node)) continue;
    bool same = node.folder && ((node.id.volume == id.volume && node.id.index == id.index) ||
                                SameFolderText(node.finalPath, product) || IsInsideFolder(node.finalPath, product));
    OsNodeClose(&node);
    if (same) return true;
  }
}

std::int32_t ReleaseSharedFile(const char* root, const char* path) {
  CHECK_POINTER(kUnit, root);
  CHECK_POINTER(kUnit, path);
  char file[kCanonicalRoom];
  if (!CanonicalPath(path, file, sizeof file)) {
    LogPrint("Unable to resolve path '%s'\n", path);
    return 0;
  }
  if (Decided* known = Find(file)) {
    if (known->decision == Decision::Released) return DeleteBelow(root, RemovalRoot::Variable, path);
    return 1;
  }
  if (Guarded(file)) {
    Remember(file, Decision::Protected);
    return 1;
  }
  std::uint32_t left = 0;
  switch (TakeUse(file, true, &left)) {
    case Count::None:
      LogPrint("Kept shared file '%s' (no usage count)\n", file);
      Remember(file, Decision::NoCount);
      return 1;
    case Count::Lowered:
      LogPrint("Kept shared file '%s' (usage count %u)\n", file, static_cast<unsigned>(left));
      Remember(file, Decision::Lowered);
      return 1;
    case Count::Failed: return 0;
    case Count::Last: break;
  }
  Remember(file, Decision::Released);
  return DeleteBelow(root, RemovalRoot::Variable, path);
}

void ReverseSharedComponent(const char* root, const char* path, std::int32_t registerFlag) {
  CHECK_POINTER(kUnit, root);
  CHECK_POINTER(kUnit, path);
  char file[kCanonicalRoom];
  if (!CanonicalPath(path, file, sizeof file)) {
    LogPrint("Unable to resolve path '%s'\n", path);
    return;
  }
  if (Decided* known = Find(file)) {
    if (known->decision == Decision::Released) LogPrint("Unable to load component '%s': it has gone\n", file);
    return;
  }
  if (Guarded(file)) {
    Remember(file, Decision::Protected);
    return;
  }
  // Its count is asked first: a component others still use keeps its
  // registration, and is not loaded at all.
  std::uint32_t left = 0;
  Count count = TakeUse(file, false, &left);
  if (count == Count::None) {
    LogPrint("Kept shared file '%s' (no usage count)\n", file);
    Remember(file, Decision::NoCount);
    return;
  }
  if (count == Count::Failed) return;
  if (count == Count::Lowered) {
    LogPrint("Kept shared file '%s' (usage count %u)\n", file, static_cast<unsigned>(left));
    Remember(file, Decision::Lowered);
    return;
  }
  // The last user: only a component that lies, reached without a link, in
  // a folder where no one but an administrator could have put it is run.
  char library[kCanonicalRoom];
  if (!ResolveBelow(root, RemovalRoot::Variable, path, library, sizeof library) || !InSystemFolder(library)) {
    LogPrint("Unable to load component '%s': it is not in a system folder\n", file);
    return;
  }
  RegisterComponent(library, registerFlag);
  if (TakeUse(file, true, &left) != Count::Last) return;
  Remember(file, Decision::Released);
  DeleteBelow(root, RemovalRoot::Variable, path);
}

void SharedFilesReset() { g_decided = DecidedSet{}; }
