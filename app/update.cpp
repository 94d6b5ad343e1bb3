// The electronic update. The check against the product's update server is
// not part of this build yet: the run says so in the log and changes nothing.
#include "update.h"

#include "tessel-core.h"

std::int32_t UpdateRun(OsHandle, InstallSettings*) {
  LogPrint("Update check is not available in this build\n");
  return 1;
}
