// The relaunch's private copy. Each run makes a folder of its own under the
// temporary folder, "Del" and eight hexadecimal digits, which must not exist
// yet, and copies the program into it under the same name with ".exe", as a
// new file: nothing that someone else put in the temporary folder is ever
// written to, started or removed.
#include "relaunch.h"

#include <cstdio>
#include <cstring>

#include "command/removal.h"
#include "os.h"
#include "problems.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

// Windows caps a process command line at 32767 characters.
constexpr std::size_t kCommandLineRoom = 32768;
constexpr std::size_t kPathRoom = 260;
constexpr int kFolderAttempts = 16;
// How many earlier copies one start looks at; the rest wait for the next.
constexpr int kCandidates = 64;
constexpr std::size_t kNameRoom = 16;

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// "C:\folder\" and "name" to "C:\folder\name"; false when it would not fit.
bool Join(char (&out)[kPathRoom], const char* folder, const char* name) {
  return StrFormatBounded(out, sizeof out, "%s%s", folder, name) == 1;
}

void ReportFailedStart(const char* text) { ShowProblem(text, nullptr); }

// Takes back what a failed relaunch made: the copy and its folder.
void Discard(const char* copy, const char* folder) {
  if (copy[0] && OsFileExists(copy)) OsDeleteFile(copy);
  OsRemoveFolder(folder);
}

// What an earlier run's folder holds.
struct Contents {
  const char* copyName;
  bool copy = false;
  bool log = false;
  bool other = false;
};

void Sort(void* context, const char* name, int isFolder) {
  Contents* contents = static_cast<Contents*>(context);
  if (!isFolder && StrEqual(name, contents->copyName))
    contents->copy = true;
  else if (!isFolder && StrEqual(name, "debug.log"))
    contents->log = true;
  else
    contents->other = true;
}

struct Candidates {
  char names[kCandidates][kNameRoom];
  int count = 0;
};

void Collect(void* context, const char* name, int isFolder) {
  Candidates* candidates = static_cast<Candidates*>(context);
  if (!isFolder || !IsCopyFolderName(name) || candidates->count == kCandidates) return;
  StrCopyBounded(candidates->names[candidates->count++], kNameRoom, name);
}

// Where a program file's archive begins: the offset its last four bytes
// give (little-endian). 0 when the file holds no such offset.
std::uint32_t ArchiveOffset(std::FILE* file) {
  unsigned char field[4];
  if (std::fseek(file, -4, SEEK_END) != 0 || std::fread(field, 1, 4, file) != 4) return 0;
  long size = std::ftell(file);
  std::uint32_t offset = static_cast<std::uint32_t>(field[0]) | static_cast<std::uint32_t>(field[1]) << 8 |
                         static_cast<std::uint32_t>(field[2]) << 16 | static_cast<std::uint32_t>(field[3]) << 24;
  return size > 4 && offset < static_cast<std::uint32_t>(size) - 4 ? offset : 0;
}

// Whether a file is this program: the same bytes up to where the archive
// begins (the product's archive may differ). A file planted under a copy's
// name is someone else's.
}  // namespace

bool IsThisProgram(const char* path, const char* module) {
  std::FILE* a = OsOpenFile(path, "rb");
  std::FILE* b = a ? OsOpenFile(module, "rb") : nullptr;
  std::uint32_t length = a && b ? ArchiveOffset(a) : 0;
  bool same =
      length != 0 && ArchiveOffset(b) == length && std::fseek(a, 0, SEEK_SET) == 0 && std::fseek(b, 0, SEEK_SET) == 0;
  static char left[16384];
  static char right[16384];
  while (same && length > 0) {
    std::size_t want = length < sizeof left ? length : sizeof left;
    same = std::fread(left, 1, want, a) == want && std::fread(right, 1, want, b) == want &&
           std::memcmp(left, right, want) == 0;
    length -= static_cast<std::uint32_t>(want);
  }
  if (a) std::fclose(a);
  if (b) std::fclose(b);
  return same;
}

