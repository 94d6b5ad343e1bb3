// What the removal refuses, by identity and by name: the protected folders
// whatever their spelling, the product's folder by what it is, and the
// relaunch's private folder and restart order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os.h"
#include "problems.h"
#include "protect.h"
#include "registry.h"
#include "relaunch.h"
#include "removal.h"
#include "support.h"
#include "tessel-core.h"

#if !defined(_WIN32)
#include <unistd.h>

#include "host/machine.h"
#endif

namespace {

std::string SystemFolder() {
  char path[320] = {};
  OsSystemFolder(path, sizeof path);
  return path;
}

struct ProgramFilesValue {
  // Sets "ProgramFilesDir" and "CommonFilesDir" for the test, and puts the
  // machine's own back afterwards.
  char program[kRegistryBuffer] = {};
  char common[kRegistryBuffer] = {};
  bool hadProgram = false;
  bool hadCommon = false;
  ProgramFilesValue(const char* programFiles, const char* commonFiles) {
    RegistryKey key = kRegistryNoKey;
    if (!RegistryCreateKey(&key, RegistryLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion")) return;
    hadProgram = RegistryReadString(key, "ProgramFilesDir", program) == kRegistryValueFound;
    hadCommon = RegistryReadString(key, "CommonFilesDir", common) == kRegistryValueFound;
    RegistrySetString(key, "ProgramFilesDir", programFiles);
    RegistrySetString(key, "CommonFilesDir", commonFiles);
    RegistryCloseKey(&key);
    ProtectedFoldersReset();
  }
  ~ProgramFilesValue() {
    RegistryKey key = kRegistryNoKey;
    if (RegistryCreateKey(&key, RegistryLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion")) {
      if (hadProgram) RegistrySetString(key, "ProgramFilesDir", program);
      if (hadCommon) RegistrySetString(key, "CommonFilesDir", common);
      RegistryCloseKey(&key);
    }
    ProtectedFoldersReset();
  }
};

}  // namespace

TEST(Protected, WhateverTheSpellingOrTheDrive) {
  ProtectedFoldersReset();
  std::string system = SystemFolder();
  std::string upper = system;
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  std::string lower = system;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  const std::vector<std::string> protectedOnes = {
      upper, lower + "\\", system + "\\drivers", system + "\\drivers\\etc\\", system.substr(0, 3) + "windows\\Fonts",
      // No canonical form: a name of nothing but dots on the way.
      system + "\\...\\x", "D:\\", "Q:", "\\\\server\\share\\", system.substr(0, 3) + "users"};
  for (const std::string& folder : protectedOnes) EXPECT_TRUE(IsProtectedFolder(folder.c_str())) << folder;
  for (const char* folder : {"C:\\tessel-tests\\product", "C:\\Apps\\Viewer\\"})
    EXPECT_FALSE(IsProtectedFolder(folder)) << folder;
  for (const char* folder : {"\\\\server\\share\\", "\\\\server\\share", "C:\\", "relative\\", ""})
    EXPECT_FALSE(IsUsableProductFolder(folder)) << folder;
  EXPECT_TRUE(IsUsableProductFolder("C:\\Apps\\Viewer\\"));
}

TEST(Protected, TheProgramFilesFoldersTheMachineNamesAndTheFallback) {
  ProgramFilesValue value("C:\\Apps\\PF", "C:\\Apps\\PF\\Shared");
  EXPECT_TRUE(IsProtectedFolder("C:\\Apps\\PF\\"));
  EXPECT_TRUE(IsProtectedFolder("c:\\apps\\pf\\shared"));
  EXPECT_TRUE(IsProtectedFolder("C:\\Apps")) << "it holds one";
  EXPECT_FALSE(IsProtectedFolder("C:\\Apps\\PF\\Acme"));
  // The system drive's "Program Files" stays protected, whatever the value.
  std::string fallback = SystemFolder().substr(0, 3) + "Program Files";
  EXPECT_TRUE(IsProtectedFolder(fallback.c_str())) << fallback;
}

TEST(ProductFolder, ByWhatItIs) {
  MemoryInit(kHeapNoLimit, 0);
  std::string base = ScratchPath("identity");
  OsCreateFolder(base.c_str());
  std::string product = base + "\\Viewer";
  OsCreateFolder(product.c_str());
  EXPECT_EQ(RemovalUseProductFolder((product + "\\").c_str()), 1);
  EXPECT_FALSE(RemovalProductFolderAbsent());
  // Gone already (a second run): it serves, with nothing in it.
  EXPECT_EQ(RemovalUseProductFolder((base + "\\Gone\\").c_str()), 1);
  EXPECT_TRUE(RemovalProductFolderAbsent());
  // Out of reach: a share that cannot be opened is no folder that is gone.
  EXPECT_EQ(RemovalUseProductFolder("\\\\nowhere\\share\\Viewer\\"), 0);
  EXPECT_EQ(RemovalUseProductFolder((SystemFolder() + "\\").c_str()), 0);
#if !defined(_WIN32)
  // A link, and a link on the way.
  std::string link = base + "\\Link";
  OsDeleteFile(link.c_str());
  ASSERT_EQ(symlink(host::HostPath(SystemFolder().c_str()).c_str(), host::HostPath(link.c_str()).c_str()), 0);
  EXPECT_EQ(RemovalUseProductFolder((link + "\\").c_str()), 0);
  EXPECT_STREQ(RemovalRefusal(), "it is a link");
  std::string way = base + "\\Way";
  OsDeleteFile(way.c_str());
  ASSERT_EQ(symlink(host::HostPath(base.c_str()).c_str(), host::HostPath(way.c_str()).c_str()), 0);
  EXPECT_EQ(RemovalUseProductFolder((way + "\\Viewer\\").c_str()), 0);
  EXPECT_NE(std::string(RemovalRefusal()).find("another name of"), std::string::npos) << RemovalRefusal();
  // Z: for the machine's own C:.
  std::string z = "Z:" + host::HostPath(product.c_str());
  for (char& c : z)
    if (c == '/') c = '\\';
  EXPECT_EQ(RemovalUseProductFolder(z.c_str()), 0);
  OsDeleteFile(link.c_str());
  OsDeleteFile(way.c_str());
#endif
  RemovalReset();
  OsRemoveFolder(product.c_str());
  OsRemoveFolder(base.c_str());
  EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
}

TEST(ProductFolder, NothingLeavesItsRoot) {
  MemoryInit(kHeapNoLimit, 0);
  std::string base = ScratchPath("roots");
  OsCreateFolder(base.c_str());
  std::string product = base + "\\Viewer\\";
  OsCreateFolder(product.c_str());
  std::string outside = base + "\\outside.txt";
  WriteWholeFile(outside, "not the product's");
  ASSERT_EQ(RemovalUseProductFolder(product.c_str()), 1);
  EXPECT_EQ(DeleteProductFile((product + "..\\outside.txt").c_str()), 0);
  EXPECT_EQ(DeleteBelow(product.c_str(), RemovalRoot::Variable, (product + "..\\outside.txt").c_str()), 0);
  EXPECT_EQ(ReadWholeFile(outside), "not the product's");
  // A folder named as a file stays, empty or not.
  OsCreateFolder((product + "empty").c_str());
  EXPECT_EQ(DeleteProductFile((product + "empty").c_str()), 0);
  EXPECT_EQ(OsFileExists((product + "empty").c_str()), 1);
  OsRemoveFolder((product + "empty").c_str());
  RemovalReset();
  OsDeleteFile(outside.c_str());
  OsRemoveFolder(product.c_str());
  OsRemoveFolder(base.c_str());
}

TEST(RelaunchFolder, AnExistingNameIsNeverReused) {
  char temp[260] = {};
  OsTempPath(temp, sizeof temp);
  std::string planted = std::string(temp) + "DelFEED0001";
  OsCreateFolder(planted.c_str());
  WriteWholeFile(planted + "\\DelFEED0001.exe", "someone else's");
  static std::uint32_t next = 0;
  next = 0xFEED0001u;
  char folder[260] = {};
  char copy[260] = {};
  ASSERT_TRUE(MakePrivateFolder(temp, folder, copy, [] { return next++; }));
  EXPECT_EQ(std::string(folder), std::string(temp) + "DelFEED0002\\");
  EXPECT_EQ(std::string(copy), std::string(temp) + "DelFEED0002\\DelFEED0002.exe");
  EXPECT_EQ(ReadWholeFile(planted + "\\DelFEED0001.exe"), "someone else's");
  OsRemoveFolder((std::string(temp) + "DelFEED0002").c_str());
  OsDeleteFile((planted + "\\DelFEED0001.exe").c_str());
  OsRemoveFolder(planted.c_str());
}

TEST(RelaunchFolder, AFailedStartLeavesNothingBehind) {
  char temp[260] = {};
  OsTempPath(temp, sizeof temp);
  auto copies = [&] {
    std::vector<std::string> names;
    OsListFolder(
        temp,
        [](void* context, const char* name, int isFolder) {
          if (isFolder && IsCopyFolderName(name)) static_cast<std::vector<std::string>*>(context)->push_back(name);
        },
        &names);
    return names;
  };
  std::vector<std::string> before = copies();
  SetUnattended(true);
  // A tail too long for any command line: nothing is started.
  std::string tail(40000, 'x');
  EXPECT_EQ(Relaunch(tail.c_str(), nullptr), 0);
  SetUnattended(false);
  EXPECT_EQ(copies(), before);
}
