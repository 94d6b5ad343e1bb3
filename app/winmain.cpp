// The program's entry.
#include "winmain.h"

#include "command/keywords.h"
#include "command/progress.h"
#include "command/removal.h"
#include "ffs.h"
#include "os.h"
#include "relaunch.h"
#include "socket.h"
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

RunMode ChooseRunMode(const char* commandLine) {
  RunMode mode = RunModeUninstall;
  if (Contains(commandLine, "-Register")) mode = RunModeRegister;
  if (Contains(commandLine, "-InstReg")) mode = RunModeInstallerRegister;
  if (Contains(commandLine, "-Update")) mode = RunModeUpdate;
  return mode;
}

bool IsUnattended(RunMode mode, const char* arguments) {
  // Registering and updating need the user.
  return mode == RunModeUninstall && arguments != nullptr && Contains(arguments, "-Quiet");
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

  // Log first of all, then who we are. An unattended uninstall shows no
  // box, not even a fatal report.
  const char* commandLine = OsCommandLine();
  RunMode mode = ChooseRunMode(commandLine);
  bool unattended = IsUnattended(mode, arguments);
  SetUnattended(unattended);
  std::uint32_t flags = 0;
  LogParseSwitches(&flags, arguments);
  LogInit("debug.log", flags | (unattended ? LogNoBoxes : 0));
  GetArgument(commandLine, 0, programPath);
  LogPrint("%s Version %s (%s)\n", AppInfo.name, AppInfo.version, AppInfo.build);
  LogPrint("Cmdline '%s' '%s'\n", commandLine, arguments);

  // How the run went, for whoever started an unattended one; an
  // interactive run ends with 0.
  std::int32_t exitCode = 0;
  if (!RunsInPlace(mode, commandLine)) {
    // Unattended, the caller learns the outcome when the copy has ended,
    // or that nothing was done when no copy could start.
    if (!Relaunch(FindArgument(commandLine, 1, nullptr), unattended ? &exitCode : nullptr) && unattended)
      exitCode = kExitNotStarted;
  } else if (IsFinisherStart(arguments)) {
    MemoryInit(kHeapNoLimit, 0);
    RunFinisher(arguments);
    MemoryRemove();
  } else {
    // A relaunched copy leaves nothing behind: it goes at the next restart
    // at the latest, or at the next start, whichever comes first.
    if (Contains(commandLine, "-Spawn")) ScheduleOwnRemoval();
    // Start-up, in this order.
    MemoryInit(kHeapNoLimit, 0);
    CommonControlsInit();
    // A failed start is not acted on here: it shows as failed socket calls.
    SocketStartup();
    KeywordTableInit();
    if (!Contains(programPath, ".exe")) StrAppendBounded(programPath, ".exe");
    if (!ComInit()) {
      SetErrorLocation(kUnit, __LINE__);
      Abort("Couldn't init install\n");
    }

    // The archive appended to this very executable, then its script.
    if (!FfsInit(programPath)) {
      ShowProblem("The installation file has been damaged, please download a new copy.", nullptr);
      ReportOutcome(kExitDamaged);
    } else {
      if (!unattended) ProgressWindowCreate(instance, 0);
      InstallSettings* script = nullptr;
      if (!ScriptLoad(&script, "install.dat", mode)) {
        // Unattended, the caller learns it from the exit code.
        if (!unattended) {
          SetErrorLocation(kUnit, __LINE__);
          Abort("Couldn't load installation script.\n");
        }
        LogPrint("Couldn't load installation script.\n");
        ReportOutcome(kExitDamaged);
      } else {
        if (!ScriptRun(script, 0)) {
          LogPrint("Script failed somewhere\n");
          ReportOutcome(kExitDamaged);
        }
        ScriptUnload(&script);
      }
    }
    // The product's own uninstaller goes once the process waiting for this
    // run (which runs it) has ended.
    if (const char* waiting = DeferredRemoval()) StartFinisher(waiting);

    // Shutdown, in reverse.
    ProgressWindowDestroy();
    FfsRemove();
    ComRemove();
    KeywordTableRemove();
    SocketCleanup();
    CommonControlsRemove();
    MemoryRemove();
    if (unattended) exitCode = RunOutcome();
  }

  LogPrint("Successful Exit...\n");
  LogClose();
  return exitCode;
}
