// Changing the machine: deleting files and the folders they leave empty,
// calling a component's self-registration, running a program.
#pragma once

#include <cstdint>

#include "os.h"

// The folders a removal works below. Each is opened once, by identity, and
// must be the very folder its text names (no link, no other drive letter,
// no share standing for it). Below it nothing is followed through a link.
enum class RemovalRoot {
  Product,    // the product's folder: it goes too once empty
  Variable,   // a path variable's folder: stays; a missing file climbs nothing
  Programs,   // the Start-menu programs folder: stays, so do the shell's groups
  OwnFolder,  // the folder of one file: it goes too once empty
};

// Establishes the product's folder for this run, before anything changes:
// 0 (logged) when it cannot serve: a link, another name of another folder,
// a protected folder, or one that cannot be opened. A folder that does not
// exist serves: nothing in it is left to remove.
std::int32_t RemovalUseProductFolder(const char* folder);
// Why the product's folder was refused, for the user ("it is a link").
const char* RemovalRefusal();
// Whether the established product folder does not exist.
bool RemovalProductFolderAbsent();
// The established product folder's canonical text, or none.
const char* RemovalProductFolder();
// Its identity, when it exists.
bool RemovalProductId(OsNodeId* id);
// How many files this run found and removed (or scheduled for the restart).
std::int32_t RemovalFilesFound();
// Forgets the roots of this run (and closes what they hold open).
void RemovalReset();

// Deletes the file the path names below the root folder (made canonical
// first; never a folder, never a link's target) and climbs its emptied
// folders. A path that does not lie inside the root is refused. A file that
// another program holds open is scheduled for deletion at the next restart
// instead, and so are the folders that will be empty once it is gone. 1
// when the file is gone afterwards (deleted, already missing, or to go at
// the restart), 0 when it stays.
std::int32_t DeleteBelow(const char* root, RemovalRoot kind, const char* path);
// The same below the established product folder.
std::int32_t DeleteProductFile(const char* path);
// The final path of an existing file below the root, reached without
// following a link; 0 (logged) when it is not there, outside, or a link.
// Why, in *failure when given: the system's error (kErrorFileNotFound,
// kErrorPathNotFound for a file that is not there), or kErrorAccessDenied
// for a path that is refused.
std::int32_t ResolveBelow(const char* root, RemovalRoot kind, const char* path, char* finalPath, std::int32_t capacity,
                          std::uint32_t* failure = nullptr);
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
