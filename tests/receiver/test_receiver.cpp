// The registration receiver: bodies made by the program's own profile and
// encoder are stored field by field, once; bad bodies are refused with
// nothing stored; the HTTP side answers each kind of request as it should.
// The store tests run on SQLite and, where a PostgreSQL server can be
// started from Debian's packages, on PostgreSQL too.
#include <gtest/gtest.h>
#include <httplib.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "receiver.h"
#include "register/register.h"
#include "settings.h"
#include "store.h"
#include "tessel-core.h"

namespace fs = std::filesystem;

namespace {

// ---- bodies from the program ----------------------------------------------

struct Person {
  const char* first;
  const char* email;
  std::int32_t listServer;
};

// The body the program sends for the person, through its own profile,
// scrambling and framing.
std::string ProgramBody(const Person& person, const char* product = "Viewer") {
  RegistrationClear();
  std::strcpy(Registration.FirstName, person.first);
  std::strcpy(Registration.LastName, "Doe");
  std::strcpy(Registration.Address, "12 Harbour Road");
  std::strcpy(Registration.City, "Portsmouth");
  std::strcpy(Registration.State, "NH");
  std::strcpy(Registration.Country, "USA");
  std::strcpy(Registration.Zip, "03801");
  std::strcpy(Registration.Email, person.email);
  std::strcpy(Registration.Phone, "555-123-4567");
  std::strcpy(Registration.HowFound, "A friend, \"Bob\", told me\xE9");
  Registration.ListServer = person.listServer;
  static InstallSettings settings;
  settings = InstallSettings{};
  settings.Mode = RunModeRegister;
  std::strcpy(settings.Text, "REG");
  std::strcpy(settings.CompanyName, "Acme");
  std::strcpy(settings.ProductName, product);
  std::strcpy(settings.ProductVersion, "2.4");
  settings.ListServerNumber = 12;
  std::strcpy(settings.ListServerName, "acme-news");
  std::vector<char> profile(kProfileBuffer);
  std::int32_t n = 0;
  RegistrationProfile(&settings, "Acme Viewer 2.4", profile.data(), &n);
  RegistrationScramble(reinterpret_cast<unsigned char*>(profile.data()), n);
  std::vector<char> body(2 * static_cast<std::size_t>(n));
  std::int32_t total = 0;
  RegistrationBody(reinterpret_cast<unsigned char*>(profile.data()), n, body.data(), &total);
  return std::string(body.data(), static_cast<std::size_t>(total));
}

// A body around a profile given in clear, framed by the program's codec
// (short test profiles do not fit the program's own body buffer rule).
std::string Framed(std::string profile) {
  RegistrationScramble(reinterpret_cast<unsigned char*>(profile.data()), static_cast<std::int32_t>(profile.size()));
  std::vector<char> body(static_cast<std::size_t>(kRegistrationBodyMax) + 1);
  std::int32_t total = 0;
  RegistrationFrame(reinterpret_cast<unsigned char*>(profile.data()), static_cast<std::int32_t>(profile.size()), "1.50",
                    body.data(), static_cast<std::int32_t>(body.size()), &total);
  return std::string(body.data(), static_cast<std::size_t>(total));
}

const Person kJane = {"Jane", "jane@example.com", ListServerYes};
const Person kJoan = {"Joan", "Joan@Example.com", ListServerNo};

// ---- a PostgreSQL server of the tests' own ----------------------------------

std::string Run(const std::vector<std::string>& command) {
  std::string line;
  for (const auto& w : command) line += "'" + w + "' ";
  return line;
}

class Postgres : public testing::Environment {
 public:
  static std::string uri;  // empty: none could be started
  static std::string why;

