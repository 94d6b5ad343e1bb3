// Path variables and the product's folder: script paths made full.
#pragma once

#include <cstddef>
#include <cstdint>

#include "registry.h"
#include "settings.h"

// Room of the folder queries that ExpandPath makes.
constexpr std::size_t kPathQueryCapacity = 320;

// Bit 0 of ExpandPath's flags: the path started with "$?".
constexpr std::uint32_t kExpandNoFolder = 0x1;
// Bit 1: a folder variable ("$0" to "$5") gave the folder, not InstallPath.
constexpr std::uint32_t kExpandFromVariable = 0x2;

// Takes the folder recorded under the product's open key ("Install Path")
// into the settings' InstallPath, with its final '\' added. 1 when taken,
// 0 when the key has no such value (InstallPath stays as it was), -1 when
// the value is there but cannot serve as the product's folder (too long,
// unreadable, not a full path, a drive root or a protected folder): logged,
// and InstallPath stays.
std::int32_t ReadRecordedFolder(InstallSettings* settings, RegistryKey key);

// Each writes the folder into destination (capacity bytes), with '\' as the
// separator and a '\' at the end; 1, or 0 when the system gave no folder or
// the folder does not fit (the destination then holds what was given).
std::int32_t QueryCurrentFolder(char* destination, std::size_t capacity);
std::int32_t QueryTempFolder(char* destination, std::size_t capacity);
std::int32_t QueryWindowsFolder(char* destination, std::size_t capacity);
std::int32_t QuerySystemFolder(char* destination, std::size_t capacity);
// The folder of the running program, from argument 0 of the command line.
std::int32_t QueryProgramFolder(char* destination, std::size_t capacity);
std::int32_t SlashesToBackslashes(char* text);

// The script path as a full path in destination (capacity bytes): relative
// to the settings' InstallPath unless path variables lead it. 1, or 0 when
// the full path does not fit: the expansion is refused (logged) and the
// destination left empty.
std::int32_t ExpandPath(InstallSettings* settings, const char* path, char* destination, std::size_t capacity,
                        std::uint32_t* flags);
template <std::size_t N>
std::int32_t ExpandPath(InstallSettings* settings, const char* path, char (&destination)[N], std::uint32_t* flags) {
  return ExpandPath(settings, path, destination, N, flags);
}
