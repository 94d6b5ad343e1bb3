// The registry helpers against the machine's registry: Wine's on win32, the
// host store on the host. Each test works in a key of its own below
// HKEY_CURRENT_USER\Software\TesselTest, removed afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry.h"
#include "support.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

class Registry : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("Software\\TesselTest\\") + testing::UnitTest::GetInstance()->current_test_info()->name();
    RemoveTree();
    ASSERT_EQ(RegistryCreateKey(&key_, RegistryCurrentUser, path_.c_str()), 1);
    logPath_ = TempPath("registry.log");
  }

  void TearDown() override {
    StopLog();
    RegistryCloseKey(&key_);
    RemoveTree();
    OsRegDeleteKey(kHkeyCurrentUser, "Software\\TesselTest");  // fails while other tests' keys remain
  }

  void RemoveTree() {
    for (auto it = subkeys_.rbegin(); it != subkeys_.rend(); ++it)
      OsRegDeleteKey(kHkeyCurrentUser, (path_ + "\\" + *it).c_str());
    OsRegDeleteKey(kHkeyCurrentUser, path_.c_str());
  }

  // Keys below the test's own, deleted (deepest last in the list) at the end.
  std::string Subkey(const std::string& relative) {
    subkeys_.push_back(relative);
    return path_ + "\\" + relative;
  }

  void Log() { StartLog(logPath_, LogFile); }
  std::string Logged() {
    StopLog();
    return LogText(logPath_);
  }

  std::vector<std::string> Names() {
    std::vector<std::string> names;
    char name[kRegistryBuffer];
    unsigned char data[kRegistryBuffer];
    std::int32_t length = 0;
    std::int32_t type = 0;
    for (std::int32_t i = 0; RegistryEnumValue(key_, i, name, sizeof name, data, sizeof data, &length, &type); ++i)
      names.push_back(name);
    return names;
  }

  std::string path_;
  std::string logPath_;
  std::vector<std::string> subkeys_;
  RegistryKey key_ = kRegistryNoKey;
};

TEST(RegistryRoots, NumbersChooseTheRootKeys) {
  EXPECT_EQ(RegistryRootKey(1), kHkeyCurrentUser);
  EXPECT_EQ(RegistryRootKey(2), kHkeyDynData);
  EXPECT_EQ(RegistryRootKey(3), kHkeyPerformanceData);
  EXPECT_EQ(RegistryRootKey(4), kHkeyLocalMachine);
  EXPECT_EQ(RegistryRootKey(5), kHkeyClassesRoot);
  EXPECT_EQ(RegistryRootKey(6), kHkeyCurrentConfig);
  EXPECT_EQ(RegistryRootKey(0), kHkeyCurrentUser);
  EXPECT_EQ(RegistryRootKey(7), kHkeyCurrentUser);
  EXPECT_EQ(RegistryRootKey(-1), kHkeyCurrentUser);
}

TEST_F(Registry, UnknownRootNumbersOpenBelowTheCurrentUser) {
  EXPECT_EQ(RegistryKeyExists(0, path_.c_str()), 1);
  EXPECT_EQ(RegistryKeyExists(7, path_.c_str()), 1);
  EXPECT_EQ(RegistryKeyExists(RegistryLocalMachine, path_.c_str()), 0);
  RegistryKey key = kRegistryNoKey;
  ASSERT_EQ(RegistryOpenKey(&key, 7, path_.c_str()), 1);
  EXPECT_EQ(RegistrySetString(key, "Seen", "yes"), 1);
  RegistryCloseKey(&key);
  EXPECT_EQ(key, kRegistryNoKey);
  char text[kRegistryBuffer] = "";
  EXPECT_EQ(RegistryGetString(key_, "Seen", text), 1);
  EXPECT_STREQ(text, "yes");
}

