// Paths compared as the system sees them, and the folders never removed.
#include <gtest/gtest.h>

#include <string>

#include "os.h"
#include "protect.h"

namespace {

std::string Canonical(const char* path) {
  char out[kCanonicalRoom];
  return CanonicalPath(path, out, sizeof out) ? out : "<none>";
}

}  // namespace

TEST(Canonical, OtherSpellingsOfOneFolder) {
  const struct {
    const char* path;
    const char* canonical;
  } cases[] = {
      {"C:\\Apps\\Viewer\\..\\Other\\", "C:\\Apps\\Other\\"},
      {"C:\\..\\..\\outside", "C:\\outside"},
      {"C:/Apps/./Viewer", "C:\\Apps\\Viewer"},
      // A folder name loses one trailing dot, the last name all its dots
      // and blanks; a blank ends a folder name like any other character.
      {"C:\\Apps\\Viewer. \\bin..", "C:\\Apps\\Viewer. \\bin"},
      {"C:\\Apps\\Viewer..\\bin", "C:\\Apps\\Viewer.\\bin"},
      {"C:\\Apps\\Viewer\\readme.txt. . ", "C:\\Apps\\Viewer\\readme.txt"},
      // The system passes a folder "..." on as "..": such a path is not
      // trusted. A last name of dots and blanks leaves its folder.
      {"C:\\Apps\\Viewer\\...\\x.txt", "<none>"},
      {"C:\\Apps\\Viewer\\. \\x.txt", "<none>"},
      {"C:\\Apps\\Viewer\\. .", "C:\\Apps\\Viewer\\"},
      {"\\\\?\\C:\\Apps\\Viewer", "C:\\Apps\\Viewer"},
      {"\\\\?\\UNC\\server\\share\\dir\\sub\\..", "\\\\server\\share\\dir"},
      {"C:\\Apps\\..", "C:\\"},
  };
  for (const auto& c : cases) EXPECT_EQ(Canonical(c.path), c.canonical) << c.path;
  EXPECT_EQ(Canonical(""), "<none>");
}

TEST(Canonical, SystemFoldersAreProtectedWhateverTheirSpelling) {
  char programs[kCanonicalRoom];
  ASSERT_TRUE(OsProgramsFolder(programs, sizeof programs));
  char temp[kCanonicalRoom];
  ASSERT_TRUE(OsTempPath(temp, sizeof temp));
  std::string spelled = std::string(programs) + "\\..\\Programs\\";
  EXPECT_TRUE(IsProtectedFolder(spelled.c_str())) << spelled;
  EXPECT_TRUE(IsProtectedFolder((std::string(temp) + "..\\Temp").c_str()));
  EXPECT_TRUE(IsProtectedFolder("C:\\"));
  EXPECT_TRUE(IsProtectedFolder("C:\\users"));  // holds the profile
  EXPECT_FALSE(IsProtectedFolder((std::string(programs) + "\\Acme").c_str()));
  for (const char* bad : {"", "Viewer\\", "\\", "C:\\", "C:\\windows\\", "C:\\Apps\\..\\", "\\\\server\\share\\"})
    EXPECT_FALSE(IsUsableProductFolder(bad)) << bad;
  for (const char* good : {"C:\\Apps\\Viewer\\", "\\\\server\\share\\Viewer\\"})
    EXPECT_TRUE(IsUsableProductFolder(good)) << good;
  EXPECT_TRUE(IsInsideFolder("C:\\Apps\\Viewer\\bin\\a.exe", "C:\\Apps\\Viewer\\"));
  EXPECT_FALSE(IsInsideFolder("C:\\Apps\\Viewer\\..\\x.txt", "C:\\Apps\\Viewer\\"));
  EXPECT_FALSE(IsInsideFolder("C:\\Apps\\Viewerbin\\a.exe", "C:\\Apps\\Viewer"));
}
