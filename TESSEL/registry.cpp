// Registry helpers over the seam's registry.
#include "registry.h"

#include <cstring>

#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "registry";

// Walks the key's values in index order for the one whose name equals the
// wanted name exactly: 1 when found, with data holding the value's bytes
// followed by at least one zero byte, so that it always reads as a
// terminated text; -1 when found but longer than the buffer; 0 when the
// key has no such value. A value that does not fit the buffers is passed
// over, never taken for the end of the key.
std::int32_t FindValue(RegistryKey key, const char* wanted, unsigned char (&data)[kRegistryBuffer + 1],
                       bool quiet = false) {
  char name[kRegistryBuffer];
  for (std::int32_t index = 0;; ++index) {
    std::memset(data, 0, sizeof data);
    std::uint32_t nameLength = kRegistryBuffer;
    std::uint32_t length = kRegistryBuffer;
    std::uint32_t kind = 0;
    std::uint32_t error =
        OsRegEnumValue(key, static_cast<std::uint32_t>(index), name, &nameLength, &kind, data, &length);
    if (error == kErrorMoreData) {
      // Too long for the buffers: its name alone tells whether it is the one.
      nameLength = kRegistryBuffer;
      length = 0;
      error = OsRegEnumValue(key, static_cast<std::uint32_t>(index), name, &nameLength, &kind, nullptr, &length);
      if (error == kErrorSuccess && StrEqual(name, wanted)) {
        std::memset(data, 0, sizeof data);
        return -1;
      }
      if (error == kErrorSuccess || error == kErrorMoreData) continue;
      return 0;
    }
    if (error != kErrorSuccess) return 0;
    if (!StrEqual(name, wanted)) continue;
    if (!quiet && kind != kRegBinary && kind != kRegSz && kind != kRegDword && kind != kRegDwordBigEndian)
      LogPrint("Unsupported type 0x%.8X (%d)\n", kind, static_cast<int>(kind));
    return 1;
  }
}

}  // namespace

std::uint32_t RegistryRootKey(std::int32_t root) {
  switch (root) {
    case RegistryCurrentUser: return kHkeyCurrentUser;
    case RegistryDynData: return kHkeyDynData;
    case RegistryPerformanceData: return kHkeyPerformanceData;
    case RegistryLocalMachine: return kHkeyLocalMachine;
    case RegistryClassesRoot: return kHkeyClassesRoot;
    case RegistryCurrentConfig: return kHkeyCurrentConfig;
    default: return kHkeyCurrentUser;
  }
}

std::int32_t RegistryOpenKey(RegistryKey* key, std::int32_t root, const char* path) {
  CHECK_POINTER(kUnit, key);
  CHECK_POINTER(kUnit, path);
  *key = kRegistryNoKey;
  OsKey opened = 0;
  if (OsRegOpenKey(RegistryRootKey(root), path, &opened) != kErrorSuccess) return 0;
  *key = opened;
  return 1;
}

std::int32_t RegistryCreateKey(RegistryKey* key, std::int32_t root, const char* path) {
  CHECK_POINTER(kUnit, key);
  CHECK_POINTER(kUnit, path);
  *key = kRegistryNoKey;
  OsKey created = 0;
  if (OsRegCreateKey(RegistryRootKey(root), path, &created) != kErrorSuccess) return 0;
  *key = created;
  return 1;
}

std::int32_t RegistryCloseKey(RegistryKey* key) {
  CHECK_POINTER(kUnit, key);
  if (*key != kRegistryNoKey) OsRegCloseKey(*key);
  *key = kRegistryNoKey;
  return 1;
}

std::int32_t RegistryKeyExists(std::int32_t root, const char* path) {
  CHECK_POINTER(kUnit, path);
  RegistryKey key = kRegistryNoKey;
  if (!RegistryOpenKey(&key, root, path)) return 0;
  RegistryCloseKey(&key);
  return 1;
}