TEST_F(Registry, OpenAndCreateKeys) {
  std::string missing = path_ + "\\Missing";
  RegistryKey key = 12345;
  EXPECT_EQ(RegistryOpenKey(&key, RegistryCurrentUser, missing.c_str()), 0);
  EXPECT_EQ(key, kRegistryNoKey);  // a failed open leaves none
  EXPECT_EQ(RegistryKeyExists(RegistryCurrentUser, missing.c_str()), 0);

  // Creating makes the missing keys of the path; creating again opens.
  std::string deep = path_ + "\\A\\B";
  subkeys_ = {"A", "A\\B"};
  ASSERT_EQ(RegistryCreateKey(&key, RegistryCurrentUser, deep.c_str()), 1);
  EXPECT_EQ(RegistrySetInteger(key, "Count", 7), 1);
  RegistryCloseKey(&key);
  EXPECT_EQ(RegistryKeyExists(RegistryCurrentUser, (path_ + "\\A").c_str()), 1);
  ASSERT_EQ(RegistryCreateKey(&key, RegistryCurrentUser, deep.c_str()), 1);
  std::int32_t count = 0;
  EXPECT_EQ(RegistryGetInteger(key, "Count", &count), 1);
  EXPECT_EQ(count, 7);
  RegistryCloseKey(&key);
  // Key names do not depend on letter case.
  EXPECT_EQ(RegistryKeyExists(RegistryCurrentUser, (path_ + "\\a\\b").c_str()), 1);
}

TEST_F(Registry, ValueNamesMatchOnlyWithTheSameLetterCase) {
  ASSERT_EQ(RegistrySetString(key_, "install path", "C:\\Lower\\"), 1);
  char text[kRegistryBuffer] = "untouched";
  Log();
  EXPECT_EQ(RegistryGetString(key_, "Install Path", text), 0);
  std::int32_t number = 99;
  EXPECT_EQ(RegistryGetInteger(key_, "Install Path", &number), 0);
  EXPECT_EQ(Logged(), "Unable to get 'Install Path' string\nUnable to get 'Install Path' integer\n");
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(number, 99);
  EXPECT_EQ(RegistryGetString(key_, "install path", text), 1);
  EXPECT_STREQ(text, "C:\\Lower\\");
}

TEST_F(Registry, ValuesKeepTheirOrder) {
  // Written in name order, which is the order Wine keeps them in; the host
  // store keeps any order of writing (its own tests show that).
  for (const char* name : {"Alpha", "Beta", "Delta", "Gamma"}) ASSERT_EQ(RegistrySetString(key_, name, name), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"Alpha", "Beta", "Delta", "Gamma"}));
  // Writing a value again, under another letter case, keeps its place and
  // its name.
  ASSERT_EQ(RegistrySetString(key_, "ALPHA", "again"), 1);
  EXPECT_EQ(Names(), (std::vector<std::string>{"Alpha", "Beta", "Delta", "Gamma"}));
  char text[kRegistryBuffer] = "";
  EXPECT_EQ(RegistryGetString(key_, "Alpha", text), 1);
  EXPECT_STREQ(text, "again");
}

TEST_F(Registry, AnOverlongValueIsPassedOverAndRefusedItself) {
  ASSERT_EQ(RegistrySetString(key_, "A long", std::string(200, 'x').c_str()), 1);
  ASSERT_EQ(RegistrySetString(key_, ("A" + std::string(170, 'n')).c_str(), "long name"), 1);
  ASSERT_EQ(RegistrySetString(key_, "B wanted", "here"), 1);
  char text[kRegistryBuffer] = "untouched";
  Log();
  EXPECT_EQ(RegistryReadString(key_, "A long", text), kRegistryValueUnusable);
  EXPECT_EQ(RegistryReadString(key_, "A missing", text), kRegistryValueMissing);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(RegistryGetString(key_, "A long", text), 0);
  EXPECT_EQ(RegistryGetString(key_, "B wanted", text), 1);
  EXPECT_EQ(Logged(), "Unable to get 'A long' string\n");
  EXPECT_STREQ(text, "here");
}

