// regserver: the maker's receiver of the program's registrations.
//   regserver serve [--db D] [--listen ADDRESS] [--port N] [--path P] ...
//   regserver export --csv [--raw] [--db D]
//   regserver forget EMAIL [--db D]
//   regserver stats [--db D]
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"
#include "receiver.h"
#include "store.h"

namespace {

const char* kUsage =
    "usage: regserver serve [--db FILE|postgresql://...] [--listen ADDRESS] [--port N] [--path /PATH]\n"
    "                       [--threads N] [--timeout SECONDS] [--header-seconds SECONDS] [--body-seconds SECONDS]\n"
    "                       [--per-address N] [--connections N] [--header-bytes N] [--batch-rows N]\n"
    "                       [--batch-micros N] [--forwarded]\n"
    "       regserver export --csv [--raw] [--db ...]\n"
    "       regserver forget EMAIL [--db ...]\n"
    "       regserver stats [--db ...]\n"
    "The database is registrations.sqlite unless --db names another file or a PostgreSQL connection.\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "regserver: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

bool Number(const char* text, int low, int high, int* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (!*text || *end || v < low || v > high) return false;
  *out = static_cast<int>(v);
  return true;
}

std::unique_ptr<Store> Open(const std::string& db, Access access) {
  std::string error;
  auto store = OpenStore(db, &error, access);
  if (!store) std::fprintf(stderr, "regserver: %s\n", LogSafe(error).c_str());
  return store;
}

int Serve(const std::string& db, const ReceiverOptions& options) {
  // A sender that hangs up before its reply ends its own request only.
  signal(SIGPIPE, SIG_IGN);
  // Every connection is a descriptor: as many as this process may have.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // The signals are taken by one thread, so that a stop ends the server
  // between commits, never inside one.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  auto store = Open(db, Access::Write);
  if (!store) return 1;
  ReceiverServer server(*store, options);
  std::string error;
  int port = server.Bind(&error);
  if (port <= 0 || !server.Start(&error)) {
    std::fprintf(stderr, "regserver: %s\n", error.c_str());
    return 1;
  }
  std::printf("regserver: listening on http://%s:%d%s, database %s\n", options.listen.c_str(), port,
              options.path.c_str(), IsPostgresName(db) ? "PostgreSQL" : db.c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stops, &signal);
  server.Stop();
  std::fprintf(stderr, "regserver: stopped after %llu registrations in %llu commits\n",
               static_cast<unsigned long long>(server.committer().Rows()),
               static_cast<unsigned long long>(server.committer().Commits()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The registrations are personal data: every file this process makes
  // (the database, its log and shared memory) is for its own user alone.
  umask(077);
  if (argc < 2) return Usage(nullptr);
  std::string command = argv[1];
  std::string db = "registrations.sqlite";
  ReceiverOptions options;
  bool csv = false, raw = false;
  std::vector<std::string> words;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        Usage((std::string(name) + " needs a value").c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--db") {
      db = value("--db");
    } else if (a == "--listen") {
      options.listen = value("--listen");
    } else if (a == "--port") {
      if (!Number(value("--port"), 0, 65535, &options.port)) return Usage("--port takes 0 to 65535");
    } else if (a == "--path") {
      options.path = value("--path");
      if (options.path.empty() || options.path[0] != '/') return Usage("--path starts with /");
    } else if (a == "--threads") {
      if (!Number(value("--threads"), 1, 64, &options.threads)) return Usage("--threads takes 1 to 64");
    } else if (a == "--timeout") {
      if (!Number(value("--timeout"), 1, 3600, &options.idleSeconds)) return Usage("--timeout takes 1 to 3600");
    } else if (a == "--header-seconds" || a == "--body-seconds") {
      int seconds = 0;
      if (!Number(value(a.c_str()), 1, 3600, &seconds)) return Usage((a + " takes 1 to 3600").c_str());
      (a == "--header-seconds" ? options.headerMillis : options.requestMillis) = seconds * 1000;
    } else if (a == "--per-address") {
      if (!Number(value("--per-address"), 0, 100000, &options.perAddress))
        return Usage("--per-address takes 0 (any) to 100000");
    } else if (a == "--connections") {
      if (!Number(value("--connections"), 1, 1000000, &options.connections))
        return Usage("--connections takes 1 to 1000000");
    } else if (a == "--header-bytes") {
      if (!Number(value("--header-bytes"), 1024, 65536, &options.headerBytes))
        return Usage("--header-bytes takes 1024 to 65536");
    } else if (a == "--batch-rows") {
      if (!Number(value("--batch-rows"), 1, 10000, &options.commit.rows)) return Usage("--batch-rows takes 1 to 10000");
    } else if (a == "--batch-micros") {
      if (!Number(value("--batch-micros"), 0, 1000000, &options.commit.lingerMicros))
        return Usage("--batch-micros takes 0 to 1000000");
    } else if (a == "--forwarded") {
      options.forwarded = true;
    } else if (a == "--csv") {
      csv = true;
    } else if (a == "--raw") {
      raw = true;
    } else if (a == "--help" || a == "-h") {
      return Usage(nullptr);
    } else if (!a.empty() && a[0] == '-') {
      return Usage(("unknown option " + a).c_str());
    } else {
      words.push_back(a);
    }
  }
  if (command == "serve") {
    if (!words.empty()) return Usage("serve takes no words");
    return Serve(db, options);
  }
  if (command == "export") {
    if (!csv || !words.empty()) return Usage("export writes --csv");
    auto store = Open(db, Access::Read);
    if (!store) return 1;
    std::fputs(CsvLine(ExportColumns()).c_str(), stdout);
    std::string error;
    bool each = store->Each(
        [raw](std::vector<std::string> row) {
          if (!raw)
            for (auto& value : row) value = SpreadsheetSafe(value);
          std::fputs(CsvLine(row).c_str(), stdout);
        },
        &error);
    if (!each) {
      std::fprintf(stderr, "regserver: %s\n", LogSafe(error).c_str());
      return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (command == "forget") {
    if (words.size() != 1 || words[0].empty()) return Usage("forget takes one e-mail address");
    // Forgetting never makes a database: a mistyped --db says so.
    if (!IsPostgresName(db) && access(db.c_str(), F_OK) != 0) {
      std::fprintf(stderr, "regserver: no database %s\n", db.c_str());
      return 1;
    }
    auto store = Open(db, Access::Write);
    if (!store) return 1;
    std::string error;
    std::int64_t count = store->Forget(words[0], &error);
    if (count < 0) {
      std::fprintf(stderr, "regserver: %s\n", LogSafe(error).c_str());
      return 1;
    }
    std::printf("regserver: %lld registration%s of %s removed\n", static_cast<long long>(count), count == 1 ? "" : "s",
                words[0].c_str());
    return 0;
  }
  if (command == "stats") {
    if (!words.empty()) return Usage("stats takes no words");
    auto store = Open(db, Access::Read);
    if (!store) return 1;
    std::vector<std::pair<std::string, std::string>> lines;
    std::string error;
    if (!store->Stats(&lines, &error)) {
      std::fprintf(stderr, "regserver: %s\n", LogSafe(error).c_str());
      return 1;
    }
    for (const auto& [name, value] : lines) std::printf("%s: %s\n", name.c_str(), value.c_str());
    return 0;
  }
  return Usage(("unknown command " + command).c_str());
}
