// The relaunch: the program's private copy in the temporary folder, started
// in its place, and the removal of the copies earlier runs left.
#pragma once

#include <cstdint>

// Copies the program into a folder of its own under the temporary folder
// and starts the copy with "-Spawn" and the unchanged tail. 1 when the copy
// was started; 0 when it could not be made or started: the user was told,
// and nothing was left behind.
std::int32_t Relaunch(const char* tail);

// Removes the copies that earlier runs left in the temporary folder (given
// with its trailing '\') and that no process runs any more: only folders
// named and filled as this program makes them. A copy's debug.log stays,
// and with it its folder. Gives the number of copies removed.
std::int32_t RemoveEarlierCopies(const char* tempFolder);

// In a relaunched copy: asks the system to delete the copy and its folder at
// the next restart. Nothing for a program that is not such a copy.
std::int32_t ScheduleOwnRemoval();

// Whether the folder name is one that Relaunch makes ("Del" and eight
// hexadecimal digits).
bool IsCopyFolderName(const char* name);
