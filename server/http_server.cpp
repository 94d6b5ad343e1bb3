#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "codec/codec.h"
#include "receiver.h"

namespace {

using Clock = std::chrono::steady_clock;

// One TCP connection, from its accept to its close.
struct Peer {
  int fd = -1;
  sockaddr_storage remote{};  // the sender's address and port
  socklen_t remoteLength = 0;
  std::string address;
  Clock::time_point accepted;
  // Under the peers' lock:
  bool headerDone = false;
  bool settled = false;  // answered, or waiting for its commit: no deadline
  bool cut = false;
};

// One request on a connection.
struct Request {
  Peer* peer = nullptr;
  std::string method, url, agent, sender, announced;
  std::string body;
  bool submitted = false;
  StoreResult outcome = StoreResult::Failed;
};

bool CanonicalLength(const std::string& text) {
  // Digits only: no sign, no blank inside, no leading zero, at most 9.
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  return text == "0" || text[0] != '0';
}

std::string AddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  return text;
}

bool IsAddress(const std::string& text) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

struct HeaderScan {
  int lines = 0;
  std::size_t bytes = 0;
  std::vector<std::string> lengths;
  bool transferEncoding = false;
  std::string agent, realIp;
};

MHD_Result ScanHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* scan = static_cast<HeaderScan*>(cls);
  std::string name = key ? key : "";
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  ++scan->lines;
  scan->bytes += name.size() + (value ? std::char_traits<char>::length(value) : 0) + 4;
  if (name == "content-length") scan->lengths.push_back(value ? value : "");
  if (name == "transfer-encoding") scan->transferEncoding = true;
  if (name == "user-agent") scan->agent = value ? value : "";
  if (name == "x-real-ip") scan->realIp = value ? value : "";
  return MHD_YES;
}

}  // namespace

struct ReceiverServer::Impl {
  Impl(Store& s, const ReceiverOptions& o) : store(s), options(o), committer(s, o.commit) {}

  Store& store;
  ReceiverOptions options;
  Committer committer;
  int listenFd = -1;
  MHD_Daemon* daemon = nullptr;
  std::mutex peersMutex;
  std::unordered_set<Peer*> peers;
  std::atomic<int> inCommit{0};
  std::mutex sweepMutex;
  std::condition_variable sweepWake;
  bool stopping = false;
  std::thread sweeper;

  static void Log(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

  void LogRequest(const Request& r, int status) {
    Log(UtcNow() + " " + LogSafe(r.sender) + " " + LogSafe(r.method) + " " + LogSafe(r.url) + " " +
        std::to_string(status) + " " + (r.announced.empty() ? "-" : LogSafe(r.announced)));
  }

  // Every answer closes the connection: the program sends one request per
  // connection, and an idle connection then holds nothing. A pipelined
  // second request is not read; the close says so.
  MHD_Result Respond(MHD_Connection* connection, Request* r, const Reply& reply) {
    {
      std::lock_guard<std::mutex> lock(peersMutex);
      r->peer->settled = true;
    }
    std::string text = reply.text + "\n";
    MHD_Response* response = MHD_create_response_from_buffer(text.size(), text.data(), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, "Content-Type", "text/plain; charset=utf-8");
    MHD_add_response_header(response, "Connection", "close");
    if (reply.status == 405) MHD_add_response_header(response, "Allow", "POST");
    MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    LogRequest(*r, reply.status);
    return queued;
  }

  // What the request's line and header say, before any of its body is
  // read: a refusal, or nothing.
  bool Admit(MHD_Connection* connection, Request* r, Reply* refusal) {
    HeaderScan scan;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, ScanHeader, &scan);
    r->agent = scan.agent;
    if (!scan.lengths.empty()) r->announced = scan.lengths[0];
    r->sender = r->peer->address;
    if (options.forwarded && (r->sender == "127.0.0.1" || r->sender == "::1") && IsAddress(scan.realIp))
      r->sender = scan.realIp;
    std::size_t bytes = scan.bytes + r->method.size() + r->url.size() + 12;
    if (scan.lines > options.headerLines || bytes > static_cast<std::size_t>(options.headerBytes)) {
      *refusal = {431, "Refused: the request's header is too large"};
      return false;
    }
    if (r->url != options.path) {
      *refusal = {404, "Not found"};
      return false;
    }
    if (r->method != "POST") {
      *refusal = {405, "Registrations are sent with POST"};
      return false;
    }
    // Where two readers could frame the body differently, none does.
    if (scan.transferEncoding) {
      *refusal = scan.lengths.empty() ? Reply{411, "Refused: a registration is sent with its Content-Length"}
                                      : Reply{400, "Refused: Content-Length with Transfer-Encoding"};
      return false;
    }
    if (scan.lengths.empty()) {
      *refusal = {411, "Refused: a registration is sent with its Content-Length"};
      return false;
    }
    if (scan.lengths.size() > 1 || !CanonicalLength(scan.lengths[0])) {
      *refusal = {400, "Refused: the Content-Length is not one plain number"};
      return false;
    }
    if (std::stol(scan.lengths[0]) > kRegistrationBodyMax) {
      *refusal = {413, "Registration refused: the body is longer than any program sends"};
      return false;
    }
    return true;
  }

