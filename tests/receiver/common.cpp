#include "common.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "register/register.h"
#include "settings.h"
#include "tessel-core.h"

namespace fs = std::filesystem;

const std::int32_t kNoNews = ListServerNo;
const Person kJane = {"Jane", "jane@example.com", ListServerYes};
const Person kJoan = {"Joan", "Joan@Example.com", ListServerNo};

std::string ProgramBody(const Person& person, const char* product) {
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

std::string Framed(std::string profile) {
  RegistrationScramble(reinterpret_cast<unsigned char*>(profile.data()), static_cast<std::int32_t>(profile.size()));
  std::vector<char> body(static_cast<std::size_t>(kRegistrationBodyMax) + 1);
  std::int32_t total = 0;
  RegistrationFrame(reinterpret_cast<unsigned char*>(profile.data()), static_cast<std::int32_t>(profile.size()), "1.50",
                    body.data(), static_cast<std::int32_t>(body.size()), &total);
  return std::string(body.data(), static_cast<std::size_t>(total));
}

// ---- a PostgreSQL server of the tests' own ----------------------------------

std::string TestPostgres::uri;
std::string TestPostgres::why;
std::string TestPostgres::data;

namespace {

std::string Quoted(const std::vector<std::string>& command) {
  std::string line;
  for (const auto& w : command) line += "'" + w + "' ";
  return line;
}

int FreePort() {
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

class Postgres : public testing::Environment {
 public:
  void SetUp() override {
    std::string bin;
    for (const char* v : {"17", "16", "15", "14", "13"})
      if (fs::exists(std::string("/usr/lib/postgresql/") + v + "/bin/postgres")) {
        bin = std::string("/usr/lib/postgresql/") + v + "/bin/";
        break;
      }
    if (bin.empty()) return void(TestPostgres::why = "no PostgreSQL server installed");
    char dir[] = "/tmp/regserver-pg-XXXXXX";
    if (!mkdtemp(dir)) return void(TestPostgres::why = "no temporary folder");
    folder_ = dir;
    // PostgreSQL will not run as root: as root, the server runs as the
    // package's own user in a folder given to it.
    std::vector<std::string> as;
    if (geteuid() == 0) {
      passwd* pw = getpwnam("postgres");
      if (!pw) return void(TestPostgres::why = "running as root and no postgres user");
      if (chown(dir, pw->pw_uid, pw->pw_gid) != 0) return void(TestPostgres::why = "cannot give the folder away");
      as = {"setpriv", "--reuid=postgres", "--regid=postgres", "--init-groups", "--"};
    }
    auto with = [&](std::vector<std::string> command) {
      command.insert(command.begin(), as.begin(), as.end());
      return command;
    };
    TestPostgres::data = folder_ + "/data";
    std::string initdb = Quoted(with({bin + "initdb", "-D", TestPostgres::data, "-U", "regserver", "--auth=trust", "-E",
                                      "UTF8", "--no-sync", "--no-instructions"}));
    if (std::system((initdb + ">" + folder_ + "/initdb.log 2>&1").c_str()) != 0)
      return void(TestPostgres::why = "initdb failed (" + folder_ + "/initdb.log)");
    int port = FreePort();
    std::vector<std::string> command =
        with({bin + "postgres", "-D", TestPostgres::data, "-k", folder_, "-p", std::to_string(port), "-c",
              "listen_addresses=", "-c", "fsync=off", "-c", "autovacuum=off"});
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
        TestPostgres::uri = candidate;
        return;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return void(TestPostgres::why = "postgres ended at start (" + folder_ + "/postgres.log)");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    TestPostgres::why = "postgres did not answer";
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

 private:
  std::string folder_;
  pid_t pid_ = -1;
  static pid_t running_;
};
pid_t Postgres::running_ = -1;

}  // namespace

void EmptyPostgres() {
  PGconn* c = PQconnectdb(TestPostgres::uri.c_str());
  PQclear(
      PQexec(c, "SET client_min_messages = warning; DROP TABLE IF EXISTS registrations; DROP TABLE IF EXISTS meta"));
  PQfinish(c);
}

std::string FreshDatabase(const std::string& kind, const std::string& name) {
  if (kind == "postgres") {
    EmptyPostgres();
    return TestPostgres::uri;
  }
  std::string db =
      (fs::temp_directory_path() / ("regserver-" + name + "-" + std::to_string(getpid()) + ".sqlite")).string();
  RemoveDatabase(db);
  return db;
}

void RemoveDatabase(const std::string& db) {
  if (IsPostgresName(db)) return;
  for (const char* end : {"", "-wal", "-shm"}) fs::remove(db + end);
}

// ---- raw HTTP -----------------------------------------------------------------

std::string ProgramRequest(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.0\r\nUser-Agent: Quillon Register Uninstall (x)\r\nHost: 127.0.0.1\r\n" +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: closed\r\n\r\n" + body;
}

int Connect(int port, const char* from) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (from) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return close(s), -1;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return close(s), -1;
  return s;
}

std::pair<std::string, double> Exchange(int port, const std::string& request, double seconds) {
  auto start = std::chrono::steady_clock::now();
  int s = Connect(port);
  if (s < 0) return {"", 0};
  send(s, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buffer[4096];
  for (;;) {
    pollfd p{s, POLLIN, 0};
    double left = seconds - std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
    ssize_t got = recv(s, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  close(s);
  return {reply, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

int Status(const std::string& reply) {
  if (reply.rfind("HTTP/1.", 0) != 0 || reply.size() < 12) return 0;
  return std::atoi(reply.c_str() + 9);
}

bool Closed(int fd, int waitMillis) {
  char buffer[4096];
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMillis);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left < 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) return true;
  }
}

// ---- regserver as a process ---------------------------------------------------

bool RegserverProcess::Start(const std::vector<std::string>& arguments, const std::string& logFile, int umaskBits) {
  log = logFile;
  firstLine.clear();
  int out[2];
  if (pipe(out) != 0) return false;
  pid = fork();
  if (pid == 0) {
    umask(static_cast<mode_t>(umaskBits));
    dup2(out[1], 1);
    close(out[0]);
    FILE* err = std::freopen(logFile.c_str(), "w", stderr);
    (void)err;
    std::vector<std::string> words = {REGSERVER, "serve"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') firstLine += c;
  close(out[0]);
  std::size_t at = firstLine.find("127.0.0.1:");
  if (at == std::string::npos) {
    Stop();
    return false;
  }
  port = std::atoi(firstLine.c_str() + at + 10);
  return true;
}

void RegserverProcess::Stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

int RunRegserver(const std::vector<std::string>& arguments, std::string* output) {
  std::string line = "'" + std::string(REGSERVER) + "' " + Quoted(arguments) + "2>&1";
  FILE* p = popen(line.c_str(), "r");
  char buffer[4096];
  std::size_t got;
  output->clear();
  while ((got = fread(buffer, 1, sizeof buffer, p)) > 0) output->append(buffer, got);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new Postgres);
  LogInit("debug.log", 0);
  signal(SIGPIPE, SIG_IGN);
  umask(077);  // as regserver itself runs
  return RUN_ALL_TESTS();
}