TEST_F(Registry, TextsUpToTheBufferAreRead) {
  std::string longest(159, 'a');
  ASSERT_EQ(RegistrySetString(key_, "Longest", longest.c_str()), 1);
  char text[kRegistryBuffer] = "";
  EXPECT_EQ(RegistryGetString(key_, "Longest", text), 1);
  EXPECT_EQ(std::string(text), longest);
}

TEST_F(Registry, ATextThatDoesNotFitTheDestinationIsRefused) {
  ASSERT_EQ(RegistrySetString(key_, "Name", "abcdef"), 1);
  char small[8];
  std::memcpy(small, "xyz\0GGGG", sizeof small);
  Log();
  EXPECT_EQ(RegistryGetString(key_, "Name", small, 6), 0);
  EXPECT_EQ(Logged(), "Unable to get 'Name' string\n");
  EXPECT_EQ(std::memcmp(small, "xyz\0GGGG", sizeof small), 0);  // not a byte written
  EXPECT_EQ(RegistryGetString(key_, "Name", small, 7), 1);
  EXPECT_STREQ(small, "abcdef");
}

TEST_F(Registry, ExpandableTextsAreTypeOneAndStillRead) {
  const char expandable[] = "%TEMP%\\cache";
  ASSERT_EQ(OsRegSetValue(key_, "Cache", kRegExpandSz, expandable, sizeof expandable), kErrorSuccess);
  char name[kRegistryBuffer];
  unsigned char data[kRegistryBuffer];
  std::int32_t length = 0;
  std::int32_t type = 0;
  Log();
  ASSERT_EQ(RegistryEnumValue(key_, 0, name, sizeof name, data, sizeof data, &length, &type), 1);
  EXPECT_EQ(type, RegistryTypeBinary);
  char text[kRegistryBuffer] = "";
  EXPECT_EQ(RegistryGetString(key_, "Cache", text), 1);
  EXPECT_EQ(Logged(), "Unsupported type 0x00000002 (2)\nUnsupported type 0x00000002 (2)\n");
  EXPECT_STREQ(name, "Cache");
  EXPECT_STREQ(text, "%TEMP%\\cache");
}

TEST_F(Registry, TypeCodesOfTheKnownTypes) {
  const unsigned char bytes[] = {1, 2, 3};
  const unsigned char big[] = {0, 0, 0, 5};
  ASSERT_EQ(OsRegSetValue(key_, "A binary", kRegBinary, bytes, sizeof bytes), kErrorSuccess);
  ASSERT_EQ(RegistrySetString(key_, "B string", "text"), 1);
  ASSERT_EQ(RegistrySetInteger(key_, "C integer", -2), 1);
  ASSERT_EQ(OsRegSetValue(key_, "D big", kRegDwordBigEndian, big, sizeof big), kErrorSuccess);
  std::vector<std::int32_t> types;
  std::vector<std::int32_t> lengths;
  char name[kRegistryBuffer];
  unsigned char data[kRegistryBuffer];
  std::int32_t length = 0;
  std::int32_t type = 0;
  for (std::int32_t i = 0; RegistryEnumValue(key_, i, name, sizeof name, data, sizeof data, &length, &type); ++i) {
    types.push_back(type);
    lengths.push_back(length);
  }
  EXPECT_EQ(types, (std::vector<std::int32_t>{1, 2, 3, 4}));
  ASSERT_EQ(lengths.size(), 4u);
  EXPECT_EQ(lengths[0], 3);
  EXPECT_EQ(lengths[2], 4);
  EXPECT_EQ(lengths[3], 4);
  std::int32_t number = 0;
  EXPECT_EQ(RegistryGetInteger(key_, "C integer", &number), 1);
  EXPECT_EQ(number, -2);
}

