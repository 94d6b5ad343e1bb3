// The registration receiver: reads the program's POST back with the
// program's own codec and stores it before it answers "RegSuccess".
#pragma once

#include <string>

#include "store.h"

#include <httplib.h>

struct ReceiverOptions {
  std::string path = "/register";
  std::string listen = "127.0.0.1";
  int port = 8080;
  int threads = 16;
  int timeout = 10;        // seconds a read or a write may wait
  int bodySeconds = 30;    // seconds the whole body may take
  bool forwarded = false;  // behind nginx: the sender is X-Real-IP
};

struct Reply {
  int status;
  std::string text;
};

// One registration body from a sender: what to answer. Only a committed
// row, new or already there, is answered with the word.
Reply Receive(Store& store, const std::string& body, const std::string& sender, const std::string& path,
              const std::string& agent);

// The HTTP server, with a listen queue of its own size: cpp-httplib listens
// with a queue of 5, which drops the connections of a burst of senders
// (their next try comes a second later).
class ReceiverServer : public httplib::Server {
 public:
  bool Backlog(int connections) { return ::listen(svr_sock_, connections) == 0; }
};

// The receiver's routes on a server: POST at the path, 405 for any other
// method there, 404 elsewhere; its limits and time-outs.
void Mount(httplib::Server& server, Store& store, const ReceiverOptions& options);

// Helpers, also for the tests.
std::string Sha256Hex(const std::string& bytes);
std::string UtcNow();
std::string CsvLine(const std::vector<std::string>& values);
// A value as a spreadsheet may safely read it: the profile's texts come
// from anyone, and a text that begins with =, +, -, @, a tab or a carriage
// return is taken for a formula; such a text gets a leading apostrophe.
std::string SpreadsheetSafe(const std::string& value);
