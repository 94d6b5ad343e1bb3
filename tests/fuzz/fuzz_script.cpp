// Fuzz target: a script text walked command by command in no mode.
#include "scriptrun.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzRuntimeInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  FuzzRunScript(data, size, RunModeNone);
  return 0;
}
