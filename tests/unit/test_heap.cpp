// The tracked heap: sizes, guards, limits, reports and aborts.
#include <gtest/gtest.h>

#include <string>

#include "support.h"
#include "tessel-core.h"

namespace {

std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

bool LogHas(const std::string& path, const std::string& text) {
  return ReadWholeFile(path).find(Crlf(text)) != std::string::npos;
}

}  // namespace

TEST(Heap, BlocksAreZeroedRoundedAndCounted) {
  MemoryInit(kHeapNoLimit, 0);
  unsigned char* p = static_cast<unsigned char*>(MemoryAlloc(1, "test", 1));
  HeapStatistics s = MemoryStatistics();
  EXPECT_EQ(s.blockCount, 1);
  EXPECT_EQ(s.bytesInUse, 12);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i], 0);
  EXPECT_EQ(p[-1], GuardByte);
  EXPECT_EQ(p[4], GuardByte);
  char* q = static_cast<char*>(MemoryAlloc(500, "test", 2));
  EXPECT_EQ(MemoryStatistics().bytesInUse, 12 + 508);
  MemoryFree(&p, 1, "test", 3);
  EXPECT_EQ(p, nullptr);
  MemoryFree(&q, 500, "test", 4);
  s = MemoryStatistics();
  EXPECT_EQ(s.blockCount, 0);
  EXPECT_EQ(s.bytesInUse, 0);
  EXPECT_EQ(s.peakBlockCount, 2);
  EXPECT_EQ(s.peakBytes, 520);
}

TEST(Heap, LimitIsInclusive) {
  MemoryInit(100, 0);
  void* a = MemoryAlloc(80, "test", 1);  // gross 88
  void* b = MemoryAlloc(1, "test", 2);   // gross 12: exactly 100
  EXPECT_EQ(MemoryStatistics().bytesInUse, 100);
  MemoryFree(&b, 1, "test", 3);
  MemoryFree(&a, 80, "test", 4);
  MemoryInit(kHeapNoLimit, 0);
}

TEST(Heap, InitAndRemoveReport) {
  std::string path = TempPath("heap-report.log");
  StartLog(path, LogFile | LogReport);
  MemoryInit(kHeapNoLimit, 0);
  void* blocks[3];
  for (void*& b : blocks) b = MemoryAlloc(500, "test", 1);
  MemoryRemove();
  for (void*& b : blocks) MemoryFree(&b, 500, "test", 2);
  void* one = MemoryAlloc(1, "test", 3);
  MemoryRemove();
  MemoryFree(&one, 1, "test", 4);
  MemoryInit(1 << 20, 0);
  StopLog();
  EXPECT_TRUE(LogHas(path, "\n====[Memory Init]" + std::string(62, '=') +
                               "\nQuickmemory Initialized (Disabled)\nMemory Initialized (Maximum)\n" +
                               std::string(79, '=') + "\n"));
  EXPECT_TRUE(LogHas(path, "Maximum Memory in use (3 / 1k)\nNot all memory was free'd (3 / 1k)\n"));
  EXPECT_TRUE(LogHas(path, "Not all memory was free'd (1 / 12b)\n"));
  EXPECT_TRUE(LogHas(path, "Memory Initialized (limit 1024k)\n"));
}

TEST(Heap, LeakIsReportedWithoutReportFlag) {
  std::string path = TempPath("heap-leak.log");
  StartLog(path, LogFile);
  MemoryInit(kHeapNoLimit, 0);
  void* leak = MemoryAlloc(8, "test", 1);
  MemoryRemove();
  MemoryFree(&leak, 8, "test", 2);
  StopLog();
  EXPECT_EQ(ReadWholeFile(path), Crlf("Not all memory was free'd (1 / 16b)\n"));
}

