// The log, its switches, its sections and the fatal report.
#include <gtest/gtest.h>

#include <string>

#include "support.h"
#include "tessel-core.h"

namespace {

std::uint32_t Flags(const char* arguments) {
  std::uint32_t flags = 0xFFFF;
  LogParseSwitches(&flags, arguments);
  return flags;
}

}  // namespace

TEST(LogSwitches, AreFoundAnywhereInAnyCase) {
  EXPECT_EQ(Flags(""), 0u);
  EXPECT_EQ(Flags("-debug"), 0x06u);
  EXPECT_EQ(Flags("-Debug -APPEND"), 0x0Eu);
  EXPECT_EQ(Flags("-window"), 0x01u);
  EXPECT_EQ(Flags("-append"), 0x08u);
  EXPECT_EQ(Flags("x-debugger"), 0x06u);  // a longer word that begins with it
  EXPECT_EQ(Flags("-Register -Debug -Window"), 0x07u);
}

TEST(Log, DebugTruncatesAndWritesBannerWithCrLf) {
  std::string path = TempPath("log-banner.log");
  WriteWholeFile(path, "old content\n");
  StartLog(path, LogFile | LogReport);
  LogPrint("value %d\n", 42);
  StopLog();
  EXPECT_EQ(ReadWholeFile(path), "Tessel v0.32\r\nvalue 42\r\n");
}

TEST(Log, AppendKeepsOldContent) {
  std::string path = TempPath("log-append.log");
  WriteWholeFile(path, "old\r\n");
  StartLog(path, LogFile | LogReport | LogAppend);
  StopLog();
  EXPECT_EQ(LogText(path), "old\nTessel v0.32\n");
}

TEST(Log, AppendAloneWritesNothing) {
  std::string path = TempPath("log-append-alone.log");
  StartLog(path, LogAppend);
  LogPrint("text\n");
  LogSection("Title");
  StopLog();
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(Log, SilentWhenNoFlags) {
  std::string path = TempPath("log-silent.log");
  StartLog(path, 0);
  LogPrint("text\n");
  StopLog();
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(Log, FileNameBesideProgram) {
  LogInit("debug.log", 0);
  std::string path = LogFilePath();
  ASSERT_GE(path.size(), 10u);
  EXPECT_EQ(path.substr(path.size() - 10), "\\debug.log");
  // A name of one character also means debug.log.
  LogInit("x", 0);
  path = LogFilePath();
  EXPECT_EQ(path.substr(path.size() - 10), "\\debug.log");
  StopLog();
}

TEST(Log, SectionRules) {
  std::string path = TempPath("log-section.log");
  StartLog(path, LogFile);
  LogSection(nullptr);
  LogSection("Memory Init");
  LogSection(std::string(100, 't').c_str());
  StopLog();
  std::string expected = std::string(79, '=') + "\n";
  expected += "\n====[Memory Init]" + std::string(62, '=') + "\n";
  expected += "\n====[" + std::string(74, 't') + "\n";
  EXPECT_EQ(LogText(path), expected);
}

TEST(Log, TextOfExactlyTheBufferIsAccepted) {
  std::string path = TempPath("log-full.log");
  StartLog(path, LogFile);
  std::string text(kMessageCapacity, 'x');
  LogPrint("%s", text.c_str());
  StopLog();
  EXPECT_EQ(ReadWholeFile(path).size(), static_cast<std::size_t>(kMessageCapacity));
}

using LogDeathTest = testing::Test;

TEST(LogDeathTest, OverlongTextAbortsWithoutOverrun) {
  std::string path = TempPath("log-overlong.log");
  std::string text(kMessageCapacity + 10, 'y');
  EXPECT_EXIT(
      {
        StartLog(path, LogFile);
        LogPrint("%s", text.c_str());
      },
      testing::ExitedWithCode(1), "");
  std::string log = LogText(path);
  EXPECT_NE(log.find("ABORT: Last string too large (4106 > 4096)\n       (Unknown/0)\n"), std::string::npos);
  // What was written of the long text stops at the buffer.
  EXPECT_EQ(log.find(std::string(kMessageCapacity + 1, 'y')), std::string::npos);
}

TEST(LogDeathTest, NullPointerReportsLocation) {
  std::string path = TempPath("log-null.log");
  EXPECT_EXIT(
      {
        StartLog(path, LogFile);
        SetErrorLocation("tessel-str", 31);
        CheckPointer(nullptr);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(LogText(path), "\n\nASSERT:Pointer is NULL...\n       (tessel-str/31)\n");
}

TEST(LogDeathTest, AssertAndAbortFormat) {
  std::string path = TempPath("log-assert.log");
  EXPECT_EXIT(
      {
        StartLog(path, LogFile);
        SetErrorLocation("winmain", 7);
        Assert(1, "fine\n");
        SetErrorLocation("winmain", 9);
        Assert(0, "bad value %d\n", 5);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(LogText(path), "\n\nASSERT:bad value 5\n       (winmain/9)\n");
  std::string abortPath = TempPath("log-abort.log");
  EXPECT_EXIT(
      {
        StartLog(abortPath, LogFile);
        SetErrorLocation("command", 465);
        Abort("Unable to open key '%s'\n", "Software\\X");
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(LogText(abortPath), "\n\nABORT: Unable to open key 'Software\\X'\n       (command/465)\n");
}

TEST(LogDeathTest, FatalReportWithoutAnyFlagStillExits) {
  std::string path = TempPath("log-noflags.log");
  EXPECT_EXIT(
      {
        StartLog(path, 0);
        SetErrorLocation("x", 1);
        CheckPointer(nullptr);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(LibraryLock, IsReentrant) {
  // A check inside a held lock (the report routine calls checked helpers).
  SetErrorLocation("test", 1);
  SetErrorLocation("test", 2);
  LockLibrary();
  EXPECT_EQ(CheckPointer(this), 1);
  EXPECT_EQ(CheckPointer(this), 1);
  UnlockLibrary();
  SetLibraryLockMode(1);
  SetLibraryLockMode(0);
  EXPECT_EQ(LogPrint("nothing\n"), 1);
}
