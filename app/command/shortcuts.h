// The program group's shortcuts: found by their file paths and deleted.
#pragma once

#include <cstdint>

constexpr int kShortcutPathRoom = 260;
constexpr int kCurrentGroupRoom = 320;

// The group folder: the programs folder, then the group name. 0 when the
// shell gives no programs folder or the path does not fit.
std::int32_t GroupFolderPath(const char* group, char* destination);
// The shortcut file of an item in the current group; 0 as above.
std::int32_t ShortcutFilePath(char* destination, const char* item);
std::int32_t SelectGroup(const char* group);
std::int32_t DeleteShortcut(const char* target, const char* arguments, const char* item);
// The unit's start-up, as each script is loaded: no group is current.
std::int32_t ShortcutsInit();
const char* CurrentGroup();
// Deletes the shortcut that offered the registration (once a server has
// confirmed it), and the group folders it leaves empty; only ever below the
// programs folder. 1 when it is gone.
std::int32_t DeleteRegisterShortcut(const char* path);
