// The property commands and the argument readers they use.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "command/handlers.h"
#include "support.h"
#include "tessel-core.h"

namespace {

class Properties : public testing::Test {
 protected:
  InstallSettings settings{};
  std::int32_t consumed = 0;

  // Runs a handler on an argument text as the script run does.
  std::int32_t Run(KeywordHandler handler, const std::string& arguments) {
    text = arguments;
    consumed = 0;
    return handler(&settings, text.c_str(), &consumed);
  }
  std::string text;
};

}  // namespace

TEST(ReadArgument, StopsAtAnyControlCharacterAndConsumesIt) {
  const char* text = "one two\tthree\x01\r\nlast";
  std::int32_t consumed = 0;
  char out[32];
  EXPECT_EQ(ReadArgument(text, out, &consumed), 1);
  EXPECT_STREQ(out, "one two");
  EXPECT_EQ(consumed, 8);
  ReadArgument(text, out, &consumed);
  EXPECT_STREQ(out, "three");
  ReadArgument(text, out, &consumed);  // the empty argument before the CR
  EXPECT_STREQ(out, "");
  EXPECT_EQ(consumed, 15);
  ReadArgument(text, out, &consumed);  // the LF ends another empty one
  EXPECT_EQ(consumed, 16);
  ReadArgument(text, out, &consumed);
  EXPECT_STREQ(out, "last");
  // The zero byte behind the text ends the argument and is never passed.
  EXPECT_EQ(consumed, 20);
  ReadArgument(text, out, &consumed);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(consumed, 20);
  // High bytes and quotes are ordinary characters; nothing is trimmed.
  consumed = 0;
  ReadArgument(" \"\xE9t\xE9\" \r\n", out, &consumed);
  EXPECT_STREQ(out, " \"\xE9t\xE9\" ");
}

TEST(ReadArgument, CutsToTheBufferButConsumesTheWholeArgument) {
  std::string text = std::string(10, 'a') + "\tb";
  char out[8];
  std::memset(out, 'Z', sizeof out);
  std::int32_t consumed = 0;
  EXPECT_EQ(ReadArgument(text.c_str(), out, &consumed), 0);
  EXPECT_STREQ(out, "aaaaaaa");
  EXPECT_EQ(consumed, 11);
  EXPECT_EQ(ReadArgument(text.c_str(), out, &consumed), 1);
  EXPECT_STREQ(out, "b");
  char exact[8];
  consumed = 0;
  EXPECT_EQ(ReadArgument("1234567\r\n", exact, &consumed), 1);
  EXPECT_STREQ(exact, "1234567");
}

TEST(CountArgumentChar, CountsOnTopAndLeavesTheTerminator) {
  std::int32_t counter = 5;
  std::int32_t consumed = 0;
  EXPECT_EQ(CountArgumentChar("a,b,,c\r\nx,y", ',', &counter, &consumed), 1);
  EXPECT_EQ(counter, 8);
  EXPECT_EQ(consumed, 6);
}

TEST_F(Properties, TextsAreStoredAndReplaced) {
  EXPECT_EQ(Run(HandleCompanyName, "Acme\r\n"), 1);
  EXPECT_EQ(consumed, 5);
  EXPECT_STREQ(settings.CompanyName, "Acme");
  Run(HandleCompanyName, "Acme Two Ltd\r\n");
  EXPECT_STREQ(settings.CompanyName, "Acme Two Ltd");
  Run(HandleProductName, "Viewer\r\n");
  Run(HandleProductVersion, "2.4\r\n");
  Run(HandleText, " spaced \r\n");
  Run(HandleRegistryPath, "Software\\Acme\\Viewer\r\n");
  Run(HandleUpdateUrl, "http://updates.acme.example/v.txt\r\n");
  Run(HandleInstallName, "$1acme.ini\r\n");
  Run(HandleUninstallName, "Uninstall.exe");  // ends at the end of the text
  EXPECT_EQ(consumed, 13);
  EXPECT_STREQ(settings.ProductName, "Viewer");
  EXPECT_STREQ(settings.ProductVersion, "2.4");
  EXPECT_STREQ(settings.Text, " spaced ");
  EXPECT_STREQ(settings.RegistryPath, "Software\\Acme\\Viewer");
  EXPECT_STREQ(settings.UpdateUrl, "http://updates.acme.example/v.txt");
  EXPECT_STREQ(settings.InstallName, "$1acme.ini");
  EXPECT_STREQ(settings.UninstallName, "Uninstall.exe");
}

