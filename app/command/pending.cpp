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

std::int32_t HandleRegister(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  return ConsumeArguments(arguments, consumed, 3);
}
