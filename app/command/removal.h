// Changing the machine: deleting files and the folders they leave empty,
// calling a component's self-registration, running a program.
#pragma once

#include <cstdint>

// Deletes the file the path names (made canonical first; never a folder,
// never a protected one) and climbs its emptied folders. A file that
// another program holds open is scheduled for deletion at the next restart
// instead, and so are the folders that will be empty once it is gone. 1
// when the file is gone afterwards (deleted, already missing, or to go at
// the restart), 0 when it stays.
std::int32_t DeleteProductFile(const char* path);
std::int32_t RemoveEmptyFolders(char* folder);
std::int32_t RegisterComponent(const char* path, std::int32_t registerFlag);
std::int32_t RunProgram(const char* program, const char* parameters, std::int32_t wait, std::int32_t* exitCode);

// Room of the work buffer in which a deleted file's folder is derived.
constexpr int kFolderWorkRoom = 320;

// While a removal batch is open, each folder is listed once and its count
// of entries is then kept up to date as this program deletes, so that
// removing n files costs work in proportion to n even when they share one
// folder. Without a batch every question is put to the system. Ending a
// batch asks the system once more about each folder it met, so that what a
// run beside this one emptied is removed too.
void RemovalBatchBegin();
void RemovalBatchEnd();

// The folder part of a file path as DeleteProductFile derives it (up to and
// including its last separator); 0 when it does not fit.
std::int32_t FolderOfPath(const char* path, char* folder, std::int32_t capacity);
// Whether a path names a drive root or no folder at all (C:\, C:, \, \\server\share\).
bool IsDriveRoot(const char* folder);

// How many files and folders this run has scheduled for deletion at the
// next restart.
std::int32_t RemovalsAtRestart();

// A file that cannot go while the process that started this run waits for
// it (that process runs it): kept for a last start of this program, which
// removes it once it is free. One such file per run; 0 when one is kept.
std::int32_t DeferRemoval(const char* path);
// The kept file, or none.
const char* DeferredRemoval();
// Whether the file holds the same bytes as the program file: the program
// the waiting process runs is the one this run was copied from.
bool IsCopyOfProgram(const char* path, const char* program);
// The last start's work: when path is a copy of program, waits until it can
// be deleted (up to patience quarter seconds), deletes it and climbs the
// folders it leaves empty. 1 when it is gone.
std::int32_t FinishRemovalOfCopy(const char* path, const char* program, std::int32_t patience);