  void SetUp() override {
    std::string bin;
    for (const char* v : {"17", "16", "15", "14", "13"})
      if (fs::exists(std::string("/usr/lib/postgresql/") + v + "/bin/postgres")) {
        bin = std::string("/usr/lib/postgresql/") + v + "/bin/";
        break;
      }
    if (bin.empty()) return void(why = "no PostgreSQL server installed");
    char dir[] = "/tmp/regserver-pg-XXXXXX";
    if (!mkdtemp(dir)) return void(why = "no temporary folder");
    folder_ = dir;
    // PostgreSQL will not run as root: as root, the server runs as the
    // package's own user in a folder given to it.
    std::vector<std::string> as;
    if (geteuid() == 0) {
      passwd* pw = getpwnam("postgres");
      if (!pw) return void(why = "running as root and no postgres user");
      if (chown(dir, pw->pw_uid, pw->pw_gid) != 0) return void(why = "cannot give the folder away");
      as = {"setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups", "--"};
    }
    auto with = [&](std::vector<std::string> command) {
      command.insert(command.begin(), as.begin(), as.end());
      return command;
    };
    std::string initdb = Run(with({bin + "initdb", "-D", folder_ + "/data", "-U", "regserver", "--auth=trust", "-E",
                                   "UTF8", "--no-sync", "--no-instructions"}));
    if (std::system((initdb + ">" + folder_ + "/initdb.log 2>&1").c_str()) != 0)
      return void(why = "initdb failed (" + folder_ + "/initdb.log)");
    int port = FreePort();
    std::vector<std::string> command = with({bin + "postgres", "-D", folder_ + "/data", "-k", folder_, "-p",
                                             std::to_string(port), "-c", "listen_addresses=", "-c", "fsync=off"});
    pid_ = fork();
    if (pid_ == 0) {
      std::string log = folder_ + "/postgres.log";
      FILE* out = std::freopen(log.c_str(), "w", stderr);
      out = std::freopen("/dev/null", "w", stdout);
      (void)out;
      std::vector<char*> argv;
      for (auto& w : command) argv.push_back(w.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    // Stopped also when a test ends the run early (a fatal report exits).
    running_ = pid_;
    std::atexit([] {
      if (running_ > 0) kill(running_, SIGINT);
    });
    std::string candidate = "postgresql://regserver@/postgres?host=" + folder_ + "&port=" + std::to_string(port);
    for (int i = 0; i < 200; ++i) {
      if (PQping(candidate.c_str()) == PQPING_OK) {
        uri = candidate;
        return;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return void(why = "postgres ended at start (" + folder_ + "/postgres.log)");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why = "postgres did not answer";
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGINT);  // fast shutdown
      int status = 0;
      waitpid(pid_, &status, 0);
      running_ = -1;
    }
    if (!folder_.empty()) fs::remove_all(folder_);
  }

  static int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    close(s);
    return ntohs(a.sin_port);
  }

 private:
  std::string folder_;
  pid_t pid_ = -1;
  static pid_t running_;
};
pid_t Postgres::running_ = -1;
std::string Postgres::uri;
std::string Postgres::why;

// ---- the stores -------------------------------------------------------------

class StoreTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "postgres") {
      if (Postgres::uri.empty()) GTEST_SKIP() << "PostgreSQL: " << Postgres::why;
      PGconn* c = PQconnectdb(Postgres::uri.c_str());
      PQclear(PQexec(
          c, "SET client_min_messages = warning; DROP TABLE IF EXISTS registrations; DROP TABLE IF EXISTS meta"));
      PQfinish(c);
      db_ = Postgres::uri;
    } else {
      db_ = (fs::temp_directory_path() / ("regserver-test-" + std::to_string(getpid()) + ".sqlite")).string();
      for (const char* end : {"", "-wal", "-shm"}) fs::remove(db_ + end);
    }
    std::string error;
    store_ = OpenStore(db_, &error);
    ASSERT_TRUE(store_) << error;
  }

  void TearDown() override {
    store_.reset();
    if (std::string(GetParam()) == "sqlite")
      for (const char* end : {"", "-wal", "-shm"}) fs::remove(db_ + end);
  }

  // Every row, by column name.
  std::vector<std::map<std::string, std::string>> Rows() {
    std::vector<std::map<std::string, std::string>> rows;
    std::vector<std::string> names = ExportColumns();
    std::string error;
    EXPECT_TRUE(store_->Each(
        [&](const std::vector<std::string>& values) {
          std::map<std::string, std::string> row;
          for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) row[names[i]] = values[i];
          rows.push_back(row);
        },
        &error))
        << error;
    return rows;
  }

  std::string db_;
  std::unique_ptr<Store> store_;
};

