// The string operations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support.h"
#include "tessel-core.h"
#include "tessel-str.h"

TEST(StrFind, CaseBlindSwitchSearch) {
  const char* line = "\"C:\\x.exe\" -REGISTER -debug";
  char* at = nullptr;
  EXPECT_EQ(StrFindNoCase(line, "-Register", &at), 1);
  EXPECT_EQ(at, line + 11);
  EXPECT_EQ(StrFindNoCase("-Registered", "-register", &at), 1);
  EXPECT_EQ(StrFind(line, "-Register", &at), 0);
  EXPECT_EQ(at, nullptr);
  EXPECT_EQ(StrFind("", "a", &at), 0);
  EXPECT_EQ(at, nullptr);
  EXPECT_EQ(StrFind("", "", &at), 0);
  const char* one = "x";
  EXPECT_EQ(StrFind(one, "", &at), 1);
  EXPECT_EQ(at, one);
  EXPECT_EQ(StrFind("abc", "abcd", &at), 0);  // never reads past the text
}

TEST(StrCompare, OnlyAsciiLettersFold) {
  EXPECT_EQ(StrEqualNoCase("Abc", "aBC"), 1);
  EXPECT_EQ(StrEqualNoCase("a[", "A{"), 0);
  EXPECT_EQ(StrEqualNoCase("abc", "abcd"), 0);
  EXPECT_EQ(StrEqualNoCase("\xE9", "\xC9"), 0);
  EXPECT_EQ(StrEqual("Install Path", "Install Path"), 1);
  EXPECT_EQ(StrEqual("Install Path", "install path"), 0);
  EXPECT_EQ(StrCompareN("abX", "abY", 2), 1);
  EXPECT_EQ(StrCompareN("abX", "abY", 3), 0);
  EXPECT_EQ(StrCompareN("a", "b", 0), 1);
  EXPECT_EQ(StrCompareNoCaseN("a", "b", -1), 1);
  EXPECT_EQ(StrCompareNoCaseN("HELLO", "hello world", 5), 1);
}

TEST(QuickCrc, FoldsAndRotatesFivePhases) {
  std::uint32_t v = 1;
  QuickCrc("", 1, &v);
  EXPECT_EQ(v, 0u);
  QuickCrc("abc", 1, &v);
  EXPECT_EQ(v, 0x84141u);
  std::uint32_t upper = 0;
  QuickCrc("ABCDEF", 1, &upper);
  QuickCrc("abcdef", 1, &v);
  EXPECT_EQ(v, upper);
  EXPECT_EQ(upper, (0x41u ^ (0x42u << 7) ^ (0x43u << 13) ^ (0x44u << 20) ^ (0x45u << 27) ^ 0x46u));
  const struct {
    const char* keyword;
    std::uint32_t crc;
  } known[] = {{"OLE", 0x0008864F}, {"INSTALL", 0x0D4A6105}, {"DONE", 0x0459E7C4}, {"FONT", 0x0549E7C6}};
  for (const auto& k : known) {
    QuickCrc(k.keyword, 1, &v);
    EXPECT_EQ(v, k.crc) << k.keyword;
  }
}

TEST(StrCopy, CopyAppendLength) {
  char buffer[32] = "xyz";
  StrCopy(buffer, "abc");
  StrAppend(buffer, "def");
  EXPECT_STREQ(buffer, "abcdef");
  EXPECT_EQ(StrLength(buffer), 6);
  EXPECT_EQ(StrLength(""), 0);
}

TEST(StrBounded, NeverWritesPastTheBufferAndSaysWhenCut) {
  char small[8];
  std::memset(small, 'Z', sizeof small);
  EXPECT_EQ(StrCopyBounded(small, "1234567"), 1);
  EXPECT_STREQ(small, "1234567");
  EXPECT_EQ(StrCopyBounded(small, "12345678"), 0);
  EXPECT_STREQ(small, "1234567");
  StrCopyBounded(small, "abc");
  EXPECT_EQ(StrAppendBounded(small, "defg"), 1);
  EXPECT_EQ(StrAppendBounded(small, "h"), 0);
  EXPECT_STREQ(small, "abcdefg");
  EXPECT_EQ(StrFormatBounded(small, sizeof small, "%d", 1234567), 1);
  EXPECT_EQ(StrFormatBounded(small, sizeof small, "%d", 12345678), 0);
  EXPECT_STREQ(small, "1234567");
}

