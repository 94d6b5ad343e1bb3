// The receiver's HTTP side in this process: each kind of request answered
// as it should be and at once; slow, idle and crowding connections cut by
// the clock and the per-address bound while an honest registration goes
// through beside them; replies only after the commit, commits grouped.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "http_server.h"
#include "receiver.h"
#include "store.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class Served {
 public:
  Served(const std::string& db, ReceiverOptions options) : db_(db) {
    std::string error;
    store_ = OpenStore(db_, &error);
    EXPECT_TRUE(store_) << error;
    if (!store_) return;
    server_ = std::make_unique<ReceiverServer>(*store_, options);
    port_ = server_->Bind(&error);
    EXPECT_GT(port_, 0) << error;
    EXPECT_TRUE(server_->Start(&error)) << error;
  }
  ~Served() {
    server_.reset();
    store_.reset();
    RemoveDatabase(db_);
  }
  int port() const { return port_; }
  std::size_t Count() {
    std::size_t n = 0;
    std::string error;
    store_->Each([&](const std::vector<std::string>&) { ++n; }, &error);
    return n;
  }
  const Committer& committer() const { return server_->committer(); }

 private:
  std::string db_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<ReceiverServer> server_;
  int port_ = 0;
};

ReceiverOptions TestOptions() {
  ReceiverOptions o;
  o.path = "/viewer/register.php";
  o.headerMillis = 1000;
  o.requestMillis = 2000;
  o.perAddress = 8;
  return o;
}

