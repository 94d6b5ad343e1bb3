// The uninstall procedure: "INSTALL" asks and removes the product's files,
// "DONE" removes its installed-programs entry and reports; "OLE" reverses a
// component's registration.
#include <cstring>

#include "handlers.h"
#include "held.h"
#include "os.h"
#include "paths.h"
#include "problems.h"
#include "progress.h"
#include "protect.h"
#include "register/register.h"
#include "registry.h"
#include "removal.h"
#include "shared.h"
#include "shortcuts.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "update/update.h"

namespace {

constexpr const char* kUnit = "command";
constexpr int kWorkRoom = 144;
constexpr int kKeyRoom = 320;
constexpr std::int32_t kRootCurrentUser = 1;
constexpr std::int32_t kRootLocalMachine = 4;

// The folder a script path is written against: the folder of its path
// variables, or the product's folder when it starts with none.
bool ScriptPathRoot(InstallSettings* settings, const char* scriptPath, char* root, std::size_t capacity,
                    RemovalRoot* kind) {
  char variables[kWorkRoom];
  std::int32_t length = 0;
  while (scriptPath[length] == '$' && scriptPath[length + 1] != '\0' && length + 3 < kWorkRoom) length += 2;
  std::memcpy(variables, scriptPath, static_cast<std::size_t>(length));
  variables[length] = '\0';
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, variables, root, capacity, &flags)) return false;
  *kind = (flags & kExpandFromVariable) != 0 ? RemovalRoot::Variable : RemovalRoot::Product;
  return true;
}

// Whether a script path holds a ".." name: a component is only ever named
// straight below the folder it is written against.
bool ClimbsWithDots(const char* path) {
  for (const char* p = path; *p; ++p) {
    bool start = p == path || p[-1] == '\\' || p[-1] == '/' || (p - path >= 2 && p[-2] == '$');
    if (start && p[0] == '.' && p[1] == '.' && (p[2] == '\0' || p[2] == '\\' || p[2] == '/')) return true;
  }
  return false;
}

// Expands a script path of the product and deletes the file; 1 when it is
// gone. A path that cannot be expanded whole is passed over (ExpandPath has
// said why); whatever its ".." say, it must stay inside the folder it is
// written against.
std::int32_t DeleteScriptPath(InstallSettings* settings, const char* scriptPath) {
  char path[kWorkRoom];
  char root[kKeyRoom];
  std::uint32_t flags = 0;
  RemovalRoot kind = RemovalRoot::Product;
  if (!ExpandPath(settings, scriptPath, path, sizeof path, &flags) ||
      !ScriptPathRoot(settings, scriptPath, root, sizeof root, &kind))
    return 0;
  // Named through a path variable outside the product's folder: a shared
  // file, which goes only with its last user.
  if (kind == RemovalRoot::Variable && !IsProductFile(path)) return ReleaseSharedFile(root, path);
  return DeleteBelow(root, kind, path);
}

// Nothing can be removed: the product is not installed, or the folder it
// names cannot serve.
std::int32_t StopUninstall(InstallSettings* settings, std::int32_t outcome) {
  ShowProblem("Unable to find previous installation; files could not be removed.", nullptr);
  ReportOutcome(outcome);
  settings->Mode = RunModeNone;
  HeldActionsDiscard();
  return 1;
}

// The product's folder, established before anything is removed: the one
// recorded under the product's key, or the computed one when the key
// records none. 0 when neither can serve (logged).
bool EstablishFolder(InstallSettings* settings, bool* keyMissing) {
  *keyMissing = false;
  if (settings->RegistryPath[0] != '\0') {
    if (!RegistryKeyExists(kRootCurrentUser, settings->RegistryPath)) {
      *keyMissing = true;
      return true;
    }
    RegistryKey key = kRegistryNoKey;
    if (!RegistryOpenKey(&key, kRootCurrentUser, settings->RegistryPath)) {
      SetErrorLocation(kUnit, 465);
      Abort("Unable to open key '%s'\n", settings->RegistryPath);
    }
    std::int32_t recorded = ReadRecordedFolder(settings, key);
    RegistryCloseKey(&key);
    if (recorded < 0) return false;
    if (recorded > 0) return true;
  }
  if (!IsUsableProductFolder(settings->InstallPath)) {
    LogPrint("Unable to use '%s' as the product's folder\n", settings->InstallPath);
    return false;
  }
  return true;
}

// The product's folder taken by what it is, before the question: a folder
// that is a link, another name of another folder or one of the system's own
// is refused, and the user told why.
bool EstablishIdentity(InstallSettings* settings) {
  if (RemovalUseProductFolder(settings->InstallPath)) return true;
  char message[kKeyRoom + kWorkRoom];
  StrFormatBounded(message, sizeof message,
                   "Unable to uninstall %s %s: its recorded folder '%s' is not a folder of its own (%s). Nothing has "
                   "been removed.",
                   settings->CompanyName, settings->ProductName, settings->InstallPath, RemovalRefusal());
  ShowProblem(message, nullptr);
  ReportOutcome(kExitDamaged);
  settings->Mode = RunModeNone;
  HeldActionsDiscard();
  return false;
}

