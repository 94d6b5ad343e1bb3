// Unattended runs: their boxes, their outcome; files in use at restart; the
// last start that removes the program the waiting process ran.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "host/machine.h"
#endif

#include "os.h"
#include "problems.h"
#include "removal.h"
#include "support.h"
#include "tessel-core.h"
#include "winmain.h"

namespace {

bool Exists(const std::string& path) { return OsFileExists(path.c_str()) != 0; }

std::string Folder(const std::string& path) {
  OsCreateFolder(path.c_str());
  return path + "\\";
}

// Holds a file open the way another program would against its deletion:
// on Windows without sharing, on the host under an exclusive flock.
struct Held {
#if defined(_WIN32)
  std::FILE* file;
  explicit Held(const std::string& path) : file(OsOpenFile(path.c_str(), "rb")) {}
  ~Held() {
    if (file) std::fclose(file);
  }
#else
  int file;
  explicit Held(const std::string& path) : file(open(host::HostPath(path.c_str()).c_str(), O_RDONLY)) {
    if (file >= 0) flock(file, LOCK_EX);
  }
  ~Held() {
    if (file >= 0) close(file);
  }
#endif
};

// The machine's pending operations: pairs of "\??\path" and a destination.
std::vector<std::string> PendingOperations() {
  std::vector<std::string> texts;
  OsKey key = 0;
  if (OsRegOpenKey(kHkeyLocalMachine, "System\\CurrentControlSet\\Control\\Session Manager", &key) != kErrorSuccess)
    return texts;
  static unsigned char data[262144];
  for (std::uint32_t index = 0;; ++index) {
    char name[128];
    std::uint32_t nameLength = sizeof name;
    std::uint32_t dataLength = sizeof data;
    std::uint32_t type = 0;
    if (OsRegEnumValue(key, index, name, &nameLength, &type, data, &dataLength) != kErrorSuccess) break;
    if (std::string(name) != "PendingFileRenameOperations") continue;
    std::string text(reinterpret_cast<char*>(data), dataLength);
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\0', at);
      if (end == std::string::npos) end = text.size();
      if (end > at) texts.push_back(text.substr(at, end - at));
      at = end + 1;
    }
  }
  OsRegCloseKey(key);
  return texts;
}

bool Pending(const std::string& path) {
  for (const std::string& text : PendingOperations())
    if (text == "\\??\\" + path) return true;
  return false;
}

}  // namespace

TEST(Outcome, TheGravestReportStands) {
  // Each report after the one before: what the run ends with then.
  struct Step {
    std::int32_t report;
    std::int32_t outcome;
  } steps[] = {{kExitRemoved, kExitRemoved},
               {kExitRestartNeeded, kExitRestartNeeded},
               {kExitRemoved, kExitRestartNeeded},
               {kExitIncomplete, kExitIncomplete},
               {kExitRestartNeeded, kExitIncomplete},
               {kExitNotInstalled, kExitNotInstalled},
               {kExitDamaged, kExitDamaged},
               {kExitIncomplete, kExitDamaged},
               {kExitFault, kExitFault},
               {kExitDamaged, kExitFault}};
  for (const Step& step : steps) {
    ReportOutcome(step.report);
    EXPECT_EQ(RunOutcome(), step.outcome) << "after reporting " << step.report;
  }
}

TEST(Unattended, BoxesGoToTheLogAndTheQuestionIsYes) {
  std::string log = TempPath("unattended.log");
  StartLog(log, LogFile);
  SetUnattended(true);
  EXPECT_EQ(AskYesNo("Are you sure you want to uninstall Acme Viewer?", nullptr), 1);
  EXPECT_EQ(ShowProblem("Acme Viewer has been uninstalled!", "Uninstaller..."), 1);
  EXPECT_EQ(ShowProblem("Installation script corrupted!", nullptr), 1);
  SetUnattended(false);
  StopLog();
  EXPECT_EQ(LogText(log),
            "[Uninstall...] Are you sure you want to uninstall Acme Viewer? Yes\n"
            "[Uninstaller...] Acme Viewer has been uninstalled!\n"
            "[Uninstall problem...] Installation script corrupted!\n");
}

TEST(UnattendedDeathTest, TheFatalReportIsLoggedNotShown) {
  std::string log = TempPath("unattended-fatal.log");
  std::string shown = TempPath("unattended-fatal.out");
  EXPECT_EXIT(
      {
#if !defined(_WIN32)
        // The host shows a box on standard output.
        if (!std::freopen(host::HostPath(shown.c_str()).c_str(), "w", stdout)) std::exit(2);
#endif
        StartLog(log, LogFile | LogNoBoxes);
        SetErrorLocation("winmain", 7);
        Abort("Couldn't load installation script.\n");
      },
      testing::ExitedWithCode(1), "");
  EXPECT_NE(LogText(log).find("Couldn't load installation script.\n       (winmain/7)\n"), std::string::npos);
#if !defined(_WIN32)
  EXPECT_EQ(ReadWholeFile(shown), "");
#endif
}

TEST(Unattended, OnlyAnUninstallReadsTheSwitchFromItsArguments) {
  struct Case {
    RunMode mode;
    const char* arguments;
    bool unattended;
  } cases[] = {{RunModeUninstall, "-Quiet", true},
               {RunModeUninstall, "-debug -quiet", true},
               {RunModeUninstall, "-Spawn -Quiet -debug", true},
               {RunModeUninstall, "", false},
               {RunModeUninstall, nullptr, false},
               {RunModeRegister, "-Register -Quiet", false},
               {RunModeInstallerRegister, "-InstReg -Quiet", false},
               {RunModeUpdate, "-Update -Quiet", false}};
  for (const Case& c : cases)
    EXPECT_EQ(IsUnattended(c.mode, c.arguments), c.unattended) << c.mode << " " << (c.arguments ? c.arguments : "-");
}

