// The seam's registry over Win32.
#include <windows.h>

#include "os.h"

namespace {

HKEY RootKey(std::uint32_t root) {
  // The predefined keys are sign-extended 32-bit numbers.
  return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

HKEY OpenKey(OsKey key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

std::uint32_t OsRegOpenKey(std::uint32_t root, const char* path, OsKey* key) {
  HKEY opened = nullptr;
  LONG error = RegOpenKeyExA(RootKey(root), path, 0, KEY_ALL_ACCESS, &opened);
  *key = error == ERROR_SUCCESS ? reinterpret_cast<OsKey>(opened) : 0;
  return static_cast<std::uint32_t>(error);
}

std::uint32_t OsRegCreateKey(std::uint32_t root, const char* path, OsKey* key) {
  HKEY created = nullptr;
  DWORD disposition = 0;
  LONG error = RegCreateKeyExA(RootKey(root), path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                               &created, &disposition);
  *key = error == ERROR_SUCCESS ? reinterpret_cast<OsKey>(created) : 0;
  return static_cast<std::uint32_t>(error);
}

std::uint32_t OsRegCloseKey(OsKey key) { return static_cast<std::uint32_t>(RegCloseKey(OpenKey(key))); }

std::uint32_t OsRegDeleteKey(std::uint32_t root, const char* path) {
  return static_cast<std::uint32_t>(RegDeleteKeyA(RootKey(root), path));
}

std::uint32_t OsRegEnumValue(OsKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                             unsigned char* data, std::uint32_t* dataLength) {
  DWORD nameRoom = *nameLength;
  DWORD kind = 0;
  DWORD dataRoom = *dataLength;
  LONG error = RegEnumValueA(OpenKey(key), index, name, &nameRoom, nullptr, &kind, data, &dataRoom);
  *nameLength = nameRoom;
  *type = kind;
  *dataLength = dataRoom;
  return static_cast<std::uint32_t>(error);
}

std::uint32_t OsRegSetValue(OsKey key, const char* name, std::uint32_t type, const void* data, std::uint32_t length) {
  return static_cast<std::uint32_t>(
      RegSetValueExA(OpenKey(key), name, 0, type, static_cast<const BYTE*>(data), length));
}

std::uint32_t OsRegDeleteValue(OsKey key, const char* name) {
  return static_cast<std::uint32_t>(RegDeleteValueA(OpenKey(key), name));
}
