// The host seam's files by handle: a child is one name in its folder, a link
// is opened as itself, and a file made new is never one that was there
// already. The Windows side has its own checks; these are the host's.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "host/machine.h"
#include "os.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// C:\nodes\root\ with a folder, a file, a folder link and a file link that
// lead to C:\nodes\elsewhere\, which holds someone else's file.
class HostNodes : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = host::MachineRoot() + "/drive_c/nodes";
    fs::remove_all(base_);
    fs::create_directories(base_ + "/root/real");
    fs::create_directories(base_ + "/elsewhere");
    std::ofstream(base_ + "/root/own.txt") << "the product's";
    std::ofstream(base_ + "/elsewhere/keep.txt") << "someone else's";
    fs::create_directory_symlink(base_ + "/elsewhere", base_ + "/root/out");
    fs::create_symlink(base_ + "/elsewhere/keep.txt", base_ + "/root/flink");
    ASSERT_EQ(OsNodeOpen("C:\\nodes\\root", 1, &root_), 1);
  }
  void TearDown() override {
    OsNodeClose(&root_);
    EXPECT_EQ(Slurp(base_ + "/elsewhere/keep.txt"), "someone else's");
    fs::remove_all(base_);
  }
  std::string base_;
  OsNode root_ = {};
};

TEST_F(HostNodes, AChildIsOneNameInItsFolder) {
  for (const char* name : {"..", ".", "", "real\\..", "real/..", "..\\elsewhere", "../elsewhere"}) {
    for (int folder : {0, 1}) {
      OsNode child = {};
      EXPECT_EQ(OsNodeOpenChild(&root_, name, folder, &child), 0) << "'" << name << "' folder " << folder;
      EXPECT_EQ(OsLastError(), kErrorInvalidParameter) << name;
      OsNodeClose(&child);
    }
  }
  OsNode real = {};
  ASSERT_EQ(OsNodeOpenChild(&root_, "real", 1, &real), 1);
  EXPECT_STREQ(real.finalPath, "C:\\nodes\\root\\real");
  OsNodeClose(&real);
}

TEST_F(HostNodes, ALinkIsOpenedAsItselfAndGoesAsALink) {
  // A folder link is no folder to enter.
  OsNode out = {};
  EXPECT_EQ(OsNodeOpenChild(&root_, "out", 1, &out), 0);
  EXPECT_EQ(OsLastError(), kErrorDirectory);
  OsNodeClose(&out);
  // A file link is the link: deleting it leaves what it leads to.
  OsNode link = {};
  ASSERT_EQ(OsNodeOpenChild(&root_, "flink", 0, &link), 1);
  EXPECT_EQ(link.link, 1);
  EXPECT_EQ(OsNodeDelete(&link), 1);
  EXPECT_FALSE(fs::is_symlink(base_ + "/root/flink"));
  EXPECT_TRUE(fs::exists(base_ + "/elsewhere/keep.txt"));
  // So is the product folder itself, opened by its path.
  OsNode whole = {};
  ASSERT_EQ(OsNodeOpen("C:\\nodes\\root\\out", 1, &whole), 1);
  EXPECT_EQ(whole.link, 1);
  EXPECT_EQ(whole.folder, 0);
  OsNodeClose(&whole);
}

TEST_F(HostNodes, ANewFileIsNeverOneThatWasThere) {
  // Made new: refused at an existing file and at a link, neither changed.
  const char* taken[] = {"C:\\nodes\\root\\own.txt", "C:\\nodes\\root\\flink"};
  for (const char* path : taken) {
    std::FILE* file = OsCreateNewFile(path);
    EXPECT_EQ(file, nullptr) << path;
    if (file) std::fclose(file);
  }
  std::ofstream(base_ + "/source.txt") << "copied";
  for (const char* path : taken) EXPECT_EQ(OsCopyFileNew("C:\\nodes\\source.txt", path), 0) << path;
  EXPECT_EQ(Slurp(base_ + "/root/own.txt"), "the product's");
  EXPECT_TRUE(fs::is_symlink(base_ + "/root/flink"));

  // A temporary name is never one that exists: the next names taken by
  // someone else are passed over.
  char first[260];
  ASSERT_EQ(OsTempFileName("C:\\nodes\\root", "Del", first), 1);
  std::set<std::string> planted;
  unsigned number = 0;
  ASSERT_EQ(std::sscanf(first, "C:\\nodes\\root\\Del%X.tmp", &number), 1) << first;
  for (unsigned next = number + 1; next <= number + 8; ++next) {
    char name[64];
    std::snprintf(name, sizeof name, "Del%X.tmp", next & 0xFFFFu);
    std::ofstream(base_ + "/root/" + name) << "someone else's";
    planted.insert(std::string("C:\\nodes\\root\\") + name);
  }
  char second[260];
  ASSERT_EQ(OsTempFileName("C:\\nodes\\root", "Del", second), 1);
  EXPECT_EQ(planted.count(second), 0u) << second;
  for (const std::string& path : planted) EXPECT_EQ(Slurp(host::HostPath(path.c_str())), "someone else's") << path;
}

}  // namespace

#endif
