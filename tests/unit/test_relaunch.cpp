// The relaunch's private copies: the exclusive copy, libraries by full path
// only, and which earlier copies a start removes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "os.h"
#include "relaunch.h"
#include "support.h"

#if !defined(_WIN32)
namespace host {
std::string HostPath(const char* windowsPath);
}
#endif

namespace {

// Where a Windows path lies for the C++ library's own file operations.
std::string Native(const std::string& windowsPath) {
#if defined(_WIN32)
  return windowsPath;
#else
  return host::HostPath(windowsPath.c_str());
#endif
}

std::string ProgramFolder() {
  char path[260] = {};
  OsModuleFileName(path, sizeof path);
  std::string text = path;
  return text.substr(0, text.find_last_of("\\/") + 1);
}

// A fresh, empty folder in the temporary folder; its path ends with '\'.
std::string ScratchFolder(const std::string& name) {
  std::string folder = TempPath(name);
  std::filesystem::remove_all(std::filesystem::path(Native(folder)));
  OsCreateFolder(folder.c_str());
  return folder + "\\";
}

}  // namespace

TEST(Relaunch, CopyGoesOnlyToAFreshName) {
  std::string source = TempPath("copy-source");
  std::string target = TempPath("copy-target");
  std::string bytes(200000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  WriteWholeFile(source, bytes);
  ASSERT_EQ(OsCopyFileNew(source.c_str(), target.c_str()), 1);
  EXPECT_EQ(ReadWholeFile(target), bytes);
  // Whatever is already at the name stays as it was.
  WriteWholeFile(target, "someone else's");
  EXPECT_EQ(OsCopyFileNew(source.c_str(), target.c_str()), 0);
  EXPECT_EQ(OsLastError(), kErrorAlreadyExists);
  EXPECT_EQ(ReadWholeFile(target), "someone else's");
  // A missing source leaves nothing at the target.
  OsDeleteFile(target.c_str());
  EXPECT_EQ(OsCopyFileNew((source + "-absent").c_str(), target.c_str()), 0);
  EXPECT_EQ(OsFileExists(target.c_str()), 0);
  OsDeleteFile(source.c_str());
}

#if !defined(_WIN32)
TEST(Relaunch, CopyNeverWritesThroughALink) {
  std::string source = TempPath("link-source");
  std::string victim = TempPath("link-victim");
  std::string link = TempPath("link-name");
  WriteWholeFile(source, "the program");
  WriteWholeFile(victim, "precious");
  std::string missing = TempPath("link-missing");
  for (const std::string& pointee : {victim, missing}) {
    OsDeleteFile(link.c_str());
    std::filesystem::create_symlink(Native(pointee), Native(link));
    EXPECT_EQ(OsIsLink(link.c_str()), 1);
    EXPECT_EQ(OsCopyFileNew(source.c_str(), link.c_str()), 0) << pointee;
  }
  EXPECT_EQ(ReadWholeFile(victim), "precious");
  EXPECT_EQ(OsFileExists(missing.c_str()), 0);
  for (const std::string& path : {source, victim, link}) OsDeleteFile(path.c_str());
}
#endif

TEST(Relaunch, LibrariesLoadByFullPathOnly) {
#if defined(_WIN32)
  const std::string name = "testcomponent-normal.dll";
#else
  const std::string name = "testcomponent-normal.so";
#endif
  char current[260] = {};
  OsCurrentFolder(current, sizeof current);
  // Even from the library's own folder, a bare or relative name is refused.
  ASSERT_EQ(OsSetCurrentFolder(ProgramFolder().c_str()), 1);
  for (const std::string& bare : {name, ".\\" + name}) {
    EXPECT_EQ(OsLoadLibrary(bare.c_str(), kLoadWithAlteredSearchPath), 0u) << bare;
    EXPECT_EQ(OsLastError(), kErrorModNotFound);
  }
  OsSetCurrentFolder(current);
  OsHandle library = OsLoadLibrary((ProgramFolder() + name).c_str(), kLoadWithAlteredSearchPath);
  EXPECT_NE(library, 0u);
  if (library) OsFreeLibrary(library);
}

// A program file as the builder makes it: the program, then the archive's
// tag and block, then the tag's offset.
std::string ProgramWithArchive(const std::string& program, const std::string& block) {
  std::string bytes = program + "FFS?" + block;
  std::uint32_t offset = static_cast<std::uint32_t>(program.size());
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((offset >> (8 * i)) & 0xFF);
  return bytes;
}

TEST(Relaunch, StartRemovesOnlyEarlierCopiesOfOurs) {
  std::string temp = ScratchFolder("earlier-copies");
  std::string program = temp + "program.exe";
  WriteWholeFile(program, ProgramWithArchive(std::string(20000, 'p'), "this product"));
  // Another product's uninstaller is this program too; a planted file of
  // the same size is not, nor one without an archive.
  const std::string ours = ProgramWithArchive(std::string(20000, 'p'), "another product's archive");
  const std::string planted = ProgramWithArchive(std::string(19999, 'p') + "x", "this product");
  struct Case {
    const char* folder;
    std::vector<std::string> files;  // a trailing '\' makes a folder
    std::vector<std::string> after;  // what remains; "-" for the folder gone
  };
  const std::vector<Case> cases = {
      {"Del0000000A", {"Del0000000A.exe"}, {"-"}},
      {"Del00000013", {"Del00000013.exe!"}, {"Del00000013.exe"}},
      {"Del00000014", {"Del00000014.exe?"}, {"Del00000014.exe"}},
      {"Del0000000B", {"Del0000000B.exe", "debug.log"}, {"debug.log"}},
      {"Del0000000C", {"Del0000000C.exe", "notes.txt"}, {"Del0000000C.exe", "notes.txt"}},
      {"Del0000000D", {}, {}},
      {"Del0000000e", {"Del0000000e.exe"}, {"Del0000000e.exe"}},
      {"Del0000000F", {"Other.exe"}, {"Other.exe"}},
      {"Del00000010", {"Del00000010.exe\\"}, {"Del00000010.exe\\"}},
      {"Del000000011", {"Del000000011.exe"}, {"Del000000011.exe"}},
      {"Uninstall", {"Uninstall.exe"}, {"Uninstall.exe"}},
  };
  for (const Case& c : cases) {
    std::string folder = temp + c.folder + "\\";
    OsCreateFolder(folder.c_str());
    for (const std::string& file : c.files) {
      if (file.back() == '\\')
        OsCreateFolder((folder + file).c_str());
      else if (file.back() == '!')
        WriteWholeFile(folder + file.substr(0, file.size() - 1), planted);
      else if (file.back() == '?')
        WriteWholeFile(folder + file.substr(0, file.size() - 1), std::string(20000, 'p'));
      else
        WriteWholeFile(folder + file, file.find(".exe") != std::string::npos ? ours : "bytes");
    }
  }
  WriteWholeFile(temp + "Del00000012.exe", "a file, not a folder");
  EXPECT_EQ(RemoveEarlierCopies(temp.c_str(), program.c_str()), 2);
  for (const Case& c : cases) {
    std::string folder = temp + c.folder + "\\";
    if (c.after == std::vector<std::string>{"-"}) {
      EXPECT_EQ(OsFileExists((temp + c.folder).c_str()), 0) << c.folder;
      continue;
    }
    EXPECT_EQ(OsCountFolderEntries(folder.c_str()), static_cast<std::int32_t>(c.after.size())) << c.folder;
    for (const std::string& file : c.after) EXPECT_EQ(OsFileExists((folder + file).c_str()), 1) << folder + file;
  }
  EXPECT_EQ(OsFileExists((temp + "Del00000012.exe").c_str()), 1);
  std::filesystem::remove_all(std::filesystem::path(Native(temp)));
}

TEST(Relaunch, CopyFolderNames) {
  EXPECT_TRUE(IsCopyFolderName("Del0123ABCD"));
  for (const char* name : {"Del0123abcd", "del0123ABCD", "Del0123ABC", "Del0123ABCDE", "Del0123ABCD.exe", "Del"})
    EXPECT_FALSE(IsCopyFolderName(name)) << name;
}

TEST(Relaunch, OnlyACopyInItsOwnFolderSchedulesItself) {
  // The test program is no relaunched copy: it must not ask for its removal.
  EXPECT_EQ(ScheduleOwnRemoval(), 0);
}