std::int32_t RegistryDeleteKey(std::int32_t root, const char* path) {
  CHECK_POINTER(kUnit, path);
  std::uint32_t error = OsRegDeleteKey(RegistryRootKey(root), path);
  if (error != kErrorSuccess) {
    LogPrint("Unable to delete key '%s'(0x%.8X)\n", path, error);
    return 0;
  }
  return 1;
}

std::int32_t RegistryEnumValue(RegistryKey key, std::int32_t index, char* name, std::int32_t nameCapacity,
                               unsigned char* data, std::int32_t dataCapacity, std::int32_t* dataLength,
                               std::int32_t* type) {
  CHECK_POINTER(kUnit, name);
  CHECK_POINTER(kUnit, data);
  CHECK_POINTER(kUnit, dataLength);
  CHECK_POINTER(kUnit, type);
  std::uint32_t nameLength = static_cast<std::uint32_t>(nameCapacity);
  std::uint32_t length = static_cast<std::uint32_t>(dataCapacity);
  std::uint32_t kind = 0;
  if (OsRegEnumValue(key, static_cast<std::uint32_t>(index), name, &nameLength, &kind, data, &length) != kErrorSuccess)
    return 0;
  *dataLength = static_cast<std::int32_t>(length);
  switch (kind) {
    case kRegBinary: *type = RegistryTypeBinary; break;
    case kRegSz: *type = RegistryTypeString; break;
    case kRegDword: *type = RegistryTypeInteger; break;
    case kRegDwordBigEndian: *type = RegistryTypeBigEndian; break;
    default:
      LogPrint("Unsupported type 0x%.8X (%d)\n", kind, static_cast<int>(kind));
      *type = RegistryTypeBinary;
      break;
  }
  return 1;
}

std::int32_t RegistryGetInteger(RegistryKey key, const char* name, std::int32_t* result) {
  CHECK_POINTER(kUnit, name);
  CHECK_POINTER(kUnit, result);
  unsigned char data[kRegistryBuffer + 1];
  if (FindValue(key, name, data) != 1) {
    LogPrint("Unable to get '%s' integer\n", name);
    return 0;
  }
  std::memcpy(result, data, sizeof *result);
  return 1;
}

namespace {

std::int32_t ReadString(RegistryKey key, const char* name, char* destination, std::size_t capacity, bool quiet) {
  CHECK_POINTER(kUnit, name);
  CHECK_POINTER(kUnit, destination);
  unsigned char data[kRegistryBuffer + 1];
  const char* text = reinterpret_cast<const char*>(data);
  std::int32_t found = FindValue(key, name, data, quiet);
  if (found == 0) return kRegistryValueMissing;
  // A text longer than the destination is refused rather than cut.
  if (found < 0 || static_cast<std::size_t>(StrLength(text)) + 1 > capacity) return kRegistryValueUnusable;
  StrCopy(destination, text);
  return kRegistryValueFound;
}

}  // namespace

std::int32_t RegistryReadString(RegistryKey key, const char* name, char* destination, std::size_t capacity) {
  return ReadString(key, name, destination, capacity, true);
}

std::int32_t RegistryGetString(RegistryKey key, const char* name, char* destination, std::size_t capacity) {
  if (ReadString(key, name, destination, capacity, false) != kRegistryValueFound) {
    LogPrint("Unable to get '%s' string\n", name);
    return 0;
  }
  return 1;
}

std::int32_t RegistrySetInteger(RegistryKey key, const char* name, std::int32_t value) {
  CHECK_POINTER(kUnit, name);
  if (OsRegSetValue(key, name, kRegDword, &value, sizeof value) != kErrorSuccess) {
    LogPrint("Unable to set '%s' integer\n", name);
    return 0;
  }
  return 1;
}

std::int32_t RegistrySetString(RegistryKey key, const char* name, const char* text) {
  CHECK_POINTER(kUnit, name);
  CHECK_POINTER(kUnit, text);
  if (OsRegSetValue(key, name, kRegSz, text, static_cast<std::uint32_t>(StrLength(text))) != kErrorSuccess) {
    LogPrint("Unable to set '%s' string\n", name);
    return 0;
  }
  return 1;
}
