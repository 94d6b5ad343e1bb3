// The update's version list, its version numbers and the download's reply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "os.h"
#include "settings.h"
#include "support.h"
#include "tessel-core.h"
#include "update.h"

namespace {

double Version(const char* text, std::string* cut = nullptr) {
  char buffer[80];
  std::strcpy(buffer, text);
  double number = -1;
  EXPECT_EQ(ParseVersion(&number, buffer), 1);
  if (cut) *cut = buffer;
  return number;
}

struct Product : InstallSettings {
  Product() : InstallSettings() {
    std::strcpy(CompanyName, "Acme");
    std::strcpy(ProductName, "Tool");
  }
};

std::string Record(char type, const std::string& text) {
  return std::string(1, kUpdateRecordMark) + type + text + "\r\n";
}

}  // namespace

TEST(Update, VersionsCompareAsDecimalFractions) {
  std::string cut;
  EXPECT_DOUBLE_EQ(Version("1.50 Beta", &cut), 1.5);
  EXPECT_EQ(cut, "1.50");
  EXPECT_DOUBLE_EQ(Version("1.2.3"), 1.2);
  EXPECT_DOUBLE_EQ(Version("v2"), 0);
  EXPECT_DOUBLE_EQ(Version(""), 0);
  EXPECT_DOUBLE_EQ(Version(".5"), 0.5);
  EXPECT_LT(Version("1.5"), Version("1.6"));
  EXPECT_GT(Version("1.5"), Version("1.10"));
  EXPECT_LT(Version("2"), Version("10"));
  EXPECT_FALSE(Version("1.50") < Version("1.5"));
}

TEST(Update, ReplyFieldsStopAtControlBytesAndRefuseWhatDoesNotFit) {
  const char* text = "Acme Tool\r\nrest";
  const char* at = text;
  char field[kUpdateField];
  ASSERT_EQ(ReadReplyField(&at, field, sizeof field), 1);
  EXPECT_STREQ(field, "Acme Tool");
  EXPECT_EQ(at, text + 9);
  std::string high = "caf\xe9\x16x";
  at = high.c_str();
  ASSERT_EQ(ReadReplyField(&at, field, sizeof field), 1);
  EXPECT_STREQ(field, "caf\xe9");
  std::string longest(319, 'k');
  at = longest.c_str();
  EXPECT_EQ(ReadReplyField(&at, field, sizeof field), 1);
  std::string overlong(320, 'k');
  at = overlong.c_str();
  EXPECT_EQ(ReadReplyField(&at, field, sizeof field), 0);
  EXPECT_EQ(at, overlong.c_str());
}

TEST(Update, TheFirstMatchingCompleteEntryDecides) {
  Product product;
  UpdateEntry entry;
  const std::string other = Record('1', "Other Thing") + Record('2', "3.0") + Record('4', "http://h/other.exe") +
                            Record('9', "note") + Record('0', "");
  const struct {
    const char* what;
    std::string reply;
    std::int32_t found;
    const char* download;
    double latest;
  } cases[] = {
      {"key case ignored", "HTTP/1.0 200 OK\r\n\r\n" + Record('1', "ACME TOOL") + Record('2', "1.6") + Record('0', ""),
       1, "", 1.6},
      {"two blanks are another key", Record('1', "Acme  Tool") + Record('2', "1.6") + Record('0', ""), 0, "", 0},
      {"no end of entry", Record('1', "Acme Tool") + Record('2', "1.6"), 0, "", 0},
      {"a key of 320 characters", Record('1', std::string(320, 'a')) + Record('0', ""), 0, "", 0},
      // The second entry names no installer and no version of its own.
      {"inherited from the entry before", other + Record('1', "Acme Tool") + Record('0', ""), 1, "http://h/other.exe",
       3.0},
      {"own installer", other + Record('1', "Acme Tool") + Record('4', "http://h/tool.exe") + Record('0', ""), 1,
       "http://h/tool.exe", 3.0},
      {"mark at the very end", Record('1', "Acme Tool") + "\x16", 0, "", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UpdateFindEntry(&product, c.reply.c_str(), &entry), c.found) << c.what;
    if (c.found) {
      EXPECT_STREQ(entry.downloadUrl, c.download) << c.what;
      EXPECT_DOUBLE_EQ(entry.latest, c.latest) << c.what;
    }
  }
}

