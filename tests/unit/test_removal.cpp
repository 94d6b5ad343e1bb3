// Removing files and the folders they leave empty; components; shortcuts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handlers.h"
#include "held.h"
#include "os.h"
#include "removal.h"
#include "shortcuts.h"
#include "support.h"
#include "tessel-core.h"
#include "tessel-str.h"

std::int32_t NextFileListEntry(const char** position, char* entry, std::int32_t capacity);

namespace {

// A fresh folder tree below the temporary folder.
struct Tree {
  std::string base;
  explicit Tree(const std::string& name) {
    base = ScratchPath(name);
    Wipe(base);
    OsCreateFolder(base.c_str());
    base += "\\";
    RemovalUseProductFolder(base.c_str());
  }
  ~Tree() {
    RemovalReset();
    Wipe(base);
  }
  std::string Folder(const std::string& relative) {
    std::string path = base;
    std::size_t start = 0;
    while (start <= relative.size()) {
      std::size_t end = relative.find('\\', start);
      if (end == std::string::npos) end = relative.size();
      path += relative.substr(start, end - start);
      OsCreateFolder(path.c_str());
      path += "\\";
      start = end + 1;
    }
    return path;
  }
  std::string File(const std::string& folder, const std::string& name) {
    std::string path = Folder(folder) + name;
    WriteWholeFile(path, "x");
    return path;
  }
  static void Wipe(std::string path) {
    while (!path.empty() && path.back() == '\\') path.pop_back();
    struct Context {
      std::string folder;
    } context{path};
    OsListFolder(
        path.c_str(),
        [](void* c, const char* name, int isFolder) {
          std::string child = static_cast<Context*>(c)->folder + "\\" + name;
          if (isFolder)
            Wipe(child);
          else
            OsDeleteFile(child.c_str());
        },
        &context);
    OsRemoveFolder(path.c_str());
  }
};

bool Exists(const std::string& path) { return OsFileExists(path.c_str()) != 0; }

}  // namespace

TEST(RemoveFolders, ClimbStopsAtTheFirstFolderThatHoldsSomething) {
  Tree tree("climb");
  std::string file = tree.File("Viewer\\bin\\deep", "view.exe");
  tree.File("Viewer", "readme.txt");
  std::string log = TempPath("climb.log");
  StartLog(log, LogFile);
  DeleteProductFile(file.c_str());
  StopLog();
  EXPECT_FALSE(Exists(file));
  EXPECT_FALSE(Exists(tree.base + "Viewer\\bin"));
  EXPECT_TRUE(Exists(tree.base + "Viewer\\readme.txt"));
  EXPECT_EQ(LogText(log), "Delete file '" + file + "'\nDeleting '" + tree.base + "Viewer\\bin\\deep\\'\nDeleting '" +
                              tree.base + "Viewer\\bin'\n");
}

TEST(RemoveFolders, SlashPathsClimbLikeBackslashPaths) {
  Tree tree("slashes");
  tree.File("a\\b", "f.txt");
  tree.File("", "keep.txt");
  std::string file = tree.base + "a/b/f.txt";
  DeleteProductFile(file.c_str());
  EXPECT_FALSE(Exists(tree.base + "a"));
  EXPECT_TRUE(Exists(tree.base + "keep.txt"));
}

TEST(RemoveFolders, MissingFileStillEmptiesItsFolder) {
  Tree tree("missing");
  tree.Folder("empty");
  tree.File("", "keep.txt");
  std::string log = TempPath("missing.log");
  StartLog(log, LogFile);
  DeleteProductFile((tree.base + "empty\\gone.dll").c_str());
  StopLog();
  EXPECT_FALSE(Exists(tree.base + "empty"));
  EXPECT_NE(LogText(log).find("Unable to delete file '" + tree.base + "empty\\gone.dll'\n"), std::string::npos);
}

// A missing file logs its failure whether its folder is there or gone, the
// product's folder included.
TEST(RemoveFolders, MissingFileLogsItsFailureAlsoWhenItsFolderIsGone) {
  Tree tree("gone");
  tree.File("", "keep.txt");
  std::string log = TempPath("gone.log");
  StartLog(log, LogFile);
  std::string deep = tree.base + "gone\\deeper\\x.dll";
  DeleteProductFile(deep.c_str());
  RemovalReset();
  Tree::Wipe(tree.base);
  RemovalUseProductFolder(tree.base.c_str());
  std::string inside = tree.base + "y.dll";
  DeleteProductFile(inside.c_str());
  StopLog();
  EXPECT_EQ(LogText(log), "Delete file '" + deep + "'\nUnable to delete file '" + deep + "'\nDelete file '" + inside +
                              "'\nUnable to delete file '" + inside + "'\n");
}

