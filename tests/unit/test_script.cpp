// The script engine: loading out of the archive, the walk over the text and
// its stops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/keywords.h"
#include "ffs.h"
#include "script.h"
#include "support.h"
#include "tessel-core.h"

// Defined in test_ffs.cpp.
std::string ArchivedExecutable(const std::string& image, const std::string& script, std::size_t padding);

namespace {

std::vector<std::string> g_probes;

// Reads one argument and records it.
std::int32_t Probe(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  char argument[kSettingsText];
  ReadArgument(arguments, argument, consumed);
  g_probes.push_back(argument);
  return 1;
}

std::int32_t Refuse(InstallSettings*, const char*, std::int32_t*) { return 0; }

std::string Summary(const std::string& company, const std::string& product, int files) {
  return "Company Name   : " + company + "\nProduct Name   : " + product +
         "\nFile Count     : " + std::to_string(files) + "\nInstall Path   :  []\n";
}

class Script : public testing::Test {
 protected:
  void SetUp() override {
    MemoryInit(kHeapNoLimit, 0);
    KeywordTableInit();
    AddKeyword("PROBE", Probe);
    AddKeyword("REFUSE", Refuse);
    g_probes.clear();
  }
  void TearDown() override {
    KeywordTableRemove();
    EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
  }

  // Runs a text held in a buffer of exactly its length and the zero byte,
  // so that any read beyond it is caught; gives the log of the run.
  std::string RunText(const std::string& script, std::int32_t* result) {
    buffer.assign(script.begin(), script.end());
    buffer.push_back('\0');
    settings = InstallSettings{};
    settings.ScriptText = buffer.data();
    settings.ScriptLength = static_cast<std::int32_t>(script.size());
    settings.ParsePosition = buffer.data();
    std::string log = TempPath("script-run.log");
    StartLog(log, LogFile);
    *result = ScriptRun(&settings, 0);
    StopLog();
    return LogText(log);
  }

  std::vector<char> buffer;
  InstallSettings settings{};
};

}  // namespace

TEST_F(Script, TextWithoutCommandsGivesAnEmptySummary) {
  std::int32_t result = 0;
  EXPECT_EQ(RunText("no commands here\r\nCOMPANY NAME:Acme\r\n", &result), Summary("", "", 0));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(RunText("", &result), Summary("", "", 0));
  EXPECT_EQ(result, 1);
}

