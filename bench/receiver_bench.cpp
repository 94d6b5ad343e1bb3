// Load on the registration receiver. COUNT different registrations, made
// by the program's own profile and encoder, are first written by a bare
// loop into a SQLite file of the same settings, 64 rows a commit (the
// database's own rate on this disk), then posted to regserver from
// CONNECTIONS concurrent connections, one request per connection as the
// program sends it: both rates, their ratio and the latencies are printed.
// Each registration must be stored exactly once.
// With --slow N, N connections that send one header byte every 5 s are
// held open (from many addresses of 127.0.0.0/8; one that is cut comes
// back) while honest registrations are timed beside them.
// With --kill-after N the receiver is killed (SIGKILL) once N were
// confirmed, and started again on the same database while the senders
// retry, as the program would: every registration that was answered
// "RegSuccess" must be in the database.
//   receiver_bench REGSERVER FOLDER [--count N] [--connections N] [--slow N] [--kill-after N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "receiver.h"
#include "store.h"
// The receiver's row, by a name that the program's record does not hide.
using Row = Registration;
#include "register/register.h"
#include "settings.h"
#include "tessel-core.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Body(int i) {
  RegistrationClear();
  std::snprintf(Registration.FirstName, sizeof Registration.FirstName, "Person%05d", i);
  std::strcpy(Registration.LastName, "Doe");
  std::strcpy(Registration.Address, "12 Harbour Road");
  std::strcpy(Registration.City, "Portsmouth");
  std::strcpy(Registration.State, "NH");
  std::strcpy(Registration.Country, "USA");
  std::strcpy(Registration.Zip, "03801");
  std::snprintf(Registration.Email, sizeof Registration.Email, "person%05d@example.com", i);
  std::strcpy(Registration.Phone, "555-123-4567");
  std::strcpy(Registration.HowFound, "A friend told me");
  Registration.ListServer = ListServerNo;
  static InstallSettings settings;
  settings = InstallSettings{};
  settings.Mode = RunModeRegister;
  std::strcpy(settings.Text, "REG");
  std::strcpy(settings.CompanyName, "Acme");
  std::strcpy(settings.ProductName, "Viewer");
  std::strcpy(settings.ProductVersion, "2.4");
  std::vector<char> profile(kProfileBuffer);
  std::int32_t n = 0;
  RegistrationProfile(&settings, "Acme Viewer 2.4", profile.data(), &n);
  RegistrationScramble(reinterpret_cast<unsigned char*>(profile.data()), n);
  std::vector<char> body(2 * static_cast<std::size_t>(n));
  std::int32_t total = 0;
  RegistrationBody(reinterpret_cast<unsigned char*>(profile.data()), n, body.data(), &total);
  return std::string(body.data(), static_cast<std::size_t>(total));
}

struct Server {
  pid_t pid = -1;
  int port = 0;
};

