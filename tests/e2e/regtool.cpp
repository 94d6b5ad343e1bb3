// Test helper that prepares and inspects a machine's registry through the
// program's own seam, the same way on Wine and on the host:
//
//   regtool set ROOT KEY NAME TEXT     create the key, store a REG_SZ
//   regtool dword ROOT KEY NAME NUMBER create the key, store a REG_DWORD
//   regtool exists ROOT KEY            exit 0 when the key exists, 1 if not
//   regtool get ROOT KEY NAME          print the value's text (exit 1 if none);
//                                      a list of texts one a line, a REG_DWORD
//                                      as dword:N
//   regtool delete ROOT KEY            delete the key (no subkeys)
// ROOT is HKCU or HKLM.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os.h"

#if !defined(_WIN32)
namespace host {
void SetCommandLine(int argc, char** argv);
}
#endif

namespace {

std::uint32_t Root(const std::string& name) {
  if (name == "HKLM" || name == "HKEY_LOCAL_MACHINE") return kHkeyLocalMachine;
  return kHkeyCurrentUser;
}

int Usage() {
  std::fprintf(stderr, "usage: regtool set|dword|exists|get|delete ROOT KEY [NAME [TEXT]]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  host::SetCommandLine(argc, argv);
#endif
  if (argc < 4) return Usage();
  std::string verb = argv[1];
  std::uint32_t root = Root(argv[2]);
  const char* path = argv[3];
  if ((verb == "set" || verb == "dword") && argc == 6) {
    OsKey key = 0;
    std::uint32_t error = OsRegCreateKey(root, path, &key);
    if (error != kErrorSuccess) {
      std::fprintf(stderr, "regtool: cannot create '%s' (%u)\n", path, error);
      return 1;
    }
    std::uint32_t number = static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 0));
    error = verb == "set"
                ? OsRegSetValue(key, argv[4], kRegSz, argv[5], static_cast<std::uint32_t>(std::strlen(argv[5]) + 1))
                : OsRegSetValue(key, argv[4], kRegDword, &number, sizeof number);
    OsRegCloseKey(key);
    return error == kErrorSuccess ? 0 : 1;
  }
  if (verb == "exists") {
    OsKey key = 0;
    if (OsRegOpenKey(root, path, &key) != kErrorSuccess) return 1;
    OsRegCloseKey(key);
    return 0;
  }
  if (verb == "get" && argc == 5) {
    OsKey key = 0;
    if (OsRegOpenKey(root, path, &key) != kErrorSuccess) return 1;
    for (std::uint32_t index = 0;; ++index) {
      char name[1024];
      static unsigned char data[65536];
      std::uint32_t nameLength = sizeof name;
      std::uint32_t dataLength = sizeof data - 1;
      std::uint32_t type = 0;
      if (OsRegEnumValue(key, index, name, &nameLength, &type, data, &dataLength) != kErrorSuccess) break;
      if (std::string(name) == argv[4]) {
        data[dataLength] = 0;
        // A list of texts: one a line, empty ones included.
        if (type == kRegDword && dataLength == 4) {
          std::printf("dword:%u\n", static_cast<unsigned>(data[0] | data[1] << 8 | data[2] << 16) |
                                        static_cast<unsigned>(data[3]) << 24);
          OsRegCloseKey(key);
          return 0;
        }
        if (type == kRegMultiSz) {
          for (std::uint32_t at = 0; at + 1 < dataLength; at += std::strlen(reinterpret_cast<char*>(data + at)) + 1)
            std::printf("%s\n", reinterpret_cast<char*>(data + at));
          OsRegCloseKey(key);
          return 0;
        }
        std::printf("%s\n", reinterpret_cast<char*>(data));
        OsRegCloseKey(key);
        return 0;
      }
    }
    OsRegCloseKey(key);
    return 1;
  }
  if (verb == "delete") return OsRegDeleteKey(root, path) == kErrorSuccess ? 0 : 1;
  return Usage();
}