// Only a component found below its folder is loaded; a missing one logs the
// code the system's loader gives a library that is not there.
TEST(Ole, AMissingComponentLogsTheLoadersCode) {
  Tree tree("ole-missing");
  InstallSettings settings = {};
  settings.Mode = RunModeUninstall;
  StrCopy(settings.InstallPath, tree.base.c_str());
  std::string log = TempPath("ole-missing.log");
  StartLog(log, LogFile);
  EXPECT_EQ(ReverseComponent(&settings, "REGISTER", "absent.dll"), 1);
  EXPECT_EQ(ReverseComponent(&settings, "REGISTER", "gone\\absent.dll"), 1);
  StopLog();
  std::string text = LogText(log);
  for (const char* name : {"absent.dll", "gone\\absent.dll"})
    EXPECT_NE(text.find("Error attempting to load '" + tree.base + name + "' (0x0000007E)\n"), std::string::npos)
        << text;
  EXPECT_EQ(text.find("(0x00000002)"), std::string::npos) << text;
}

TEST(RemovalBatch, ListsOnceAndStillRemovesWhatEmpties) {
  Tree tree("batch");
  std::vector<std::string> files;
  for (int i = 0; i < 60; ++i) files.push_back(tree.File("one\\many", "f" + std::to_string(i) + ".dat"));
  tree.File("one", "stays.txt");
  std::string other = tree.File("two", "only.dat");
  tree.File("", "keep.txt");
  MemoryInit(kHeapNoLimit, 0);
  RemovalBatchBegin();
  for (std::size_t i = 0; i < files.size(); ++i) {
    DeleteProductFile(files[i].c_str());
    if (i + 1 < files.size()) {
      EXPECT_TRUE(Exists(tree.base + "one\\many")) << i;
    }
  }
  DeleteProductFile(other.c_str());
  RemovalBatchEnd();
  EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
  EXPECT_FALSE(Exists(tree.base + "one\\many"));
  EXPECT_TRUE(Exists(tree.base + "one\\stays.txt"));
  EXPECT_FALSE(Exists(tree.base + "two"));
}

TEST(RemovalBatch, AFileAddedBehindItsBackKeepsTheFolder) {
  Tree tree("behind");
  std::string a = tree.File("box", "a.dat");
  std::string b = tree.File("box", "b.dat");
  tree.File("", "keep.txt");
  std::string log = TempPath("behind.log");
  StartLog(log, LogFile);
  MemoryInit(kHeapNoLimit, 0);
  RemovalBatchBegin();
  DeleteProductFile(a.c_str());  // the folder is listed now: one entry left
  tree.File("box", "foreign.dat");
  DeleteProductFile(b.c_str());
  RemovalBatchEnd();
  StopLog();
  EXPECT_TRUE(Exists(tree.base + "box\\foreign.dat"));
  std::string text = LogText(log);
  EXPECT_EQ(text.find("Deleting"), std::string::npos) << text;
  EXPECT_EQ(text.find("Unable to delete dir"), std::string::npos) << text;
}

TEST(FileList, EntriesCommasBlanksAndControlBytes) {
  char entry[144];
  const char* list = "a.exe, b.dll,,c\\d.hlp";
  const char* p = list;
  std::vector<std::string> entries;
  for (int i = 0; i < 4; ++i) {
    NextFileListEntry(&p, entry, sizeof entry);
    entries.push_back(entry);
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"a.exe", " b.dll", "", "c\\d.hlp"}));
  const char* empty = "";
  p = empty;
  NextFileListEntry(&p, entry, sizeof entry);
  EXPECT_STREQ(entry, "");
  const char* control = "one\ttwo,three\r\n";
  p = control;
  NextFileListEntry(&p, entry, sizeof entry);
  EXPECT_STREQ(entry, "one");
  NextFileListEntry(&p, entry, sizeof entry);
  EXPECT_STREQ(entry, "");  // the control byte stays: later entries read empty
  EXPECT_EQ(p, control + 3);
}

TEST(FileList, OverlongEntryIsSkippedWhole) {
  std::string list = std::string(200, 'x') + ",next.dll";
  const char* p = list.c_str();
  char entry[144];
  EXPECT_EQ(NextFileListEntry(&p, entry, sizeof entry), 0);
  EXPECT_EQ(NextFileListEntry(&p, entry, sizeof entry), 1);
  EXPECT_STREQ(entry, "next.dll");
}