Server Start(const std::string& regserver, const std::string& db, const std::string& log) {
  int out[2];
  if (pipe(out) != 0) std::exit(1);
  Server s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    FILE* err = std::freopen(log.c_str(), "a", stderr);
    (void)err;
    // The 64 senders share 127.0.0.1.
    execl(regserver.c_str(), regserver.c_str(), "serve", "--db", db.c_str(), "--port", "0", "--per-address", "256",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  std::size_t at = line.find("127.0.0.1:");
  if (at == std::string::npos) {
    std::fprintf(stderr, "regserver did not start: %s\n", line.c_str());
    std::exit(1);
  }
  s.port = std::atoi(line.c_str() + at + 10);
  return s;
}

int Connect(int port, const char* from = nullptr) {
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

// The program's request on a connection of its own: whether the reply
// holds the word.
bool Post(int port, const std::string& body) {
  int s = Connect(port);
  if (s < 0) return false;
  timeval wait{30, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string request =
      "POST /register HTTP/1.0\r\nUser-Agent: Quillon Register Uninstall (bench)\r\n"
      "Host: 127.0.0.1\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\nConnection: closed\r\n\r\n" + body;
  bool sent = send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  std::string reply;
  char buffer[1024];
  ssize_t got;
  while (sent && (got = recv(s, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(got));
  close(s);
  return reply.find("RegSuccess") != std::string::npos;
}

// The database's own rate: the same rows through the same store, 64 a
// commit, and one a commit for a while.
void BareLoop(const std::vector<std::string>& bodies, const std::string& folder, double* batched, double* single) {
  std::string db = folder + "/bare.sqlite";
  for (const char* end : {"", "-wal", "-shm"}) std::remove((db + end).c_str());
  std::string error;
  auto store = OpenSqliteStore(db, Access::Write, &error);
  if (!store) {
    std::fprintf(stderr, "bare loop: %s\n", error.c_str());
    std::exit(1);
  }
  std::vector<Row> rows(bodies.size());
  Reply refusal;
  for (std::size_t i = 0; i < bodies.size(); ++i)
    Decode(bodies[i], "127.0.0.1", "/register", "bench", &rows[i], &refusal);
  auto start = Clock::now();
  for (std::size_t i = 0; i < rows.size(); i += 64) {
    std::vector<const Row*> batch;
    for (std::size_t k = i; k < std::min(rows.size(), i + 64); ++k) batch.push_back(&rows[k]);
    store->InsertBatch(batch, &error);
  }
  *batched = static_cast<double>(rows.size()) / Seconds(Clock::now() - start);
  for (auto& r : rows) r.bodyHash += "-single";
  std::size_t n = std::min<std::size_t>(rows.size(), 500);
  start = Clock::now();
  for (std::size_t i = 0; i < n; ++i) store->Insert(rows[i], &error);
  *single = static_cast<double>(n) / Seconds(Clock::now() - start);
  store.reset();
  for (const char* end : {"", "-wal", "-shm"}) std::remove((db + end).c_str());
}

long ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word)
    if (word == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
  return 0;
}

// N connections that send one byte of a header every 5 s, from addresses
// 127.0.1.1 on, 20 to an address; while they are held, honest
// registrations one after another: the slowest one's seconds.
void SlowFlood(int port, pid_t server, int slow, const std::vector<std::string>& honest) {
  const std::string header = "POST /register HTTP/1.1\r\nHost: x\r\nX-Slow: ";
  struct Slow {
    int fd = -1;
    std::size_t sent = 0;
    std::string from;
  };
  std::vector<Slow> flood(static_cast<std::size_t>(slow));
  std::atomic<bool> holding{true};
  std::atomic<int> open{0}, cut{0};
  std::thread holder([&] {
    for (int i = 0; i < slow; ++i) flood[static_cast<std::size_t>(i)].from = "127.0.1." + std::to_string(1 + i / 20);
    auto next = Clock::now();
    while (holding) {
      int now = 0;
      for (auto& s : flood) {
        if (s.fd >= 0) {
          char c;
          if (recv(s.fd, &c, 1, MSG_DONTWAIT) == 0 ||
              (Clock::now() >= next &&
               send(s.fd, s.sent < header.size() ? &header[s.sent] : "a", 1, MSG_NOSIGNAL) < 0)) {
            close(s.fd);
            s.fd = -1;
            ++cut;
          } else if (Clock::now() >= next) {
            ++s.sent;
          }
        }
        if (s.fd < 0) {
          s.fd = Connect(port, s.from.c_str());
          s.sent = 0;
        }
        now += s.fd >= 0;
      }
      open = now;
      if (Clock::now() >= next) next = Clock::now() + std::chrono::seconds(5);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& s : flood)
      if (s.fd >= 0) close(s.fd);
  });
  while (open.load() < slow) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  long rss = ResidentKilobytes(server);
  double slowest = 0;
  int confirmed = 0;
  int minOpen = slow;
  for (const auto& body : honest) {
    minOpen = std::min(minOpen, open.load());
    auto sent = Clock::now();
    if (Post(port, body)) ++confirmed;
    slowest = std::max(slowest, Seconds(Clock::now() - sent));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  holding = false;
  holder.join();
  std::printf(
      "%d slow connections (one header byte every 5 s; at least %d open at every moment, %d cut by the header's "
      "clock and opened again; receiver's memory %ld kB with all open): %d of %zu honest registrations confirmed, "
      "slowest %.0f ms: %s\n",
      slow, minOpen, cut.load(), rss, confirmed, honest.size(), slowest * 1000,
      confirmed == static_cast<int>(honest.size()) && slowest < 1.0 ? "every one within 1 s" : "NOT within 1 s");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: receiver_bench REGSERVER FOLDER [--count N] [--connections N] [--slow N] [--kill-after N]\n");
    return 2;
  }
  std::string regserver = argv[1], folder = argv[2];
  int count = 10000, connections = 64, killAfter = 0, slow = 0;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--count") count = std::atoi(argv[i + 1]);
    if (a == "--connections") connections = std::atoi(argv[i + 1]);
    if (a == "--kill-after") killAfter = std::atoi(argv[i + 1]);
    if (a == "--slow") slow = std::atoi(argv[i + 1]);
  }
  LogInit("debug.log", 0);
  signal(SIGPIPE, SIG_IGN);
  umask(077);  // as regserver runs
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  std::string db = folder + "/bench.sqlite";
  for (const char* end : {"", "-wal", "-shm"}) std::remove((db + end).c_str());

  auto made = Clock::now();
  std::vector<std::string> bodies;
  for (int i = 0; i < count; ++i) bodies.push_back(Body(i));
  std::printf("%d bodies made by the program's encoder in %.1f s (%zu bytes each)\n", count,
              Seconds(Clock::now() - made), bodies[0].size());
  double batched = 0, single = 0;
  if (killAfter == 0) {
    BareLoop(bodies, folder, &batched, &single);
    std::printf("bare loop on this disk: %.0f rows/s at 64 rows a commit, %.0f rows/s at one row a commit\n", batched,
                single);
  }

  std::string log = folder + "/regserver.log";
  Server server = Start(regserver, db, log);
  std::atomic<int> port{server.port};
  std::atomic<int> next{0}, confirmed{0}, failures{0};
  std::vector<char> answered(static_cast<std::size_t>(count), 0);
  std::vector<double> latencies(static_cast<std::size_t>(count), 0);
  bool killed = false;

  auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int t = 0; t < connections; ++t) {
    senders.emplace_back([&] {
      for (int i; (i = next++) < count;) {
        for (;;) {
          auto sent = Clock::now();
          if (Post(port.load(), bodies[static_cast<std::size_t>(i)])) {
            latencies[static_cast<std::size_t>(i)] = Seconds(Clock::now() - sent);
            answered[static_cast<std::size_t>(i)] = 1;
            ++confirmed;
            break;
          }
          // No word: the program tries again, directly.
          ++failures;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }
    });
  }
  std::set<int> beforeKill;
  if (killAfter > 0) {
    while (confirmed.load() < killAfter) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(server.pid, SIGKILL);
    int status = 0;
    waitpid(server.pid, &status, 0);
    for (int i = 0; i < count; ++i)
      if (answered[static_cast<std::size_t>(i)]) beforeKill.insert(i);
    killed = true;
    server = Start(regserver, db, log);
    port = server.port;
    std::printf("killed the receiver (SIGKILL) after %zu confirmed registrations; started it again\n",
                beforeKill.size());
  }
  for (auto& s : senders) s.join();
  double seconds = Seconds(Clock::now() - start);

  std::vector<double> sorted(latencies);
  std::sort(sorted.begin(), sorted.end());
  auto at = [&](double q) { return sorted[static_cast<std::size_t>(q * (sorted.size() - 1))] * 1000; };
  double rate = count / seconds;
  std::printf(
      "regserver: %d registrations from %d connections in %.2f s: %.0f/s; latency p50 %.1f ms, p99 %.1f ms, max "
      "%.1f ms; %d attempts without the word\n",
      count, connections, seconds, rate, at(0.5), at(0.99), at(1.0), failures.load());
  if (!killed)
    std::printf("regserver / bare loop at 64 rows a commit: %.2f (goal 0.5), p99 %.1f ms (goal under 100): %s\n",
                rate / batched, at(0.99), rate / batched >= 0.5 && at(0.99) < 100 ? "goal met" : "goal NOT met");

  if (slow > 0) {
    std::vector<std::string> honest;
    for (int i = 0; i < 60; ++i) honest.push_back(Body(count + i));
    SlowFlood(port.load(), server.pid, slow, honest);
    count += 60;
    for (auto& b : honest) bodies.push_back(b);
  }
  kill(server.pid, SIGTERM);
  int status = 0;
  waitpid(server.pid, &status, 0);

  // The database itself: every body once, every confirmed one there.
  sqlite3* s = nullptr;
  sqlite3_open_v2(db.c_str(), &s, SQLITE_OPEN_READONLY, nullptr);
  std::set<std::string> hashes;
  long rows = 0;
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(s, "SELECT body_hash FROM registrations", -1, &q, nullptr);
  while (sqlite3_step(q) == SQLITE_ROW) {
    ++rows;
    hashes.insert(reinterpret_cast<const char*>(sqlite3_column_text(q, 0)));
  }
  sqlite3_finalize(q);
  sqlite3_close(s);
  int missing = 0, missingBeforeKill = 0;
  for (int i = 0; i < count; ++i) {
    if (!hashes.count(Sha256Hex(bodies[static_cast<std::size_t>(i)]))) {
      ++missing;
      if (beforeKill.count(i)) ++missingBeforeKill;
    }
  }
  bool ok = rows == count && static_cast<long>(hashes.size()) == rows && missing == 0 && missingBeforeKill == 0;
  std::printf("database: %ld rows, %zu distinct bodies, %d registrations missing", rows, hashes.size(), missing);
  if (killed) std::printf(" (%d of those confirmed before the kill)", missingBeforeKill);
  std::printf(": %s\n", ok ? "every registration stored exactly once" : "FAILED");
  return ok ? 0 : 1;
}
