// What the script targets share: the run-time set up once, and a fuzzer's
// input run as a script text the way ScriptLoad hands one over (the text
// followed by one zero byte).
#pragma once

#include <cstdint>
#include <cstring>

#include "keywords.h"
#include "script.h"
#include "settings.h"
#include "tessel-core.h"

inline void FuzzRuntimeInit() {
  LogInit("debug.log", 0);
  MemoryInit(kHeapNoLimit, 0);
  KeywordTableInit();
}

inline void FuzzRunScript(const std::uint8_t* data, std::size_t size, RunMode mode) {
  InstallSettings* settings =
      static_cast<InstallSettings*>(MemoryAlloc(static_cast<std::int32_t>(sizeof(InstallSettings)), "fuzz", 1));
  std::int32_t length = static_cast<std::int32_t>(size);
  settings->ScriptText = static_cast<char*>(MemoryAlloc(length + 1, "fuzz", 2));
  if (size) std::memcpy(settings->ScriptText, data, size);
  settings->ScriptLength = length;
  settings->ParsePosition = settings->ScriptText;
  settings->Mode = mode;
  ScriptRun(settings, 0);
  MemoryFree(&settings->ScriptText, length + 1, "fuzz", 3);
  MemoryFree(&settings, static_cast<std::int32_t>(sizeof(InstallSettings)), "fuzz", 4);
}
