// The host machine's registry file: its text form, a hand-written machine,
// the whole rewrite after each change and the reload after an outside one.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/machine.h"
#include "os.h"

namespace {

std::string FilePath() { return host::MachineRoot() + "/registry.txt"; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

struct Entry {
  std::string name;
  std::uint32_t type;
  std::string data;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << '"' << e.name << "\" type " << e.type << " (" << e.data.size() << " bytes)";
}

std::vector<Entry> Values(std::uint32_t root, const char* path) {
  std::vector<Entry> values;
  OsKey key = 0;
  if (OsRegOpenKey(root, path, &key) != kErrorSuccess) return values;
  for (std::uint32_t i = 0;; ++i) {
    char name[512];
    unsigned char data[512];
    std::uint32_t nameLength = sizeof name;
    std::uint32_t dataLength = sizeof data;
    std::uint32_t type = 0;
    if (OsRegEnumValue(key, i, name, &nameLength, &type, data, &dataLength) != kErrorSuccess) break;
    values.push_back({std::string(name, nameLength), type, std::string(reinterpret_cast<char*>(data), dataLength)});
  }
  OsRegCloseKey(key);
  return values;
}

void Set(std::uint32_t root, const char* path, const std::string& name, std::uint32_t type, const std::string& data) {
  OsKey key = 0;
  ASSERT_EQ(OsRegCreateKey(root, path, &key), kErrorSuccess);
  ASSERT_EQ(OsRegSetValue(key, name.c_str(), type, data.data(), static_cast<std::uint32_t>(data.size())),
            kErrorSuccess);
  OsRegCloseKey(key);
}

// Each test may rewrite the machine's file; the file as it was comes back
// afterwards.
class HostRegistry : public testing::Test {
 protected:
  void SetUp() override {
    OsKey key = 0;
    OsRegOpenKey(kHkeyCurrentUser, "", &key);  // makes sure the file exists
    OsRegCloseKey(key);
    saved_ = ReadFile(FilePath());
  }
  void TearDown() override {
    WriteFile(FilePath(), saved_);
    OsKey key = 0;
    OsRegOpenKey(kHkeyCurrentUser, "", &key);  // the store follows the file back
    OsRegCloseKey(key);
  }
  std::string saved_;
};

constexpr const char* kKey = "Software\\TesselTest\\HostFile";

TEST_F(HostRegistry, EveryValueSurvivesTheTextForm) {
  const std::vector<Entry> written = {
      {"Install Path", kRegSz, "C:\\Program Files\\Viewer\\"},
      {"Odd \"name\"\t", kRegSz, std::string("tab\there\r\nnul\0end", 17)},
      {"Looks escaped", kRegSz, "\\x41 and \\X7e stay as written"},
      {"Trailing blank", kRegSz, "ends in a blank "},
      {"Terminated", kRegSz, std::string("C:\\x\0", 5)},
      {"8-bit", kRegSz, "caf\xE9"},
      {"", kRegSz, "the default value"},
      {"Expand", kRegExpandSz, "%TEMP%\\x"},
      {"Count", kRegDword, std::string("\x2A\x00\x00\x80", 4)},
      {"Short dword", kRegDword, "\x01\x02"},
      {"Blob", kRegBinary, std::string("\x00\xFF\x10", 3)},
      {"Empty blob", kRegBinary, ""},
      {"Multi", kRegMultiSz, std::string("a\0b\0\0", 5)},
      {"Big", kRegDwordBigEndian, std::string("\x00\x00\x00\x05", 4)},
  };
  for (const Entry& e : written) Set(kHkeyCurrentUser, kKey, e.name, e.type, e.data);
  std::string text = ReadFile(FilePath());
  EXPECT_NE(text.find("\n[HKEY_CURRENT_USER\\Software\\TesselTest\\HostFile]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\"Install Path\"=sz:C:\\Program Files\\Viewer\\\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\"Count\"=dword:8000002A\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\"Trailing blank\"=sz:ends in a blank\\x20\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\"Blob\"=hex:00,ff,10\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\"Multi\"=hex(7):61,00,62,00,00\n"), std::string::npos) << text;

  // Read back from the text alone: a comment added from outside makes the
  // store read the file again.
  WriteFile(FilePath(), "; touched\n" + text);
  EXPECT_EQ(Values(kHkeyCurrentUser, kKey), written);
  OsRegDeleteKey(kHkeyCurrentUser, kKey);
}

TEST_F(HostRegistry, AHandWrittenMachineIsRead) {
  WriteFile(FilePath(),
            "; prepared by hand\r\n"
            "\r\n"
            "[HKCU\\Software\\Acme\\Viewer]\r\n"
            "\"Install Path\"=sz:E:\\Apps\\Viewer\\\r\n"
            "\"Runs\"=dword:2a\r\n"
            "   # an indented comment\r\n"
            "\"Key\"=hex:de, ad,BE,ef\r\n"
            "\"Broken\"=dword:xyz\r\n"
            "[hkey_current_user\\software\\ACME\\viewer]\r\n"
            "\"Escaped\"=sz:line\\x0Anext\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n"
            "\"ProgramFilesDir\"=sz:D:\\Programs\r\n"
            "[HKEY_NOWHERE\\Lost]\r\n"
            "\"Lost\"=sz:never seen\r\n");
  EXPECT_EQ(Values(kHkeyCurrentUser, "Software\\Acme\\Viewer"),
            (std::vector<Entry>{{"Install Path", kRegSz, "E:\\Apps\\Viewer\\"},
                                {"Runs", kRegDword, std::string("\x2A\0\0\0", 4)},
                                {"Key", kRegBinary, "\xDE\xAD\xBE\xEF"},
                                {"Escaped", kRegSz, "line\nnext"}}));
  EXPECT_EQ(Values(kHkeyLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion"),
            (std::vector<Entry>{{"ProgramFilesDir", kRegSz, "D:\\Programs"}}));
  // The keys above a section's key exist; the seeded values are gone.
  OsKey key = 0;
  EXPECT_EQ(OsRegOpenKey(kHkeyCurrentUser, "software\\acme", &key), kErrorSuccess);
  OsRegCloseKey(key);
  EXPECT_EQ(
      OsRegOpenKey(kHkeyCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", &key),
      kErrorFileNotFound);
}

TEST_F(HostRegistry, AnEmptyMachineLooksLikeWindows) {
  std::remove(FilePath().c_str());
  EXPECT_EQ(Values(kHkeyLocalMachine, "Software\\Microsoft\\Windows\\CurrentVersion"),
            (std::vector<Entry>{{"ProgramFilesDir", kRegSz, "C:\\Program Files"}}));
  EXPECT_EQ(Values(kHkeyCurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"),
            (std::vector<Entry>{
                {"Programs", kRegSz,
                 "C:\\users\\" + host::UserName() + "\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"}}));
  EXPECT_NE(ReadFile(FilePath()).find("\"ProgramFilesDir\"=sz:C:\\Program Files\n"), std::string::npos);
}

TEST_F(HostRegistry, EachChangeReplacesTheWholeFile) {
  struct stat before = {};
  ASSERT_EQ(stat(FilePath().c_str(), &before), 0);
  // A reader that opened the file before the change still reads it whole.
  std::ifstream reader(FilePath(), std::ios::binary);
  Set(kHkeyCurrentUser, kKey, "Changed", kRegSz, "yes");
  struct stat after = {};
  ASSERT_EQ(stat(FilePath().c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);  // renamed over, not written into
  std::stringstream old;
  old << reader.rdbuf();
  EXPECT_EQ(old.str(), saved_);
  EXPECT_NE(ReadFile(FilePath()).find("\"Changed\"=sz:yes\n"), std::string::npos);
  // No temporary file stays behind.
  std::vector<std::string> leftovers;
  OsListFolder(
      host::WindowsPath(host::MachineRoot()).c_str(),
      [](void* context, const char* name, int) {
        std::string entry = name;
        if (entry.find(".tmp") != std::string::npos) static_cast<std::vector<std::string>*>(context)->push_back(entry);
      },
      &leftovers);
  EXPECT_TRUE(leftovers.empty()) << leftovers[0];
  EXPECT_EQ(OsRegDeleteKey(kHkeyCurrentUser, kKey), kErrorSuccess);
  EXPECT_EQ(ReadFile(FilePath()).find("HostFile"), std::string::npos);
}

TEST_F(HostRegistry, AnOutsideChangeIsSeenAtOnce) {
  Set(kHkeyCurrentUser, kKey, "Value", kRegSz, "before");
  OsKey key = 0;
  ASSERT_EQ(OsRegOpenKey(kHkeyCurrentUser, kKey, &key), kErrorSuccess);
  // The same length, written in place at once: only the content differs.
  std::string text = ReadFile(FilePath());
  std::size_t at = text.find("=sz:before");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 10, "=sz:after!");
  WriteFile(FilePath(), text);
  char name[64];
  unsigned char data[64];
  std::uint32_t nameLength = sizeof name;
  std::uint32_t dataLength = sizeof data;
  std::uint32_t type = 0;
  ASSERT_EQ(OsRegEnumValue(key, 0, name, &nameLength, &type, data, &dataLength), kErrorSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), dataLength), "after!");
  // A key removed from outside: the open handle reports it deleted.
  at = text.find("[HKEY_CURRENT_USER\\Software\\TesselTest\\HostFile]");
  ASSERT_NE(at, std::string::npos);
  WriteFile(FilePath(), text.substr(0, at));
  EXPECT_EQ(OsRegSetValue(key, "Late", kRegSz, "x", 1), kErrorKeyDeleted);
  OsRegCloseKey(key);
  EXPECT_EQ(OsRegCloseKey(key), kErrorInvalidHandle);
}

TEST_F(HostRegistry, ValuesKeepTheOrderOfWritingAndTheirFirstName) {
  for (const char* name : {"Zeta", "alpha", "Mid"}) Set(kHkeyCurrentUser, kKey, name, kRegSz, name);
  Set(kHkeyCurrentUser, kKey, "ALPHA", kRegDword, std::string("\x01\0\0\0", 4));
  EXPECT_EQ(Values(kHkeyCurrentUser, kKey),
            (std::vector<Entry>{
                {"Zeta", kRegSz, "Zeta"}, {"alpha", kRegDword, std::string("\x01\0\0\0", 4)}, {"Mid", kRegSz, "Mid"}}));
  OsRegDeleteKey(kHkeyCurrentUser, kKey);
}

TEST_F(HostRegistry, ErrorsAreWindowsNumbers) {
  OsKey key = 0;
  EXPECT_EQ(OsRegOpenKey(0x12345678u, "Software", &key), kErrorInvalidHandle);
  EXPECT_EQ(OsRegCreateKey(kHkeyCurrentUser, "Software\\TesselTest\\Bad\nName", &key), kErrorInvalidParameter);
  EXPECT_EQ(OsRegDeleteKey(kHkeyCurrentUser, ""), kErrorAccessDenied);  // a root stays
  EXPECT_EQ(OsRegDeleteKey(kHkeyCurrentUser, "Software"), kErrorAccessDenied);
  Set(kHkeyCurrentUser, kKey, "Data", kRegSz, "twelve bytes");
  ASSERT_EQ(OsRegOpenKey(kHkeyCurrentUser, kKey, &key), kErrorSuccess);
  char name[8];
  unsigned char data[8];
  std::uint32_t nameLength = sizeof name;
  std::uint32_t dataLength = sizeof data;
  std::uint32_t type = 0;
  EXPECT_EQ(OsRegEnumValue(key, 0, name, &nameLength, &type, data, &dataLength), kErrorMoreData);
  EXPECT_EQ(dataLength, 12u);  // the room it would need
  nameLength = 4;
  EXPECT_EQ(OsRegEnumValue(key, 0, name, &nameLength, &type, data, &dataLength), kErrorMoreData);
  nameLength = sizeof name;
  dataLength = sizeof data;
  EXPECT_EQ(OsRegEnumValue(key, 1, name, &nameLength, &type, data, &dataLength), kErrorNoMoreItems);
  OsRegCloseKey(key);
  OsRegDeleteKey(kHkeyCurrentUser, kKey);
}

}  // namespace

#endif  // !_WIN32