// In an unattended run the process that started this one waits for it,
// and runs the product's own uninstaller: that file can only go once the
// waiting process has ended. True when it is kept for then.
bool DeferOwnProgram(InstallSettings* settings) {
  if (!Unattended()) return false;
  char path[kWorkRoom];
  char program[kKeyRoom];
  std::uint32_t flags = 0;
  char canonical[kKeyRoom];
  char running[kKeyRoom];
  if (!ExpandPath(settings, settings->UninstallName, path, sizeof path, &flags) ||
      !OsModuleFileName(program, sizeof program) || !OsFileExists(path) || !IsCopyOfProgram(path, program))
    return false;
  // A run in place (-Spawn given by hand) runs that very file: nothing to
  // wait for.
  if (!CanonicalPath(path, canonical, sizeof canonical) || !CanonicalPath(program, running, sizeof running) ||
      StrEqualNoCase(canonical, running))
    return false;
  return DeferRemoval(path) != 0;
}

}  // namespace

// The next entry of the file list, from *position on: up to a ',' (passed
// over) or a control character (left in place, so later entries read
// empty). An entry that does not fit is skipped whole: 0.
std::int32_t NextFileListEntry(const char** position, char* entry, std::int32_t capacity) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(*position);
  std::int32_t length = 0;
  std::int32_t fitted = 1;
  while (*p >= 0x20 && *p != ',') {
    if (length + 1 < capacity)
      entry[length++] = static_cast<char>(*p);
    else
      fitted = 0;
    ++p;
  }
  entry[length] = '\0';
  if (*p == ',') ++p;
  *position = reinterpret_cast<const char*>(p);
  return fitted;
}

std::int32_t HandleInstall(InstallSettings* settings, const char*, std::int32_t*) {
  if (settings->Mode != RunModeUninstall) return 1;

  // A folder that cannot serve stops the uninstall before the question; a
  // missing product key is told after it.
  bool keyMissing = false;
  if (!EstablishFolder(settings, &keyMissing)) {
    // The recorded (or computed) folder is no full path, or one of the
    // system's own: the user is told so, not that nothing is installed.
    char message[kKeyRoom + kWorkRoom];
    StrFormatBounded(message, sizeof message,
                     "Unable to uninstall %s %s: its recorded folder is not a folder of its own (not a full path, a "
                     "drive's root or one of the system's own folders). Nothing has been removed.",
                     settings->CompanyName, settings->ProductName);
    ShowProblem(message, nullptr);
    ReportOutcome(kExitDamaged);
    settings->Mode = RunModeNone;
    HeldActionsDiscard();
    return 1;
  }
  if (!keyMissing && !EstablishIdentity(settings)) return 1;

  char question[kWorkRoom];
  StrFormatBounded(question, sizeof question, "Are you sure you want to uninstall %s %s?", settings->CompanyName,
                   settings->ProductName);
  if (!AskYesNo(question, nullptr)) {
    settings->Mode = RunModeNone;
    HeldActionsDiscard();
    return 1;
  }
  if (keyMissing) return StopUninstall(settings, kExitNotInstalled);

  // Yes: first what the commands before the question held back.
  UninstallAgree(settings);

  settings->FilesLeft = 0;
  // Nobody watches an unattended run: no window either.
  if (!Unattended()) ProgressWindowShow(1);
  RemovalBatchBegin();
  const char* position = settings->FileList;
  for (std::int32_t i = 0; i < settings->FileCount; ++i) {
    ProgressWindowSet(static_cast<double>(i) / static_cast<double>(settings->FileCount) * 100.0);
    char entry[KeywordRoom(kKeywordFileList, 1)];
    if (position == nullptr) break;
    if (!NextFileListEntry(&position, entry, sizeof entry)) {
      LogPrint("Unable to use file list entry '%s...'\n", entry);
      ++settings->FilesLeft;
      continue;
    }
    if (!DeleteScriptPath(settings, entry)) ++settings->FilesLeft;
  }
  if (settings->UninstallName[0] != '\0' && !DeleteScriptPath(settings, settings->UninstallName) &&
      !DeferOwnProgram(settings))
    ++settings->FilesLeft;
  if (settings->InstallName[0] != '\0' && !DeleteScriptPath(settings, settings->InstallName)) ++settings->FilesLeft;
  RemovalBatchEnd();
  ProgressWindowShow(0);
  return 1;
}