TEST_F(Properties, NumbersAsTheCLibraryReadsThem) {
  Run(HandleListServer, "12\tnews\tweekly\r\n");
  EXPECT_EQ(settings.ListServerNumber, 12);
  EXPECT_STREQ(settings.ListServerName, "news");
  EXPECT_STREQ(settings.ListServerText, "weekly");
  EXPECT_EQ(consumed, 15);
  Run(HandleListServer, " -7\tx\ty\r\n");
  EXPECT_EQ(settings.ListServerNumber, -7);
  Run(HandleListServer, "abc\t\t\r\n");
  EXPECT_EQ(settings.ListServerNumber, 0);
  EXPECT_STREQ(settings.ListServerName, "");

  Run(HandleInstallSize, "18432\r\n");
  EXPECT_EQ(settings.InstallSize, 18432);
  EXPECT_EQ(consumed, 6);
  Run(HandleInstallSize, "+42kB\r\n");
  EXPECT_EQ(settings.InstallSize, 42);
  Run(HandleInstallSize, "99999999999\r\n");
  EXPECT_EQ(settings.InstallSize, 2147483647);
}

TEST_F(Properties, FileListIsCountedInPlace) {
  Run(HandleFileList, "a.exe,b.dll,c.hlp\r\n");
  EXPECT_EQ(settings.FileCount, 3);
  EXPECT_EQ(settings.FileList, text.c_str());
  EXPECT_EQ(consumed, 17);  // the CR is left for the script run to pass
  Run(HandleFileList, "a.exe, b.dll\r\n");
  EXPECT_EQ(settings.FileCount, 2);
  Run(HandleFileList, "\r\n");
  EXPECT_EQ(settings.FileCount, 1);
  EXPECT_EQ(consumed, 0);
}

TEST_F(Properties, ReadersMayCutButNamesAreRefusedWhole) {
  std::string log = TempPath("properties-overlong.log");
  StartLog(log, LogFile);
  std::string longest(159, 'p');
  std::string overlong(160, 'q');

  EXPECT_EQ(Run(HandleCompanyName, overlong + std::string(40, 'r') + "\r\n"), 1);
  EXPECT_EQ(consumed, 201);
  EXPECT_EQ(settings.CompanyName, std::string(159, 'q'));
  EXPECT_EQ(Run(HandleListServer, "1\t" + overlong + "\t" + overlong + "\r\n"), 1);
  EXPECT_EQ(std::string(settings.ListServerName), std::string(159, 'q'));
  EXPECT_EQ(std::string(settings.ListServerText), std::string(159, 'q'));

  struct Named {
    KeywordHandler handler;
    const char* keyword;
    const char* field;
  } names[] = {
      {HandleRegistryPath, "REGISTRY PATH", settings.RegistryPath},
      {HandleUpdateUrl, "UPDATE URL", settings.UpdateUrl},
      {HandleInstallName, "INSTALL NAME", settings.InstallName},
      {HandleUninstallName, "UNINSTALL NAME", settings.UninstallName},
  };
  std::string expected;
  for (const Named& n : names) {
    EXPECT_EQ(Run(n.handler, longest + "\r\n"), 1) << n.keyword;
    EXPECT_EQ(n.field, longest) << n.keyword;
    EXPECT_EQ(Run(n.handler, overlong + "\r\n"), 0) << n.keyword;
    EXPECT_EQ(n.field, longest) << n.keyword << ": the field keeps its value";
    expected += std::string("Unable to use '") + n.keyword + "' argument longer than 159 characters\n";
  }
  StopLog();
  EXPECT_EQ(LogText(log), expected);
}

TEST(PropertiesDeathTest, NullRecordIsFatal) {
  std::string log = TempPath("properties-null.log");
  EXPECT_EXIT(
      {
        StartLog(log, LogFile);
        std::int32_t consumed = 0;
        HandleCompanyName(nullptr, "x", &consumed);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_NE(LogText(log).find("ASSERT:Pointer is NULL...\n       (command/"), std::string::npos);
}