TEST(IsValidEmail, Rules) {
  EXPECT_EQ(IsValidEmail("jane.doe@example.com"), 1);
  EXPECT_EQ(IsValidEmail("jane+list_x@example.com"), 1);
  EXPECT_EQ(IsValidEmail("no-at-sign.com"), 0);
  EXPECT_EQ(IsValidEmail("@example.com"), 0);
  EXPECT_EQ(IsValidEmail("a@b.c"), 0);   // domain of 3
  EXPECT_EQ(IsValidEmail("a@bb.c"), 1);  // domain of 4
  EXPECT_EQ(IsValidEmail("a@example.c0m"), 0);
  EXPECT_EQ(IsValidEmail("a@1.example.com"), 1);  // digits before the last dot
  EXPECT_EQ(IsValidEmail("a..b@example.com"), 0);
  EXPECT_EQ(IsValidEmail("a@example..com"), 0);
  EXPECT_EQ(IsValidEmail("a@.example.com"), 0);
  EXPECT_EQ(IsValidEmail("a@ex+ample.com"), 0);
  EXPECT_EQ(IsValidEmail("a@ex_ample.com"), 0);
  EXPECT_EQ(IsValidEmail("a@b@example.com"), 0);
  EXPECT_EQ(IsValidEmail("jane doe@example.com"), 0);
  EXPECT_EQ(IsValidEmail("a@examplecom"), 0);
  EXPECT_EQ(IsValidEmail(""), 0);
}

TEST(ParseLeadingNumber, DigitsOnly) {
  EXPECT_EQ(ParseLeadingNumber("123abc"), 123);
  EXPECT_EQ(ParseLeadingNumber("abc"), 0);
  EXPECT_EQ(ParseLeadingNumber("-5"), 0);
  EXPECT_EQ(ParseLeadingNumber(" 5"), 0);
  EXPECT_EQ(ParseLeadingNumber(nullptr), 0);
  EXPECT_EQ(ParseLeadingNumber("2.4"), 2);
  // Beyond 32 bits the value wraps, on both builds alike.
  EXPECT_EQ(ParseLeadingNumber("4294967297"), 1);
  EXPECT_EQ(ParseLeadingNumber("99999999999"), static_cast<std::int32_t>(99999999999ull % 4294967296ull));
  std::string many(200, '9');
  ParseLeadingNumber(many.c_str());  // longer than the work buffer: no overrun
}

TEST(EncodeSixBit, GroupsHeaderAndRoom) {
  char out[64];
  std::int32_t room = sizeof out;
  EXPECT_EQ(EncodeSixBit(reinterpret_cast<const unsigned char*>("abc"), 3, out, &room), 1);
  EXPECT_STREQ(out, "0000000397*D");
  EXPECT_EQ(room, 12);
  room = sizeof out;
  EncodeSixBit(reinterpret_cast<const unsigned char*>("abcd"), 4, out, &room);
  EXPECT_STREQ(out, "0000000497*D:!!!");
  EXPECT_EQ(room, 16);
  room = sizeof out;
  EncodeSixBit(reinterpret_cast<const unsigned char*>(""), 0, out, &room);
  EXPECT_STREQ(out, "00000000");
  // Room that runs out after a full group.
  char tight[12];
  room = sizeof tight;
  EXPECT_EQ(EncodeSixBit(reinterpret_cast<const unsigned char*>("abcdefg"), 7, tight, &room), 0);
  // Every character lies between '!' and '`'.
  unsigned char all[256];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  char big[8 + 4 * 86 + 1];
  room = sizeof big;
  ASSERT_EQ(EncodeSixBit(all, 256, big, &room), 1);
  for (int i = 8; i < room; ++i) {
    EXPECT_GE(big[i], '!');
    EXPECT_LE(big[i], '`');
  }
}

using StrDeathTest = testing::Test;

TEST(StrDeathTest, GuardedOperationsCheckEachPointer) {
  std::string path = TempPath("str-null.log");
  EXPECT_EXIT(
      {
        StartLog(path, LogFile);
        char* at;
        StrFindNoCase("text", nullptr, &at);
      },
      testing::ExitedWithCode(1), "");
  std::string log = ReadWholeFile(path);
  EXPECT_NE(log.find("ASSERT:Pointer is NULL..."), std::string::npos);
  EXPECT_NE(log.find("(tessel-str/"), std::string::npos);
  EXPECT_EXIT(StrLength(nullptr), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(StrCopy(nullptr, "x"), testing::ExitedWithCode(1), "");
}
