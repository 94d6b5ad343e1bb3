// Group commit: registrations that arrive together are stored in one
// transaction, and each one's outcome is given only after that
// transaction's commit. One thread writes; the HTTP side never waits for
// the database.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "store.h"

struct CommitOptions {
  int rows = 256;             // at most this many in one transaction
  int lingerMicros = 500;     // after the first arrives, wait this long for more
  int maintainMillis = 1000;  // with nothing to commit this long, Store::Maintain
};

class Committer {
 public:
  using Done = std::function<void(StoreResult)>;
  Committer(Store& store, const CommitOptions& options);
  ~Committer();
  Committer(const Committer&) = delete;
  Committer& operator=(const Committer&) = delete;

  // done is called on the writer's thread once the row's transaction
  // ended; false (and done never called) once Stop has begun.
  bool Submit(Registration registration, Done done);
  // Commits what was submitted, then ends the writer.
  void Stop();

  std::uint64_t Commits() const;
  std::uint64_t Rows() const;

 private:
  struct Pending {
    Registration registration;
    Done done;
  };
  void Run();

  Store& store_;
  CommitOptions options_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Pending> queue_;
  bool stopping_ = false;
  std::uint64_t commits_ = 0, rows_ = 0;
  std::thread writer_;
};
