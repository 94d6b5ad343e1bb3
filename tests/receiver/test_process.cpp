// regserver as the maker runs it: its database private to its user, its
// port its own, its log unforgeable by a sender, its admin commands
// reading only what exists, and two of it sharing one PostgreSQL.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "store.h"

namespace fs = std::filesystem;

namespace {

std::string Folder() {
  std::string folder = (fs::temp_directory_path() / ("regserver-run-" + std::to_string(getpid()))).string();
  fs::create_directories(folder);
  return folder;
}

TEST(Regserver, MakesItsDatabasePrivateWhateverTheUmask) {
  std::string db = FreshDatabase("sqlite", "private");
  RegserverProcess server;
  ASSERT_TRUE(server.Start({"--db", db, "--port", "0"}, Folder() + "/private.log", 022)) << server.firstLine;
  auto [reply, seconds] = Exchange(server.port, ProgramRequest("/register", ProgramBody(kJane)));
  ASSERT_NE(reply.find("RegSuccess"), std::string::npos) << reply;
  for (const char* end : {"", "-wal", "-shm"}) {
    struct stat st {};
    ASSERT_EQ(stat((db + end).c_str(), &st), 0) << end;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "database file" << end;
  }
  server.Stop();
  RemoveDatabase(db);
}

TEST(Regserver, RefusesAPortThatAnotherProcessHolds) {
  // A listener that would share its port (SO_REUSEPORT), as a second
  // server that allowed sharing would be.
  int other = socket(AF_INET, SOCK_STREAM, 0);
  int yes = 1;
  setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(other, 8), 0);
  socklen_t length = sizeof a;
  getsockname(other, reinterpret_cast<sockaddr*>(&a), &length);
  std::string port = std::to_string(ntohs(a.sin_port));

  std::string db = FreshDatabase("sqlite", "port");
  std::string log = Folder() + "/port.log";
  RegserverProcess second;
  EXPECT_FALSE(second.Start({"--db", db, "--port", port}, log)) << "it shares a port that another process holds";
  EXPECT_NE(ReadFile(log).find("cannot listen"), std::string::npos) << ReadFile(log);
  close(other);

  RegserverProcess first;
  ASSERT_TRUE(first.Start({"--db", db, "--port", "0"}, log));
  EXPECT_FALSE(second.Start({"--db", db, "--port", std::to_string(first.port)}, log + "2"));
  first.Stop();
  RemoveDatabase(db);
}

TEST(Regserver, NoSenderCanWriteALineOfItsLog) {
  std::string db = FreshDatabase("sqlite", "log");
  std::string log = Folder() + "/forged.log";
  RegserverProcess server;
  ASSERT_TRUE(server.Start({"--db", db, "--port", "0"}, log));
  const std::string forged = "2031-01-01T00:00:00.000Z 10.0.0.1 POST /register 200 1";
  const std::string requests[] = {
      "GET /register%0A" + std::string("2031-01-01T00:00:00.000Z%2010.0.0.1%20POST") + "%1B%5B2J%FF HTTP/1.0\r\n\r\n",
      "POST /register HTTP/1.0\r\nContent-Length: 5 \x1b[2J\xff\r\n\r\nhello",
      "POST /register HTTP/1.0\r\nContent-Length: 0" + std::string("\r\n\r\n"),
  };
  for (const auto& request : requests) Exchange(server.port, request, 2);
  server.Stop();
  std::string text = ReadFile(log);
  EXPECT_NE(text.find("\\x0A2031-01-01"), std::string::npos) << text;
  EXPECT_NE(text.find("\\x1B[2J"), std::string::npos) << text;
  for (unsigned char c : text) {
    ASSERT_FALSE(c == 0x1B || c > 0x7E || c == '\r') << "a sender's byte " << int(c) << " in the log:\n" << text;
  }
  std::size_t line = 0;
  while ((line = text.find('\n', line)) != std::string::npos) {
    ++line;
    EXPECT_NE(text.compare(line, 11, "2031-01-01T"), 0) << "a forged line:\n" << text;
  }
  (void)forged;
  RemoveDatabase(db);
}

TEST(Regserver, ForgetsBesideARunningReceiverAndTheAdminCommandsNeedADatabase) {
  std::string db = FreshDatabase("sqlite", "forget");
  RegserverProcess server;
  ASSERT_TRUE(server.Start({"--db", db, "--port", "0"}, Folder() + "/forget.log"));
  const Person jorg = {"J\xF6rg", "J\xF6rg@Example.com", kNoNews};
  for (const Person& p : {jorg, kJane})
    ASSERT_NE(Exchange(server.port, ProgramRequest("/register", ProgramBody(p))).first.find("RegSuccess"),
              std::string::npos);
  std::string output;
  EXPECT_EQ(RunRegserver({"forget", "J\xC3\x96RG@EXAMPLE.COM", "--db", db}, &output), 0) << output;
  EXPECT_NE(output.find(" 1 registration of "), std::string::npos) << output;
  std::string bytes;
  for (const char* end : {"", "-wal", "-shm"}) bytes += ReadFile(db + end);
  EXPECT_EQ(bytes.find("rg@Example.com"), std::string::npos) << "a copy of the address is left";
  EXPECT_EQ(RunRegserver({"stats", "--db", db}, &output), 0) << output;
  EXPECT_NE(output.find("registrations: 1"), std::string::npos) << output;
  server.Stop();

  std::string typo = db + ".typo";
  for (const auto& command : std::vector<std::vector<std::string>>{
           {"export", "--csv", "--db", typo}, {"stats", "--db", typo}, {"forget", "a@b.c", "--db", typo}}) {
    EXPECT_EQ(RunRegserver(command, &output), 1) << command[0] << ": " << output;
    EXPECT_FALSE(fs::exists(typo)) << command[0] << " made a database";
  }
  RemoveDatabase(db);
}

TEST(Regserver, TwoReceiversOnOnePostgresStoreABodySentToBothOnce) {
  if (TestPostgres::uri.empty()) GTEST_SKIP() << "PostgreSQL: " << TestPostgres::why;
  EmptyPostgres();
  RegserverProcess one, two;
  ASSERT_TRUE(one.Start({"--db", TestPostgres::uri, "--port", "0"}, Folder() + "/one.log")) << one.firstLine;
  ASSERT_TRUE(two.Start({"--db", TestPostgres::uri, "--port", "0"}, Folder() + "/two.log")) << two.firstLine;
  const int count = 30;
  std::vector<std::string> bodies;
  for (int i = 0; i < count; ++i) {
    std::string email = "twice" + std::to_string(i) + "@example.com";
    Person p = {"Pat", email.c_str(), kNoNews};
    bodies.push_back(ProgramBody(p));
  }
  std::atomic<int> confirmed{0};
  std::vector<std::thread> senders;
  for (const auto& body : bodies)
    for (int port : {one.port, two.port})
      senders.emplace_back([&, body, port] {
        if (Exchange(port, ProgramRequest("/register", body), 10).first.find("RegSuccess") != std::string::npos)
          ++confirmed;
      });
  for (auto& t : senders) t.join();
  EXPECT_EQ(confirmed.load(), 2 * count);
  std::string output;
  EXPECT_EQ(RunRegserver({"stats", "--db", TestPostgres::uri}, &output), 0) << output;
  EXPECT_NE(output.find("registrations: " + std::to_string(count) + "\n"), std::string::npos) << output;
}

}  // namespace
