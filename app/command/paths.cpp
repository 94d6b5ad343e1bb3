// Path variables, the folder queries behind them, and the two keywords that
// establish the product's folder.
#include "paths.h"

#include "handlers.h"
#include "problems.h"
#include "protect.h"
#include "registry.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "command";

std::uint32_t OsCapacity(std::size_t capacity) {
  return capacity > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(capacity);
}

// The system's answer with '\' separators and a '\' at its end.
std::int32_t Normalise(std::uint32_t given, char* destination, std::size_t capacity) {
  if (capacity == 0) return 0;
  SlashesToBackslashes(destination);
  std::size_t length = static_cast<std::size_t>(StrLength(destination));
  if (length == 0 || destination[length - 1] != '\\') {
    if (length + 2 > capacity) return 0;
    destination[length] = '\\';
    destination[length + 1] = '\0';
  }
  return given != 0 ? 1 : 0;
}

// Cuts a program path after its folder: C:\Temp\prog.exe gives C:\Temp\,
// C:prog.exe gives C:\. 0 when the path names no folder at all.
std::int32_t KeepFolder(char* path, std::size_t capacity) {
  for (std::size_t i = static_cast<std::size_t>(StrLength(path)); i-- > 0;) {
    if (path[i] == '\\') {
      path[i + 1] = '\0';
      return 1;
    }
    if (path[i] == ':') {
      if (i + 2 >= capacity) return 0;
      path[i + 1] = '\\';
      path[i + 2] = '\0';
      return 1;
    }
  }
  return 0;
}

// The program files folder: "ProgramFilesDir" of the machine, or the system
// folder's drive with "Program Files\".
std::int32_t ProgramFilesFolder(char* destination, std::size_t capacity) {
  if (!QuerySystemFolder(destination, capacity)) return 0;
  if (StrLength(destination) > 3) destination[3] = '\0';
  if (!StrAppendBounded(destination, capacity, "Program Files\\")) return 0;
  RegistryKey key = kRegistryNoKey;
  if (!RegistryOpenKey(&key, RegistryLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion")) {
    LogPrint("Unable to get Program Files path\n");
  } else {
    RegistryGetString(key, "ProgramFilesDir", destination, capacity);
    RegistryCloseKey(&key);
    std::int32_t length = StrLength(destination);
    if ((length == 0 || destination[length - 1] != '\\') && !StrAppendBounded(destination, capacity, "\\")) return 0;
  }
  LogPrint("$0 Translates to '%s'\n", destination);
  return 1;
}

std::int32_t RefuseInstallPath(InstallSettings* settings) {
  settings->Text[0] = '\0';
  ShowProblem("Installation script corrupted!", nullptr);
  return 0;
}

}  // namespace

std::int32_t QueryCurrentFolder(char* destination, std::size_t capacity) {
  CHECK_POINTER(kUnit, destination);
  return Normalise(OsCurrentFolder(destination, OsCapacity(capacity)), destination, capacity);
}

std::int32_t QueryTempFolder(char* destination, std::size_t capacity) {
  CHECK_POINTER(kUnit, destination);
  return Normalise(OsTempPath(destination, OsCapacity(capacity)), destination, capacity);
}

std::int32_t QueryWindowsFolder(char* destination, std::size_t capacity) {
  CHECK_POINTER(kUnit, destination);
  return Normalise(OsWindowsFolder(destination, OsCapacity(capacity)), destination, capacity);
}

std::int32_t QuerySystemFolder(char* destination, std::size_t capacity) {
  CHECK_POINTER(kUnit, destination);
  return Normalise(OsSystemFolder(destination, OsCapacity(capacity)), destination, capacity);
}

std::int32_t QueryProgramFolder(char* destination, std::size_t capacity) {
  CHECK_POINTER(kUnit, destination);
  if (capacity == 0) return 0;
  if (GetArgument(OsCommandLine(), 0, destination, capacity)) {
    SlashesToBackslashes(destination);
    if (KeepFolder(destination, capacity)) return 1;
  }
  // Started by a bare name (or one too long to hold): the system's own
  // record of the executable's full path tells the folder.
  if (OsModuleFileName(destination, OsCapacity(capacity)) != 0) {
    SlashesToBackslashes(destination);
    if (KeepFolder(destination, capacity)) return 1;
  }
  destination[0] = '\0';
  return 0;
}

std::int32_t SlashesToBackslashes(char* text) {
  CHECK_POINTER(kUnit, text);
  for (; *text; ++text)
    if (*text == '/') *text = '\\';
  return 1;
}

