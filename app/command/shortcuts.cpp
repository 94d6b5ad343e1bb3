// Shortcut groups and items.
#include "shortcuts.h"

#include <cstdlib>

#include "handlers.h"
#include "held.h"
#include "os.h"
#include "protect.h"
#include "removal.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "command";

char g_currentGroup[kCurrentGroupRoom];

}  // namespace

std::int32_t ShortcutsInit() {
  g_currentGroup[0] = '\0';
  return 1;
}
const char* CurrentGroup() { return g_currentGroup; }

std::int32_t GroupFolderPath(const char* group, char* destination) {
  CHECK_POINTER(kUnit, group);
  CHECK_POINTER(kUnit, destination);
  if (!OsProgramsFolder(destination, kShortcutPathRoom)) {
    destination[0] = '\0';
    return 0;
  }
  if (group[0] == '\0') return 1;
  std::int32_t length = StrLength(destination);
  bool fits = true;
  if (length == 0 || destination[length - 1] != '\\') fits = StrAppendBounded(destination, kShortcutPathRoom, "\\");
  fits = fits && StrAppendBounded(destination, kShortcutPathRoom, group);
  return fits ? 1 : 0;
}

std::int32_t ShortcutFilePath(char* destination, const char* item) {
  CHECK_POINTER(kUnit, destination);
  CHECK_POINTER(kUnit, item);
  if (!GroupFolderPath(g_currentGroup, destination)) return 0;
  bool fits = StrAppendBounded(destination, kShortcutPathRoom, "\\") &&
              StrAppendBounded(destination, kShortcutPathRoom, item) &&
              StrAppendBounded(destination, kShortcutPathRoom, ".lnk");
  return fits ? 1 : 0;
}

std::int32_t SelectGroup(const char* group) {
  CHECK_POINTER(kUnit, group);
  char folder[kShortcutPathRoom];
  GroupFolderPath(group, folder);
  LogPrint("Delete Group = '%s'\n", folder);
  StrCopyBounded(g_currentGroup, group);
  return 1;
}

std::int32_t DeleteShortcut(const char* target, const char* arguments, const char* item) {
  CHECK_POINTER(kUnit, target);
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, item);
  LogPrint("Delete Item = '%s' : '%s' ('%s' / '%s')\n", g_currentGroup, item, target, arguments);
  char path[kShortcutPathRoom];
  if (!ShortcutFilePath(path, item)) {
    // A cut path would name another file: the item is passed over.
    LogPrint("Unable to find the shortcut of '%s'\n", item);
    return 1;
  }
  // A group name such as ..\x leads out of the programs folder: the
  // product put no shortcut there.
  char programs[kShortcutPathRoom];
  if (!OsProgramsFolder(programs, sizeof programs) || !IsInsideFolder(path, programs)) {
    LogPrint("Unable to delete shortcut '%s' outside the programs folder\n", path);
    return 1;
  }
  DeleteBelow(programs, RemovalRoot::Programs, path);
  return 1;
}

std::int32_t DeleteRegisterShortcut(const char* path) {
  CHECK_POINTER(kUnit, path);
  // The same test as an item's: a group that climbs out of the programs
  // folder names no shortcut of the product's.
  char programs[kShortcutPathRoom];
  if (!OsProgramsFolder(programs, sizeof programs) || !IsInsideFolder(path, programs)) {
    LogPrint("Unable to delete shortcut '%s' outside the programs folder\n", path);
    return 0;
  }
  return DeleteBelow(programs, RemovalRoot::Programs, path);
}

std::int32_t HandleCreateGroup(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  char group[KeywordRoom(kKeywordCreateGroup, 1)];
  if (!ReadArgument(arguments, group, consumed)) return RefuseOverlongArgument(kKeywordCreateGroup, sizeof group);
  if (settings->Mode == RunModeUninstall && !UninstallAgreed())
    HoldGroup(group);
  else
    SelectGroup(group);
  return 1;
}

std::int32_t HandleAddItem(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  char number[20];
  char target[160];
  char parameters[160];
  char item[KeywordRoom(kKeywordAddItem, 4)];
  ReadArgument(arguments, number, consumed);
  ReadArgument(arguments, target, consumed);
  ReadArgument(arguments, parameters, consumed);
  if (!ReadArgument(arguments, item, consumed)) return RefuseOverlongArgument(kKeywordAddItem, sizeof item);
  int value = std::atoi(number);
  if (value < 0) value = 0;
  (void)value;  // the installer's item number; nothing here uses it

  if (settings->Mode == RunModeUninstall) {
    if (UninstallAgreed())
      DeleteShortcut(target, parameters, item);
    else
      HoldShortcut(target, parameters, item);
  } else if (StrEqualNoCase(parameters, "-Register")) {
    char path[kShortcutPathRoom];
    if (!ShortcutFilePath(path, item) || !StrCopyBounded(settings->RegisterShortcut, path)) {
      settings->RegisterShortcut[0] = '\0';
      LogPrint("Unable to find the shortcut of '%s'\n", item);
    }
  }
  return 1;
}
