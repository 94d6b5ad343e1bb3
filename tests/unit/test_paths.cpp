// Path variables, the folder queries, and the "INSTALL DIR" and "INSTALL
// PATH" keywords.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "command/handlers.h"
#include "command/paths.h"
#include "registry.h"
#include "support.h"
#include "tessel-core.h"
#include "tessel-str.h"

#if !defined(_WIN32)
#include <fstream>
#include <sstream>

#include "host/machine.h"
#endif

namespace {

std::string Folded(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

class Paths : public testing::Test {
 protected:
  void SetUp() override {
    StrCopy(settings_.InstallPath, "C:\\Program Files\\Viewer\\");
    logPath_ = TempPath("paths.log");
  }
  void TearDown() override { StopLog(); }

  std::string Expand(const char* path, std::uint32_t* flags = nullptr) {
    char out[kSettingsText];
    std::memset(out, 'Z', sizeof out);
    std::uint32_t bits = 0xFFFF;
    EXPECT_EQ(ExpandPath(&settings_, path, out, &bits), 1) << path;
    if (flags) *flags = bits;
    return out;
  }

  std::string Folder(std::int32_t (*query)(char*, std::size_t)) {
    char out[kPathQueryCapacity];
    EXPECT_EQ(query(out, sizeof out), 1);
    return out;
  }

  void Log() { StartLog(logPath_, LogFile); }
  std::string Logged() {
    StopLog();
    return LogText(logPath_);
  }

  InstallSettings settings_{};
  std::string logPath_;
};

TEST_F(Paths, PlainPathsAreTakenBelowTheInstallFolder) {
  std::uint32_t flags = 0xFFFF;
  EXPECT_EQ(Expand("bin\\view.dll", &flags), "C:\\Program Files\\Viewer\\bin\\view.dll");
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(Expand("\\view.dll"), "C:\\Program Files\\Viewer\\view.dll");
  EXPECT_EQ(Expand("\\\\view.dll"), "C:\\Program Files\\Viewer\\\\view.dll");  // only one is dropped
  EXPECT_EQ(Expand(""), "C:\\Program Files\\Viewer\\");
  EXPECT_EQ(Expand("abc$1"), "C:\\Program Files\\Viewer\\abc$1");
  EXPECT_EQ(Expand("bin/view.dll"), "C:\\Program Files\\Viewer\\bin/view.dll");
}

TEST_F(Paths, FolderVariablesReplaceTheInstallFolder) {
  std::string windows = Folder(QueryWindowsFolder);
  std::string system = Folder(QuerySystemFolder);
#if !defined(_WIN32)
  EXPECT_EQ(windows, "C:\\windows\\");
  EXPECT_EQ(system, "C:\\windows\\system32\\");
#endif
  ASSERT_EQ(windows.back(), '\\');
  ASSERT_EQ(system.back(), '\\');
  EXPECT_EQ(Expand("$1fonts\\x.ttf"), windows + "fonts\\x.ttf");
  EXPECT_EQ(Expand("$1\\fonts\\x.ttf"), windows + "fonts\\x.ttf");
  EXPECT_EQ(Expand("$2$1readme.txt"), windows + "readme.txt");  // the last one counts
  EXPECT_EQ(Expand("$1$2"), system);
  EXPECT_EQ(Expand("$2x$1"), system + "x$1");

  char temp[kPathQueryCapacity];
  ASSERT_NE(OsTempPath(temp, sizeof temp), 0u);
  EXPECT_EQ(Expand("$4setup.exe"), std::string(temp) + "setup.exe");
}

TEST_F(Paths, UnknownAndEmptyVariables) {
  Log();
  std::uint32_t flags = 0;
  EXPECT_EQ(Expand("$9abc"), "C:\\Program Files\\Viewer\\abc");
  EXPECT_EQ(Expand("$?file.txt", &flags), "C:\\Program Files\\Viewer\\file.txt");
  EXPECT_EQ(flags, kExpandNoFolder);
  EXPECT_EQ(Expand("$?$1x", &flags), Folder(QueryWindowsFolder) + "x");
  EXPECT_EQ(flags, kExpandNoFolder | kExpandFromVariable);
  // A '$' at the end is logged by itself, never with the terminator (which
  // would cut the line), and nothing is appended.
  EXPECT_EQ(Expand("$1$"), Folder(QueryWindowsFolder));
  EXPECT_EQ(Logged(), "Unknown command '9'\nUnknown command '$'\n");
}

TEST_F(Paths, TheProgramsFolderIsTheFolderOfTheRunningProgram) {
  std::string folder = Folder(QueryProgramFolder);
  char module[kPathQueryCapacity];
  ASSERT_NE(OsModuleFileName(module, sizeof module), 0u);
  ASSERT_EQ(folder.back(), '\\');
  std::string path = module;
  EXPECT_EQ(Folded(path.substr(0, folder.size())), Folded(folder));
  EXPECT_EQ(path.find('\\', folder.size()), std::string::npos);  // the program's name follows
  EXPECT_EQ(Expand("$3readme.txt"), folder + "readme.txt");
  char small[4];
  EXPECT_EQ(QueryProgramFolder(small, sizeof small), 0);
}

TEST_F(Paths, TheCurrentFolderFollowsTheProcess) {
  char before[kPathQueryCapacity];
  ASSERT_NE(OsCurrentFolder(before, sizeof before), 0u);
  char temp[kPathQueryCapacity];
  ASSERT_NE(OsTempPath(temp, sizeof temp), 0u);
  ASSERT_EQ(OsSetCurrentFolder(temp), 1);
  std::string current = Folder(QueryCurrentFolder);
  EXPECT_EQ(OsSetCurrentFolder(before), 1);
  EXPECT_EQ(Folded(current), Folded(temp));
  EXPECT_EQ(Folded(Expand("$5x.txt")),
            Folded(std::string(before) + (std::string(before).back() == '\\' ? "" : "\\") + "x.txt"));
  EXPECT_EQ(OsSetCurrentFolder((std::string(temp) + "no-such-folder").c_str()), 0);
}

TEST_F(Paths, TheProgramFilesFolderComesFromTheMachine) {
  Log();
  EXPECT_EQ(Expand("$0Viewer\\"), "C:\\Program Files\\Viewer\\");
  EXPECT_EQ(Logged(), "$0 Translates to 'C:\\Program Files\\'\n");
}

TEST_F(Paths, AnExpansionThatDoesNotFitIsRefused) {
  StrCopy(settings_.InstallPath, (std::string(149, 'p') + "\\").c_str());
  char out[kSettingsText];
  std::uint32_t flags = 0;
  EXPECT_EQ(ExpandPath(&settings_, "abcdefghi", out, &flags), 1);  // 159 characters
  EXPECT_EQ(std::strlen(out), 159u);
  Log();
  EXPECT_EQ(ExpandPath(&settings_, "abcdefghij", out, &flags), 0);
  EXPECT_STREQ(out, "");
  char small[8];
  EXPECT_EQ(ExpandPath(&settings_, "$1x", small, &flags), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(Logged(), "Unable to expand 'abcdefghij'\nUnable to expand '$1x'\n");
}

#if !defined(_WIN32)
// The host machine's registry file, replaced for a test and put back.
class ProgramFilesOnHost : public Paths {
 protected:
  void SetUp() override {
    Paths::SetUp();
    RegistryKeyExists(RegistryCurrentUser, "Software");  // the file exists from here on
    saved_ = Read();
  }
  void TearDown() override {
    Write(saved_);
    RegistryKeyExists(RegistryCurrentUser, "Software");
    Paths::TearDown();
  }
  static std::string File() { return host::MachineRoot() + "/registry.txt"; }
  static std::string Read() {
    std::ifstream in(File(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void Write(const std::string& text) { std::ofstream(File(), std::ios::binary | std::ios::trunc) << text; }
  std::string saved_;
};

TEST_F(ProgramFilesOnHost, AValueWithoutTheFinalSeparatorGetsOne) {
  Write("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n\"ProgramFilesDir\"=sz:D:\\Apps\n");
  EXPECT_EQ(Expand("$0"), "D:\\Apps\\");
}

TEST_F(ProgramFilesOnHost, AMissingValueLeavesTheSystemDrivesFolder) {
  Write("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\n\"Other\"=sz:x\n");
  Log();
  EXPECT_EQ(Expand("$0Viewer\\"), "C:\\Program Files\\Viewer\\");
  EXPECT_EQ(Logged(), "Unable to get 'ProgramFilesDir' string\n$0 Translates to 'C:\\Program Files\\'\n");
}

TEST_F(ProgramFilesOnHost, AMissingKeyLeavesTheSystemDrivesFolder) {
  Write("[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows]\n");
  Log();
  EXPECT_EQ(Expand("$0"), "C:\\Program Files\\");
  EXPECT_EQ(Logged(), "Unable to get Program Files path\n$0 Translates to 'C:\\Program Files\\'\n");
}
#endif

TEST(InstallDir, GetsAFinalSeparator) {
  InstallSettings settings{};
  std::int32_t consumed = 0;
  const char arguments[] = "Viewer\nAcme\\Viewer\\\n\n";
  EXPECT_EQ(HandleInstallDir(&settings, arguments, &consumed), 1);
  EXPECT_STREQ(settings.InstallDir, "Viewer\\");
  EXPECT_EQ(consumed, 7);
  EXPECT_EQ(HandleInstallDir(&settings, arguments, &consumed), 1);
  EXPECT_STREQ(settings.InstallDir, "Acme\\Viewer\\");
  EXPECT_EQ(HandleInstallDir(&settings, arguments, &consumed), 1);
  EXPECT_STREQ(settings.InstallDir, "");
  EXPECT_EQ(consumed, static_cast<std::int32_t>(sizeof arguments - 1));
}

TEST(InstallDir, ANameThatDoesNotFitIsRefused) {
  std::string logPath = TempPath("install-dir.log");
  InstallSettings settings{};
  StrCopy(settings.InstallDir, "Before\\");
  std::string fits(157, 'd');  // with its separator, 158 characters
  std::string tooLongForSeparator(159, 'd');
  std::string tooLong(200, 'd');
  std::string arguments = fits + "\n" + tooLongForSeparator + "\n" + tooLong + "\n";
  std::int32_t consumed = 0;
  StartLog(logPath, LogFile);
  EXPECT_EQ(HandleInstallDir(&settings, arguments.c_str(), &consumed), 1);
  EXPECT_EQ(std::string(settings.InstallDir), fits + "\\");
  EXPECT_EQ(HandleInstallDir(&settings, arguments.c_str(), &consumed), 0);
  EXPECT_EQ(std::string(settings.InstallDir), fits + "\\");  // neither cut nor emptied
  EXPECT_EQ(HandleInstallDir(&settings, arguments.c_str(), &consumed), 0);
  EXPECT_EQ(std::string(settings.InstallDir), fits + "\\");
  EXPECT_EQ(consumed, static_cast<std::int32_t>(arguments.size()));  // each argument consumed whole
  StopLog();
  EXPECT_EQ(LogText(logPath),
            "Unable to use 'INSTALL DIR' argument longer than 158 characters\n"
            "Unable to use 'INSTALL DIR' argument longer than 159 characters\n");
}

class InstallPath : public testing::Test {
 protected:
  void SetUp() override {
    StrCopy(settings_.InstallDir, "Viewer\\");
    logPath_ = TempPath("install-path.log");
  }
  void TearDown() override {
    StopLog();
    OsRegDeleteKey(kHkeyCurrentUser, kProductKey);
    OsRegDeleteKey(kHkeyCurrentUser, "Software\\TesselTest");
  }
  void Product(const char* name, const char* value) {
    RegistryKey key = kRegistryNoKey;
    ASSERT_EQ(RegistryCreateKey(&key, RegistryCurrentUser, kProductKey), 1);
    ASSERT_EQ(RegistrySetString(key, name, value), 1);
    RegistryCloseKey(&key);
  }
  std::int32_t Run() {
    std::int32_t consumed = 0;
    std::int32_t result = HandleInstallPath(&settings_, "ignored\n", &consumed);
    EXPECT_EQ(consumed, 8);
    EXPECT_STREQ(settings_.Text, "");
    return result;
  }
  static constexpr const char* kProductKey = "Software\\TesselTest\\PathsProduct";
  InstallSettings settings_{};
  std::string logPath_;
};

TEST_F(InstallPath, IsTheProgramFilesFolderAndTheInstallDir) {
  StrCopy(settings_.InstallPath, "D:\\Old\\");
  EXPECT_EQ(Run(), 1);
  EXPECT_STREQ(settings_.InstallPath, "C:\\Program Files\\Viewer\\");
}

TEST_F(InstallPath, TheRecordedFolderWins) {
  Product("Install Path", "E:\\Apps\\Viewer\\");
  StrCopy(settings_.RegistryPath, kProductKey);
  EXPECT_EQ(Run(), 1);
  EXPECT_STREQ(settings_.InstallPath, "E:\\Apps\\Viewer\\");
}

TEST_F(InstallPath, ARecordedFolderIsFoundOnlyByItsExactName) {
  Product("install path", "E:\\Apps\\Viewer\\");
  StrCopy(settings_.RegistryPath, kProductKey);
  StartLog(logPath_, LogFile);
  EXPECT_EQ(Run(), 1);
  StopLog();
  EXPECT_STREQ(settings_.InstallPath, "C:\\Program Files\\Viewer\\");
  EXPECT_NE(LogText(logPath_).find("Unable to get 'Install Path' string\n"), std::string::npos);
}

TEST_F(InstallPath, AMissingProductKeyIsPassedOverQuietly) {
  StrCopy(settings_.RegistryPath, kProductKey);
  StartLog(logPath_, LogFile);
  EXPECT_EQ(Run(), 1);
  StopLog();
  EXPECT_STREQ(settings_.InstallPath, "C:\\Program Files\\Viewer\\");
  EXPECT_EQ(LogText(logPath_), "$0 Translates to 'C:\\Program Files\\'\n");
}

TEST_F(InstallPath, AFolderThatDoesNotFitStopsTheScript) {
  StrCopy(settings_.InstallDir, (std::string(150, 'v') + "\\").c_str());
  StartLog(logPath_, LogFile);
  EXPECT_EQ(Run(), 0);
  StopLog();
  EXPECT_NE(LogText(logPath_).find("Unable to expand '" + std::string(150, 'v') + "\\'\n"), std::string::npos);
}

}  // namespace