TEST_F(Registry, EnumerationStopsAtTheEndAndAtSmallBuffers) {
  ASSERT_EQ(RegistrySetString(key_, "Name", "a text"), 1);
  char name[kRegistryBuffer];
  unsigned char data[kRegistryBuffer];
  std::int32_t length = 0;
  std::int32_t type = 0;
  EXPECT_EQ(RegistryEnumValue(key_, 1, name, sizeof name, data, sizeof data, &length, &type), 0);
  EXPECT_EQ(RegistryEnumValue(key_, 0, name, 4, data, sizeof data, &length, &type), 0);
  EXPECT_EQ(RegistryEnumValue(key_, 0, name, sizeof name, data, 3, &length, &type), 0);
  EXPECT_EQ(RegistryEnumValue(key_, 0, name, sizeof name, data, sizeof data, &length, &type), 1);
  EXPECT_STREQ(name, "Name");
  EXPECT_EQ(std::memcmp(data, "a text", 6), 0);  // Wine counts a terminator as well
}

TEST_F(Registry, AStringReadAsAnIntegerGivesItsFirstFourBytes) {
  ASSERT_EQ(RegistrySetString(key_, "Text", "ABCDEF"), 1);
  ASSERT_EQ(RegistrySetString(key_, "Short", "Z"), 1);
  std::int32_t number = 0;
  EXPECT_EQ(RegistryGetInteger(key_, "Text", &number), 1);
  EXPECT_EQ(number, 0x44434241);
  EXPECT_EQ(RegistryGetInteger(key_, "Short", &number), 1);
  EXPECT_EQ(number, 'Z');  // the bytes past the data read as zero
}

TEST_F(Registry, AnEmptyStringIsStoredWithLengthZero) {
  ASSERT_EQ(RegistrySetString(key_, "Empty", ""), 1);
  char name[kRegistryBuffer];
  unsigned char data[kRegistryBuffer];
  std::int32_t length = -1;
  std::int32_t type = 0;
  ASSERT_EQ(RegistryEnumValue(key_, 0, name, sizeof name, data, sizeof data, &length, &type), 1);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(type, RegistryTypeString);
  char text[kRegistryBuffer] = "old";
  EXPECT_EQ(RegistryGetString(key_, "Empty", text), 1);
  EXPECT_STREQ(text, "");
}

TEST_F(Registry, DeletingAMissingKeyLogsTheSystemsCode) {
  std::string missing = path_ + "\\Missing";
  Log();
  EXPECT_EQ(RegistryDeleteKey(RegistryCurrentUser, missing.c_str()), 0);
  EXPECT_EQ(Logged(), "Unable to delete key '" + missing + "'(0x00000002)\n");
}

TEST_F(Registry, AKeyWithSubkeysIsNotDeleted) {
  std::string child = Subkey("Child");
  RegistryKey key = kRegistryNoKey;
  ASSERT_EQ(RegistryCreateKey(&key, RegistryCurrentUser, child.c_str()), 1);
  RegistryCloseKey(&key);
  Log();
  EXPECT_EQ(RegistryDeleteKey(RegistryCurrentUser, path_.c_str()), 0);
  EXPECT_EQ(Logged(), "Unable to delete key '" + path_ + "'(0x00000005)\n");
  EXPECT_EQ(RegistryKeyExists(RegistryCurrentUser, child.c_str()), 1);
  EXPECT_EQ(RegistryDeleteKey(RegistryCurrentUser, child.c_str()), 1);
  RegistryCloseKey(&key_);
  EXPECT_EQ(RegistryDeleteKey(RegistryCurrentUser, path_.c_str()), 1);
  EXPECT_EQ(RegistryKeyExists(RegistryCurrentUser, path_.c_str()), 0);
}

using RegistryDeath = Registry;

TEST_F(RegistryDeath, NullPointersAreFatal) {
  EXPECT_EXIT(RegistryOpenKey(nullptr, 1, "Software"), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(RegistryGetString(key_, nullptr, static_cast<char*>(nullptr), 4), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(RegistrySetString(key_, "Name", nullptr), testing::ExitedWithCode(1), "");
}

}  // namespace
