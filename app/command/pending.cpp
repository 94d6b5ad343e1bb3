// Handlers whose actions are still being built: each reads and consumes
// exactly the arguments of its command and does nothing else, so that every
// script runs to its end.
#include "handlers.h"

namespace {

std::int32_t ConsumeArguments(const char* arguments, std::int32_t* consumed, int count) {
  char scratch[2];
  for (int i = 0; i < count; ++i) ReadArgument(arguments, scratch, consumed);
  return 1;
}

}  // namespace

std::int32_t HandleInstallDir(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, 1);
}

std::int32_t HandleInstallPath(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, 1);
}

std::int32_t HandleCreateGroup(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, 1);
}

std::int32_t HandleAddItem(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, 4);
}

std::int32_t HandleOle(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, 2);
}

std::int32_t HandleInstall(InstallSettings*, const char*, std::int32_t*) { return 1; }

std::int32_t HandleDone(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, settings->Mode == RunModeUninstall ? 1 : 0);
}

std::int32_t HandleRegister(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, 3);
}
