// The update's version list, its version numbers and the download's reply.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "os.h"
#include "settings.h"
#include "support.h"
#include "tessel-core.h"
#include "signature_vectors.h"
#include "update/update.h"

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
  EXPECT_EQ(DownloadFileName("http://h/console.exe", name, sizeof name), 1);
  EXPECT_EQ(DownloadFileName("http://h/com10.exe", name, sizeof name), 1);
  for (const char* bad : {"http://h/files/", "http://h/..\\..\\windows\\x.exe", "http://h/$1notepad.exe",
                          "http://h/C:x.exe", "http://h/..", "http://h/setup.exe?v=2", "http://h/NUL",
                          "http://h/nul.exe", "http://h/aux.txt", "http://h/COM1", "http://h/lpt9.exe",
                          "http://h/Con .exe", "http://h/conout$", "http://h/setup.exe.", "http://h/setup.exe "})
    EXPECT_EQ(DownloadFileName(bad, name, sizeof name), 0) << bad;
}

namespace {

// The download's file, in memory.
struct Sink {
  bool started = false;
  std::int64_t expected = 0;
  std::string body;
};
std::int32_t SinkStart(void* context, std::int64_t expected) {
  static_cast<Sink*>(context)->started = true;
  static_cast<Sink*>(context)->expected = expected;
  return 1;
}
std::int32_t SinkWrite(void* context, const char* data, std::int32_t count) {
  static_cast<Sink*>(context)->body.append(data, static_cast<std::size_t>(count));
  return 1;
}

// Feeds the reply in the given pieces, as far as the receiver goes on.
void Receive(const std::vector<std::string>& pieces, DownloadReceiver* receiver, Sink* sink) {
  static char buffer[512];
  receiver->buffer = buffer;
  receiver->size = sizeof buffer;
  receiver->start = SinkStart;
  receiver->write = SinkWrite;
  receiver->context = sink;
  for (const std::string& piece : pieces) {
    std::int32_t room = 0;
    char* slot = DownloadSlot(receiver, &room);
    ASSERT_GE(room, static_cast<std::int32_t>(piece.size()));
    std::memcpy(slot, piece.data(), piece.size());
    if (!DownloadPiece(receiver, static_cast<std::int32_t>(piece.size()))) return;
  }
}

}  // namespace

