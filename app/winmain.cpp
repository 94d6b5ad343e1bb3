// The program's entry.
#include "winmain.h"

#include "command/keywords.h"
#include "command/progress.h"
#include "ffs.h"
#include "os.h"
#include "relaunch.h"
#include "script.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "winhelpr.h"

namespace {

constexpr const char* kUnit = "winmain";

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
  return 1;
}

std::int32_t ComRemove() {
  OsOleUninitialize();
  OsCoUninitialize();
  return 1;
}

int AppMain(const char* arguments, OsHandle instance) {
  static char programPath[kPathRoom];
  // Before anything loads a library: none may come from the program's own
  // folder, the temporary folder or the current folder.
  OsRestrictLibrarySearch();
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
    if (!Relaunch(FindArgument(commandLine, 1, nullptr))) {
      LogClose();
      return 1;
    }
  } else {
    // A relaunched copy leaves nothing behind: it goes at the next restart
    // at the latest, or at the next start, whichever comes first.
    if (Contains(commandLine, "-Spawn")) ScheduleOwnRemoval();
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
