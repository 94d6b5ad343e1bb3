// The receiver's HTTP side, on libmicrohttpd: a few event loops hold every
// connection (thousands of slow or idle ones cost memory, not threads), a
// clock cuts a connection whose header or whole request takes too long,
// and each request is checked strictly before its body is read. A
// registration waits for its commit without holding a loop.
#pragma once

#include <memory>
#include <string>

#include "committer.h"
#include "store.h"

struct ReceiverOptions {
  std::string path = "/register";
  std::string listen = "127.0.0.1";
  int port = 8080;
  int threads = 2;            // event loops
  int idleSeconds = 10;       // a connection silent this long is closed
  int headerMillis = 10000;   // the whole header, from the connection's start
  int requestMillis = 30000;  // the whole request, header and body
  int perAddress = 32;        // connections from one address at once (0: any)
  int connections = 10000;    // connections at once
  int headerBytes = 8192;     // request line and header lines together
  int headerLines = 64;       // header lines
  bool forwarded = false;     // behind nginx: the sender is X-Real-IP
  CommitOptions commit;
};

class ReceiverServer {
 public:
  ReceiverServer(Store& store, const ReceiverOptions& options);
  ~ReceiverServer();
  ReceiverServer(const ReceiverServer&) = delete;
  ReceiverServer& operator=(const ReceiverServer&) = delete;

  // Binds the port for this process alone (no SO_REUSEPORT: a port that
  // another process holds is refused) and listens; the port, or 0.
  int Bind(std::string* error);
  bool Start(std::string* error);
  // Takes no more connections, commits and answers what has arrived, ends.
  void Stop();
  const Committer& committer() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