namespace {

std::string ModuleFolder() {
  char path[260];
  OsModuleFileName(path, sizeof path);
  std::string text = path;
  return text.substr(0, text.find_last_of("\\/") + 1);
}

std::string Component(const char* variant) {
#if defined(_WIN32)
  return ModuleFolder() + "testcomponent-" + variant + ".dll";
#else
  return ModuleFolder() + "testcomponent-" + variant + ".so";
#endif
}

std::int32_t RunOle(InstallSettings* settings, const std::string& action, const std::string& component) {
  std::string arguments = action + "\t" + component + "\r\n";
  std::int32_t consumed = 0;
  std::int32_t result = HandleOle(settings, arguments.c_str(), &consumed);
  EXPECT_EQ(consumed, static_cast<std::int32_t>(arguments.size() - 1));
  return result;
}

}  // namespace

TEST(Ole, RegisterWordUnregistersAnyOtherRegisters) {
  std::string component = Component("normal");
  std::string record = component + ".log";
  RemoveBuildFile(record);
  InstallSettings settings = {};
  settings.Mode = RunModeUninstall;
  StrCopy(settings.InstallPath, ModuleFolder().c_str());
  std::string name = component.substr(component.find_last_of("\\/") + 1);
  // Before the user agrees nothing is called; the Yes calls both, in order.
  EXPECT_EQ(RunOle(&settings, "register", name), 1);
  EXPECT_EQ(RunOle(&settings, "UNREGISTER", name), 1);
  EXPECT_EQ(LogText(record), "");
  UninstallAgree(&settings);
  EXPECT_EQ(LogText(record), "DllUnregisterServer\nDllRegisterServer\n");
  // Once agreed, a component is called when its command is reached.
  EXPECT_EQ(RunOle(&settings, "register", name), 1);
  EXPECT_EQ(LogText(record), "DllUnregisterServer\nDllRegisterServer\nDllUnregisterServer\n");
  HeldActionsDiscard();
  EXPECT_EQ(RunOle(&settings, "register", name), 1);
  HeldActionsDiscard();  // a No: what was held is never called
  EXPECT_EQ(LogText(record), "DllUnregisterServer\nDllRegisterServer\nDllUnregisterServer\n");
  // Other modes read the arguments and do nothing.
  settings.Mode = RunModeRegister;
  EXPECT_EQ(RunOle(&settings, "REGISTER", name), 1);
  settings.Mode = RunModeUpdate;
  EXPECT_EQ(RunOle(&settings, "REGISTER", name), 1);
  EXPECT_EQ(LogText(record), "DllUnregisterServer\nDllRegisterServer\nDllUnregisterServer\n");
  RemoveBuildFile(record);
}

TEST(Ole, FailuresAreLogged) {
  std::string log = TempPath("ole.log");
  StartLog(log, LogFile);
  EXPECT_EQ(RegisterComponent(Component("noentry").c_str(), 0), 0);
  EXPECT_EQ(RegisterComponent(Component("fails").c_str(), 1), 0);
  EXPECT_EQ(RegisterComponent((ModuleFolder() + "absent.dll").c_str(), 0), 0);
  EXPECT_EQ(RegisterComponent(Component("normal").c_str(), 1), 1);
  StopLog();
  std::string text = LogText(log);
  EXPECT_NE(text.find("Couldn't get entry point from '" + Component("noentry") + "'\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Failed in executing entry point from '" + Component("fails") + "'\n"), std::string::npos);
  EXPECT_NE(text.find("Error attempting to load '" + ModuleFolder() + "absent.dll' (0x"), std::string::npos);
  RemoveBuildFile(Component("normal") + ".log");
  RemoveBuildFile(Component("fails") + ".log");
}