TEST_P(StoreTest, StoresEveryFieldOfTheProgramsBodyOnce) {
  std::string body = ProgramBody(kJane);
  Reply first = Receive(*store_, body, "192.0.2.7", "/viewer/register", "Quillon Register Uninstall (example)");
  EXPECT_EQ(first.status, 200);
  EXPECT_NE(first.text.find("RegSuccess"), std::string::npos);
  // The program's retry after a lost reply: the same body, one registration.
  Reply again = Receive(*store_, body, "192.0.2.7", "/viewer/register", "Quillon Register Uninstall (example)");
  EXPECT_EQ(again.status, 200);
  EXPECT_NE(again.text.find("RegSuccess"), std::string::npos);
  EXPECT_EQ(Receive(*store_, ProgramBody(kJoan), "192.0.2.8", "/viewer/register", "agent").status, 200);

  auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  auto& r = rows[0];
  const std::map<std::string, std::string> expected = {{"sender", "192.0.2.7"},
                                                       {"path", "/viewer/register"},
                                                       {"user_agent", "Quillon Register Uninstall (example)"},
                                                       {"version", "1.50"},
                                                       {"program", "v1.50 (Release)"},
                                                       {"mode", "Standalone"},
                                                       {"label", "Acme Viewer 2.4"},
                                                       {"text", "REG"},
                                                       {"company", "Acme"},
                                                       {"product", "Viewer"},
                                                       {"product_version", "2.4"},
                                                       {"first_name", "Jane"},
                                                       {"last_name", "Doe"},
                                                       {"address", "12 Harbour Road"},
                                                       {"city", "Portsmouth"},
                                                       {"state", "NH"},
                                                       {"country", "USA"},
                                                       {"zip", "03801"},
                                                       {"email", "jane@example.com"},
                                                       {"phone", "555-123-4567"},
                                                       {"how_found", "A friend, \"Bob\", told me\xC3\xA9"},
                                                       {"list_server", "Yes"},
                                                       {"list_number", "12"},
                                                       {"list_name", "acme-news"},
                                                       {"list_text", ""},
                                                       {"other_fields", ""}};
  for (const auto& [name, value] : expected) EXPECT_EQ(r[name], value) << name;
  for (const char* machine : {"ip_address", "screen_size", "screen_bits", "os", "memory", "paging_file"})
    EXPECT_FALSE(r[machine].empty()) << machine;
  EXPECT_EQ(r["received_at"].size(), 24u) << r["received_at"];
  EXPECT_EQ(std::stoi(r["profile_length"]) > 130, true);
  EXPECT_EQ(rows[1]["first_name"], "Joan");
  EXPECT_EQ(rows[1]["list_server"], "No");
}

TEST_P(StoreTest, RefusesBadBodiesAndStoresNothing) {
  std::string good = ProgramBody(kJane);
  std::string twice = Framed(std::string("\x02") + "207a@example.com" + "\x02" + "207b@example.com");
  std::string flipped = good;
  flipped[50] = flipped[50] == '!' ? '"' : '!';
  const struct {
    std::string body;
    int status;
    const char* why;
  } cases[] = {
      {"", 400, "empty"},
      {good.substr(0, good.size() - 1), 400, "cut short"},
      {flipped, 400, "wrong CRC"},
      {twice, 400, "a field twice"},
      {good + std::string(static_cast<std::size_t>(kRegistrationBodyMax), '!'), 413, "larger than any profile"},
  };
  for (const auto& c : cases) {
    Reply reply = Receive(*store_, c.body, "192.0.2.9", "/register", "agent");
    EXPECT_EQ(reply.status, c.status) << c.why << ": " << reply.text;
    EXPECT_EQ(reply.text.find("RegSuccess"), std::string::npos) << c.why;
  }
  EXPECT_TRUE(Rows().empty());
}