TEST_F(Script, CommandsRunInOrderAndFillTheRecord) {
  std::string script =
      "remark\r\n"
      "\x16"
      "company name:Acme\r\n"
      "\x16"
      "PRODUCT NAME:Viewer\r\n"
      "\x16"
      "FONT:Arial\t10\r\n"
      "\x16"
      "FILE LIST:a.exe,b.dll\r\n"
      "\x16"
      "PROBE:one\r\n"
      "\r\n"
      "\x16"
      "PROBE:two\r\n";
  std::int32_t result = 0;
  EXPECT_EQ(RunText(script, &result), Summary("Acme", "Viewer", 2));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(g_probes, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(settings.ParsePosition, buffer.data() + script.size());
}

TEST_F(Script, AZeroByteSeparatesArgumentsOnlyTheEndStopsTheWalk) {
  std::int32_t result = 0;
  const char script[] = "\x16LISTSERVER:12\0news\0weekly\r\n\x16PROBE:last";
  RunText(std::string(script, sizeof script - 1), &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(settings.ListServerNumber, 12);
  EXPECT_STREQ(settings.ListServerName, "news");
  EXPECT_STREQ(settings.ListServerText, "weekly");
  EXPECT_EQ(g_probes, (std::vector<std::string>{"last"}));
}

TEST_F(Script, SingleLineEndBytePassesOverTheNextMarker) {
  std::int32_t result = 0;
  RunText("\x16PROBE:a\n\x16PROBE:b\r\n\x16PROBE:c\r\n", &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(g_probes, (std::vector<std::string>{"a", "c"}));
}

TEST_F(Script, UnknownKeywordsStopTheRun) {
  std::int32_t result = 9;
  // A marker as the very last byte: the empty keyword.
  EXPECT_EQ(RunText("\x16PROBE:a\r\n\x16", &result), "Unknown script command ''\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(settings.ParsePosition, buffer.data() + 10);
  // A blank before the ':' makes another keyword.
  EXPECT_EQ(RunText("\x16PROBE :x\r\n\x16PROBE:y\r\n", &result), "Unknown script command 'PROBE '\n");
  EXPECT_EQ(result, 0);
  // Without a ':' the copy stops at 39 bytes.
  EXPECT_EQ(RunText("\x16" + std::string(45, 'K') + "\r\n", &result),
            "Unknown script command '" + std::string(39, 'K') + "'\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(g_probes, (std::vector<std::string>{"a"}));
}

TEST_F(Script, TrailerBytesAreScannedLikeTheText) {
  std::int32_t result = 0;
  // Three bytes after a marker at the end: looked up, unknown.
  EXPECT_EQ(RunText("\x16PROBE:a\r\n\x01\x16\x9C\x02", &result), "Unknown script command '\x9C\x02'\n");
  EXPECT_EQ(result, 0);
  // Trailer bytes without a marker are passed over.
  RunText("\x16PROBE:a\r\n\x01\x9C\x02\xFF", &result);
  EXPECT_EQ(result, 1);
  // A known keyword that runs into the end reads nothing beyond it.
  g_probes.clear();
  RunText("\x16PROBE:a\r\n\x16PROBE", &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(g_probes, (std::vector<std::string>{"a", ""}));
  RunText("\x16PROBE:", &result);
  EXPECT_EQ(result, 1);
  RunText("\x16OLE", &result);
  EXPECT_EQ(result, 1);
}

TEST_F(Script, FailingCommandStopsTheRun) {
  std::int32_t result = 9;
  EXPECT_EQ(RunText("\x16PROBE:a\r\n\x16REFUSE:\r\n\x16PROBE:b\r\n", &result), "Command Failed 'REFUSE'\n");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(settings.ParsePosition, buffer.data() + 10);
  EXPECT_EQ(g_probes, (std::vector<std::string>{"a"}));

  std::string overlong = "\x16REGISTRY PATH:" + std::string(200, 'k') + "\r\n\x16PROBE:b\r\n";
  EXPECT_EQ(RunText(overlong, &result),
            "Unable to use 'REGISTRY PATH' argument longer than 159 characters\nCommand Failed 'REGISTRY PATH'\n");
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(settings.RegistryPath, "");
}

TEST_F(Script, LoadsFromTheArchiveAndUnloads) {
  std::string exe = TempPath("script-load.exe");
  std::string script =
      "\x16"
      "COMPANY NAME:Acme\r\n\x16"
      "PRODUCT NAME:Viewer\r\n";
  WriteWholeFile(exe, ArchivedExecutable("MZ image", script, 2));
  ASSERT_EQ(FfsInit(exe.c_str()), 1);
  InstallSettings* loaded = nullptr;
  ASSERT_EQ(ScriptLoad(&loaded, "install.dat", RunModeUpdate), 1);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->Mode, RunModeUpdate);
  EXPECT_EQ(loaded->ScriptLength, static_cast<std::int32_t>(script.size() + 4));
  EXPECT_EQ(std::string(loaded->ScriptText, script.size()), script);
  EXPECT_EQ(loaded->ScriptText[loaded->ScriptLength], '\0');
  EXPECT_EQ(loaded->ParsePosition, loaded->ScriptText);
  EXPECT_EQ(loaded->CompanyName[0], '\0');

  EXPECT_EQ(ScriptRun(loaded, 0), 1);
  EXPECT_STREQ(loaded->CompanyName, "Acme");
  EXPECT_STREQ(loaded->ProductName, "Viewer");
  EXPECT_EQ(ScriptUnload(&loaded), 1);
  EXPECT_EQ(loaded, nullptr);
  FfsRemove();
}

TEST(ScriptDeathTest, NullPointersAreFatal) {
  std::string log = TempPath("script-null.log");
  EXPECT_EXIT(
      {
        StartLog(log, LogFile);
        MemoryInit(kHeapNoLimit, 0);
        InstallSettings* script = nullptr;
        ScriptUnload(&script);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_NE(LogText(log).find("ASSERT:Pointer is NULL...\n       (script/"), std::string::npos);
}
