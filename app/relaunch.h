// The relaunch: the program's private copy in the temporary folder, started
// in its place, and the removal of the copies earlier runs left.
#pragma once

#include <cstdint>

// Copies the program into a folder of its own under the temporary folder
// and starts the copy with "-Spawn" and the unchanged tail. 1 when the copy
// was started; 0 when it could not be made or started: the log says why
// ("Failed to copy file", "Failed to create process"), the user was told,
// and nothing was left behind. With exitCode, waits for the copy to end
// and gives its exit code (1 when it cannot be read).
std::int32_t Relaunch(const char* tail, std::int32_t* exitCode = nullptr);

// In an unattended copy: the program file of the process that waits for
// this one cannot go before that process ends. A last start of this copy
// ("-Spawn -Finish PATH") waits for the file to come free and removes it
// and the folders it leaves empty. 0 when it could not be started.
std::int32_t StartFinisher(const char* path);
// That last start's work, given its argument text; 1 when the file is gone.
std::int32_t RunFinisher(const char* arguments);
// Whether the argument text asks for that last start.
bool IsFinisherStart(const char* arguments);

// Removes the copies that earlier runs left in the temporary folder (given
// with its trailing '\') and that no process runs any more: only folders
// named and filled as this program makes them. A copy's debug.log stays,
// and with it its folder. Gives the number of copies removed.
std::int32_t RemoveEarlierCopies(const char* tempFolder, const char* program = nullptr);
// A fresh folder "Del" and eight hexadecimal digits (from number) under the
// temporary folder, made by this call: an existing name is never reused.
// Its path (with '\') in folder, the copy's path in copy; on failure the
// system's error in *failure, when given.
bool MakePrivateFolder(const char* tempFolder, char (&folder)[260], char (&copy)[260], std::uint32_t (*number)(),
                       std::uint32_t* failure = nullptr);
// Whether the file holds this program: the same bytes as the program file
// up to where its archive begins (the archives may differ).
bool IsThisProgram(const char* path, const char* program);

// In a relaunched copy: asks the system to delete the copy and its folder at
// the next restart. Nothing for a program that is not such a copy.
std::int32_t ScheduleOwnRemoval();

// Whether the folder name is one that Relaunch makes ("Del" and eight
// hexadecimal digits).
bool IsCopyFolderName(const char* name);