TEST_P(StoreTest, KeepsFieldsOfALaterProgramAndForgetsByAddress) {
  std::string later = Framed(std::string("\x02") + "207Ann@Example.com" + "\x02" + "555new" + "\x02" + "102Viewer");
  EXPECT_EQ(Receive(*store_, later, "::1", "/r", "a").status, 200);
  EXPECT_EQ(Receive(*store_, ProgramBody(kJoan), "::1", "/r", "a").status, 200);
  EXPECT_EQ(Receive(*store_, ProgramBody(kJoan, "Editor"), "::1", "/r", "a").status, 200);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]["other_fields"], "555=new\n");
  EXPECT_EQ(rows[0]["first_name"], "");

  std::vector<std::pair<std::string, std::string>> stats;
  std::string error;
  ASSERT_TRUE(store_->Stats(&stats, &error)) << error;
  std::map<std::string, std::string> s(stats.begin(), stats.end());
  EXPECT_EQ(s["schema_version"], "1");
  EXPECT_EQ(s["registrations"], "3");
  EXPECT_EQ(s["distinct emails"], "2");
  EXPECT_EQ(s["product Acme Editor 2.4"], "1");

  EXPECT_EQ(store_->Forget("joan@EXAMPLE.com", &error), 2);
  EXPECT_EQ(store_->Forget("nobody@example.com", &error), 0);
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["email"], "Ann@Example.com");
}

TEST_P(StoreTest, RefusesADatabaseOfAnotherSchemaVersion) {
  store_.reset();
  if (std::string(GetParam()) == "postgres") {
    PGconn* c = PQconnectdb(db_.c_str());
    PQclear(PQexec(c, "UPDATE meta SET value = '99' WHERE key = 'schema_version'"));
    PQfinish(c);
  } else {
    sqlite3* s = nullptr;
    sqlite3_open(db_.c_str(), &s);
    sqlite3_exec(s, "UPDATE meta SET value = '99' WHERE key = 'schema_version'", nullptr, nullptr, nullptr);
    sqlite3_close(s);
  }
  std::string error;
  EXPECT_FALSE(OpenStore(db_, &error));
  EXPECT_NE(error.find("schema version 99"), std::string::npos) << error;
}

