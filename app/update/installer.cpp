// The run of the new installer: started with "-Quiet" from the hold its
// check was made through, and waited for, the user asked after each long
// wait whether to wait on.
#include "internal.h"
#include "problems.h"
#include "tessel-core.h"
#include "winhelpr.h"

using update::g_limits;
using update::kCaption;
using update::kUnit;

std::int32_t UpdateRunInstaller(OsHeldFile* installer, std::int32_t* exitCode) {
  CHECK_POINTER(kUnit, installer);
  CHECK_POINTER(kUnit, exitCode);
  *exitCode = 0;
  OsHandle process = 0;
  if (!OsHeldRun(installer, "-Quiet", &process) || process == 0) {
    LogPrint("Unable to execute '%s' '%s' 0x%.8X\n", installer->path, "-Quiet", OsLastError());
    return kInstallerNotStarted;
  }
  std::uint32_t waited = 0;
  bool ended = false;
  while (!ended) {
    PumpMessages();
    ended = OsWaitForProcess(process, 500) != kWaitTimeout;
    waited += 500;
    if (!ended && waited >= g_limits.installerWait) {
      if (!AskYesNo("The new version's installer has not finished yet. Would you like to keep waiting for it?",
                    kCaption)) {
        LogPrint("Stopped waiting for '%s'\n", installer->path);
        break;
      }
      waited = 0;
    }
  }
  std::int32_t outcome = kInstallerNotAwaited;
  if (ended) {
    std::uint32_t code = 0;
    outcome = kInstallerNotStarted;
    if (OsProcessExitCode(process, &code)) {
      *exitCode = static_cast<std::int32_t>(code);
      outcome = kInstallerEnded;
    } else {
      LogPrint("Failed to get exit code (%d) (0x%.8X)\n", static_cast<int>(OsLastError()), OsLastError());
    }
  }
  OsCloseHandle(process);
  return outcome;
}
