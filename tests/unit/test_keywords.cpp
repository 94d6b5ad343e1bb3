// The keyword table: its order, its bindings, lookup by length and quick
// CRC, the dispatch, SkipLine and the registration faults.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "command/handlers.h"
#include "command/keywords.h"
#include "support.h"
#include "tessel-core.h"

namespace {

std::vector<std::string> TableOrder() {
  std::vector<std::string> order;
  for (const ScriptCommand* e = KeywordTable.first; e != nullptr; e = e->next) order.push_back(e->keyword);
  return order;
}

const ScriptCommand* Entry(const std::string& keyword) {
  for (const ScriptCommand* e = KeywordTable.first; e != nullptr; e = e->next)
    if (keyword == e->keyword) return e;
  return nullptr;
}

int g_calls = 0;
const char* g_seenArguments = nullptr;

std::int32_t Recording(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  ++g_calls;
  g_seenArguments = arguments;
  *consumed += 3;
  return 7;
}

std::int32_t Other(InstallSettings*, const char*, std::int32_t*) { return 1; }

class Keywords : public testing::Test {
 protected:
  void SetUp() override {
    MemoryInit(kHeapNoLimit, 0);
    g_calls = 0;
    g_seenArguments = nullptr;
  }
  void TearDown() override {
    KeywordTableRemove();
    EXPECT_EQ(KeywordTable.first, nullptr);
    EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
  }
};

std::int32_t Skip(const char* text) {
  InstallSettings settings{};
  std::int32_t consumed = 0;
  EXPECT_EQ(SkipLine(&settings, text, &consumed), 1);
  return consumed;
}

}  // namespace

TEST_F(Keywords, InitOrdersByLengthThenLatestFirst) {
  std::string log = TempPath("keywords-init.log");
  StartLog(log, LogFile);
  EXPECT_EQ(KeywordTableInit(), 1);
  StopLog();
  EXPECT_EQ(LogText(log), "");  // no two keywords share a quick CRC
  std::vector<std::string> expected = {"PRODUCT VERSION",
                                       "UNINSTALL NAME",
                                       "GRADIENT START",
                                       "REGISTRY PATH",
                                       "INSTALL NAME",
                                       "INSTALL PATH",
                                       "INSTALL SIZE",
                                       "CREATE GROUP",
                                       "GRADIENT END",
                                       "PRODUCT NAME",
                                       "COMPANY NAME",
                                       "INSTALL DIR",
                                       "SERIAL LIST",
                                       "UPDATE URL",
                                       "LISTSERVER",
                                       "BRAND LIST",
                                       "AGREEMENT",
                                       "FILE LIST",
                                       "REGISTER",
                                       "ADD ITEM",
                                       "INSTALL",
                                       "MESSAGE",
                                       "EXECUTE",
                                       "REFRESH",
                                       "SERIAL",
                                       "STRING",
                                       "BREAK",
                                       "DONE",
                                       "FONT",
                                       "TEXT",
                                       "OLE"};
  EXPECT_EQ(TableOrder(), expected);
  for (const ScriptCommand* e = KeywordTable.first; e != nullptr; e = e->next)
    EXPECT_EQ(e->length, static_cast<std::int32_t>(std::string(e->keyword).size())) << e->keyword;
  EXPECT_EQ(Entry("OLE")->quickCrc, 0x0008864Fu);
  EXPECT_EQ(Entry("INSTALL")->quickCrc, 0x0D4A6105u);
  EXPECT_EQ(Entry("DONE")->quickCrc, 0x0459E7C4u);
  EXPECT_EQ(Entry("FONT")->quickCrc, 0x0549E7C6u);
}

TEST_F(Keywords, TwelveInstallerKeywordsAreSkipped) {
  KeywordTableInit();
  std::set<std::string> skipped;
  for (const ScriptCommand* e = KeywordTable.first; e != nullptr; e = e->next)
    if (e->handler == SkipLine) skipped.insert(e->keyword);
  EXPECT_EQ(skipped,
            (std::set<std::string>{"SERIAL LIST", "BRAND LIST", "GRADIENT START", "GRADIENT END", "FONT", "STRING",
                                   "REFRESH", "EXECUTE", "AGREEMENT", "MESSAGE", "SERIAL", "BREAK"}));
  EXPECT_EQ(Entry("COMPANY NAME")->handler, HandleCompanyName);
  EXPECT_EQ(Entry("FILE LIST")->handler, HandleFileList);
  EXPECT_EQ(Entry("OLE")->handler, HandleOle);
  EXPECT_EQ(Entry("INSTALL")->handler, HandleInstall);
  EXPECT_EQ(Entry("INSTALL DIR")->handler, HandleInstallDir);
  EXPECT_EQ(Entry("UNINSTALL NAME")->handler, HandleUninstallName);
}

