// The program's entry.
#include "winmain.h"

#include "command/keywords.h"
#include "command/progress.h"
#include "ffs.h"
#include "os.h"
#include "shortcuts.h"
#include "script.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "winhelpr.h"

namespace {

constexpr const char* kUnit = "winmain";

// Windows caps a process command line at 32767 characters.
constexpr std::size_t kCommandLineRoom = 32768;
constexpr std::size_t kPathRoom = 260;

bool Contains(const char* text, const char* pattern) {
  char* at = nullptr;
  return StrFindNoCase(text, pattern, &at) == 1;
}

}  // namespace

AppInfoRecord AppInfo = {"Uninstall", "1.50", "Release", "Software\\Quillon\\Installer", 0, 0};

RunMode ChooseRunMode(const char* commandLine) {
  RunMode mode = RunModeUninstall;
  if (Contains(commandLine, "-Register")) mode = RunModeRegister;
  if (Contains(commandLine, "-InstReg")) mode = RunModeInstallerRegister;
  if (Contains(commandLine, "-Update")) mode = RunModeUpdate;
  return mode;
}

bool RunsInPlace(RunMode mode, const char* commandLine) {
  return mode == RunModeInstallerRegister || Contains(commandLine, "-Spawn");
}

std::int32_t ShowProblem(const char* text, const char* caption) {
  OsMessageBox(text, caption ? caption : "Uninstall problem...", kMbOk);
  return 1;
}

std::int32_t AskYesNo(const char* text, const char* caption) {
  int answer = OsMessageBox(text, caption ? caption : "Uninstall...", kMbYesNo | kMbIconQuestion);
  // A box that could not be shown gave no consent.
  return answer == kIdYes ? 1 : 0;
}

std::int32_t ComInit() {
  std::int32_t result = OsCoInitialize();
  if (result != 0) {
    LogPrint("CoInitialize() Failed (0x%.8X)\n", static_cast<unsigned>(result));
    return 0;
  }
  result = OsOleInitialize();
  if (result != 0) {
    LogPrint("Failed to initialize OLE (0x%.8X)\n", static_cast<unsigned>(result));
    return 0;
  }
  ClearCurrentGroup();
  return 1;
}

std::int32_t ComRemove() {
  OsOleUninitialize();
  OsCoUninitialize();
  return 1;
}

std::int32_t Relaunch(const char* tail) {
  static char commandLine[kCommandLineRoom];
  char module[kPathRoom] = {};
  char tempFolder[kPathRoom] = {};
  char tempName[kPathRoom] = {};

  OsModuleFileName(module, sizeof module);
  OsTempPath(tempFolder, sizeof tempFolder);
  if (OsTempFileName(tempFolder, "Del", tempName)) {
    OsDeleteFile(tempName);
    std::int32_t length = StrLength(tempName);
    if (length >= 4) StrCopy(tempName + length - 4, ".exe");
  }

  LogPrint("Copy: %s -> %s\n", module, tempName);
  if (!OsCopyFile(module, tempName)) {
    std::uint32_t error = OsLastError();
    LogPrint("Failed to copy file (%d) (0x%.8X)\n", static_cast<int>(error), error);
  }

  OsHandle self = OsOpenOwnProcessForChild();
  bool whole = tail ? StrFormatBounded(commandLine, sizeof commandLine, "\"%s\" -Spawn %s", tempName, tail)
                    : StrFormatBounded(commandLine, sizeof commandLine, "\"%s\" -Spawn", tempName);
  // A cut command line would change what the copy does: never start one.
  if (!whole) {
    LogPrint("Failed to create process (%d) (0x%.8X)\n", static_cast<int>(kErrorInvalidParameter),
             kErrorInvalidParameter);
  } else if (!OsStartProcess(commandLine)) {
    std::uint32_t error = OsLastError();
    LogPrint("Failed to create process (%d) (0x%.8X)\n", static_cast<int>(error), error);
  }
  LogPrint("Exec: %s (0x%.8X)\n", commandLine, static_cast<unsigned>(self));
  OsCloseHandle(self);
  return 1;
}

int AppMain(const char* arguments, OsHandle instance) {
  static char programPath[kPathRoom];
  AppInfo.instance = 0;

  // Log first of all, then who we are.
  std::uint32_t flags = 0;
  LogParseSwitches(&flags, arguments);
  LogInit("debug.log", flags);
  const char* commandLine = OsCommandLine();
  GetArgument(commandLine, 0, programPath);
  LogPrint("%s Version %s (%s)\n", AppInfo.name, AppInfo.version, AppInfo.build);
  LogPrint("Cmdline '%s' '%s'\n", commandLine, arguments);

  RunMode mode = ChooseRunMode(commandLine);
  if (!RunsInPlace(mode, commandLine)) {
    Relaunch(FindArgument(commandLine, 1, nullptr));
  } else {
    // Start-up, in this order.
    MemoryInit(kHeapNoLimit, 0);
    CommonControlsInit();
    KeywordTableInit();
    if (!Contains(programPath, ".exe")) StrAppendBounded(programPath, ".exe");
    if (!ComInit()) {
      SetErrorLocation(kUnit, __LINE__);
      Abort("Couldn't init install\n");
    }

    // The archive appended to this very executable, then its script.
    if (!FfsInit(programPath)) {
      ShowProblem("The installation file has been damaged, please download a new copy.", nullptr);
    } else {
      ProgressWindowCreate(instance, 0);
      InstallSettings* script = nullptr;
      if (!ScriptLoad(&script, "install.dat", mode)) {
        SetErrorLocation(kUnit, __LINE__);
        Abort("Couldn't load installation script.\n");
      }
      if (!ScriptRun(script, 0)) LogPrint("Script failed somewhere\n");
      ScriptUnload(&script);
    }

    // Shutdown, in reverse.
    ProgressWindowDestroy();
    FfsRemove();
    ComRemove();
    KeywordTableRemove();
    CommonControlsRemove();
    MemoryRemove();
  }

  LogPrint("Successful Exit...\n");
  LogClose();
  return 0;
}