std::int32_t ExpandPath(InstallSettings* settings, const char* path, char* destination, std::size_t capacity,
                        std::uint32_t* flags) {
  CHECK_POINTER(kUnit, settings);
  CHECK_POINTER(kUnit, path);
  CHECK_POINTER(kUnit, destination);
  CHECK_POINTER(kUnit, flags);
  *flags = 0;
  bool fitted = capacity > 0;
  if (fitted && destination != settings->InstallPath)
    fitted = StrCopyBounded(destination, capacity, settings->InstallPath) != 0;
  const char* p = path;
  char folder[kPathQueryCapacity];
  while (fitted && *p == '$') {
    char command = p[1];
    std::int32_t found = -1;  // -1: the destination stays as it is
    switch (command) {
      case '0': found = ProgramFilesFolder(folder, sizeof folder); break;
      case '1': found = QueryWindowsFolder(folder, sizeof folder); break;
      case '2': found = QuerySystemFolder(folder, sizeof folder); break;
      case '3': found = QueryProgramFolder(folder, sizeof folder); break;
      case '4': found = QueryTempFolder(folder, sizeof folder); break;
      case '5': found = QueryCurrentFolder(folder, sizeof folder); break;
      case '?': *flags |= kExpandNoFolder; break;
      // A '$' at the very end is named by itself: the terminator would cut
      // the log line.
      default: LogPrint("Unknown command '%c'\n", command != '\0' ? command : '$'); break;
    }
    if (found == 0) {
      fitted = false;
    } else if (found == 1) {
      fitted = StrCopyBounded(destination, capacity, folder) != 0;
      *flags |= kExpandFromVariable;
    }
    if (command == '\0') {
      if (fitted) return 1;  // a '$' at the very end: nothing follows
      break;
    }
    p += 2;
  }
  if (fitted && *p == '\\') ++p;
  if (fitted) fitted = StrAppendBounded(destination, capacity, p) != 0;
  if (!fitted) {
    LogPrint("Unable to expand '%s'\n", path);
    if (capacity > 0) destination[0] = '\0';
    return 0;
  }
  return 1;
}

std::int32_t ReadRecordedFolder(InstallSettings* settings, RegistryKey key) {
  CHECK_POINTER(kUnit, settings);
  char folder[sizeof settings->InstallPath];
  std::int32_t found = RegistryReadString(key, "Install Path", folder);
  if (found == kRegistryValueMissing) {
    LogPrint("Unable to get '%s' string\n", "Install Path");
    return 0;
  }
  if (found != kRegistryValueFound) {
    LogPrint("Unable to read 'Install Path' of '%s'\n", settings->RegistryPath);
    return -1;
  }
  // "C:\Apps\Viewer" names the folder Viewer: its entries go below it.
  std::int32_t length = StrLength(folder);
  bool fits = length == 0 || folder[length - 1] == '\\' || StrAppendBounded(folder, "\\");
  if (!fits || !IsUsableProductFolder(folder)) {
    LogPrint("Unable to use 'Install Path' '%s' of '%s'\n", folder, settings->RegistryPath);
    return -1;
  }
  StrCopy(settings->InstallPath, folder);
  return 1;
}

std::int32_t HandleInstallDir(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CHECK_POINTER(kUnit, settings);
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, consumed);
  // Read aside first: a name that does not fit never reaches InstallDir.
  char folder[KeywordRoom(kKeywordInstallDir, 1)];  // fits InstallDir (keywords.cpp)
  if (!ReadArgument(arguments, folder, consumed)) return RefuseOverlongArgument(kKeywordInstallDir, sizeof folder);
  std::int32_t length = StrLength(folder);
  if (length > 0 && folder[length - 1] != '\\' && !StrAppendBounded(folder, "\\"))
    return RefuseOverlongArgument(kKeywordInstallDir, sizeof folder - 1);
  StrCopy(settings->InstallDir, folder);
  return 1;
}

std::int32_t HandleInstallPath(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  CHECK_POINTER(kUnit, settings);
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, consumed);
  ReadArgument(arguments, settings->Text, consumed);  // not used
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, "$0", settings->InstallPath, &flags)) return RefuseInstallPath(settings);
  char folder[sizeof settings->InstallPath];
  if (!ExpandPath(settings, settings->InstallDir, folder, &flags)) return RefuseInstallPath(settings);
  StrCopy(settings->InstallPath, folder);
  if (settings->RegistryPath[0] != '\0') {
    RegistryKey key = kRegistryNoKey;
    if (RegistryOpenKey(&key, RegistryCurrentUser, settings->RegistryPath)) {
      ReadRecordedFolder(settings, key);
      RegistryCloseKey(&key);
    }
  }
  settings->Text[0] = '\0';
  return 1;
}
