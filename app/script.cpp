// Loading and running the installation script.
#include "script.h"

#include "command/held.h"
#include "command/keywords.h"
#include "command/shortcuts.h"
#include "ffs.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "script";

}  // namespace

std::int32_t ScriptLoad(InstallSettings** script, const char* name, RunMode mode) {
  CHECK_POINTER(kUnit, script);
  CHECK_POINTER(kUnit, name);
  InstallSettings* settings = static_cast<InstallSettings*>(MemoryAlloc(sizeof(InstallSettings), kUnit, __LINE__));
  std::uint32_t size = 0;
  if (!FfsGetSize(name, &size)) {
    MemoryFree(&settings, sizeof(InstallSettings), kUnit, __LINE__);
    return 0;
  }
  // The text is followed by one zero byte; the heap bounds the size well
  // below the 32-bit limit.
  std::int32_t length = static_cast<std::int32_t>(size);
  char* text = static_cast<char*>(MemoryAlloc(length + 1, kUnit, __LINE__));
  settings->ScriptText = text;
  settings->ScriptLength = length;
  if (!FfsRead(name, text, size)) {
    MemoryFree(&text, length + 1, kUnit, __LINE__);
    MemoryFree(&settings, sizeof(InstallSettings), kUnit, __LINE__);
    return 0;
  }
  settings->ParsePosition = text;
  settings->Mode = mode;
  // A fresh run of the commands: the units that keep state between them
  // start afresh.
  ShortcutsInit();
  *script = settings;
  return 1;
}

std::int32_t ScriptRun(InstallSettings* script, OsHandle window) {
  CHECK_POINTER(kUnit, script);
  script->OwnerWindow = window;
  const char* end = script->ScriptText + script->ScriptLength;
  const char* p = script->ParsePosition;
  SetScriptTextEnd(end);
  while (p < end) {
    if (*p != CommandMarker) {
      ++p;
      continue;
    }
    script->ParsePosition = p;
    char keyword[kKeywordRoom];
    std::int32_t taken = 0;
    const char* q = p + 1;
    while (q < end && *q != ':' && taken < kKeywordRoom - 1) keyword[taken++] = *q++;
    keyword[taken] = '\0';

    if (!FindKeyword(keyword)) {
      LogPrint("Unknown script command '%s'\n", keyword);
      ShowProblem("Installation script corrupted!", nullptr);
      SetScriptTextEnd(nullptr);
      return 0;
    }
    // A keyword that runs into the end of the text has no arguments: the
    // handler reads the zero byte behind the text, never past it.
    const char* arguments = q < end ? q + 1 : end;
    std::int32_t consumed = 0;
    if (!ExecuteKeyword(keyword, script, arguments, &consumed)) {
      LogPrint("Command Failed '%s'\n", keyword);
      SetScriptTextEnd(nullptr);
      return 0;
    }
    p = arguments + consumed + 1;
  }
  script->ParsePosition = p;
  SetScriptTextEnd(nullptr);

  LogPrint("Company Name   : %s\n", script->CompanyName);
  LogPrint("Product Name   : %s\n", script->ProductName);
  LogPrint("File Count     : %d\n", script->FileCount);
  LogPrint("Install Path   : %s [%s]\n", script->InstallPath, script->InstallDir);
  return 1;
}

std::int32_t ScriptUnload(InstallSettings** script) {
  CHECK_POINTER(kUnit, script);
  InstallSettings* settings = *script;
  CHECK_POINTER(kUnit, settings);
  // What waited for an agreement that never came is dropped.
  HeldActionsDiscard();
  char* text = settings->ScriptText;
  MemoryFree(&text, settings->ScriptLength + 1, kUnit, __LINE__);
  MemoryFree(&settings, sizeof(InstallSettings), kUnit, __LINE__);
  *script = nullptr;
  return 1;
}
