// Shared files: what the script names outside the product's folder goes
// only with its last usage count; without a count, or protected by the
// system, it stays and the product is still done with it.
#include <gtest/gtest.h>

#include <string>

#include "os.h"
#include "protect.h"
#include "removal.h"
#include "shared.h"
#include "support.h"
#include "tessel-core.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include "host/machine.h"
#endif

namespace {

constexpr std::uint32_t kNoValue = 0xFFFFFFFFu;

void SetCount(const std::string& path, std::uint32_t type, std::uint32_t count) {
  OsKey key = 0;
  ASSERT_EQ(OsRegCreateKey(kHkeyLocalMachine, kSharedDllsKey, &key), kErrorSuccess);
  unsigned char data[4] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8), 0, 0};
  if (type == kNoValue)
    OsRegDeleteValue(key, path.c_str());
  else
    OsRegSetValue(key, path.c_str(), type, data, sizeof data);
  OsRegCloseKey(key);
}

// The count the file's value holds; kNoValue when there is none.
std::uint32_t CountOf(const std::string& path) {
  OsKey key = 0;
  if (OsRegOpenKey(kHkeyLocalMachine, kSharedDllsKey, &key) != kErrorSuccess) return kNoValue;
  std::uint32_t count = kNoValue;
  for (std::uint32_t index = 0;; ++index) {
    char name[512];
    std::uint32_t nameLength = sizeof name;
    std::uint32_t type = 0;
    unsigned char data[4] = {};
    std::uint32_t dataLength = sizeof data;
    if (OsRegEnumValue(key, index, name, &nameLength, &type, data, &dataLength) == kErrorNoMoreItems) break;
    if (path == name) count = data[0] | data[1] << 8;
  }
  OsRegCloseKey(key);
  return count;
}

struct Machine {
  std::string base = ScratchPath("shared");
  std::string product = base + "\\Viewer\\";
  std::string common = base + "\\Common\\";
  Machine() {
    MemoryInit(kHeapNoLimit, 0);
    OsCreateFolder(base.c_str());
    OsCreateFolder(product.c_str());
    OsCreateFolder(common.c_str());
    RemovalUseProductFolder(product.c_str());
    SharedFilesReset();
  }
  ~Machine() {
    RemovalReset();
    SharedFilesReset();
    OsRemoveFolder(product.c_str());
    OsRemoveFolder(common.c_str());
    OsRemoveFolder(base.c_str());
  }
};

}  // namespace

TEST(SharedFiles, GoOnlyWithTheirLastCount) {
  Machine machine;
  struct Case {
    const char* what;
    std::uint32_t type;
    std::uint32_t count;
    bool stays;
    std::uint32_t after;
  };
  const Case cases[] = {
      {"used by another program too", kRegDword, 2, true, 1},
      {"used by this product alone", kRegDword, 1, false, kNoValue},
      {"no count", kNoValue, 0, true, kNoValue},
      {"a count of no kind Windows writes", kRegSz, 1, true, 1},
      {"a count of zero", kRegDword, 0, true, 0},
  };
  for (const Case& c : cases) {
    std::string file = machine.common + "shared.dll";
    WriteWholeFile(file, "shared");
    SetCount(file, c.type, c.count);
    SharedFilesReset();
    EXPECT_EQ(ReleaseSharedFile(machine.common.c_str(), file.c_str()), 1) << c.what;
    EXPECT_EQ(OsFileExists(file.c_str()) != 0, c.stays) << c.what;
    EXPECT_EQ(CountOf(file), c.after) << c.what;
    // Named again in the same run (the file list and "OLE"): counted once.
    EXPECT_EQ(ReleaseSharedFile(machine.common.c_str(), file.c_str()), 1) << c.what;
    EXPECT_EQ(CountOf(file), c.after) << c.what;
    SetCount(file, kNoValue, 0);
    OsDeleteFile(file.c_str());
  }
}

TEST(SharedFiles, WithoutACountTheLogSaysWhy) {
  Machine machine;
  std::string log = TempPath("shared.log");
  StartLog(log, LogFile);
  std::string file = machine.common + "nocount.dll";
  WriteWholeFile(file, "shared");
  SetCount(file, kNoValue, 0);
  EXPECT_EQ(ReleaseSharedFile(machine.common.c_str(), file.c_str()), 1);
  StopLog();
  char canonical[kCanonicalRoom];
  ASSERT_TRUE(CanonicalPath(file.c_str(), canonical, sizeof canonical));
  EXPECT_NE(LogText(log).find("Kept shared file '" + std::string(canonical) + "' (no usage count)"), std::string::npos)
      << LogText(log);
  OsDeleteFile(file.c_str());
  OsDeleteFile(log.c_str());
}

TEST(SharedFiles, InsideTheProductByWhatItIs) {
  Machine machine;
  EXPECT_TRUE(IsProductFile((machine.product + "bin\\viewer.exe").c_str()));
  EXPECT_TRUE(IsProductFile((machine.common + "..\\Viewer\\readme.txt").c_str()));
  EXPECT_FALSE(IsProductFile((machine.common + "shared.dll").c_str()));
  EXPECT_FALSE(IsProductFile((machine.base + "\\Viewer2\\x.dll").c_str()));
}

#if !defined(_WIN32)
TEST(SharedFiles, ProtectedBySystemStayWhateverTheirCount) {
  Machine machine;
  std::string file = machine.common + "guarded.dll";
  WriteWholeFile(file, "the system's");
  SetCount(file, kRegDword, 1);
  std::string list = host::MachineRoot() + "/protected-files.txt";
  {
    std::FILE* out = std::fopen(list.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fprintf(out, "%s\n", file.c_str());
    std::fclose(out);
  }
  EXPECT_EQ(ReleaseSharedFile(machine.common.c_str(), file.c_str()), 1);
  EXPECT_EQ(OsFileExists(file.c_str()), 1);
  EXPECT_EQ(CountOf(file), 1u);
  unlink(list.c_str());
  SetCount(file, kNoValue, 0);
  OsDeleteFile(file.c_str());
}
#endif

#if !defined(_WIN32)
// A link outside the product's folder is someone else's: named through a
// path variable (as "$5sys" named the current folder's link to the system
// folder), it stays, as a folder link and as a file link, with a count or
// without.
TEST(SharedFiles, ALinkOutsideTheProductIsNeverRemoved) {
  Machine machine;
  char system[320] = {};
  OsSystemFolder(system, sizeof system);
  std::string target = machine.common + "target.txt";
  WriteWholeFile(target, "someone's");
  const std::string links[][2] = {{machine.common + "sys", system}, {machine.common + "file.lnk", target}};
  for (const auto& link : links) {
    ASSERT_EQ(symlink(host::HostPath(link[1].c_str()).c_str(), host::HostPath(link[0].c_str()).c_str()), 0);
    EXPECT_EQ(DeleteBelow(machine.common.c_str(), RemovalRoot::Variable, link[0].c_str()), 0) << link[0];
    SetCount(link[0], kRegDword, 1);
    ReleaseSharedFile(machine.common.c_str(), link[0].c_str());
    struct stat info;
    EXPECT_EQ(lstat(host::HostPath(link[0].c_str()).c_str(), &info), 0) << link[0];
    SetCount(link[0], kNoValue, 0);
    unlink(host::HostPath(link[0].c_str()).c_str());
  }
  EXPECT_EQ(ReadWholeFile(target), "someone's");
  OsDeleteFile(target.c_str());
}
#endif
