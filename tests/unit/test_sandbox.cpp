// The host machine root as a sandbox: how Windows paths are made canonical
// and mapped, and that no file operation changes anything outside the
// machine's drive folders, whatever the path or the links planted inside.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "host/machine.h"
#include "os.h"

namespace {

namespace fs = std::filesystem;

// Runs with the current folder at C:\users\ so that relative paths have a
// known place to start from.
class SandboxPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = host::CurrentFolder();
    host::MakeFolders(host::MachineRoot() + "/drive_c/users");
    ASSERT_TRUE(OsSetCurrentFolder("C:\\users"));
  }
  void TearDown() override {
    OsSetCurrentFolder(saved_.c_str());
    host::CurrentFolder() = saved_;
  }
  std::string saved_;
};

TEST_F(SandboxPaths, CanonicalAsWindowsMakesThem) {
  const struct {
    const char* path;
    const char* canonical;
  } cases[] = {
      {"C:\\a\\b", "C:\\a\\b"},
      {"c:/a/b/", "C:\\a\\b\\"},
      {"C:\\a\\\\b\\.\\c", "C:\\a\\b\\c"},
      // ".." stops at the drive's root, as on Windows.
      {"C:\\..", "C:\\"},
      {"C:\\..\\..\\outside\\x.txt", "C:\\outside\\x.txt"},
      {"C:\\a\\..\\..\\..\\b\\", "C:\\b\\"},
      {"Z:\\..\\..\\etc\\passwd", "Z:\\etc\\passwd"},
      // The dots and blanks Windows drops: one dot of a folder name, all
      // trailing dots and blanks of the last name.
      {"C:\\Program Files. .", "C:\\Program Files"},
      {"C:\\dir.\\file.txt", "C:\\dir\\file.txt"},
      {"C:\\dir..\\x", "C:\\dir.\\x"},
      // Names of nothing but dots name nothing.
      {"C:\\a\\...\\b", "C:\\a\\b"},
      {"C:\\a\\....", "C:\\a\\"},
      // The device prefix names the same file.
      {"\\\\?\\C:\\x\\..\\y", "C:\\y"},
      {"\\\\?\\UNC\\server\\share\\x", "\\\\server\\share\\x"},
      // A UNC path's server and share are its root.
      {"\\\\server\\share\\..\\..\\x", "\\\\server\\share\\x"},
      {"//server/share/a/../b", "\\\\server\\share\\b"},
      // Relative to the current folder C:\users\, or to the drive's root.
      {"..\\..\\..\\x", "C:\\x"},
      {"\\x", "C:\\x"},
      {"C:x", "C:\\users\\x"},
      {"D:x", "D:\\x"},
      {"D:", "D:\\"},
      {"", "C:\\users\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(host::CanonicalText(c.path), c.canonical) << c.path;
}

TEST_F(SandboxPaths, MappedIntoTheMachineRoot) {
  const std::string root = host::MachineRoot();
  const std::map<std::string, std::string> cases = {
      {"C:\\..\\registry.txt", root + "/drive_c/registry.txt"},
      {"C:\\..\\..\\outside\\", root + "/drive_c/outside/"},
      {"..\\..\\drive_d\\x", root + "/drive_c/drive_d/x"},
      {"d:\\Tools\\x.exe", root + "/drive_d/Tools/x.exe"},
      {"\\\\server\\share\\..\\..\\..\\x", root + "/unc/server/share/x"},
      {"Z:\\tmp\\x", "/tmp/x"},
      {"Z:\\", "/"},
  };
  for (const auto& [path, mapped] : cases) EXPECT_EQ(host::HostPath(path.c_str()), mapped) << path;
  EXPECT_EQ(host::WindowsPath(root + "/drive_c/a/b"), "C:\\a\\b");
  EXPECT_EQ(host::WindowsPath("/tmp/x"), "Z:\\tmp\\x");
}

std::string Slurp(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Everything below a host folder: each path with its content ("<dir>" for
// folders, "-> target" for links).
std::map<std::string, std::string> Tree(const std::string& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string path = entry.path().string();
    if (entry.is_symlink())
      tree[path] = "-> " + fs::read_symlink(entry.path()).string();
    else if (entry.is_directory())
      tree[path] = "<dir>";
    else
      tree[path] = Slurp(path);
  }
  return tree;
}

// A folder outside the machine root with files of someone else's, and a
// scratch folder C:\sandbox\ inside it with links that lead out.
class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    char outside[] = "/tmp/tessel-outside-XXXXXX";
    ASSERT_NE(mkdtemp(outside), nullptr);
    outside_ = outside;
    std::ofstream(outside_ + "/victim.txt") << "someone else's";
    fs::create_directory(outside_ + "/empty");
    inside_ = host::MachineRoot() + "/drive_c/sandbox";
    fs::remove_all(inside_);
    fs::create_directories(inside_);
    fs::create_directory_symlink(outside_, inside_ + "/out");
    fs::create_symlink(outside_ + "/victim.txt", inside_ + "/outfile");
    fs::create_symlink(outside_ + "/new.txt", inside_ + "/dangling");
    fs::create_directory_symlink(host::MachineRoot(), inside_ + "/machine");
    std::ofstream(inside_ + "/others.txt") << "not made by this process";
    std::ofstream(inside_ + "/source.txt") << "copied";
    own_ = host::MachineRoot() + "/sandbox-own.txt";
    std::ofstream(own_) << "the machine's own";
    before_ = Tree(outside_);
  }
  void TearDown() override {
    EXPECT_EQ(Tree(outside_), before_) << "something outside the machine root changed";
    EXPECT_EQ(Slurp(own_), "the machine's own");
    fs::remove(own_);
    fs::remove_all(outside_);
    fs::remove_all(inside_);
  }
  std::string Z(const std::string& hostPath) const { return host::WindowsPath(hostPath); }

  std::string outside_;
  std::string inside_;
  std::string own_;
  std::map<std::string, std::string> before_;
};

TEST_F(Sandbox, NothingOutsideIsChanged) {
  const std::string z = Z(outside_);
  ASSERT_EQ(z.substr(0, 3), "Z:\\");
  const std::string refused[] = {
      // Straight at Z:
      "open " + z + "\\new.txt",
      "open " + z + "\\victim.txt",
      "delete " + z + "\\victim.txt",
      "create " + z + "\\folder",
      "remove " + z + "\\empty",
      "truncate " + z + "\\victim.txt",
      "append " + z + "\\victim.txt",
      "copy " + z + "\\copy.txt",
      "temp " + z,
      // Through links planted inside the machine root.
      "delete C:\\sandbox\\out\\victim.txt",
      "remove C:\\sandbox\\out\\empty",
      "create C:\\sandbox\\out\\folder",
      "open C:\\sandbox\\outfile",
      "open C:\\sandbox\\dangling",
      "truncate C:\\sandbox\\outfile",
      "append C:\\sandbox\\dangling",
      "copy C:\\sandbox\\outfile",
      "copy C:\\sandbox\\dangling",
      "copy C:\\sandbox\\out\\copy.txt",
      "temp C:\\sandbox\\out",
      // The machine's own files and its drive folders.
      "delete C:\\sandbox\\machine\\sandbox-own.txt",
      "open C:\\sandbox\\machine\\sandbox-own.txt",
      "delete C:\\..\\..\\machine\\..\\sandbox\\machine\\sandbox-own.txt",
      "remove C:\\sandbox\\machine\\drive_c\\sandbox\\..\\..\\drive_d",
      "remove C:\\",
      "remove C:\\..",
      "remove \\\\server\\share",
      "delete D:\\",
      // A copy never overwrites a file it did not make.
      "copy C:\\sandbox\\others.txt",
  };
  for (const std::string& line : refused) {
    std::string operation = line.substr(0, line.find(' '));
    std::string path = line.substr(line.find(' ') + 1);
    int done = 0;
    if (operation == "open") {
      std::FILE* file = OsOpenFile(path.c_str(), "wb");
      done = file != nullptr;
      if (file) std::fclose(file);
    } else if (operation == "delete") {
      done = OsDeleteFile(path.c_str());
    } else if (operation == "create") {
      done = OsCreateFolder(path.c_str());
    } else if (operation == "remove") {
      done = OsRemoveFolder(path.c_str());
    } else if (operation == "truncate") {
      done = OsTruncateTextFile(path.c_str());
    } else if (operation == "append") {
      done = OsAppendTextFile(path.c_str(), "x\n", 2);
    } else if (operation == "copy") {
      done = OsCopyFile("C:\\sandbox\\source.txt", path.c_str());
    } else if (operation == "temp") {
      char name[260];
      done = OsTempFileName(path.c_str(), "Del", name);
    }
    EXPECT_EQ(done, 0) << line;
    EXPECT_EQ(OsLastError(), kErrorAccessDenied) << line;
  }
  EXPECT_EQ(Slurp(inside_ + "/others.txt"), "not made by this process");
}

TEST_F(Sandbox, ReadsGoAnywhereChangesStayInside) {
  // Z: and links that lead out can be read.
  std::FILE* file = OsOpenFile((Z(outside_) + "\\victim.txt").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_TRUE(OsFileExists("C:\\sandbox\\out\\victim.txt"));
  int entries = 0;
  EXPECT_TRUE(OsListFolder(
      "C:\\sandbox\\out", [](void* n, const char*, int) { ++*static_cast<int*>(n); }, &entries));
  EXPECT_EQ(entries, 2);

  // Deleting a link removes the link, never what it leads to.
  EXPECT_TRUE(OsDeleteFile("C:\\sandbox\\outfile"));
  EXPECT_TRUE(OsDeleteFile("C:\\sandbox\\dangling"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(inside_ + "/outfile")));

  // A copy makes a new file, and may write again over what it made.
  EXPECT_TRUE(OsCopyFile("C:\\sandbox\\source.txt", "C:\\sandbox\\copy.txt"));
  EXPECT_TRUE(OsCopyFile("C:\\sandbox\\others.txt", "C:\\sandbox\\copy.txt"));
  EXPECT_EQ(Slurp(inside_ + "/copy.txt"), "not made by this process");
  char temp[260];
  ASSERT_TRUE(OsTempFileName("C:\\sandbox", "Del", temp));
  EXPECT_TRUE(OsCopyFile("C:\\sandbox\\source.txt", temp));

  // Z: paths that are inside the machine root are the machine's own.
  std::string viaZ = Z(inside_) + "\\via-z.txt";
  file = OsOpenFile(viaZ.c_str(), "wb");
  ASSERT_NE(file, nullptr) << viaZ;
  std::fclose(file);
  EXPECT_TRUE(OsDeleteFile(viaZ.c_str()));

  // ".." out of C:\ stays on C:.
  EXPECT_TRUE(OsCreateFolder("C:\\..\\..\\sandbox\\made"));
  EXPECT_TRUE(fs::is_directory(inside_ + "/made"));
  EXPECT_TRUE(OsRemoveFolder("C:\\sandbox\\..\\..\\..\\sandbox\\made\\"));
  EXPECT_FALSE(OsDeleteFile("C:\\..\\registry.txt"));
  EXPECT_EQ(OsLastError(), kErrorFileNotFound);
}

}  // namespace

#endif