TEST(Http, AnswersEachFormOfRequestAtOnce) {
  Served served(FreshDatabase("sqlite", "forms"), TestOptions());
  const std::string path = "/viewer/register.php";
  std::string body = ProgramBody(kJane);
  std::string length = std::to_string(body.size());
  auto post = [&](const std::string& header, const std::string& content) {
    return "POST " + path + " HTTP/1.1\r\nHost: x\r\n" + header + "\r\n" + content;
  };
  std::stringstream size;
  size << std::hex << body.size();
  std::string chunked = size.str() + "\r\n" + body + "\r\n0\r\n\r\n";
  std::string lines;
  for (int i = 0; i < 80; ++i) lines += "X-Line-" + std::to_string(i) + ": a\r\n";
  const struct {
    std::string request;
    int status;
    const char* why;
  } cases[] = {
      {ProgramRequest(path, body), 200, "the program's own request"},
      {ProgramRequest(path, body), 200, "its retry: the same registration"},
      {post("Content-Length: " + length + "\r\nContent-Length: " + length + "\r\n", body), 400, "two lengths"},
      {post("Content-Length: " + length + "\r\nContent-Length: 5\r\n", body), 400, "two different lengths"},
      // A registration in chunks, and a length: read either way, it is refused.
      {post("Content-Length: " + length + "\r\nTransfer-Encoding: chunked\r\n", chunked), 400, "length and chunks"},
      {post("Transfer-Encoding: chunked\r\n", "0\r\n\r\n"), 411, "chunks alone"},
      {post("Content-Length: +" + length + "\r\n", body), 400, "a sign"},
      {post("Content-Length: 0" + length + "\r\n", body), 400, "a leading zero"},
      {post("", ""), 411, "no length"},
      {post("Content-Length: 99999\r\n", ""), 413, "longer than any program sends"},
      {post(lines, body), 431, "too many header lines"},
      {post("X-Big: " + std::string(20000, 'a') + "\r\n", body), 431, "a header too large"},
      {"PUT " + path + " HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n", 405, "PUT, its body never sent"},
      {"PATCH " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", 405, "PATCH"},
      {"TRACE " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", 405, "TRACE"},
      {"GET " + path + " HTTP/1.0\r\n\r\n", 405, "GET"},
      {"POST /viewer/registerXphp HTTP/1.0\r\nContent-Length: " + length + "\r\n\r\n" + body, 404, "another path"},
      {ProgramRequest(path, body.substr(1)), 400, "a damaged body"},
  };
  for (const auto& c : cases) {
    auto [reply, seconds] = Exchange(served.port(), c.request, 3);
    EXPECT_EQ(Status(reply), c.status) << c.why << ": " << reply;
    EXPECT_LT(seconds, 1.0) << c.why << ": not at once";
    EXPECT_NE(reply.find("Connection: close"), std::string::npos) << c.why;
    EXPECT_EQ(reply.find("RegSuccess") != std::string::npos, c.status == 200) << c.why;
    if (c.status == 405) {
      EXPECT_NE(reply.find("Allow: POST"), std::string::npos) << c.why;
    }
  }
  EXPECT_EQ(served.Count(), 1u);

  // Two requests in one write: the first is answered, and the close that
  // follows says that the second was not read. Nothing is answered twice,
  // nothing stored unanswered.
  std::string other = ProgramBody(kJoan);
  std::string second = ProgramBody(kJoan, "Editor");
  std::string pipelined = post("Content-Length: " + std::to_string(other.size()) + "\r\n", other) +
                          post("Content-Length: " + std::to_string(second.size()) + "\r\n", second);
  auto [reply, seconds] = Exchange(served.port(), pipelined, 3);
  EXPECT_EQ(Status(reply), 200) << reply;
  EXPECT_LT(seconds, 1.0) << "the connection must be closed after the first answer";
  EXPECT_EQ(reply.find("HTTP/1.", 5), std::string::npos) << reply;
  EXPECT_EQ(served.Count(), 2u);
}

// A slow-header and an idle flood from many addresses: the honest sender
// is confirmed beside them at once, and the clock ends the flood however
// steadily it trickles.
class Flood : public testing::TestWithParam<const char*> {};

TEST_P(Flood, AnHonestRegistrationGoesThroughBesideSlowAndIdleConnections) {
  if (std::string(GetParam()) == "postgres" && TestPostgres::uri.empty())
    GTEST_SKIP() << "PostgreSQL: " << TestPostgres::why;
  ReceiverOptions options = TestOptions();
  options.idleSeconds = 30;  // only the clock can end them in time
  options.threads = 1;
  Served served(FreshDatabase(GetParam(), "flood"), options);
  std::vector<int> slow, idle;
  for (int i = 0; i < 160; ++i) {
    std::string from = "127.0.1." + std::to_string(1 + i / 8);
    int fd = Connect(served.port(), from.c_str());
    ASSERT_GE(fd, 0);
    (i % 2 ? idle : slow).push_back(fd);
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    std::string header = "POST /viewer/register.php HTTP/1.1\r\nHost: x\r\nX-Slow: ";
    for (std::size_t at = 0; trickling; ++at) {
      for (int fd : slow) send(fd, at < header.size() ? &header[at] : "a", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  auto start = Clock::now();
  auto [reply, seconds] = Exchange(served.port(), ProgramRequest("/viewer/register.php", ProgramBody(kJane)), 5);
  EXPECT_NE(reply.find("RegSuccess"), std::string::npos) << reply;
  EXPECT_LT(seconds, 1.0);
  // One more from this address than it may hold is refused at once.
  std::vector<int> crowd;
  for (int i = 0; i < 9; ++i) crowd.push_back(Connect(served.port(), "127.0.2.1"));
  EXPECT_TRUE(Closed(crowd.back(), 500)) << "the ninth connection of one address";
  EXPECT_FALSE(Closed(crowd.front(), 0));
  // The header's clock (1 s here) has ended every slow and idle one.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500) - (Clock::now() - start));
  int open = 0;
  for (int fd : slow) open += Closed(fd, 200) ? 0 : 1;
  for (int fd : idle) open += Closed(fd, 200) ? 0 : 1;
  EXPECT_EQ(open, 0) << "connections still open after the header's time";
  trickling = false;
  trickle.join();
  for (int fd : slow) close(fd);
  for (int fd : idle) close(fd);
  for (int fd : crowd) close(fd);
  EXPECT_EQ(served.Count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, Flood, testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

TEST(Http, ABodyThatTricklesIsCutByTheRequestsClock) {
  Served served(FreshDatabase("sqlite", "trickle"), TestOptions());
  std::string body = ProgramBody(kJoan);
  std::string request = ProgramRequest("/viewer/register.php", body);
  int fd = Connect(served.port());
  std::size_t headerEnd = request.find("\r\n\r\n") + 4;
  send(fd, request.data(), headerEnd, MSG_NOSIGNAL);
  auto start = Clock::now();
  bool closed = false;
  for (std::size_t at = headerEnd; at < request.size() && !closed; at += 5) {
    send(fd, request.data() + at, std::min<std::size_t>(5, request.size() - at), MSG_NOSIGNAL);
    closed = Closed(fd, 150);
  }
  EXPECT_TRUE(closed);
  EXPECT_LT(Since(start), 3.0) << "the request's clock is 2 s";
  close(fd);
  EXPECT_EQ(served.Count(), 0u);
}

TEST(Http, RegistrationsArrivingTogetherAreCommittedTogether) {
  ReceiverOptions options = TestOptions();
  options.perAddress = 0;
  options.commit.lingerMicros = 20000;
  Served served(FreshDatabase("sqlite", "group"), options);
  std::vector<std::string> bodies;
  for (int i = 0; i < 40; ++i) {
    std::string email = "p" + std::to_string(i) + "@example.com";
    Person p = {"Pat", email.c_str(), kNoNews};
    bodies.push_back(ProgramBody(p));
  }
  std::atomic<int> confirmed{0};
  std::vector<std::thread> senders;
  for (const auto& body : bodies)
    senders.emplace_back([&, body] {
      auto [reply, seconds] = Exchange(served.port(), ProgramRequest("/viewer/register.php", body), 5);
      if (reply.find("RegSuccess") != std::string::npos) ++confirmed;
    });
  for (auto& t : senders) t.join();
  EXPECT_EQ(confirmed.load(), 40);
  EXPECT_EQ(served.Count(), 40u);
  EXPECT_LT(served.committer().Commits(), 20u) << "one commit per registration";
}

// A store whose commit waits for the test.
class GateStore : public Store {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    gate_.notify_all();
  }
  std::vector<std::size_t> Batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }
  bool Each(const std::function<void(const std::vector<std::string>&)>&, std::string*) override { return true; }
  std::int64_t Forget(const std::string&, std::string*) override { return 0; }
  bool Stats(std::vector<std::pair<std::string, std::string>>*, std::string*) override { return true; }

 protected:
  bool InsertAll(const std::vector<const Registration*>& rows, std::vector<StoreResult>* outcomes,
                 std::string*) override {
    std::unique_lock<std::mutex> lock(mutex_);
    batches_.push_back(rows.size());
    gate_.wait(lock, [this] { return open_; });
    outcomes->assign(rows.size(), StoreResult::Stored);
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable gate_;
  bool open_ = false;
  std::vector<std::size_t> batches_;
};

TEST(Committer, AnswersOnlyAfterTheCommitAndGroupsWhatWaits) {
  GateStore store;
  CommitOptions options;
  options.lingerMicros = 0;
  Committer committer(store, options);
  std::atomic<int> done{0};
  auto count = [&](StoreResult outcome) {
    if (outcome == StoreResult::Stored) ++done;
  };
  ASSERT_TRUE(committer.Submit(Registration{}, count));
  while (store.Batches().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(committer.Submit(Registration{}, count));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(done.load(), 0) << "answered before its commit";
  store.Open();
  committer.Stop();
  EXPECT_EQ(done.load(), 10);
  EXPECT_EQ(store.Batches(), (std::vector<std::size_t>{1, 9}));
  EXPECT_FALSE(committer.Submit(Registration{}, count)) << "taken after the stop";
}

}  // namespace