std::int32_t HandleDone(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  switch (settings->Mode) {
    case RunModeUninstall: {
      if (!UninstallAgreed()) {
        // Reached before the question: nothing has been agreed to yet.
        ReadArgument(arguments, settings->Text, consumed);
        settings->Text[0] = '\0';
        break;
      }
      // While files of the product stay, its entry stays in the list of
      // installed programs, so that the uninstall can be run again.
      bool entryFound = false;
      if (settings->UninstallName[0] != '\0' && settings->FilesLeft == 0) {
        char key[kKeyRoom];
        if (!StrFormatBounded(key, sizeof key, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s %s",
                              settings->CompanyName, settings->ProductName)) {
          LogPrint("Unable to name the uninstall key of '%s %s'\n", settings->CompanyName, settings->ProductName);
        } else if (RegistryKeyExists(kRootLocalMachine, key)) {
          entryFound = true;
          RegistryDeleteKey(kRootLocalMachine, key);
        }
      }
      ReadArgument(arguments, settings->Text, consumed);
      // A run after the product has gone already removed nothing: an
      // unattended caller is told the product was not installed.
      if (Unattended() && settings->FilesLeft == 0 && !entryFound && RemovalFilesFound() == 0) {
        LogPrint("Nothing of '%s %s' was found: no listed file, no installed-programs entry\n", settings->CompanyName,
                 settings->ProductName);
        ReportOutcome(kExitNotInstalled);
        settings->Text[0] = '\0';
        break;
      }
      if (settings->FilesLeft == 0 && RemovalsAtRestart() > 0) {
        ReportOutcome(kExitRestartNeeded);
        char message[kKeyRoom + kWorkRoom];
        StrFormatBounded(message, sizeof message,
                         "%s %s has been uninstalled! Some of its files are in use: they will be removed when the "
                         "computer restarts.",
                         settings->CompanyName, settings->ProductName);
        ShowProblem(message, "Uninstaller...");
      } else if (settings->FilesLeft == 0) {
        StrFormatBounded(settings->Text, sizeof settings->Text, "%s %s has been uninstalled!", settings->CompanyName,
                         settings->ProductName);
        ShowProblem(settings->Text, "Uninstaller...");
      } else {
        ReportOutcome(kExitIncomplete);
        // Each file that stayed has its line in the log.
        char message[kKeyRoom + kWorkRoom];
        if (LogFlags() & LogFile)
          StrFormatBounded(message, sizeof message, "Unable to remove some files of %s %s; see '%s'.",
                           settings->CompanyName, settings->ProductName, LogFilePath());
        else
          StrFormatBounded(message, sizeof message,
                           "Unable to remove some files of %s %s; run the uninstall with -debug to list them in '%s'.",
                           settings->CompanyName, settings->ProductName, LogFilePath());
        ShowProblem(message, "Uninstaller...");
      }
      settings->Text[0] = '\0';
      break;
    }
    case RunModeRegister:
    case RunModeInstallerRegister:
      // The shortcut that offered the registration goes only once the
      // server has confirmed it.
      if (settings->RegisterShortcut[0] != '\0' && RegistrationConfirmed())
        DeleteRegisterShortcut(settings->RegisterShortcut);
      break;
    case RunModeUpdate: UpdateRun(settings->OwnerWindow, settings); break;
    default: break;
  }
  return 1;
}

std::int32_t HandleOle(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  char action[40];
  char component[KeywordRoom(kKeywordOle, 2)];
  ReadArgument(arguments, action, consumed);
  if (!ReadArgument(arguments, component, consumed)) return RefuseOverlongArgument(kKeywordOle, sizeof component);
  if (settings->Mode != RunModeUninstall) return 1;
  if (!UninstallAgreed()) {
    HoldComponent(action, component);
    return 1;
  }
  return ReverseComponent(settings, action, component);
}

std::int32_t ReverseComponent(InstallSettings* settings, const char* action, const char* component) {
  char path[kWorkRoom];
  char root[kKeyRoom];
  std::uint32_t flags = 0;
  RemovalRoot kind = RemovalRoot::Product;
  if (!ExpandPath(settings, component, path, sizeof path, &flags) ||
      !ScriptPathRoot(settings, component, root, sizeof root, &kind))
    return 1;
  LogPrint("OLE: %s '%s'\n", action, path);
  if (ClimbsWithDots(component)) {
    LogPrint("Unable to use component '%s': its path climbs with '..'\n", component);
    return 1;
  }
  std::int32_t flag = StrEqualNoCase(action, "REGISTER") ? 0 : 1;
  if (kind == RemovalRoot::Variable && !IsProductFile(path)) {
    ReverseSharedComponent(root, path, flag);
    return 1;
  }
  // Only a component of the product's folder, reached without a link: a
  // library loaded runs its code.
  char library[kKeyRoom];
  std::uint32_t error = kErrorSuccess;
  if (!ResolveBelow(root, kind, path, library, sizeof library, &error)) {
    // A library that is not there, as the system's loader reports it.
    if (error == kErrorFileNotFound || error == kErrorPathNotFound) error = kErrorModNotFound;
    LogPrint("Error attempting to load '%s' (0x%.8X)\n", path, error);
    return 1;
  }
  RegisterComponent(library, flag);
  return 1;
}
