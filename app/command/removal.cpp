// File removal, component registration and program execution.
//
// Removal decides by identity, never by the text of a path. Every path is
// removed below a root folder (the product's folder, a path variable's
// folder, the programs folder), opened once and checked to be the very
// folder its text names. Below it each folder and file is opened by its one
// name relative to its parent's handle, never through a link: a name whose
// final path is not its parent's final path and that name is a link the
// system followed, and is refused. What is removed goes through the handle
// that was checked.
#include "removal.h"

#include <cstring>

#include "os.h"
#include "protect.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "winhelpr.h"

namespace {

constexpr const char* kUnit = "command";

char Folded(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// The key of a folder: its final path with ASCII letters folded and no
// final separator.
void FolderKey(const char* folder, char* key) {
  std::int32_t length = 0;
  for (; folder[length] && length < kFolderWorkRoom - 1; ++length) {
    char c = folder[length];
    if (c == '/') c = '\\';
    key[length] = Folded(c);
  }
  while (length > 0 && key[length - 1] == '\\') --length;
  key[length] = '\0';
}

// ---- the folder counts of a removal batch ---------------------------------
// An open-addressing table keyed by the folder's final path, taken from the
// tracked heap. Each folder is listed once; the count then follows what
// this program deletes.
struct FolderEntry {
  std::uint32_t hash;
  std::int32_t count;              // entries the folder still holds
  std::int32_t root;               // the root it lies below (-1: none)
  char path[kFolderWorkRoom];      // the key
  char relative[kFolderWorkRoom];  // its names below the root
};

struct FolderTable {
  bool open = false;
  bool rootIsCurrent = false;  // the batch has made "\" the current folder
  FolderEntry* entries = nullptr;
  std::int32_t capacity = 0;  // slots, a power of two
  std::int32_t used = 0;
};
FolderTable g_folders;

std::uint32_t HashOf(const char* key) {
  std::uint32_t hash = 2166136261u;
  for (; *key; ++key) hash = (hash ^ static_cast<unsigned char>(*key)) * 16777619u;
  return hash == 0 ? 1 : hash;
}

FolderEntry* Slot(FolderEntry* entries, std::int32_t capacity, const char* key, std::uint32_t hash) {
  std::int32_t mask = capacity - 1;
  for (std::int32_t i = static_cast<std::int32_t>(hash) & mask;; i = (i + 1) & mask) {
    FolderEntry* entry = &entries[i];
    if (entry->hash == 0 || (entry->hash == hash && StrEqual(entry->path, key))) return entry;
  }
}

void Grow() {
  std::int32_t capacity = g_folders.capacity == 0 ? 64 : g_folders.capacity * 2;
  std::int32_t bytes = capacity * static_cast<std::int32_t>(sizeof(FolderEntry));
  FolderEntry* entries = static_cast<FolderEntry*>(MemoryAlloc(bytes, kUnit, __LINE__));
  for (std::int32_t i = 0; i < g_folders.capacity; ++i) {
    FolderEntry& old = g_folders.entries[i];
    if (old.hash != 0) *Slot(entries, capacity, old.path, old.hash) = old;
  }
  if (g_folders.entries)
    MemoryFree(&g_folders.entries, g_folders.capacity * static_cast<std::int32_t>(sizeof(FolderEntry)), kUnit,
               __LINE__);
  g_folders.entries = entries;
  g_folders.capacity = capacity;
}

FolderEntry* KnownFolder(const char* finalPath) {
  if (!g_folders.open || g_folders.capacity == 0) return nullptr;
  char key[kFolderWorkRoom];
  FolderKey(finalPath, key);
  FolderEntry* entry = Slot(g_folders.entries, g_folders.capacity, key, HashOf(key));
  return entry->hash == 0 ? nullptr : entry;
}

void Learn(const char* finalPath, std::int32_t count, std::int32_t root, const char* relative) {
  if (!g_folders.open) return;
  if ((g_folders.used + 1) * 2 > g_folders.capacity) Grow();
  char key[kFolderWorkRoom];
  FolderKey(finalPath, key);
  std::uint32_t hash = HashOf(key);
  FolderEntry* entry = Slot(g_folders.entries, g_folders.capacity, key, hash);
  if (entry->hash == 0) {
    entry->hash = hash;
    StrCopy(entry->path, key);
    entry->root = root;
    StrCopyBounded(entry->relative, sizeof entry->relative, relative);
    ++g_folders.used;
  }
  entry->count = count;
}

// This program took one entry out of the folder.
void Took(const char* finalPath) {
  if (FolderEntry* entry = KnownFolder(finalPath))
    if (entry->count > 0) --entry->count;
}

// Back to asking the system about this folder.
void Forget(const char* finalPath) {
  if (FolderEntry* entry = KnownFolder(finalPath)) entry->count = -1;
}

// Whether a failed deletion found nothing to delete: another program (or
// another run of this one) took it first.
bool AlreadyGone(std::uint32_t error) { return error == kErrorFileNotFound || error == kErrorPathNotFound; }

// Whether a failed deletion met a file that another program holds open.
bool InUse(std::uint32_t error) { return error == kErrorSharingViolation || error == kErrorLockViolation; }

// ---- what goes at the next restart ----------------------------------------
// The files and folders this run has scheduled, by their keys, so that a
// folder whose every entry is scheduled is scheduled after them. Past the
// table's room files are still scheduled, their folders no longer.
constexpr int kRestartRoom = 64;
struct AtRestart {
  char keys[kRestartRoom][kFolderWorkRoom];
  std::int32_t count = 0;
  std::int32_t scheduled = 0;
};
AtRestart g_restart;

bool IsScheduled(const char* path) {
  char key[kFolderWorkRoom];
  FolderKey(path, key);
  for (std::int32_t i = 0; i < g_restart.count; ++i)
    if (StrEqual(g_restart.keys[i], key)) return true;
  return false;
}

// How many of the folder's entries are scheduled.
std::int32_t ScheduledIn(const char* folder) {
  char key[kFolderWorkRoom];
  FolderKey(folder, key);
  std::int32_t length = StrLength(key);
  std::int32_t found = 0;
  for (std::int32_t i = 0; i < g_restart.count; ++i) {
    const char* entry = g_restart.keys[i];
    std::int32_t cut = StrLength(entry);
    while (cut > 0 && entry[cut - 1] != '\\') --cut;
    if (cut - 1 == length && std::strncmp(entry, key, static_cast<std::size_t>(length)) == 0) ++found;
  }
  return found;
}

// Asks the system to delete the file or empty folder at the next restart;
// false when it may not.
bool ScheduleAtRestart(const char* given, const char* what) {
  // A folder is named without its final separator.
  char path[kFolderWorkRoom];
  StrCopyBounded(path, given);
  std::int32_t length = StrLength(path);
  while (length > 3 && (path[length - 1] == '\\' || path[length - 1] == '/')) path[--length] = '\0';
  if (!OsDeleteAtRestart(path)) {
    std::uint32_t error = OsLastError();
    LogPrint("Unable to schedule '%s' for removal at restart (%d) (0x%.8X)\n", path, static_cast<int>(error), error);
    return false;
  }
  LogPrint("Delete %s '%s' at restart\n", what, path);
  ++g_restart.scheduled;
  if (g_restart.count < kRestartRoom) FolderKey(path, g_restart.keys[g_restart.count++]);
  return true;
}

// ---- roots ---------------------------------------------------------------
struct Root {
  char given[kFolderWorkRoom];  // as the caller named it
  char text[kFolderWorkRoom];   // canonical, no final '\' but a drive root's
  RemovalRoot kind;
  OsNode node;
  bool absent;   // the folder does not exist: nothing below it to remove
  bool refused;  // not the folder its text names, or protected
  bool removed;
  bool took;  // this run deleted a file below it
};
constexpr int kMostRoots = 16;
struct Roots {
  Root items[kMostRoots];
  std::int32_t count = 0;
  std::int32_t product = -1;
  std::int32_t found = 0;  // files that were there, of every root
};
Roots g_roots;

void CloseChain();

// Why the last root was refused, for the user.
char g_refusal[kFolderWorkRoom];

// Whether a folder's final path is the text it was opened by.
bool SameFolder(const char* finalPath, const char* text) { return SameFolderText(finalPath, text); }

// Whether the nearest folder above a missing one that exists is the folder
// its text names: only then does the missing folder count as gone, rather
// than as a name that leads somewhere unknown (a share out of reach).
bool ReachableAncestor(const char* text) {
  char folder[kFolderWorkRoom];
  StrCopy(folder, text);
  for (;;) {
    std::int32_t cut = StrLength(folder);
    while (cut > 0 && folder[cut - 1] != '\\') --cut;
    if (cut <= 1) return false;
    folder[cut == 3 ? cut : cut - 1] = '\0';
    OsNode node;
    if (OsNodeOpen(folder, 0, &node)) {
      bool same = node.folder && !node.link && SameFolder(node.finalPath, folder);
      OsNodeClose(&node);
      return same;
    }
    if (!AlreadyGone(OsLastError()) || cut == 3) return false;
  }
}

// The root for a folder's text: opened once, checked once.
std::int32_t RootFor(const char* folder, RemovalRoot kind) {
  // Asked again for the same text: no canonical form computed twice.
  for (std::int32_t i = 0; i < g_roots.count; ++i)
    if (g_roots.items[i].kind == kind && StrEqual(g_roots.items[i].given, folder)) return i;
  char text[kFolderWorkRoom];
  if (!CanonicalPath(folder, text, sizeof text)) {
    LogPrint("Unable to resolve path '%s'\n", folder);
    return -1;
  }
  std::int32_t length = StrLength(text);
  while (length > 3 && text[length - 1] == '\\') text[--length] = '\0';
  for (std::int32_t i = 0; i < g_roots.count; ++i)
    if (g_roots.items[i].kind == kind && SameFolderText(g_roots.items[i].text, text)) return i;
  if (g_roots.count == kMostRoots) {
    LogPrint("Unable to use folder '%s': too many folders\n", text);
    return -1;
  }
  Root& root = g_roots.items[g_roots.count];
  root = Root{};
  StrCopy(root.text, text);
  StrCopyBounded(root.given, folder);
  root.kind = kind;
  if (!OsNodeOpen(text, 0, &root.node)) {
    std::uint32_t error = OsLastError();
    if (AlreadyGone(error) && ReachableAncestor(text)) {
      root.absent = true;
    } else {
      LogPrint("Unable to open folder '%s' (%d) (0x%.8X)\n", text, static_cast<int>(error), error);
      StrFormatBounded(g_refusal, sizeof g_refusal, "it cannot be opened, error %d", static_cast<int>(error));
      root.refused = true;
    }
  } else if (root.node.link) {
    LogPrint("Unable to use folder '%s': it is a link\n", text);
    StrCopyBounded(g_refusal, "it is a link");
    root.refused = true;
  } else if (!root.node.folder) {
    LogPrint("Unable to use '%s' as a folder\n", text);
    StrCopyBounded(g_refusal, "it is a file");
    root.refused = true;
  } else if (!SameFolder(root.node.finalPath, text)) {
    // Another drive letter, a share, Z: or a link on the way.
    LogPrint("Unable to use folder '%s': it is '%s'\n", text, root.node.finalPath);
    StrFormatBounded(g_refusal, sizeof g_refusal, "it is another name of '%s'", root.node.finalPath);
    root.refused = true;
  } else if ((kind == RemovalRoot::Product || kind == RemovalRoot::OwnFolder) && IsProtectedNode(root.node)) {
    LogPrint("Unable to use folder '%s': it is one of the system's own\n", text);
    StrCopyBounded(g_refusal, "it is one of the system's own folders");
    root.refused = true;
  }
  if (root.refused) OsNodeClose(&root.node);
  return g_roots.count++;
}

// ---- the open chain --------------------------------------------------------
// The folders from a root down to the last file's folder, kept open while
// the next paths lie in them (a file list runs folder by folder).
constexpr int kDeepest = 40;
struct Chain {
  std::int32_t root = -1;
  std::int32_t depth = 0;
  OsNode nodes[kDeepest];
  bool keep[kDeepest];  // never removed (protected, a shell group)
};
Chain g_chain;

void CloseChain() {
  while (g_chain.depth > 0) OsNodeClose(&g_chain.nodes[--g_chain.depth]);
  g_chain.root = -1;
}

OsNode* FolderAt(std::int32_t level) {
  return level == 0 ? &g_roots.items[g_chain.root].node : &g_chain.nodes[level - 1];
}

// The names of a path below its root; false when it does not lie strictly
// inside it.
struct Names {
  char text[kFolderWorkRoom];
  const char* names[kDeepest + 1];
  std::int32_t count = 0;
};

bool SplitBelow(const char* rootText, const char* path, Names* out) {
  std::int32_t length = StrLength(rootText);
  for (std::int32_t i = 0; i < length; ++i)
    if (Folded(path[i]) != Folded(rootText[i])) return false;
  const char* rest = path + length;
  if (length > 0 && rootText[length - 1] != '\\') {
    if (*rest != '\\') return false;
    ++rest;
  }
  if (*rest == '\0' || !StrCopyBounded(out->text, rest)) return false;
  out->count = 0;
  char* p = out->text;
  while (*p) {
    if (out->count == kDeepest + 1) return false;
    out->names[out->count++] = p;
    while (*p && *p != '\\') ++p;
    if (*p) *p++ = '\0';
  }
  for (std::int32_t i = 0; i < out->count; ++i)
    if (out->names[i][0] == '\0') return false;
  return out->count > 0;
}

// Whether the final path of a child is its parent's and its own name.
bool IsChildOf(const OsNode& child, const OsNode& parent, const char* name) {
  char expected[kFolderWorkRoom];
  const char* separator =
      StrLength(parent.finalPath) > 0 && parent.finalPath[StrLength(parent.finalPath) - 1] == '\\' ? "" : "\\";
  if (!StrFormatBounded(expected, sizeof expected, "%s%s%s", parent.finalPath, separator, name)) return false;
  return SameFolderText(child.finalPath, expected);
}

enum class Walked { Reached, Missing, Refused, Failed };

// Opens the folders of names[0..folders-1] below the root, reusing the
// chain. The depth reached in *reached.
Walked Walk(std::int32_t root, const Names& names, std::int32_t folders, std::int32_t* reached, const char* path) {
  if (g_chain.root != root) {
    CloseChain();
    g_chain.root = root;
  }
  std::int32_t common = 0;
  while (common < g_chain.depth && common < folders && StrEqualNoCase(g_chain.nodes[common].name, names.names[common]))
    ++common;
  while (g_chain.depth > common) OsNodeClose(&g_chain.nodes[--g_chain.depth]);
  *reached = g_chain.depth;
  for (std::int32_t level = g_chain.depth; level < folders; ++level) {
    OsNode* parent = FolderAt(level);
    OsNode child;
    if (!OsNodeOpenChild(parent, names.names[level], 1, &child)) {
      std::uint32_t error = OsLastError();
      if (AlreadyGone(error)) return Walked::Missing;
      if (error == kErrorDirectory) {
        LogPrint("Unable to delete file '%s': '%s' is not a folder\n", path, names.names[level]);
        return Walked::Refused;
      }
      LogPrint("Unable to open folder '%s\\%s' (%d) (0x%.8X)\n", parent->finalPath, names.names[level],
               static_cast<int>(error), error);
      return Walked::Failed;
    }
    if (child.link || !IsChildOf(child, *parent, names.names[level])) {
      LogPrint("Unable to delete file '%s': '%s' is a link to '%s'\n", path, names.names[level], child.finalPath);
      OsNodeClose(&child);
      return Walked::Refused;
    }
    g_chain.nodes[level] = child;
    Root& base = g_roots.items[root];
    g_chain.keep[level] = IsProtectedNode(child) ||
                          (base.kind == RemovalRoot::Programs && level == 0 && IsShellGroupName(names.names[level]));
    g_chain.depth = level + 1;
    *reached = g_chain.depth;
  }
  return Walked::Reached;
}

// The names of the chain down to a level, for log lines and the table.
void RelativeText(std::int32_t level, char* out, std::size_t capacity) {
  out[0] = '\0';
  for (std::int32_t i = 0; i < level; ++i) {
    if (i > 0) StrAppendBounded(out, capacity, "\\");
    StrAppendBounded(out, capacity, g_chain.nodes[i].name);
  }
}

void DisplayText(std::int32_t level, char* out, std::size_t capacity) {
  const char* root = g_roots.items[g_chain.root].text;
  StrCopyBounded(out, capacity, root);
  if (level == 0) return;
  std::int32_t length = StrLength(out);
  if (length == 0 || out[length - 1] != '\\') StrAppendBounded(out, capacity, "\\");
  char relative[kFolderWorkRoom];
  RelativeText(level, relative, sizeof relative);
  StrAppendBounded(out, capacity, relative);
}

std::int32_t EntriesOf(std::int32_t level) {
  OsNode* folder = FolderAt(level);
  FolderEntry* entry = KnownFolder(folder->finalPath);
  if (entry && entry->count >= 0) return entry->count;
  std::int32_t count = OsNodeCountEntries(folder);
  if (count >= 0) {
    char relative[kFolderWorkRoom];
    RelativeText(level, relative, sizeof relative);
    Learn(folder->finalPath, count, g_chain.root, relative);
  }
  return count;
}

// The root itself goes through a handle opened for that, checked to be the
// folder that was established.
bool RemoveRootFolder(Root* root, std::uint32_t* error) {
  OsNode fresh;
  if (!OsNodeOpen(root->text, 1, &fresh)) {
    *error = OsLastError();
    return false;
  }
  if (fresh.link || fresh.id.volume != root->node.id.volume || fresh.id.index != root->node.id.index) {
    OsNodeClose(&fresh);
    *error = kErrorAccessDenied;
    return false;
  }
  OsNodeClose(&root->node);
  if (!OsNodeDelete(&fresh)) {
    *error = OsLastError();
    return false;
  }
  root->removed = true;
  return true;
}

// Above a root that this run emptied and removed (or left to go at the
// restart): each folder that is empty now goes too, up to a protected
// folder or the first that still holds anything. Each is opened by its
// name, taken only when it is the very folder its name says (no link, no
// other name on the way), and listed and removed through that handle.
void ClimbAbove(const char* rootText, bool atRestart) {
  char folder[kFolderWorkRoom];
  StrCopy(folder, rootText);
  for (;;) {
    std::int32_t cut = StrLength(folder);
    while (cut > 0 && folder[cut - 1] != '\\') --cut;
    if (cut <= 3) return;  // a drive's root, or no folder above
    folder[cut - 1] = '\0';
    OsNode node;
    if (!OsNodeOpen(folder, 1, &node)) return;
    if (!node.folder || node.link || !SameFolder(node.finalPath, folder) || IsProtectedNode(node)) {
      OsNodeClose(&node);
      return;
    }
    std::int32_t entries = OsNodeCountEntries(&node);
    if (entries < 0) LogPrint("Error opening '%s'\n", folder);
    // Below it, only what goes at the restart: it goes then, after them.
    bool thenToo = atRestart && entries > 0 && ScheduledIn(node.finalPath) == entries;
    if (entries != 0 && !thenToo) {
      OsNodeClose(&node);
      return;
    }
    if (thenToo) {
      OsNodeClose(&node);
      if (!IsScheduled(folder) && !ScheduleAtRestart(folder, "folder")) return;
      continue;
    }
    if (OsNodeDelete(&node)) {
      LogPrint("Deleting '%s'\n", folder);
      continue;
    }
    // Something came into it since it was listed: in use.
    std::uint32_t error = OsLastError();
    if (error == kErrorDirNotEmpty) return;
    if (!AlreadyGone(error)) {
      LogPrint("Deleting '%s'\n", folder);
      LogPrint("Unable to delete dir '%s'\n", folder);
      return;
    }
  }
}

// Removes the folders from the chain's level up that are now empty, up to
// the first that still holds something. The root goes too when it is the
// product's own folder; a path variable's folder and the programs folder
// stay, and so does every protected folder. With above, the climb goes on
// past a root that went (ClimbAbove).
std::int32_t Climb(std::int32_t level, bool above = false) {
  if (!g_folders.rootIsCurrent) {
    // No folder being removed may be the current one.
    OsSetCurrentFolder("\\");
    g_folders.rootIsCurrent = g_folders.open;
  }
  Root& root = g_roots.items[g_chain.root];
  // The file's own folder is named as its path names it, with its final
  // separator; the folders above it without.
  bool first = true;
  for (; level >= 0; --level, first = false) {
    bool rootLevel = level == 0;
    if (rootLevel && root.kind != RemovalRoot::Product && root.kind != RemovalRoot::OwnFolder) return 1;
    if (rootLevel && root.removed) return 1;
    if (!rootLevel && g_chain.depth != level) return 1;
    OsNode* folder = FolderAt(level);
    char display[kFolderWorkRoom];
    DisplayText(level, display, sizeof display);
    if (first && display[StrLength(display) - 1] != '\\') StrAppendBounded(display, "\\");
    std::int32_t entries = EntriesOf(level);
    if (entries < 0) {
      LogPrint("Error opening '%s'\n", display);
      return 0;
    }
    // A folder that holds nothing but what goes at the restart goes then
    // too, after its entries.
    bool emptiedAtRestart = entries > 0 && ScheduledIn(folder->finalPath) == entries;
    if (entries > 0 && !emptiedAtRestart) return 1;
    if (rootLevel ? IsProtectedNode(*folder) : g_chain.keep[level - 1]) return 1;
    char finalPath[kFolderWorkRoom];
    StrCopy(finalPath, folder->finalPath);
    if (emptiedAtRestart) {
      if (!IsScheduled(finalPath) && !ScheduleAtRestart(finalPath, "folder")) return 0;
      if (!rootLevel) OsNodeClose(&g_chain.nodes[--g_chain.depth]);
      if (rootLevel && above) ClimbAbove(root.text, true);
    } else {
      std::uint32_t error = kErrorSuccess;
      bool removed = rootLevel ? RemoveRootFolder(&root, &error) : OsNodeDelete(folder) != 0;
      if (!rootLevel) --g_chain.depth;
      if (!removed) {
        if (!rootLevel) error = OsLastError();
        if (error == kErrorDirNotEmpty) {
          // Something else put an entry there since it was listed: the
          // folder is in use, as a fresh listing would have said.
          Forget(finalPath);
          return 1;
        }
        if (!AlreadyGone(error)) {
          LogPrint("Deleting '%s'\n", display);
          LogPrint("Unable to delete dir '%s'\n", display);
          return 0;
        }
        // Removed by someone else in the meantime: the climb goes on.
      } else {
        LogPrint("Deleting '%s'\n", display);
        if (rootLevel && above) ClimbAbove(root.text, false);
      }
      Forget(finalPath);
    }
    if (level > 0 && !emptiedAtRestart) Took(FolderAt(level - 1)->finalPath);
  }
  return 1;
}

// The file that waits for the process that started this run.
char g_deferred[kFolderWorkRoom];

// While the last start waits for its file, its failed tries are not logged.
bool g_quiet = false;

// What became of one path.
enum class Fate { Gone, Missing, Stays };

Fate RemoveBelow(std::int32_t rootIndex, const char* path, const char* given) {
  Root& root = g_roots.items[rootIndex];
  // Resolved by text only: what it names is then asked by handle.
  char file[kFolderWorkRoom];
  if (!OsResolvedPath(path, file, sizeof file)) {
    LogPrint("Unable to resolve path '%s'\n", given);
    return Fate::Stays;
  }
  std::int32_t length = StrLength(file);
  if (file[length - 1] == '\\') {
    LogPrint("Unable to delete folder '%s' as a file\n", file);
    return Fate::Stays;
  }
  Names names;
  // A short name on the way is expanded only when the text alone does not
  // lie below the root.
  if (!SplitBelow(root.text, file, &names) &&
      (!CanonicalPath(path, file, sizeof file) || !SplitBelow(root.text, file, &names))) {
    LogPrint("Unable to delete file '%s' outside the folder '%s'\n", file, root.text);
    return Fate::Stays;
  }
  if (root.refused) {
    LogPrint("Unable to delete file '%s'\n", given);
    return Fate::Stays;
  }
  // A file whose folder is already gone is as missing as one whose folder
  // is there.
  if (root.absent || root.removed) {
    if (!g_quiet) LogPrint("Unable to delete file '%s'\n", given);
    return Fate::Missing;
  }
  bool climbMissing = root.kind == RemovalRoot::Product;
  std::int32_t reached = 0;
  Walked walked = Walk(rootIndex, names, names.count - 1, &reached, file);
  if (walked == Walked::Refused || walked == Walked::Failed) return Fate::Stays;
  if (walked == Walked::Missing) {
    if (!g_quiet) LogPrint("Unable to delete file '%s'\n", given);
    // A missing file proves nothing about its folder: only inside the
    // product's own folder is an emptied folder taken then.
    if (climbMissing) Climb(reached);
    return Fate::Missing;
  }
  OsNode* folder = FolderAt(reached);
  const char* name = names.names[names.count - 1];
  OsNode node;
  Fate fate = Fate::Gone;
  bool deleted = false;
  std::uint32_t error = kErrorSuccess;
  if (!OsNodeOpenChild(folder, name, 0, &node)) {
    error = OsLastError();
  } else if (!IsChildOf(node, *folder, name) || (node.link && root.kind != RemovalRoot::Product)) {
    // A link goes as a link only as the product's own entry: outside its
    // folder the link is someone else's, whatever it leads to.
    LogPrint("Unable to delete file '%s': it is a link to '%s'\n", file, node.finalPath);
    OsNodeClose(&node);
    return Fate::Stays;
  } else {
    deleted = OsNodeDelete(&node) != 0;
    if (!deleted) error = OsLastError();
  }
  if (error == kErrorDirectoryNotSupported) {
    LogPrint("Unable to delete folder '%s' as a file\n", file);
    return Fate::Stays;
  }
  bool gone = deleted || AlreadyGone(error);
  if (!deleted && !g_quiet) LogPrint("Unable to delete file '%s'\n", given);
  if (!deleted && AlreadyGone(error)) fate = Fate::Missing;
  // Held open by another program: it goes when nothing holds it any more.
  // Until then it is still in its folder.
  char finalPath[kFolderWorkRoom];
  StrFormatBounded(finalPath, sizeof finalPath, "%s%s%s", folder->finalPath,
                   folder->finalPath[StrLength(folder->finalPath) - 1] == '\\' ? "" : "\\", name);
  bool atRestart =
      !gone && !g_quiet && InUse(error) && (IsScheduled(finalPath) || ScheduleAtRestart(finalPath, "file"));
  if (!gone && !atRestart) {
    if (!g_quiet) Climb(reached);
    return Fate::Stays;
  }
  if (deleted) {
    Took(folder->finalPath);
    root.took = true;
  }
  // Only a file this run removed empties the folders above its root.
  if (deleted || atRestart || climbMissing) Climb(reached, deleted || atRestart);
  return fate;
}

std::int32_t Outcome(Fate fate) {
  if (fate == Fate::Gone) ++g_roots.found;
  return fate == Fate::Stays ? 0 : 1;
}

}  // namespace

void RemovalBatchBegin() {
  RemovalBatchEnd();
  g_folders.open = true;
}

void RemovalBatchEnd() {
  if (g_folders.entries == nullptr) {
    CloseChain();
    g_folders = FolderTable{};
    return;
  }
  // The counts were this run's own view: a run beside it may have emptied a
  // folder that this one still counts as in use. Each folder met is asked
  // of the system once more.
  FolderEntry* entries = g_folders.entries;
  std::int32_t capacity = g_folders.capacity;
  g_folders = FolderTable{};
  g_folders.rootIsCurrent = true;
  for (std::int32_t i = 0; i < capacity; ++i) {
    if (entries[i].hash == 0 || entries[i].root < 0) continue;
    std::int32_t rootIndex = entries[i].root;
    Root& root = g_roots.items[rootIndex];
    if (root.refused || root.absent || root.removed) continue;
    Names names;
    char path[kFolderWorkRoom];
    std::int32_t reached = 0;
    if (entries[i].relative[0] == '\0') {
      CloseChain();
      g_chain.root = rootIndex;
    } else {
      if (!StrFormatBounded(path, sizeof path, "%s%s%s\\-", root.text,
                            root.text[StrLength(root.text) - 1] == '\\' ? "" : "\\", entries[i].relative) ||
          !SplitBelow(root.text, path, &names) ||
          Walk(rootIndex, names, names.count - 1, &reached, path) != Walked::Reached)
        continue;
    }
    if (OsNodeCountEntries(FolderAt(reached)) == 0) Climb(reached, root.took);
  }
  CloseChain();
  g_folders.rootIsCurrent = false;
  MemoryFree(&entries, capacity * static_cast<std::int32_t>(sizeof(FolderEntry)), kUnit, __LINE__);
}

void RemovalReset() {
  RemovalBatchEnd();
  for (std::int32_t i = 0; i < g_roots.count; ++i) OsNodeClose(&g_roots.items[i].node);
  g_roots.count = 0;
  g_roots.product = -1;
  g_roots.found = 0;
}

std::int32_t RemovalUseProductFolder(const char* folder) {
  CHECK_POINTER(kUnit, folder);
  RemovalReset();
  std::int32_t root = RootFor(folder, RemovalRoot::Product);
  if (root < 0 || g_roots.items[root].refused) return 0;
  g_roots.product = root;
  return 1;
}

const char* RemovalRefusal() { return g_refusal; }

bool RemovalProductFolderAbsent() { return g_roots.product >= 0 && g_roots.items[g_roots.product].absent; }

std::int32_t RemovalFilesFound() { return g_roots.found; }

const char* RemovalProductFolder() { return g_roots.product >= 0 ? g_roots.items[g_roots.product].text : nullptr; }

bool RemovalProductId(OsNodeId* id) {
  if (g_roots.product < 0 || g_roots.items[g_roots.product].absent) return false;
  *id = g_roots.items[g_roots.product].node.id;
  return true;
}

std::int32_t DeleteBelow(const char* rootFolder, RemovalRoot kind, const char* path) {
  CHECK_POINTER(kUnit, rootFolder);
  CHECK_POINTER(kUnit, path);
  LogPrint("Delete file '%s'\n", path);
  std::int32_t root =
      kind == RemovalRoot::Product && g_roots.product >= 0 ? g_roots.product : RootFor(rootFolder, kind);
  if (root < 0) return 0;
  return Outcome(RemoveBelow(root, path, path));
}

std::int32_t DeleteProductFile(const char* path) {
  CHECK_POINTER(kUnit, path);
  if (g_roots.product < 0) {
    LogPrint("Delete file '%s'\n", path);
    LogPrint("Unable to delete file '%s': no product folder\n", path);
    return 0;
  }
  return DeleteBelow(g_roots.items[g_roots.product].text, RemovalRoot::Product, path);
}

std::int32_t ResolveBelow(const char* rootFolder, RemovalRoot kind, const char* path, char* finalPath,
                          std::int32_t capacity, std::uint32_t* failure) {
  CHECK_POINTER(kUnit, rootFolder);
  CHECK_POINTER(kUnit, path);
  CHECK_POINTER(kUnit, finalPath);
  std::uint32_t unused = 0;
  std::uint32_t& error = failure ? *failure : unused;
  error = kErrorAccessDenied;
  std::int32_t root =
      kind == RemovalRoot::Product && g_roots.product >= 0 ? g_roots.product : RootFor(rootFolder, kind);
  char file[kFolderWorkRoom];
  Names names;
  if (root < 0 || !CanonicalPath(path, file, sizeof file)) return 0;
  Root& base = g_roots.items[root];
  if (!SplitBelow(base.text, file, &names)) {
    LogPrint("Unable to use '%s' outside the folder '%s'\n", file, base.text);
    return 0;
  }
  if (base.refused) return 0;
  if (base.absent || base.removed) {
    error = kErrorPathNotFound;
    return 0;
  }
  std::int32_t reached = 0;
  Walked walked = Walk(root, names, names.count - 1, &reached, file);
  if (walked != Walked::Reached) {
    if (walked != Walked::Refused) error = OsLastError();
    return 0;
  }
  OsNode* folder = FolderAt(reached);
  const char* name = names.names[names.count - 1];
  OsNode node;
  if (!OsNodeOpenChild(folder, name, 0, &node)) {
    error = OsLastError();
    return 0;
  }
  bool inside = !node.link && IsChildOf(node, *folder, name);
  if (!inside) LogPrint("Unable to use '%s': it is a link to '%s'\n", file, node.finalPath);
  bool fits = inside && StrCopyBounded(finalPath, static_cast<std::size_t>(capacity), node.finalPath);
  OsNodeClose(&node);
  if (inside && !fits) error = kErrorInvalidParameter;
  return fits ? 1 : 0;
}

std::int32_t FolderOfPath(const char* path, char* folder, std::int32_t capacity) {
  if (!StrCopyBounded(folder, static_cast<std::size_t>(capacity), path)) return 0;
  std::int32_t length = StrLength(folder);
  for (std::int32_t i = length - 1; i >= 1; --i) {
    if (folder[i] == '\\' || folder[i] == '/') {
      folder[i + 1] = '\0';
      return 1;
    }
  }
  return 1;
}

std::int32_t RegisterComponent(const char* path, std::int32_t registerFlag) {
  CHECK_POINTER(kUnit, path);
  OsHandle library = OsLoadLibrary(path, kLoadWithAlteredSearchPath);
  if (library == 0) {
    LogPrint("Error attempting to load '%s' (0x%.8X)\n", path, OsLastError());
    return 0;
  }
  using EntryPoint = std::int32_t(
#if defined(_WIN32)
      __stdcall
#endif
          *)();
  void* entry = OsLibraryEntry(library, registerFlag == 1 ? "DllRegisterServer" : "DllUnregisterServer");
  if (entry == nullptr) {
    LogPrint("Couldn't get entry point from '%s'\n", path);
    OsFreeLibrary(library);
    return 0;
  }
  std::int32_t status = reinterpret_cast<EntryPoint>(entry)();
  if (status < 0) {
    LogPrint("Failed in executing entry point from '%s'\n", path);
    OsFreeLibrary(library);
    return 0;
  }
  OsFreeLibrary(library);
  return 1;
}

std::int32_t RunProgram(const char* program, const char* parameters, std::int32_t wait, std::int32_t* exitCode) {
  CHECK_POINTER(kUnit, program);
  CHECK_POINTER(kUnit, exitCode);
  *exitCode = 0;
  OsHandle process = 0;
  if (!OsShellExecute("open", program, parameters, 10, &process)) {
    LogPrint("Unable to execute '%s' '%s' 0x%.8X\n", program, parameters ? parameters : "", OsLastError());
    return 1;
  }
  if (wait == 1 && process != 0) {
    do {
      PumpMessages();
    } while (OsWaitForProcess(process, 500) == kWaitTimeout);
    std::uint32_t code = 0;
    if (!OsProcessExitCode(process, &code)) {
      std::uint32_t error = OsLastError();
      LogPrint("Failed to get exit code (%d) (0x%.8X)\n", static_cast<int>(error), error);
    } else {
      *exitCode = static_cast<std::int32_t>(code);
    }
  }
  OsCloseHandle(process);
  return 1;
}

std::int32_t RemovalsAtRestart() { return g_restart.scheduled; }

std::int32_t DeferRemoval(const char* path) {
  CHECK_POINTER(kUnit, path);
  if (g_deferred[0] != '\0' || !CanonicalPath(path, g_deferred, sizeof g_deferred)) return 0;
  LogPrint("Delete file '%s' once this run has ended\n", g_deferred);
  return 1;
}

const char* DeferredRemoval() { return g_deferred[0] ? g_deferred : nullptr; }

bool IsCopyOfProgram(const char* path, const char* program) {
  std::FILE* a = OsOpenFile(path, "rb");
  std::FILE* b = a ? OsOpenFile(program, "rb") : nullptr;
  bool same = a && b;
  static char left[16384];
  static char right[16384];
  while (same) {
    std::size_t got = std::fread(left, 1, sizeof left, a);
    same = std::fread(right, 1, sizeof right, b) == got && std::memcmp(left, right, got) == 0;
    if (got == 0) break;
  }
  if (a) std::fclose(a);
  if (b) std::fclose(b);
  return same;
}

std::int32_t FinishRemovalOfCopy(const char* path, const char* program, std::int32_t patience) {
  CHECK_POINTER(kUnit, path);
  CHECK_POINTER(kUnit, program);
  char file[kFolderWorkRoom];
  char folder[kFolderWorkRoom];
  // Only ever the program this run was copied from.
  if (!CanonicalPath(path, file, sizeof file) || !IsCopyOfProgram(file, program) ||
      !FolderOfPath(file, folder, sizeof folder)) {
    LogPrint("Unable to delete file '%s': not this program\n", path);
    return 0;
  }
  // The waiting process ends as soon as this run's copy has: a few tries,
  // each through the folder that holds the file, checked once.
  std::int32_t root = RootFor(folder, RemovalRoot::OwnFolder);
  if (root < 0 || g_roots.items[root].refused) {
    LogPrint("Unable to delete file '%s'\n", file);
    return 0;
  }
  for (std::int32_t attempt = 0;; ++attempt) {
    g_quiet = attempt + 1 < patience;
    Fate fate = RemoveBelow(root, file, file);
    g_quiet = false;
    if (fate != Fate::Stays) {
      LogPrint("Delete file '%s'\n", file);
      CloseChain();
      return 1;
    }
    if (attempt + 1 >= patience) break;
    OsSleep(250);
  }
  CloseChain();
  return 0;
}
