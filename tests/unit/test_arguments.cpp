// Command-line arguments and CRC-32.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crc_vectors.h"
#include "tessel-core.h"

namespace {

std::string Arg(const char* text, int index, std::int32_t* result = nullptr) {
  char out[64];
  std::memset(out, 'Z', sizeof out);
  std::int32_t r = GetArgument(text, index, out);
  if (result) *result = r;
  return out;
}

}  // namespace

TEST(Arguments, QuotedPathsAndIndexes) {
  const char* line = "\"C:\\Program Files\\Acme\\Uninstall.exe\" \"C:\\My Files\\a b.txt\" -debug";
  EXPECT_EQ(Arg(line, 0), "C:\\Program Files\\Acme\\Uninstall.exe");
  EXPECT_EQ(Arg(line, 1), "C:\\My Files\\a b.txt");
  EXPECT_EQ(Arg(line, 2), "-debug");
  std::int32_t result = 9;
  EXPECT_EQ(Arg(line, 3, &result), "");
  EXPECT_EQ(result, 0);
}

TEST(Arguments, QuotesJoinAndClosingQuoteEndsCopy) {
  std::int32_t result = 9;
  EXPECT_EQ(Arg("a\"b c\"d e", 0, &result), "ab c");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Arg("a\"b c\"d e", 1), "e");
  EXPECT_EQ(Arg("a\"b c\"d e", 2, &result), "");
  EXPECT_EQ(result, 0);
}

TEST(Arguments, FindCountsAndTail) {
  std::int32_t count = -1;
  EXPECT_EQ(FindArgument("a b c ", 5, &count), nullptr);
  EXPECT_EQ(count, 2);
  const char* line = "  prog.exe   -Register -debug";
  EXPECT_STREQ(FindArgument(line, 1, nullptr), "-Register -debug");
  EXPECT_EQ(FindArgument("prog.exe", 1, nullptr), nullptr);
  EXPECT_EQ(FindArgument("prog.exe   ", 1, nullptr), nullptr);
  // Index 0 of a blank text is its end, which GetArgument takes as missing.
  const char* blank = "   ";
  EXPECT_EQ(FindArgument(blank, 0, nullptr), blank + 3);
  std::int32_t result = 9;
  EXPECT_EQ(Arg(blank, 0, &result), "");
  EXPECT_EQ(result, 0);
  // Bytes of 128 and above are ordinary characters.
  EXPECT_EQ(Arg("\xE9t\xE9 x", 0), "\xE9t\xE9");
}

TEST(Arguments, TooLongForTheBufferIsRefused) {
  std::string line = std::string(100, 'p') + " next";
  char out[16];
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(GetArgument(line.c_str(), 0, out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(GetArgument(line.c_str(), 1, out), 1);
  EXPECT_STREQ(out, "next");
  char exact[5];
  EXPECT_EQ(GetArgument("abcd", 0, exact), 1);
  EXPECT_STREQ(exact, "abcd");
  EXPECT_EQ(GetArgument("abcde", 0, exact), 0);
}

TEST(Crc32, CheckValueAndEmpty) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32("", 0), 0u);
}

TEST(Crc32, MatchesZlibOnRandomBuffers) {
  for (const CrcVector& v : kCrcVectors) {
    std::vector<unsigned char> bytes;
    std::uint32_t state = v.seed;
    for (std::uint32_t i = 0; i < v.length; ++i) {
      state = state * 1103515245u + 12345u;
      bytes.push_back(static_cast<unsigned char>((state >> 16) & 0xFF));
    }
    EXPECT_EQ(Crc32(bytes.data(), v.length), v.crc) << "length " << v.length;
  }
}