  MHD_Result Handle(MHD_Connection* connection, const char* url, const char* method, const char* data,
                    std::size_t* size, void** context) {
    auto* r = static_cast<Request*>(*context);
    if (!r) {
      r = new Request;
      *context = r;
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
      r->peer = static_cast<Peer*>(info->socket_context);
      r->method = method;
      r->url = url;
      {
        std::lock_guard<std::mutex> lock(peersMutex);
        r->peer->headerDone = true;
      }
      Reply refusal;
      if (!Admit(connection, r, &refusal)) return Respond(connection, r, refusal);
      return MHD_YES;
    }
    if (*size) {
      // The body never passes its Content-Length, checked above.
      r->body.append(data, *size);
      *size = 0;
      return MHD_YES;
    }
    if (r->submitted) {
      --inCommit;
      return Respond(connection, r, Answer(r->outcome));
    }
    Registration registration;
    Reply refusal;
    if (!Decode(r->body, r->sender, r->url, r->agent, &registration, &refusal)) return Respond(connection, r, refusal);
    // The loop goes on with other connections; the writer resumes this
    // one after the commit.
    r->submitted = true;
    ++inCommit;
    {
      std::lock_guard<std::mutex> lock(peersMutex);
      r->peer->settled = true;
    }
    MHD_suspend_connection(connection);
    bool taken = committer.Submit(std::move(registration), [connection, r](StoreResult outcome) {
      r->outcome = outcome;
      MHD_resume_connection(connection);
    });
    if (!taken) MHD_resume_connection(connection);  // stopping: 503
    return MHD_YES;
  }

  void Notify(MHD_Connection* connection, void** context, MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* peer = new Peer;
      peer->fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
      peer->remoteLength = sizeof peer->remote;
      getpeername(peer->fd, reinterpret_cast<sockaddr*>(&peer->remote), &peer->remoteLength);
      peer->address = AddressText(MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)->client_addr);
      peer->accepted = Clock::now();
      std::lock_guard<std::mutex> lock(peersMutex);
      peers.insert(peer);
      *context = peer;
    } else {
      auto* peer = static_cast<Peer*>(*context);
      std::lock_guard<std::mutex> lock(peersMutex);
      peers.erase(peer);
      delete peer;
    }
  }

  // The clock of every connection: a header not complete after
  // headerMillis, or a request not complete after requestMillis, ends its
  // connection, however steadily its bytes trickle.
  void Sweep() {
    int tick = std::clamp(std::min(options.headerMillis, options.requestMillis) / 10, 10, 250);
    std::unique_lock<std::mutex> wait(sweepMutex);
    while (!stopping) {
      sweepWake.wait_for(wait, std::chrono::milliseconds(tick));
      auto now = Clock::now();
      std::vector<std::string> cuts;
      {
        std::lock_guard<std::mutex> lock(peersMutex);
        for (Peer* p : peers) {
          if (p->settled || p->cut) continue;
          int limit = p->headerDone ? options.requestMillis : options.headerMillis;
          if (now - p->accepted < std::chrono::milliseconds(limit)) continue;
          // Only the connection it was: a descriptor that a new connection
          // got has another sender's address or port.
          sockaddr_storage current{};
          socklen_t length = sizeof current;
          if (getpeername(p->fd, reinterpret_cast<sockaddr*>(&current), &length) == 0 && length == p->remoteLength &&
              std::memcmp(&current, &p->remote, length) == 0)
            shutdown(p->fd, SHUT_RDWR);
          p->cut = true;
          cuts.push_back(UtcNow() + " " + LogSafe(p->address) +
                         " - - closed: " + (p->headerDone ? "the request" : "the header") + " took longer than " +
                         std::to_string(limit) + " ms");
        }
      }
      for (const auto& line : cuts) Log(line);
    }
  }
};