TEST(Heap, QuickMemoryRegionComesFromTheHeap) {
  std::string path = TempPath("heap-quick.log");
  StartLog(path, LogFile | LogReport);
  MemoryInit(kHeapNoLimit, 4096);
  EXPECT_EQ(MemoryStatistics().bytesInUse, 4104);
  QuickMemoryNewFrame();
  MemoryRemove();
  StopLog();
  EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
  EXPECT_TRUE(LogHas(path, "Quickmemory Initialized (4k)\n"));
  EXPECT_TRUE(LogHas(path, "Quick Memory size was set to (4k)\nMaximum Quick Memory in use (0k) Largest Frame (0k)\n"));
}

using HeapDeathTest = testing::Test;

namespace {

// Runs a faulty heap use in a child process and gives its log.
template <class Fault>
std::string DeathLog(const std::string& name, std::int32_t limit, Fault fault) {
  std::string path = TempPath(name);
  EXPECT_EXIT(
      {
        StartLog(path, LogFile);
        MemoryInit(limit, 0);
        fault();
      },
      testing::ExitedWithCode(1), "");
  std::string raw = ReadWholeFile(path);
  std::string text;
  for (char c : raw)
    if (c != '\r') text += c;
  return text;
}

}  // namespace

TEST(HeapDeathTest, InvalidSizes) {
  EXPECT_NE(DeathLog("heap-zero.log", kHeapNoLimit, [] { MemoryAlloc(0, "register", 12); })
                .find("ABORT: Invalid Memory Size (0)\n       (register/12)\n"),
            std::string::npos);
  EXPECT_NE(DeathLog("heap-neg.log", kHeapNoLimit, [] { MemoryAlloc(-4, "x", 1); }).find("Invalid Memory Size (-4)"),
            std::string::npos);
}

TEST(HeapDeathTest, OverLimit) {
  std::string log = DeathLog("heap-limit.log", 100, [] {
    MemoryAlloc(84, "test", 1);  // gross 92
    MemoryAlloc(1, "test", 77);
  });
  EXPECT_NE(log.find("ABORT: Memory exceeds limit ((92 + 12) / 100)\n       (test/77)\n"), std::string::npos);
}

TEST(HeapDeathTest, HugeRequestCannotWrapPastTheLimit) {
  std::string log = DeathLog("heap-huge.log", kHeapNoLimit, [] { MemoryAlloc(0x7FFFFFFF, "test", 5); });
  EXPECT_NE(log.find("ABORT: Memory exceeds limit"), std::string::npos);
}

TEST(HeapDeathTest, GuardsAndNullFree) {
  EXPECT_NE(DeathLog("heap-after.log", kHeapNoLimit,
                     [] {
                       char* p = static_cast<char*>(MemoryAlloc(5, "t", 1));
                       p[8] = 1;  // one past the rounded user area
                       MemoryFree(&p, 5, "t", 2);
                     })
                .find("ABORT: Memory corrupt after (5)\n       (t/2)\n"),
            std::string::npos);
  EXPECT_NE(DeathLog("heap-before.log", kHeapNoLimit,
                     [] {
                       char* p = static_cast<char*>(MemoryAlloc(5, "t", 1));
                       p[-1] = 1;
                       MemoryFree(&p, 5, "t", 3);
                     })
                .find("ABORT: Memory corrupt before (5)\n       (t/3)\n"),
            std::string::npos);
  EXPECT_NE(DeathLog("heap-double.log", kHeapNoLimit,
                     [] {
                       char* p = static_cast<char*>(MemoryAlloc(5, "t", 1));
                       MemoryFree(&p, 5, "t", 2);
                       MemoryFree(&p, 5, "t", 4);
                     })
                .find("ABORT: No Memory address to free (5 / 16)\n       (t/4)\n"),
            std::string::npos);
}

TEST(HeapDeathTest, QuickMemoryOfTheNoLimitSizeIsInvalid) {
  EXPECT_NE(DeathLog("heap-quick-bad.log", kHeapNoLimit, [] { QuickMemoryInit(kHeapNoLimit); })
                .find("ABORT: Quickmemory size is invalid!\n       (tessel-core/"),
            std::string::npos);
}
