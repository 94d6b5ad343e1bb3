// Fuzz target: a script text walked command by command in no mode, as
// ScriptLoad would hand it over (the text followed by one zero byte).
#include <cstdint>
#include <cstring>

#include "keywords.h"
#include "script.h"
#include "settings.h"
#include "tessel-core.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  LogInit("debug.log", 0);
  MemoryInit(kHeapNoLimit, 0);
  KeywordTableInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  InstallSettings* settings =
      static_cast<InstallSettings*>(MemoryAlloc(static_cast<std::int32_t>(sizeof(InstallSettings)), "fuzz", 1));
  std::int32_t length = static_cast<std::int32_t>(size);
  settings->ScriptText = static_cast<char*>(MemoryAlloc(length + 1, "fuzz", 2));
  if (size) std::memcpy(settings->ScriptText, data, size);
  settings->ScriptLength = length;
  settings->ParsePosition = settings->ScriptText;
  settings->Mode = RunModeNone;
  ScriptRun(settings, 0);
  MemoryFree(&settings->ScriptText, length + 1, "fuzz", 3);
  MemoryFree(&settings, static_cast<std::int32_t>(sizeof(InstallSettings)), "fuzz", 4);
  return 0;
}