TEST(Shortcuts, UninstallDeletesAndRegisterModesRecord) {
  MemoryInit(kHeapNoLimit, 0);
  char programs[260];
  ASSERT_TRUE(OsProgramsFolder(programs, sizeof programs));
  std::string group = std::string(programs) + "\\TesselTest Maker";
  Tree::Wipe(group);
  OsCreateFolder(group.c_str());
  OsCreateFolder((group + "\\Viewer").c_str());
  WriteWholeFile(group + "\\Viewer\\Viewer.lnk", "lnk");
  WriteWholeFile(group + "\\Viewer\\Register.lnk", "lnk");

  InstallSettings settings = {};
  std::int32_t consumed = 0;
  settings.Mode = RunModeRegister;
  HandleCreateGroup(&settings, "TesselTest Maker\\Viewer\r\n", &consumed);
  consumed = 0;
  HandleAddItem(&settings, "0\tviewer.exe\t-Register -x\tViewer\r\n", &consumed);
  EXPECT_STREQ(settings.RegisterShortcut, "");
  consumed = 0;
  HandleAddItem(&settings, "-5\tviewer.exe\t-register\tRegister\r\n", &consumed);
  EXPECT_EQ(settings.RegisterShortcut, group + "\\Viewer\\Register.lnk");
  EXPECT_TRUE(Exists(group + "\\Viewer\\Register.lnk"));

  settings.Mode = RunModeUninstall;
  consumed = 0;
  HandleAddItem(&settings, "0\tviewer.exe\t\tViewer\r\n", &consumed);
  EXPECT_TRUE(Exists(group + "\\Viewer\\Viewer.lnk"));  // held until the Yes
  UninstallAgree(&settings);
  EXPECT_FALSE(Exists(group + "\\Viewer\\Viewer.lnk"));
  EXPECT_TRUE(Exists(group + "\\Viewer"));
  consumed = 0;
  HandleAddItem(&settings, "0\tviewer.exe\t-Register\tRegister\r\n", &consumed);
  // The last shortcut takes the nested group folders with it.
  EXPECT_FALSE(Exists(group));
  EXPECT_TRUE(Exists(programs));
  HeldActionsDiscard();
}

TEST(Shortcuts, TheRegistrationsShortcutOnlyBelowTheProgramsFolder) {
  MemoryInit(kHeapNoLimit, 0);
  char programs[260];
  ASSERT_TRUE(OsProgramsFolder(programs, sizeof programs));
  std::string outside = ScratchPath("other-product.lnk");
  WriteWholeFile(outside, "another product's shortcut");
  std::string climbing = std::string(programs) + "\\..\\..\\..\\..\\..\\..\\..\\..\\tessel-tests\\other-product.lnk";
  EXPECT_EQ(DeleteRegisterShortcut(climbing.c_str()), 0);
  EXPECT_EQ(DeleteRegisterShortcut(outside.c_str()), 0);
  EXPECT_EQ(ReadWholeFile(outside), "another product's shortcut");
  // A group of the shell's own keeps its folder when the shortcut goes.
  std::string startup = std::string(programs) + "\\Startup";
  OsCreateFolder(startup.c_str());
  WriteWholeFile(startup + "\\Register Viewer.lnk", "lnk");
  EXPECT_EQ(DeleteRegisterShortcut((startup + "\\Register Viewer.lnk").c_str()), 1);
  EXPECT_FALSE(Exists(startup + "\\Register Viewer.lnk"));
  EXPECT_TRUE(Exists(startup));
  OsDeleteFile(outside.c_str());
  RemovalReset();
}

TEST(RemovalBatch, TheProductFolderGoesWithItsLastFolder) {
  MemoryInit(kHeapNoLimit, 0);
  for (int files : {12, 40, 16}) {
    Tree tree("last-folder");
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i)
      paths.push_back(tree.File("d" + std::to_string(i * 4 / files), "f" + std::to_string(i) + ".dat"));
    std::string log = TempPath("last-folder.log");
    StartLog(log, LogFile);
    RemovalBatchBegin();
    for (const std::string& path : paths) EXPECT_EQ(DeleteProductFile(path.c_str()), 1) << path;
    RemovalBatchEnd();
    StopLog();
    EXPECT_FALSE(Exists(tree.base)) << files << "\n" << LogText(log);
  }
  EXPECT_EQ(MemoryStatistics().bytesInUse, 0);
}

// The work per file stays what a file needs, whatever the size of its
// folder: resolving its path, opening it below its folder and deleting it.
// A listing or a fresh walk from the root per file shows as more calls.
TEST(RemovalBatch, EachFileCostsTheSameFewCalls) {
  for (int files : {10, 200}) {
    Tree tree("calls");
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) paths.push_back(tree.File("a\\b", "f" + std::to_string(i) + ".dat"));
    tree.File("", "keep.txt");
    RemovalUseProductFolder(tree.base.c_str());
    MemoryInit(kHeapNoLimit, 0);
    RemovalBatchBegin();
    std::uint64_t before = OsFileSystemCalls();
    for (const std::string& path : paths) EXPECT_EQ(DeleteProductFile(path.c_str()), 1) << path;
    RemovalBatchEnd();
    std::uint64_t calls = OsFileSystemCalls() - before;
    // Three per file, and the folders a and b opened, listed and removed
    // once each, the current folder set once.
    EXPECT_LE(calls, 3u * static_cast<std::uint64_t>(files) + 12) << files << " files";
    EXPECT_FALSE(Exists(tree.base + "a"));
  }
}