TEST_F(Keywords, LookupByLengthAndFoldedCrc) {
  KeywordTableInit();
  EXPECT_EQ(FindKeyword("INSTALL"), 1);
  EXPECT_EQ(FindKeyword("install"), 1);
  EXPECT_EQ(FindKeyword("Company Name"), 1);
  EXPECT_EQ(FindKeyword("INSTALL "), 0);
  EXPECT_EQ(FindKeyword("INSTAL"), 0);
  EXPECT_EQ(FindKeyword(""), 0);
  EXPECT_EQ(FindKeyword("A KEYWORD LONGER THAN ANY THAT IS KNOWN"), 0);
  // Only length and CRC count: I and L both sit at shift 0 (positions 0, 5).
  EXPECT_EQ(FindKeyword("LNSTAIL"), 1);
}

TEST_F(Keywords, ExecuteResetsTheCountAndCallsTheHandler) {
  AddKeyword("PROBE", Recording);
  InstallSettings settings{};
  const char* arguments = "abc\r\n";
  std::int32_t consumed = 99;
  EXPECT_EQ(ExecuteKeyword("probe", &settings, arguments, &consumed), 7);
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_seenArguments, arguments);
  EXPECT_EQ(consumed, 3);

  consumed = 5;
  EXPECT_EQ(ExecuteKeyword("PROBES", &settings, arguments, &consumed), 0);
  EXPECT_EQ(consumed, 0);
  EXPECT_EQ(g_calls, 1);
}

TEST_F(Keywords, SameCrcOfAnotherLengthIsLoggedAndAccepted) {
  std::string log = TempPath("keywords-crc.log");
  StartLog(log, LogFile);
  AddKeyword("OLE", Other);
  // 0x80 at shift 20 and 0x01 at shift 27 cancel out.
  EXPECT_EQ(AddKeyword("OLE\x80\x01", Recording), 1);
  StopLog();
  EXPECT_EQ(LogText(log), "Matching quick CRC's (OLE) and (OLE\x80\x01)\n");
  EXPECT_EQ(TableOrder(), (std::vector<std::string>{"OLE\x80\x01", "OLE"}));
  InstallSettings settings{};
  std::int32_t consumed = 0;
  EXPECT_EQ(ExecuteKeyword("ole", &settings, "", &consumed), 1);
  EXPECT_EQ(g_calls, 0);
}

TEST_F(Keywords, LongestKeywordIsThirtyNine) {
  std::string longest(39, 'K');
  EXPECT_EQ(AddKeyword(longest.c_str(), Other), 1);
  EXPECT_EQ(FindKeyword(longest.c_str()), 1);
}

TEST(KeywordSkipLine, StopsBeforeTheLineEnd) {
  EXPECT_EQ(Skip("abc\r\n"), 3);
  EXPECT_EQ(Skip("\r\nnext"), 0);
  EXPECT_EQ(Skip("a b\tc\nx"), 5);
  EXPECT_EQ(Skip("to the end"), 10);  // stops at the zero byte behind the text
  InstallSettings settings{};
  std::int32_t consumed = 2;
  SkipLine(&settings, "xxabc\r\n", &consumed);
  EXPECT_EQ(consumed, 5);
}

namespace {

std::string DeathLog(const std::string& name, void (*fault)()) {
  std::string path = TempPath(name);
  EXPECT_EXIT(
      {
        StartLog(path, LogFile);
        MemoryInit(kHeapNoLimit, 0);
        fault();
      },
      testing::ExitedWithCode(1), "");
  return LogText(path);
}

}  // namespace

TEST(KeywordsDeathTest, RegistrationFaultsAbort) {
  std::string tooLong = DeathLog("keywords-long.log", [] { AddKeyword(std::string(40, 'K').c_str(), Other); });
  EXPECT_NE(tooLong.find("ABORT: Command keyword too long (" + std::string(40, 'K') + ") (40 > 40)\n       (command/"),
            std::string::npos)
      << tooLong;

  std::string twice = DeathLog("keywords-twice.log", [] {
    KeywordTableInit();
    AddKeyword("InStAlL", Other);
  });
  EXPECT_NE(twice.find("Matching quick CRC's (INSTALL) and (InStAlL)\n\n\nABORT: Matching lengths failure (7)\n"
                       "       (command/"),
            std::string::npos)
      << twice;

  std::string null = DeathLog("keywords-null.log", [] { FindKeyword(nullptr); });
  EXPECT_NE(null.find("ASSERT:Pointer is NULL...\n       (command/"), std::string::npos) << null;
  std::string noHandler = DeathLog("keywords-nohandler.log", [] { AddKeyword("X", nullptr); });
  EXPECT_NE(noHandler.find("ASSERT:Pointer is NULL...\n       (command/"), std::string::npos) << noHandler;
}