namespace {

// One earlier run's folder: its copy goes unless a process still runs it,
// and the folder with it when nothing else is left in it.
bool RemoveEarlierCopy(const char* tempFolder, const char* name, const char* module) {
  char folder[kPathRoom];
  char copyName[kNameRoom + 4];
  char copy[kPathRoom];
  char log[kPathRoom];
  StrFormatBounded(copyName, sizeof copyName, "%s.exe", name);
  if (!Join(folder, tempFolder, name) || !StrFormatBounded(copy, sizeof copy, "%s\\%s", folder, copyName) ||
      !StrFormatBounded(log, sizeof log, "%s\\debug.log", folder))
    return false;
  // A link leads somewhere else: never follow one.
  if (OsIsLink(folder)) return false;
  Contents contents;
  contents.copyName = copyName;
  if (!OsListFolder(folder, Sort, &contents)) return false;
  // Only a folder that holds our copy and nothing but its log is ours.
  if (!contents.copy || contents.other || OsIsLink(copy) || (contents.log && OsIsLink(log))) return false;
  // Someone else's file under a copy's name: passed over without a word.
  if (!IsThisProgram(copy, module)) return false;
  if (!OsDeleteIdleProgram(copy)) return false;
  LogPrint("Deleting '%s'\n", copy);
  if (!contents.log && OsRemoveFolder(folder)) LogPrint("Deleting '%s'\n", folder);
  return true;
}

// The folder of a path ("C:\a\b.exe" gives "C:\a\"), and its last name.
bool SplitPath(const char* path, char (&folder)[kPathRoom], const char** name) {
  std::int32_t cut = -1;
  for (std::int32_t i = 0; path[i]; ++i)
    if (path[i] == '\\') cut = i;
  if (cut < 0 || !StrCopyBounded(folder, path)) return false;
  folder[cut + 1] = '\0';
  *name = path + cut + 1;
  return true;
}

// Waits for the copy that an unattended start runs; its exit code.
std::int32_t AwaitCopy(OsHandle child) {
  while (OsWaitForProcess(child, 1000) == kWaitTimeout) {
  }
  std::uint32_t code = 0;
  std::int32_t result = 1;
  if (!OsProcessExitCode(child, &code)) {
    std::uint32_t error = OsLastError();
    LogPrint("Failed to get exit code (%d) (0x%.8X)\n", static_cast<int>(error), error);
  } else {
    result = static_cast<std::int32_t>(code);
    LogPrint("Exit code %d\n", result);
  }
  OsCloseHandle(child);
  return result;
}

// The path after "-Finish" in the argument text, into path when given.
bool FinisherArgument(const char* arguments, char (*path)[kPathRoom]) {
  if (arguments == nullptr) return false;
  char argument[kPathRoom];
  for (std::int32_t i = 0; GetArgument(arguments, i, argument); ++i) {
    if (!StrEqualNoCase(argument, "-Finish")) continue;
    char next[kPathRoom];
    if (!GetArgument(arguments, i + 1, next)) return false;
    if (path) StrCopyBounded(*path, next);
    return true;
  }
  return false;
}

// How long the last start waits for the waiting process to end, in steps
// of a quarter of a second.
constexpr std::int32_t kFinisherPatience = 120;

}  // namespace

// A fresh folder under the temporary folder; its path (with '\') and the
// copy's path. CreateDirectory fails on an existing name: take another.
bool MakePrivateFolder(const char* tempFolder, char (&folder)[kPathRoom], char (&copy)[kPathRoom],
                       std::uint32_t (*number)(), std::uint32_t* failure) {
  std::uint32_t error = kErrorAlreadyExists;
  for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
    char name[kNameRoom];
    StrFormatBounded(name, sizeof name, "Del%08X", static_cast<unsigned>(number()));
    char path[kPathRoom];
    if (!StrFormatBounded(path, sizeof path, "%s%s", tempFolder, name) ||
        !StrFormatBounded(copy, sizeof copy, "%s\\%s.exe", path, name)) {
      error = kErrorInvalidParameter;
      LogPrint("Unable to create a folder in '%s' (%d) (0x%.8X)\n", tempFolder, static_cast<int>(error), error);
      if (failure) *failure = error;
      return false;
    }
    if (OsCreateFolder(path)) {
      StrFormatBounded(folder, sizeof folder, "%s\\", path);
      return true;
    }
    error = OsLastError();
    if (error != kErrorAlreadyExists) {
      LogPrint("Unable to create folder '%s' (%d) (0x%.8X)\n", path, static_cast<int>(error), error);
      if (failure) *failure = error;
      return false;
    }
  }
  LogPrint("Unable to create a folder in '%s' (%d) (0x%.8X)\n", tempFolder, static_cast<int>(error), error);
  if (failure) *failure = error;
  return false;
}

bool IsCopyFolderName(const char* name) {
  if (name[0] != 'D' || name[1] != 'e' || name[2] != 'l') return false;
  for (int i = 3; i < 11; ++i)
    if (!IsHexDigit(name[i])) return false;
  return name[11] == '\0';
}

std::int32_t RemoveEarlierCopies(const char* tempFolder, const char* program) {
  CHECK_POINTER("winmain", tempFolder);
  char module[kPathRoom] = {};
  if (program ? !StrCopyBounded(module, program) : !OsModuleFileName(module, sizeof module)) return 0;
  Candidates candidates;
  if (!OsListFolder(tempFolder, Collect, &candidates)) return 0;
  std::int32_t removed = 0;
  for (int i = 0; i < candidates.count; ++i)
    if (RemoveEarlierCopy(tempFolder, candidates.names[i], module)) ++removed;
  return removed;
}