TEST(AtRestart, AHeldFileAndTheFoldersItAloneKeepsGoThen) {
  // The machine keeps what earlier runs scheduled: a name of this run's own.
  // The maker's folder holds only the product's; the one above it more.
  std::string outer = Folder(ScratchPath("held-tree-" + std::to_string(OsFreshNumber())));
  std::string maker = Folder(outer + "Acme");
  std::string base = Folder(maker + "Viewer");
  WriteWholeFile(outer + "keep.txt", "x");
  RemovalUseProductFolder(base.c_str());
  std::string a = Folder(base + "a");
  std::string b = Folder(a + "b");
  std::string held = b + "held.dll";
  std::string other = b + "other.dll";
  std::string beside = a + "beside.txt";
  for (const std::string& file : {held, other, beside}) WriteWholeFile(file, "x");
  std::string bare = base.substr(0, base.size() - 1);
  std::string makerBare = maker.substr(0, maker.size() - 1);
  std::string outerBare = outer.substr(0, outer.size() - 1);
  std::int32_t before = RemovalsAtRestart();
  {
    Held holder(held);
    std::string log = TempPath("held-tree.log");
    StartLog(log, LogFile);
    // Held: to go at the restart, still there; its folder still holds another.
    EXPECT_EQ(DeleteProductFile(held.c_str()), 1);
    EXPECT_TRUE(Exists(held));
    EXPECT_TRUE(Pending(held));
    EXPECT_FALSE(Pending(b.substr(0, b.size() - 1)));
    // The last other file of each folder: the folder goes after the held file.
    EXPECT_EQ(DeleteProductFile(other.c_str()), 1);
    EXPECT_TRUE(Pending(b.substr(0, b.size() - 1)));
    EXPECT_FALSE(Pending(a.substr(0, a.size() - 1)));
    EXPECT_EQ(DeleteProductFile(beside.c_str()), 1);
    StopLog();
    EXPECT_TRUE(Pending(a.substr(0, a.size() - 1)));
    EXPECT_TRUE(Pending(bare));
    EXPECT_TRUE(Exists(b)) << "a folder to go at the restart is still there";
    // Each file before the folder that holds it: a folder goes only empty.
    std::vector<std::string> order = PendingOperations();
    auto at = [&](const std::string& path) {
      for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i] == "\\??\\" + path) return static_cast<int>(i);
      return -1;
    };
    EXPECT_LT(at(held), at(b.substr(0, b.size() - 1)));
    EXPECT_LT(at(other), at(b.substr(0, b.size() - 1)) + 1);
    EXPECT_LT(at(b.substr(0, b.size() - 1)), at(a.substr(0, a.size() - 1)));
    EXPECT_LT(at(a.substr(0, a.size() - 1)), at(bare));
    // Above the product's folder, the folder it alone keeps goes after it.
    EXPECT_LT(at(bare), at(makerBare));
    std::string text = LogText(log);
    EXPECT_NE(text.find("Unable to delete file '" + held + "'\nDelete file '" + held + "' at restart\n"),
              std::string::npos)
        << text;
  }
  // The first folder above that holds anything else stays.
  EXPECT_FALSE(Pending(outerBare)) << outerBare;
  EXPECT_FALSE(Pending(outer));
  EXPECT_EQ(RemovalsAtRestart() - before, 5);
  // Held no more: deleting it again takes it now, and it is not scheduled twice.
  EXPECT_EQ(DeleteProductFile(held.c_str()), 1);
  EXPECT_FALSE(Exists(held));
  EXPECT_FALSE(Exists(base));
  EXPECT_FALSE(Exists(maker));
  EXPECT_TRUE(Exists(outer + "keep.txt"));
  OsDeleteFile((outer + "keep.txt").c_str());
  OsRemoveFolder(outerBare.c_str());
}

TEST(Finisher, RemovesOnlyACopyOfTheProgram) {
  std::string program = TempPath("finisher-program.exe");
  WriteWholeFile(program, std::string(40000, 'p') + "archive");
  std::string base = Folder(ScratchPath("finisher"));
  std::string mine = Folder(base + "mine") + "Uninstall.exe";
  std::string other = Folder(base + "other") + "Uninstall.exe";
  std::string shorter = Folder(base + "shorter") + "Uninstall.exe";
  WriteWholeFile(mine, std::string(40000, 'p') + "archive");
  WriteWholeFile(other, std::string(40000, 'p') + "archivf");  // same size, one byte apart
  WriteWholeFile(shorter, std::string(40000, 'p'));
  EXPECT_EQ(FinishRemovalOfCopy(other.c_str(), program.c_str(), 1), 0);
  EXPECT_EQ(FinishRemovalOfCopy(shorter.c_str(), program.c_str(), 1), 0);
  EXPECT_EQ(FinishRemovalOfCopy((base + "none\\Uninstall.exe").c_str(), program.c_str(), 1), 0);
  EXPECT_TRUE(Exists(other));
  EXPECT_TRUE(Exists(shorter));
  EXPECT_EQ(FinishRemovalOfCopy(mine.c_str(), program.c_str(), 1), 1);
  EXPECT_FALSE(Exists(mine));
  EXPECT_FALSE(Exists(base + "mine")) << "the folder it left empty";
  for (const std::string& file : {other, shorter, program}) OsDeleteFile(file.c_str());
  for (const char* folder : {"other", "shorter", ""}) OsRemoveFolder((base + folder).c_str());
}
