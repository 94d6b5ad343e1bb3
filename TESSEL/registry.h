// Registry helpers: keys named by a root number and a path below it, values
// read by walking a key's values and comparing their names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os.h"

// An open key; kRegistryNoKey when no key is open.
using RegistryKey = OsKey;
constexpr RegistryKey kRegistryNoKey = 0;

// Root numbers (any other number stands for the current user).
constexpr std::int32_t RegistryCurrentUser = 1;
constexpr std::int32_t RegistryDynData = 2;
constexpr std::int32_t RegistryPerformanceData = 3;
constexpr std::int32_t RegistryLocalMachine = 4;
constexpr std::int32_t RegistryClassesRoot = 5;
constexpr std::int32_t RegistryCurrentConfig = 6;

// Type codes given by RegistryEnumValue.
constexpr std::int32_t RegistryTypeBinary = 1;
constexpr std::int32_t RegistryTypeString = 2;
constexpr std::int32_t RegistryTypeInteger = 3;
constexpr std::int32_t RegistryTypeBigEndian = 4;

// Room of the name and data buffers of the value lookups.
constexpr std::int32_t kRegistryBuffer = 160;

std::uint32_t RegistryRootKey(std::int32_t root);
std::int32_t RegistryOpenKey(RegistryKey* key, std::int32_t root, const char* path);
std::int32_t RegistryCreateKey(RegistryKey* key, std::int32_t root, const char* path);
std::int32_t RegistryCloseKey(RegistryKey* key);
std::int32_t RegistryKeyExists(std::int32_t root, const char* path);
std::int32_t RegistryDeleteKey(std::int32_t root, const char* path);
std::int32_t RegistryEnumValue(RegistryKey key, std::int32_t index, char* name, std::int32_t nameCapacity,
                               unsigned char* data, std::int32_t dataCapacity, std::int32_t* dataLength,
                               std::int32_t* type);
std::int32_t RegistryGetInteger(RegistryKey key, const char* name, std::int32_t* result);
// Copies the value's text into destination (capacity bytes, terminator
// included). A text that does not fit is not taken: it counts as not found
// and the destination is left as it was.
std::int32_t RegistryGetString(RegistryKey key, const char* name, char* destination, std::size_t capacity);
template <std::size_t N>
std::int32_t RegistryGetString(RegistryKey key, const char* name, char (&destination)[N]) {
  return RegistryGetString(key, name, destination, N);
}
// The same lookup without a log line, telling a value that is missing from
// one that is there but does not fit (the destination is then left alone).
constexpr std::int32_t kRegistryValueMissing = 0;
constexpr std::int32_t kRegistryValueFound = 1;
constexpr std::int32_t kRegistryValueUnusable = -1;
std::int32_t RegistryReadString(RegistryKey key, const char* name, char* destination, std::size_t capacity);
template <std::size_t N>
std::int32_t RegistryReadString(RegistryKey key, const char* name, char (&destination)[N]) {
  return RegistryReadString(key, name, destination, N);
}
std::int32_t RegistrySetInteger(RegistryKey key, const char* name, std::int32_t value);
std::int32_t RegistrySetString(RegistryKey key, const char* name, const char* text);