TEST(Update, DownloadTakesOnlyAWellFramed200Body) {
  const std::string head = "HTTP/1.1 200 OK\r\nServer: x\r\nContent-Length: 10\r\n\r\n";
  const struct {
    const char* what;
    std::vector<std::string> pieces;
    bool closed;  // the server closed in order at the end
    std::string body;
    std::int32_t complete;
  } cases[] = {
      {"one piece", {head + "0123456789"}, true, "0123456789", 1},
      {"header split", {head.substr(0, 20), head.substr(20) + "0123", "456789"}, false, "0123456789", 1},
      {"end of header split", {head.substr(0, head.size() - 2), "\r\n01234", "56789"}, true, "0123456789", 1},
      {"short body", {head + "012345678"}, true, "012345678", 0},
      {"more than announced", {head + "0123456789X"}, true, "", 0},
      {"no length, closed in order", {"HTTP/1.0 200 OK\r\n\r\nab\r\n\r\ncd"}, true, "ab\r\n\r\ncd", 1},
      {"no length, reset", {"HTTP/1.0 200 OK\r\n\r\nabcd"}, false, "abcd", 0},
      // LF LF ends the header; a CR LF CR LF in the body is the body's.
      {"LF line ends", {"HTTP/1.0 200 OK\nContent-Length: 6\n\nA\r\n\r\nB"}, false, "A\r\n\r\nB", 1},
      {"no end of header", {"HTTP/1.0 200 OK\r\nServer: x\r\n"}, true, "", 0},
      {"an error page is no installer", {"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope"}, true, "", 0},
      {"2000 is no 200", {"HTTP/1.0 2000 OK\r\n\r\nbody"}, true, "", 0},
      {"no status line", {"MZ body without a header\r\n\r\n"}, true, "", 0},
      {"another header's length", {"HTTP/1.0 200 OK\r\nX-Content-Length: 5\r\n\r\n0123456789"}, true, "0123456789", 1},
      {"two lengths", {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\nabcd"}, true, "", 0},
      {"the same length twice",
       {"HTTP/1.0 200 OK\r\nContent-Length: 4\r\ncontent-length:4\r\n\r\nabcd"},
       true,
       "abcd",
       1},
      {"negative length", {"HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nabcd"}, true, "", 0},
      {"2^32 + 4", {"HTTP/1.0 200 OK\r\nContent-Length: 4294967300\r\n\r\nabcd"}, true, "", 0},
      {"chunked", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n"}, true, "", 0},
      {"header longer than the buffer", {std::string(200, 'H'), std::string(55, 'H')}, true, "", 0},
  };
  for (const auto& c : cases) {
    DownloadReceiver receiver;
    Sink sink;
    Receive(c.pieces, &receiver, &sink);
    EXPECT_EQ(sink.body, c.body) << c.what;
    EXPECT_EQ(DownloadComplete(receiver, c.closed), c.complete) << c.what;
    // Nothing is started before a 200 header that frames its body.
    if (!sink.body.empty()) {
      EXPECT_TRUE(sink.started) << c.what;
    }
  }
}

TEST(Update, DownloadIsBoundedAndLogged) {
  const struct {
    const char* what;
    std::string reply;
    std::int32_t complete;
  } cases[] = {
      {"announced larger than the bound", "HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\n", 0},
      {"grows past the bound", "HTTP/1.0 200 OK\r\n\r\n0123456789A", 0},
      {"at the bound", "HTTP/1.0 200 OK\r\n\r\n0123456789", 1},
  };
  for (const auto& c : cases) {
    DownloadReceiver receiver;
    receiver.limit = 10;
    Sink sink;
    Receive({c.reply}, &receiver, &sink);
    EXPECT_EQ(DownloadComplete(receiver, true), c.complete) << c.what;
  }
  DownloadReceiver receiver;
  Sink sink;
  const std::string logPath = TempPath("update.log");
  StartLog(logPath, LogFile);
  Receive({"HTTP/1.0 200 OK\r\ncontent-length:   5000\r\n\r\n", std::string(200, 'x')}, &receiver, &sink);
  EXPECT_EQ(DownloadComplete(receiver, true), 0);
  StopLog();
  EXPECT_EQ(sink.expected, 5000);
  std::string log = LogText(logPath);
  EXPECT_NE(log.find("Filesize = 5000 (4k)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Sizes to not match (5000 != 200)\n"), std::string::npos) << log;
}

TEST(Update, OnlyA2xxBodyIsAVersionList) {
  const std::string list = Record('1', "Acme Tool") + Record('0', "");
  const struct {
    const char* what;
    std::string reply;
    std::int32_t usable;
    std::string body;
  } cases[] = {
      {"200", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + list, 1, list},
      {"204 with LF ends", "HTTP/1.1 204 No Content\n\n", 1, ""},
      {"no status line", list, 1, list},
      {"a proxy's 404", "HTTP/1.0 404 Not Found\r\n\r\n" + list, 0, ""},
      {"a 502", "HTTP/1.1 502 Bad Gateway\r\n\r\n", 0, ""},
      {"2000", "HTTP/1.0 2000 OK\r\n\r\n" + list, 0, ""},
      {"records in the header", "HTTP/1.0 200 OK\r\nX: " + list + "\r\n", 1, ""},
      {"short of its length", "HTTP/1.0 200 OK\r\nContent-Length: 900\r\n\r\n" + list, 0, ""},
      {"what follows its length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n" + list, 1, list.substr(0, 5)},
  };
  for (const auto& c : cases) {
    std::int32_t body = -1;
    std::string reply = c.reply;
    EXPECT_EQ(UpdateReplyBody(reply.data(), static_cast<std::int32_t>(reply.size()), &body), c.usable) << c.what;
    if (c.usable) {
      EXPECT_EQ(std::string(reply.c_str() + body), c.body) << c.what;
    }
  }
  // A list larger than the buffer is what fitted of it.
  std::string filled = "HTTP/1.0 200 OK\r\nContent-Length: 900000\r\n\r\n" + list;
  std::int32_t body = -1;
  EXPECT_EQ(UpdateReplyBody(filled.data(), static_cast<std::int32_t>(filled.size()), &body, true), 1);
  EXPECT_EQ(std::string(filled.c_str() + body), list);
}

TEST(Update, NeverSavedOverTheUninstallerOrItsLog) {
  MemoryInit(kHeapNoLimit, 0);
  InstallSettings product = {};
  std::string folder = TempPath("update-own-files") + "\\";
  OsCreateFolder(folder.c_str());
  std::strcpy(product.InstallPath, folder.c_str());
  std::strcpy(product.UninstallName, "Acme-Uninstall.exe");
  std::strcpy(product.InstallName, "install.log");
  static const char kList[] = "bin\\viewer.exe,setup.exe\r\n";
  product.FileList = kList;
  product.FileCount = 2;
  char buffer[1024];
  const std::string logPath = TempPath("update-own.log");
  StartLog(logPath, LogFile);
  // Refused before any request, and never retried: no retry mends a name.
  for (const char* name : {"Acme-Uninstall.exe", "uninstall.exe", "INSTALL.LOG"}) {
    std::string url = std::string("http://127.0.0.1:1/") + name;
    EXPECT_EQ(UpdateDownload(&product, url.c_str(), 0, buffer, sizeof buffer), 0) << name;
    EXPECT_EQ(UpdateRefusal(), kRefusedLocal) << name;
    EXPECT_NE(std::string(UpdateRefusalCause()).find("the product's uninstaller or its log"), std::string::npos)
        << UpdateRefusalCause();
  }
  StopLog();
  std::string log = LogText(logPath);
  EXPECT_NE(log.find("Unable to save over the product's own file '" + folder + "INSTALL.LOG'"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("Contacting"), std::string::npos) << log;
  // The product's own installer, named by its file list, is fetched (the
  // closed port fails as a network failure, which is retried).
  StartLog(logPath, LogFile);
  EXPECT_EQ(UpdateDownload(&product, "http://127.0.0.1:1/setup.exe", 0, buffer, sizeof buffer), 0);
  EXPECT_EQ(UpdateRefusal(), 0);
  StopLog();
  EXPECT_NE(LogText(logPath).find("Contacting"), std::string::npos) << LogText(logPath);
  OsRemoveFolder(folder.c_str());
}

// The installer that runs is the one whose bytes were hashed: once sealed,
// nobody changes what the hold reads (on Windows nobody may write, replace
// or delete the file; on the host the hold is a sealed copy).
TEST(Update, TheHeldInstallerCannotBeChanged) {
  const std::string path = TempPath("held-" + std::to_string(OsFreshNumber()) + ".exe");
  const std::string other = path + ".other";
  const std::string kept = "#!/bin/sh\necho verified\n";
  WriteWholeFile(path, "an earlier file");
  OsHeldFile file;
  EXPECT_EQ(OsHeldCreate(path.c_str(), &file), 0) << "a new file only";
  ASSERT_EQ(OsDeleteFile(path.c_str()), 1);
  ASSERT_EQ(OsHeldCreate(path.c_str(), &file), 1);
  ASSERT_EQ(OsHeldWrite(&file, kept.data(), static_cast<std::uint32_t>(kept.size())), 1);
  ASSERT_EQ(OsHeldSeal(&file), 1);
  EXPECT_EQ(OsHeldWrite(&file, "x", 1), 0) << "no writing after the seal";
  WriteWholeFile(other, "#!/bin/sh\necho replaced\n");
  std::FILE* writer = OsOpenFile(path.c_str(), "r+b");
  if (writer != nullptr) {
    std::fputs("#!/bin/sh\necho written\n", writer);
    std::fclose(writer);
  }
  bool replaced = OsReplaceFile(other.c_str(), path.c_str()) != 0;
#if defined(_WIN32)
  EXPECT_EQ(writer, nullptr) << "a writer opened the held file";
  EXPECT_FALSE(replaced) << "the held file was replaced";
  EXPECT_EQ(OsDeleteFile(path.c_str()), 0) << "the held file was deleted";
#else
  (void)replaced;
#endif
  char read[64] = {};
  ASSERT_EQ(OsHeldRead(&file, 0, read, sizeof read), static_cast<std::int32_t>(kept.size()));
  EXPECT_EQ(std::string(read), kept);
  // Renamed and deleted through the hold itself.
  const std::string renamed = path + ".renamed";
  ASSERT_EQ(OsHeldRename(&file, renamed.c_str()), 1);
  EXPECT_EQ(OsFileExists(renamed.c_str()), 1);
  EXPECT_STREQ(file.path, renamed.c_str());
  EXPECT_EQ(OsHeldDelete(&file), 1);
  EXPECT_EQ(OsFileExists(renamed.c_str()), 0);
  OsDeleteFile(path.c_str());
  OsDeleteFile(other.c_str());
}

#if !defined(_WIN32)
// The installer's wait is bounded: past the limit the user is asked, and a
// No ends the wait, which is then not called a failure; an installer that
// ends gives its own exit code. It is started from the hold: a script
// written over its file afterwards does not run. (The host's boxes read
// their answers from standard input.)
TEST(Update, TheInstallersWaitIsBounded) {
  MemoryInit(kHeapNoLimit, 0);
  struct Case {
    const char* script;
    std::int32_t result;
    std::int32_t exitCode;
  } cases[] = {{"#!/bin/sh\nexit 3\n", kInstallerEnded, 3}, {"#!/bin/sh\nexec sleep 20\n", kInstallerNotAwaited, 0}};
  UpdateLimits saved = UpdateLimitsInForce();
  UpdateLimitsInForce().installerWait = 1000;
  std::istringstream answers("n\n");
  std::streambuf* input = std::cin.rdbuf(answers.rdbuf());
  const std::string logPath = TempPath("installer-wait.log");
  StartLog(logPath, LogFile);
  for (const Case& c : cases) {
    std::string path = TempPath("installer-wait-" + std::to_string(OsFreshNumber()) + ".sh");
    OsHeldFile held;
    ASSERT_EQ(OsHeldCreate(path.c_str(), &held), 1);
    ASSERT_EQ(OsHeldWrite(&held, c.script, static_cast<std::uint32_t>(std::strlen(c.script))), 1);
    ASSERT_EQ(OsHeldSeal(&held), 1);
    WriteWholeFile(path, "#!/bin/sh\nexit 7\n");
    std::int32_t code = -1;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(UpdateRunInstaller(&held, &code), c.result) << c.script;
    EXPECT_EQ(code, c.exitCode) << c.script;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << c.script;
    EXPECT_EQ(OsHeldDelete(&held), 1);
  }
  StopLog();
  std::cin.rdbuf(input);
  UpdateLimitsInForce() = saved;
  std::string log = LogText(logPath);
  EXPECT_NE(log.find("Stopped waiting for '"), std::string::npos) << log;
}
#endif

// A page written without its scheme is opened as the shell takes it; what
// could name a file or a program is not.
TEST(Update, APageWithoutItsSchemeIsAWebAddress) {
  const std::string logPath = TempPath("update-page.log");
  const struct {
    const char* page;
    bool address;
  } cases[] = {{"www.acme.example/viewer/", true},
               {"WWW.acme.example", true},
               {"www.acme.example:8080/", true},
               {"www.", false},
               {"wwwacme.example/", false},
               {"www.x\\y.exe", false},
               {"www.x:\\y.exe", false},
               {"acme.example/viewer/", false},
               {"www.a b/", false}};
  for (const auto& c : cases) {
    StartLog(logPath, LogFile);
    UpdateOpenWebPage(c.page);
    StopLog();
    EXPECT_EQ(LogText(logPath).find("Not a web page"), c.address ? std::string::npos : 0u) << c.page;
  }
}