std::int32_t ScheduleOwnRemoval() {
  char module[kPathRoom] = {};
  char tempFolder[kPathRoom] = {};
  char folder[kPathRoom] = {};
  char parent[kPathRoom] = {};
  const char* file = nullptr;
  const char* folderName = nullptr;
  if (!OsModuleFileName(module, sizeof module) || !OsTempPath(tempFolder, sizeof tempFolder)) return 0;
  if (!SplitPath(module, folder, &file)) return 0;
  // The copy's folder without its '\', then that folder's own parent.
  char bare[kPathRoom];
  StrCopyBounded(bare, folder);
  bare[StrLength(bare) - 1] = '\0';
  if (!SplitPath(bare, parent, &folderName)) return 0;
  char expected[kNameRoom + 4];
  StrFormatBounded(expected, sizeof expected, "%s.exe", folderName);
  // Only a copy that Relaunch made: the right names, in the temporary folder.
  if (!IsCopyFolderName(folderName) || !StrEqual(file, expected) || !StrEqualNoCase(parent, tempFolder)) return 0;
  std::int32_t scheduled = 1;
  // The file first: the folder can only go once it is empty.
  const char* paths[] = {module, bare};
  for (const char* path : paths) {
    if (!OsDeleteAtRestart(path)) {
      std::uint32_t error = OsLastError();
      LogPrint("Unable to schedule '%s' for removal at restart (%d) (0x%.8X)\n", path, static_cast<int>(error), error);
      scheduled = 0;
    }
  }
  return scheduled;
}

std::int32_t Relaunch(const char* tail, std::int32_t* exitCode) {
  static char commandLine[kCommandLineRoom];
  char module[kPathRoom] = {};
  char tempFolder[kPathRoom] = {};
  char folder[kPathRoom] = {};
  char copy[kPathRoom] = {};
  const char* couldNotCopy = "Unable to start: the program could not be copied to the temporary folder.";

  // No copy, nothing started: a start of whatever lies at the copy's name
  // would run a program this run did not make.
  std::uint32_t error = kErrorSuccess;
  bool named = OsModuleFileName(module, sizeof module) && OsTempPath(tempFolder, sizeof tempFolder) &&
               (tempFolder[StrLength(tempFolder) - 1] == '\\' || StrAppendBounded(tempFolder, "\\"));
  if (!named) error = OsLastError();
  if (named) RemoveEarlierCopies(tempFolder);
  bool copied = named && MakePrivateFolder(tempFolder, folder, copy, OsFreshNumber, &error);
  if (copied) {
    LogPrint("Copy: %s -> %s\n", module, copy);
    copied = OsCopyFileNew(module, copy) != 0;
    if (!copied) {
      error = OsLastError();
      Discard("", folder);
    }
  }
  if (!copied) {
    LogPrint("Failed to copy file (%d) (0x%.8X)\n", static_cast<int>(error), error);
    ReportFailedStart(couldNotCopy);
    return 0;
  }

  OsHandle self = OsOpenOwnProcessForChild();
  OsHandle child = 0;
  bool whole = tail ? StrFormatBounded(commandLine, sizeof commandLine, "\"%s\" -Spawn %s", copy, tail)
                    : StrFormatBounded(commandLine, sizeof commandLine, "\"%s\" -Spawn", copy);
  bool started = false;
  // A cut command line would change what the copy does: never start one.
  if (!whole) {
    LogPrint("Failed to create process (%d) (0x%.8X)\n", static_cast<int>(kErrorInvalidParameter),
             kErrorInvalidParameter);
  } else if (!OsStartProcess(commandLine, exitCode ? &child : nullptr)) {
    error = OsLastError();
    LogPrint("Failed to create process (%d) (0x%.8X)\n", static_cast<int>(error), error);
  } else {
    started = true;
  }
  LogPrint("Exec: %s (0x%.8X)\n", commandLine, static_cast<unsigned>(self));
  OsCloseHandle(self);
  if (!started) {
    Discard(copy, folder);
    ReportFailedStart("Unable to start: the program's temporary copy could not be run.");
    return 0;
  }
  if (exitCode) *exitCode = AwaitCopy(child);
  return 1;
}

bool IsFinisherStart(const char* arguments) { return FinisherArgument(arguments, nullptr); }

std::int32_t StartFinisher(const char* path) {
  static char commandLine[kCommandLineRoom];
  char module[kPathRoom] = {};
  if (!OsModuleFileName(module, sizeof module)) return 0;
  // The log goes on in the same file.
  const char* log = (LogFlags() & LogFile) ? " -debug -append" : "";
  if (!StrFormatBounded(commandLine, sizeof commandLine, "\"%s\" -Spawn -Finish \"%s\"%s", module, path, log) ||
      !OsStartProcess(commandLine)) {
    std::uint32_t error = OsLastError();
    LogPrint("Failed to create process (%d) (0x%.8X)\n", static_cast<int>(error), error);
    return 0;
  }
  LogPrint("Exec: %s\n", commandLine);
  return 1;
}

std::int32_t RunFinisher(const char* arguments) {
  char path[kPathRoom] = {};
  char module[kPathRoom] = {};
  if (!FinisherArgument(arguments, &path) || !OsModuleFileName(module, sizeof module)) return 0;
  return FinishRemovalOfCopy(path, module, kFinisherPatience);
}