namespace {

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char* data, std::size_t* size, void** context) {
  return static_cast<ReceiverServer::Impl*>(cls)->Handle(connection, url, method, data, size, context);
}

void OnConnection(void* cls, MHD_Connection* connection, void** context, MHD_ConnectionNotificationCode code) {
  static_cast<ReceiverServer::Impl*>(cls)->Notify(connection, context, code);
}

void OnCompleted(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
  delete static_cast<Request*>(*context);
  *context = nullptr;
}

// The library says a line for every connection it refuses: a flood of
// connections would flood the log. At most 20 lines a second; the rest
// are counted.
void OnLibraryMessage(void*, const char* format, va_list values) {
  static std::mutex mutex;
  static Clock::time_point second;
  static int lines = 0, left = 0;
  std::lock_guard<std::mutex> lock(mutex);
  auto now = Clock::now();
  if (now - second >= std::chrono::seconds(1)) {
    if (left) std::fprintf(stderr, "%s regserver: http: %d more messages left out\n", UtcNow().c_str(), left);
    second = now;
    lines = left = 0;
  }
  if (++lines > 20) {
    ++left;
    return;
  }
  char text[512];
  std::vsnprintf(text, sizeof text, format, values);
  std::string line = LogSafe(text);
  while (line.size() >= 4 && line.compare(line.size() - 4, 4, "\\x0A") == 0) line.resize(line.size() - 4);
  std::fprintf(stderr, "%s regserver: http: %s\n", UtcNow().c_str(), line.c_str());
}

}  // namespace

ReceiverServer::ReceiverServer(Store& store, const ReceiverOptions& options)
    : impl_(std::make_unique<Impl>(store, options)) {}

ReceiverServer::~ReceiverServer() {
  Stop();
  if (impl_->listenFd >= 0) close(impl_->listenFd);
}

const Committer& ReceiverServer::committer() const { return impl_->committer; }

int ReceiverServer::Bind(std::string* error) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string port = std::to_string(impl_->options.port);
  if (getaddrinfo(impl_->options.listen.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
    *error = impl_->options.listen + " is not an address to listen on";
    return 0;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  // SO_REUSEADDR only: a restart binds past the old connections' TIME_WAIT,
  // but a port that a listener holds stays its own.
  int yes = 1;
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
            bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 1024) == 0;
  freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (!ok || getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    *error = "cannot listen on " + impl_->options.listen + " port " + port + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return 0;
  }
  impl_->listenFd = fd;
  return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

bool ReceiverServer::Start(std::string* error) {
  Impl& s = *impl_;
  const ReceiverOptions& o = s.options;
  // The header lives in the connection's memory: what does not fit is
  // refused with 431 as it arrives.
  std::size_t memory = static_cast<std::size_t>(o.headerBytes) + 4096;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  s.daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, OnRequest, &s, MHD_OPTION_EXTERNAL_LOGGER, OnLibraryMessage, &s,
      MHD_OPTION_LISTEN_SOCKET, s.listenFd, MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(o.threads),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(o.idleSeconds), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      static_cast<unsigned>(o.perAddress), MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(o.connections),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory, MHD_OPTION_NOTIFY_CONNECTION, OnConnection, &s,
      MHD_OPTION_NOTIFY_COMPLETED, OnCompleted, &s, MHD_OPTION_END);
  if (!s.daemon) {
    *error = "libmicrohttpd did not start";
    return false;
  }
  s.sweeper = std::thread([&s] { s.Sweep(); });
  return true;
}

void ReceiverServer::Stop() {
  Impl& s = *impl_;
  if (!s.daemon) return;
  MHD_quiesce_daemon(s.daemon);
  // What arrived is committed and answered before the loops end.
  s.committer.Stop();
  for (int i = 0; i < 200 && s.inCommit.load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  MHD_stop_daemon(s.daemon);
  s.daemon = nullptr;
  {
    std::lock_guard<std::mutex> lock(s.sweepMutex);
    s.stopping = true;
  }
  s.sweepWake.notify_all();
  if (s.sweeper.joinable()) s.sweeper.join();
}
