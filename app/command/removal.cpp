// File removal, component registration and program execution.
#include "removal.h"

#include <cstring>

#include "os.h"
#include "protect.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "winhelpr.h"

namespace {

constexpr const char* kUnit = "command";

// ---- the folder counts of a removal batch ---------------------------------
// An open-addressing table keyed by the folder path (separators unified,
// ASCII letters folded, no trailing separator), taken from the tracked heap.
struct FolderEntry {
  std::uint32_t hash;
  std::int32_t count;            // entries the folder still holds
  char path[kFolderWorkRoom];    // the key
  char folder[kFolderWorkRoom];  // the folder as it was given
};

struct FolderTable {
  bool open = false;
  bool rootIsCurrent = false;  // the batch has made "\" the current folder
  FolderEntry* entries = nullptr;
  std::int32_t capacity = 0;  // slots, a power of two
  std::int32_t used = 0;
};
FolderTable g_folders;

void FolderKey(const char* folder, char* key) {
  std::int32_t length = 0;
  for (; folder[length] && length < kFolderWorkRoom - 1; ++length) {
    char c = folder[length];
    if (c == '/') c = '\\';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    key[length] = c;
  }
  while (length > 0 && key[length - 1] == '\\') --length;
  key[length] = '\0';
}

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

// The known entry of a folder, or null.
FolderEntry* KnownFolder(const char* folder) {
  if (!g_folders.open || g_folders.capacity == 0) return nullptr;
  char key[kFolderWorkRoom];
  FolderKey(folder, key);
  FolderEntry* entry = Slot(g_folders.entries, g_folders.capacity, key, HashOf(key));
  return entry->hash == 0 ? nullptr : entry;
}

void Learn(const char* folder, std::int32_t count) {
  if (!g_folders.open) return;
  if ((g_folders.used + 1) * 2 > g_folders.capacity) Grow();
  char key[kFolderWorkRoom];
  FolderKey(folder, key);
  std::uint32_t hash = HashOf(key);
  FolderEntry* entry = Slot(g_folders.entries, g_folders.capacity, key, hash);
  if (entry->hash == 0) {
    entry->hash = hash;
    StrCopy(entry->path, key);
    StrCopyBounded(entry->folder, sizeof entry->folder, folder);
    ++g_folders.used;
  }
  entry->count = count;
}

// This program took one entry out of the folder.
void Took(const char* folder) {
  if (FolderEntry* entry = KnownFolder(folder))
    if (entry->count > 0) --entry->count;
}

// How many entries the folder holds: known, or asked of the system (-1 when
// it cannot be listed).
std::int32_t EntriesOf(const char* folder) {
  FolderEntry* entry = KnownFolder(folder);
  if (entry && entry->count >= 0) return entry->count;
  std::int32_t count = OsCountFolderEntries(folder);
  if (count >= 0) Learn(folder, count);
  return count;
}

// Back to asking the system about this folder.
void Forget(const char* folder) {
  if (FolderEntry* entry = KnownFolder(folder)) entry->count = -1;
}

// Cuts the text after its last separator, scanning back to its second
// character; the separator stays.
void CutAfterLastSeparator(char* text) {
  std::int32_t length = StrLength(text);
  for (std::int32_t i = length - 1; i >= 1; --i) {
    if (text[i] == '\\' || text[i] == '/') {
      text[i + 1] = '\0';
      return;
    }
  }
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

// The file that waits for the process that started this run.
char g_deferred[kFolderWorkRoom];

}  // namespace

void RemovalBatchBegin() {
  RemovalBatchEnd();
  g_folders.open = true;
}

void RemovalBatchEnd() {
  if (g_folders.entries == nullptr) {
    g_folders = FolderTable{};
    return;
  }
  // The counts were this run's own view: a run beside it may have emptied a
  // folder that this one still counts as in use. Each folder met is asked
  // of the system once more.
  FolderEntry* entries = g_folders.entries;
  std::int32_t capacity = g_folders.capacity;
  g_folders = FolderTable{};
  for (std::int32_t i = 0; i < capacity; ++i) {
    if (entries[i].hash == 0 || entries[i].folder[0] == '\0') continue;
    if (OsCountFolderEntries(entries[i].folder) != 0) continue;
    char folder[kFolderWorkRoom];
    StrCopy(folder, entries[i].folder);
    RemoveEmptyFolders(folder);
  }
  MemoryFree(&entries, capacity * static_cast<std::int32_t>(sizeof(FolderEntry)), kUnit, __LINE__);
}

bool IsDriveRoot(const char* folder) {
  std::int32_t length = StrLength(folder);
  while (length > 0 && (folder[length - 1] == '\\' || folder[length - 1] == '/')) --length;
  if (length == 0) return true;                      // "\" or ""
  if (length == 2 && folder[1] == ':') return true;  // "C:" or "C:\"
  bool unc = (folder[0] == '\\' || folder[0] == '/') && (folder[1] == '\\' || folder[1] == '/');
  if (unc) {
    // \\server\share is a root; anything below it is a folder.
    std::int32_t separators = 0;
    for (std::int32_t i = 2; i < length; ++i)
      if (folder[i] == '\\' || folder[i] == '/') ++separators;
    return separators <= 1;
  }
  return false;
}

std::int32_t FolderOfPath(const char* path, char* folder, std::int32_t capacity) {
  if (!StrCopyBounded(folder, static_cast<std::size_t>(capacity), path)) return 0;
  CutAfterLastSeparator(folder);
  return 1;
}

std::int32_t DeleteProductFile(const char* path) {
  CHECK_POINTER(kUnit, path);
  LogPrint("Delete file '%s'\n", path);
  // What is deleted is the file the system would open for this path.
  char file[kFolderWorkRoom];
  if (!CanonicalPath(path, file, sizeof file)) {
    LogPrint("Unable to resolve path '%s'\n", path);
    return 0;
  }
  std::int32_t length = StrLength(file);
  if (file[length - 1] == '\\' || IsProtectedFolder(file)) {
    LogPrint("Unable to delete folder '%s' as a file\n", file);
    return 0;
  }
  bool deleted = OsDeleteFile(file) != 0;
  std::uint32_t error = deleted ? kErrorSuccess : OsLastError();
  bool gone = deleted || AlreadyGone(error);
  if (!deleted) LogPrint("Unable to delete file '%s'\n", path);
  // Held open by another program: it goes when nothing holds it any more.
  // Until then it is still in its folder.
  bool atRestart = !gone && InUse(error) && (IsScheduled(file) || ScheduleAtRestart(file, "file"));
  char folder[kFolderWorkRoom];
  if (!FolderOfPath(file, folder, sizeof folder)) {
    LogPrint("Unable to examine the folder of '%s'\n", path);
    return gone || atRestart ? 1 : 0;
  }
  // A file already gone counts as taken, so that two runs at once still
  // empty the folder between them.
  if (gone) Took(folder);
  RemoveEmptyFolders(folder);
  return gone || atRestart ? 1 : 0;
}

std::int32_t RemoveEmptyFolders(char* given) {
  CHECK_POINTER(kUnit, given);
  char folder[kFolderWorkRoom];
  if (!CanonicalPath(given, folder, sizeof folder)) {
    LogPrint("Error opening '%s'\n", given);
    return 0;
  }
  for (;;) {
    // A drive root is never removed, whatever the form of its path.
    if (IsDriveRoot(folder)) return 1;
    // Nothing but this climb changes the current folder, so within a batch
    // once is enough.
    if (!g_folders.rootIsCurrent) {
      OsSetCurrentFolder("\\");
      g_folders.rootIsCurrent = g_folders.open;
    }
    std::int32_t entries = EntriesOf(folder);
    if (entries < 0) {
      LogPrint("Error opening '%s'\n", folder);
      return 0;
    }
    // A folder that holds nothing but what goes at the restart goes then
    // too, after its entries.
    bool emptiedAtRestart = entries > 0 && ScheduledIn(folder) == entries;
    if (entries > 0 && !emptiedAtRestart) return 1;
    if (IsProtectedFolder(folder)) return 1;
    if (emptiedAtRestart) {
      if (!IsScheduled(folder) && !ScheduleAtRestart(folder, "folder")) return 0;
    } else if (!OsRemoveFolder(folder)) {
      std::uint32_t error = OsLastError();
      if (error == kErrorDirNotEmpty) {
        // Something else put an entry there since it was listed: the folder
        // is in use, as a fresh listing would have said.
        Forget(folder);
        return 1;
      }
      if (!AlreadyGone(error)) {
        LogPrint("Deleting '%s'\n", folder);
        LogPrint("Unable to delete dir '%s'\n", folder);
        return 0;
      }
      // Removed by someone else in the meantime: the climb goes on.
    } else {
      LogPrint("Deleting '%s'\n", folder);
    }
    if (!emptiedAtRestart) Forget(folder);
    // The parent: scan back from the second-to-last character.
    std::int32_t length = StrLength(folder);
    std::int32_t cut = -1;
    for (std::int32_t i = length - 2; i >= 0; --i) {
      if (folder[i] == '\\' || folder[i] == '/') {
        cut = i;
        break;
      }
    }
    if (cut < 0) return 1;
    folder[cut] = '\0';
    if (!emptiedAtRestart) Took(folder);
    if (StrLength(folder) <= 3) return 1;
  }
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
  // Only ever the program this run was copied from.
  if (!CanonicalPath(path, file, sizeof file) || !IsCopyOfProgram(file, program)) {
    LogPrint("Unable to delete file '%s': not this program\n", path);
    return 0;
  }
  // The waiting process ends as soon as this run's copy has: a few tries.
  for (std::int32_t attempt = 0; attempt < patience; ++attempt) {
    if (OsDeleteFile(file)) {
      LogPrint("Delete file '%s'\n", file);
      char folder[kFolderWorkRoom];
      if (FolderOfPath(file, folder, sizeof folder)) RemoveEmptyFolders(folder);
      return 1;
    }
    if (AlreadyGone(OsLastError())) return 1;
    OsSleep(250);
  }
  return DeleteProductFile(file);
}
