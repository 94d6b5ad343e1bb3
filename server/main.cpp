// regserver: the maker's receiver of the program's registrations.
//   regserver serve [--db D] [--listen ADDRESS] [--port N] [--path P] ...
//   regserver export --csv [--raw] [--db D]
//   regserver forget EMAIL [--db D]
//   regserver stats [--db D]
#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "receiver.h"
#include "store.h"

namespace {

const char* kUsage =
    "usage: regserver serve [--db FILE|postgresql://...] [--listen ADDRESS] [--port N] [--path /PATH]\n"
    "                       [--threads N] [--timeout SECONDS] [--body-seconds SECONDS] [--forwarded]\n"
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

std::unique_ptr<Store> Open(const std::string& db) {
  std::string error;
  auto store = OpenStore(db, &error);
  if (!store) std::fprintf(stderr, "regserver: %s\n", error.c_str());
  return store;
}

int Serve(const std::string& db, const ReceiverOptions& options) {
  // A sender that hangs up before its reply ends its own request only.
  signal(SIGPIPE, SIG_IGN);
  // The signals are taken by one thread, so that a stop ends the server
  // between requests, never inside a commit.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  auto store = Open(db);
  if (!store) return 1;
  ReceiverServer server;
  Mount(server, *store, options);
  server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    // The body is read by the handler itself: its announced length is logged.
    std::string length = req.get_header_value("Content-Length");
    std::fprintf(stderr, "%s %s %s %s %d %s\n", UtcNow().c_str(), req.remote_addr.c_str(), req.method.c_str(),
                 req.path.c_str(), res.status, length.empty() ? "-" : length.c_str());
  });
  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.listen);
  } else if (!server.bind_to_port(options.listen, port)) {
    port = -1;
  }
  if (port <= 0 || !server.Backlog(1024)) {
    std::fprintf(stderr, "regserver: cannot listen on %s port %d\n", options.listen.c_str(), options.port);
    return 1;
  }
  std::printf("regserver: listening on http://%s:%d%s, database %s\n", options.listen.c_str(), port,
              options.path.c_str(), IsPostgresName(db) ? "PostgreSQL" : db.c_str());
  std::fflush(stdout);
  std::thread stopper([&server, stops] {
    int signal = 0;
    sigwait(&stops, &signal);
    server.stop();
  });
  bool ok = server.listen_after_bind();
  // The server may also end by itself (its socket failed): wake the stopper.
  if (server.is_running() || !ok) kill(getpid(), SIGTERM);
  stopper.join();
  std::fprintf(stderr, "regserver: stopped\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
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
      if (!Number(value("--threads"), 1, 1024, &options.threads)) return Usage("--threads takes 1 to 1024");
    } else if (a == "--timeout") {
      if (!Number(value("--timeout"), 1, 3600, &options.timeout)) return Usage("--timeout takes 1 to 3600");
    } else if (a == "--body-seconds") {
      if (!Number(value("--body-seconds"), 1, 3600, &options.bodySeconds))
        return Usage("--body-seconds takes 1 to 3600");
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
    auto store = Open(db);
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
      std::fprintf(stderr, "regserver: %s\n", error.c_str());
      return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (command == "forget") {
    if (words.size() != 1 || words[0].empty()) return Usage("forget takes one e-mail address");
    auto store = Open(db);
    if (!store) return 1;
    std::string error;
    std::int64_t count = store->Forget(words[0], &error);
    if (count < 0) {
      std::fprintf(stderr, "regserver: %s\n", error.c_str());
      return 1;
    }
    std::printf("regserver: %lld registration%s of %s removed\n", static_cast<long long>(count), count == 1 ? "" : "s",
                words[0].c_str());
    return 0;
  }
  if (command == "stats") {
    if (!words.empty()) return Usage("stats takes no words");
    auto store = Open(db);
    if (!store) return 1;
    std::vector<std::pair<std::string, std::string>> lines;
    std::string error;
    if (!store->Stats(&lines, &error)) {
      std::fprintf(stderr, "regserver: %s\n", error.c_str());
      return 1;
    }
    for (const auto& [name, value] : lines) std::printf("%s: %s\n", name.c_str(), value.c_str());
    return 0;
  }
  return Usage(("unknown command " + command).c_str());
}