TEST(Export, CsvQuotesAndDefusesFormulas) {
  EXPECT_EQ(CsvLine({"a", "b,c", "say \"hi\"", "two\nlines", ""}), "a,\"b,c\",\"say \"\"hi\"\"\",\"two\nlines\",\r\n");
  const std::pair<const char*, const char*> cases[] = {{"=HYPERLINK(\"x\")", "'=HYPERLINK(\"x\")"},
                                                       {"+1 555", "'+1 555"},
                                                       {"-2", "'-2"},
                                                       {"@SUM(A1)", "'@SUM(A1)"},
                                                       {"\tx", "'\tx"},
                                                       {"Jane", "Jane"},
                                                       {"", ""},
                                                       {"a=b", "a=b"}};
  for (const auto& [value, safe] : cases) EXPECT_EQ(SpreadsheetSafe(value), safe) << value;
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

// ---- over HTTP --------------------------------------------------------------

class HttpTest : public testing::Test {
 protected:
  void SetUp() override {
    db_ = (fs::temp_directory_path() / ("regserver-http-" + std::to_string(getpid()) + ".sqlite")).string();
    for (const char* end : {"", "-wal", "-shm"}) fs::remove(db_ + end);
    std::string error;
    store_ = OpenStore(db_, &error);
    ASSERT_TRUE(store_) << error;
    ReceiverOptions options;
    options.path = "/viewer/register.php";
    options.timeout = 1;
    options.bodySeconds = 2;
    options.threads = 4;
    Mount(server_, *store_, options);
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }

  void TearDown() override {
    server_.stop();
    if (thread_.joinable()) thread_.join();
    store_.reset();
    for (const char* end : {"", "-wal", "-shm"}) fs::remove(db_ + end);
  }

  std::size_t Count() {
    std::size_t n = 0;
    std::string error;
    store_->Each([&](const std::vector<std::string>&) { ++n; }, &error);
    return n;
  }

  // A raw connection: writes the text, then waits for the server to answer
  // or close; the reply and how long it took.
  std::pair<std::string, double> Raw(const std::vector<std::pair<std::string, int>>& pieces) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    auto start = std::chrono::steady_clock::now();
    for (const auto& [text, pauseMs] : pieces) {
      if (send(s, text.data(), text.size(), MSG_NOSIGNAL) < 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    std::string reply;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(s, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(got));
    close(s);
    return {reply, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
  }

  std::string db_;
  std::unique_ptr<Store> store_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

TEST_F(HttpTest, AnswersEachKindOfRequest) {
  httplib::Client client("127.0.0.1", port_);
  std::string body = ProgramBody(kJane);
  auto ok = client.Post("/viewer/register.php", body, "");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_NE(ok->body.find("RegSuccess"), std::string::npos);
  const struct {
    const char* method;
    const char* path;
    std::string body;
    int status;
  } cases[] = {
      {"POST", "/viewer/register.php", body, 200},  // the retry
      {"GET", "/viewer/register.php", "", 405},
      {"PUT", "/viewer/register.php", body, 405},
      {"POST", "/viewer/registerXphp", body, 404},  // the path is not a pattern
      {"POST", "/viewer/register.php/x", body, 404},
      {"POST", "/", body, 404},
      {"POST", "/viewer/register.php", body.substr(1), 400},
      {"POST", "/viewer/register.php", std::string(static_cast<std::size_t>(kRegistrationBodyMax) + 1, '0'), 413},
  };
  for (const auto& c : cases) {
    httplib::Result r = std::string(c.method) == "GET"   ? client.Get(c.path)
                        : std::string(c.method) == "PUT" ? client.Put(c.path, c.body, "")
                                                         : client.Post(c.path, c.body, "");
    ASSERT_TRUE(r) << c.method << " " << c.path;
    EXPECT_EQ(r->status, c.status) << c.method << " " << c.path;
    if (c.status != 200) {
      EXPECT_EQ(r->body.find("RegSuccess"), std::string::npos) << c.path;
    }
    if (c.status == 405) {
      EXPECT_EQ(r->get_header_value("Allow"), "POST");
    }
  }
  EXPECT_EQ(Count(), 1u);
}

TEST_F(HttpTest, TheProgramsOwnRequestAndSlowSenders) {
  // As the program writes it: HTTP/1.0, its own Connection word, no type.
  std::string body = ProgramBody(kJoan);
  std::string request =
      "POST /viewer/register.php HTTP/1.0\r\nUser-Agent: Quillon Register Uninstall (x)\r\n"
      "Host: 127.0.0.1\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\nConnection: closed\r\n\r\n";
  auto [reply, seconds] = Raw({{request + body, 0}});
  EXPECT_NE(reply.find("RegSuccess"), std::string::npos) << reply;
  EXPECT_EQ(Count(), 1u);

  // A sender that stops in the middle of its body is cut off by the read
  // time-out (1 s here); one that trickles within it, by the body's (2 s).
  std::string other = ProgramBody(kJane);
  std::string header =
      "POST /viewer/register.php HTTP/1.0\r\nContent-Length: " + std::to_string(other.size()) + "\r\n\r\n";
  auto [stalled, stalledSeconds] = Raw({{header + other.substr(0, 100), 0}});
  EXPECT_EQ(stalled.find("RegSuccess"), std::string::npos);
  EXPECT_LT(stalledSeconds, 5.0);
  std::vector<std::pair<std::string, int>> trickle = {{header, 0}};
  for (std::size_t at = 0; at < other.size(); at += 10) trickle.push_back({other.substr(at, 10), 300});
  auto [trickled, trickledSeconds] = Raw(trickle);
  EXPECT_EQ(trickled.find("RegSuccess"), std::string::npos) << trickled;
  EXPECT_EQ(Count(), 1u);
  (void)seconds;
  (void)trickledSeconds;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new Postgres);
  LogInit("debug.log", 0);
  return RUN_ALL_TESTS();
}