TEST(Update, SavedOnlyUnderAPlainName) {
  char name[kUpdateField];
  EXPECT_EQ(DownloadFileName("http://h/files/setup.exe", name, sizeof name), 1);
  EXPECT_STREQ(name, "setup.exe");
  EXPECT_EQ(DownloadFileName("setup.exe", name, sizeof name), 1);
  for (const char* bad : {"http://h/files/", "http://h/..\\..\\windows\\x.exe", "http://h/$1notepad.exe",
                          "http://h/C:x.exe", "http://h/..", "http://h/setup.exe?v=2"})
    EXPECT_EQ(DownloadFileName(bad, name, sizeof name), 0) << bad;
}

namespace {

// Feeds the reply in the given pieces; gives what the file holds.
std::string Receive(const std::vector<std::string>& pieces, DownloadReceiver* receiver) {
  static char buffer[16384];
  receiver->buffer = buffer;
  receiver->size = sizeof buffer;
  std::string path = TempPath("update-download.bin");
  std::FILE* file = OsOpenFile(path.c_str(), "wb");
  EXPECT_NE(file, nullptr);
  for (const std::string& piece : pieces) {
    std::int32_t room = 0;
    char* slot = DownloadSlot(receiver, &room);
    EXPECT_GE(room, static_cast<std::int32_t>(piece.size()));
    std::memcpy(slot, piece.data(), piece.size());
    EXPECT_EQ(DownloadPiece(receiver, static_cast<std::int32_t>(piece.size()), file), 1);
  }
  std::fclose(file);
  return ReadWholeFile(path);
}

}  // namespace

TEST(Update, DownloadKeepsTheBodyAndChecksItsLength) {
  const std::string head = "HTTP/1.1 200 OK\r\nServer: x\r\nContent-Length: 10\r\n\r\n";
  const struct {
    const char* what;
    std::vector<std::string> pieces;
    std::string body;
    std::int32_t complete;
  } cases[] = {
      {"one piece", {head + "0123456789"}, "0123456789", 1},
      {"header split", {head.substr(0, 20), head.substr(20) + "0123", "456789"}, "0123456789", 1},
      {"end of header split", {head.substr(0, head.size() - 2), "\r\n01234", "56789"}, "0123456789", 1},
      {"short body", {head + "012345678"}, "012345678", 0},
      {"no length, header only", {"HTTP/1.0 200 OK\r\n\r\n"}, "", 1},
      {"no end of header", {"HTTP/1.0 200 OK\r\nServer: x\r\n"}, "", 0},
      {"an error page is no installer", {"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope"}, "", 0},
  };
  for (const auto& c : cases) {
    DownloadReceiver receiver;
    EXPECT_EQ(Receive(c.pieces, &receiver), c.body) << c.what;
    EXPECT_EQ(DownloadComplete(receiver), c.complete) << c.what;
  }
  DownloadReceiver receiver;
  const std::string logPath = TempPath("update.log");
  StartLog(logPath, LogFile);
  Receive({"HTTP/1.0 200 OK\r\ncontent-length:   5000\r\n\r\n", std::string(4999, 'x')}, &receiver);
  EXPECT_EQ(DownloadComplete(receiver), 0);
  StopLog();
  std::string log = LogText(logPath);
  EXPECT_NE(log.find("Filesize = 5000 (4k)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Sizes to not match (5000 != 4999)\n"), std::string::npos) << log;
}
