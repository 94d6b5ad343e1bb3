// Load on the registration receiver: COUNT different registrations, made
// by the program's own profile and encoder, posted from CONNECTIONS
// concurrent connections, one request per connection as the program sends
// it. Each must be stored exactly once. With --kill-after N the receiver is
// killed (SIGKILL) once N were confirmed, and started again on the same
// database while the senders retry, as the program would: every
// registration that was answered "RegSuccess" must be in the database.
//   receiver_bench REGSERVER FOLDER [--count N] [--connections N] [--threads N] [--kill-after N]
#include <httplib.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "receiver.h"
#include "register/register.h"
#include "settings.h"
#include "tessel-core.h"

namespace {

using Clock = std::chrono::steady_clock;

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

Server Start(const std::string& regserver, const std::string& db, const std::string& threads, const std::string& log) {
  int out[2];
  if (pipe(out) != 0) std::exit(1);
  Server s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    FILE* err = std::freopen(log.c_str(), "a", stderr);
    (void)err;
    execl(regserver.c_str(), regserver.c_str(), "serve", "--db", db.c_str(), "--port", "0", "--threads",
          threads.c_str(), static_cast<char*>(nullptr));
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: receiver_bench REGSERVER FOLDER [--count N] [--connections N] [--threads N] "
                 "[--kill-after N]\n");
    return 2;
  }
  std::string regserver = argv[1], folder = argv[2];
  int count = 10000, connections = 64, killAfter = 0;
  std::string threads = "16";
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--count") count = std::atoi(argv[i + 1]);
    if (a == "--connections") connections = std::atoi(argv[i + 1]);
    if (a == "--threads") threads = argv[i + 1];
    if (a == "--kill-after") killAfter = std::atoi(argv[i + 1]);
  }
  LogInit("debug.log", 0);
  signal(SIGPIPE, SIG_IGN);
  std::string db = folder + "/bench.sqlite";
  for (const char* end : {"", "-wal", "-shm"}) std::remove((db + end).c_str());

  auto made = Clock::now();
  std::vector<std::string> bodies;
  for (int i = 0; i < count; ++i) bodies.push_back(Body(i));
  std::printf("%d bodies made by the program's encoder in %.1f s (%zu bytes each)\n", count,
              std::chrono::duration<double>(Clock::now() - made).count(), bodies[0].size());

  std::string log = folder + "/regserver.log";
  Server server = Start(regserver, db, threads, log);
  std::atomic<int> port{server.port};
  std::atomic<int> next{0}, confirmed{0}, failures{0};
  std::vector<char> answered(static_cast<std::size_t>(count), 0);
  std::vector<double> latencies(static_cast<std::size_t>(count), 0);
  std::atomic<bool> killed{false};
  std::mutex restart;

  auto start = Clock::now();
  std::vector<std::thread> senders;
  for (int t = 0; t < connections; ++t) {
    senders.emplace_back([&] {
      for (int i; (i = next++) < count;) {
        for (;;) {
          httplib::Client client("127.0.0.1", port.load());
          client.set_keep_alive(false);
          client.set_connection_timeout(5);
          client.set_read_timeout(30);
          auto sent = Clock::now();
          auto res = client.Post("/register", bodies[static_cast<std::size_t>(i)], "");
          if (res && res->status == 200 && res->body.find("RegSuccess") != std::string::npos) {
            latencies[static_cast<std::size_t>(i)] = std::chrono::duration<double>(Clock::now() - sent).count();
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
    server = Start(regserver, db, threads, log);
    port = server.port;
    std::printf("killed the receiver (SIGKILL) after %zu confirmed registrations; started it again\n",
                beforeKill.size());
  }
  for (auto& s : senders) s.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  kill(server.pid, SIGTERM);
  int status = 0;
  waitpid(server.pid, &status, 0);

  std::vector<double> sorted(latencies);
  std::sort(sorted.begin(), sorted.end());
  auto at = [&](double q) { return sorted[static_cast<std::size_t>(q * (sorted.size() - 1))] * 1000; };
  std::printf(
      "%d registrations from %d connections (receiver threads %s) in %.2f s: %.0f/s; latency p50 %.1f ms, "
      "p99 %.1f ms, max %.1f ms; %d attempts without the word\n",
      count, connections, threads.c_str(), seconds, count / seconds, at(0.5), at(0.99), at(1.0), failures.load());

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
  std::printf("database: %ld rows, %zu distinct bodies, %d confirmed registrations missing", rows, hashes.size(),
              missing);
  if (killed) std::printf(" (%d of those confirmed before the kill)", missingBeforeKill);
  std::printf(": %s\n", ok ? "every registration stored exactly once" : "FAILED");
  return ok ? 0 : 1;
}
