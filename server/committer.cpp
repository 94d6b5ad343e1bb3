#include "committer.h"

#include <cstdio>

#include "receiver.h"

Committer::Committer(Store& store, const CommitOptions& options) : store_(store), options_(options) {
  writer_ = std::thread([this] { Run(); });
}

Committer::~Committer() { Stop(); }

bool Committer::Submit(Registration registration, Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    queue_.push_back({std::move(registration), std::move(done)});
  }
  arrived_.notify_one();
  return true;
}

void Committer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  arrived_.notify_one();
  if (writer_.joinable()) writer_.join();
}

std::uint64_t Committer::Commits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commits_;
}

std::uint64_t Committer::Rows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_;
}

void Committer::Run() {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  bool written = false;
  const auto rows = static_cast<std::size_t>(options_.rows);
  for (;;) {
    bool arrival = arrived_.wait_for(lock, std::chrono::milliseconds(options_.maintainMillis),
                                     [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) {
      if (stopping_) break;
      if (!arrival && written) {
        written = false;
        lock.unlock();
        store_.Maintain();
        lock.lock();
      }
      continue;
    }
    // The senders of a burst arrive within a fraction of a millisecond of
    // each other: a short wait makes one commit of them.
    if (options_.lingerMicros > 0 && queue_.size() < rows && !stopping_)
      arrived_.wait_until(lock, Clock::now() + std::chrono::microseconds(options_.lingerMicros),
                          [&] { return stopping_ || queue_.size() >= rows; });
    std::deque<Pending> batch;
    while (!queue_.empty() && batch.size() < rows) {
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    lock.unlock();
    std::vector<const Registration*> pointers;
    for (const auto& p : batch) pointers.push_back(&p.registration);
    std::string error;
    std::vector<StoreResult> outcomes = store_.InsertBatch(pointers, &error);
    bool failed = false;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      failed = failed || outcomes[i] == StoreResult::Failed;
      batch[i].done(outcomes[i]);
    }
    if (failed) std::fprintf(stderr, "regserver: not stored: %s\n", LogSafe(error).c_str());
    lock.lock();
    ++commits_;
    rows_ += batch.size();
    written = true;
  }
}
