// What ends an exchange, against the real peers (the e2e scenario net starts
// them and names their ports in TESSEL_PEER_*): a reset is never the end of
// a reply, and HttpClientUntil's deadline bounds the connection, the proxy's
// tunnel and the TLS handshake.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "http.h"
#include "registry.h"
#include "socket.h"
#include "support.h"
#include "tessel-core.h"

namespace {

std::string Peer(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

class NetLimits : public testing::Test {
 protected:
  void SetUp() override {
    if (Peer("TESSEL_PEER_HTTP").empty()) GTEST_SKIP() << "no peers: run through the e2e scenario net";
    MemoryInit(kHeapNoLimit, 0);
    logPath_ = TempPath("netlimits.log");
    StartLog(logPath_, LogFile);
  }
  void TearDown() override {
    if (handle_) {
      SocketClose(handle_);
      SocketDelete(&handle_);
    }
    StopLog();
  }
  std::string Logged() {
    StopLog();
    return LogText(logPath_);
  }
  std::int32_t Request(const std::string& url, std::uint64_t deadline, std::int32_t proxy = 0) {
    handle_ = nullptr;
    return HttpClientUntil(url.c_str(), nullptr, "GET", 0, proxy, deadline, &handle_, header_, sizeof header_,
                           &headerLength_);
  }
  std::string logPath_;
  SocketHandle* handle_ = nullptr;
  char header_[2048] = {};
  std::int32_t headerLength_ = 0;
};

// The user's proxy for a test: the "https=" entry only.
class SecureProxy {
 public:
  explicit SecureProxy(const std::string& server) {
    RegistryCreateKey(&key_, RegistryCurrentUser, kInternetSettingsKey);
    RegistrySetInteger(key_, "ProxyEnable", 1);
    RegistrySetString(key_, "ProxyServer", ("https=" + server).c_str());
  }
  ~SecureProxy() {
    RegistrySetInteger(key_, "ProxyEnable", 0);
    RegistrySetString(key_, "ProxyServer", "");
    RegistryCloseKey(&key_);
  }

 private:
  RegistryKey key_ = kRegistryNoKey;
};

TEST_F(NetLimits, ResetInTheMiddleOfABodyIsNoEnd) {
  // The reply has no length: only the server's orderly close would end it.
  ASSERT_EQ(Request("http://127.0.0.1:" + Peer("TESSEL_PEER_RESET") + "/setup.exe", 0), 1);
  ASSERT_EQ(SocketSendAll(handle_, header_, headerLength_), 1);
  static char buffer[65536];
  std::uint64_t deadline = OsTickCount() + 20000;
  std::int32_t outcome = kHttpReceived;
  std::int32_t count = 0;
  std::int32_t total = 0;
  while ((outcome = HttpReceive(handle_, buffer, sizeof buffer, deadline, &count)) == kHttpReceived) total += count;
  EXPECT_EQ(outcome, kHttpFailed) << "after " << total << " bytes the reset was taken for the end";
  EXPECT_LE(total, 40000 + 19);
  EXPECT_EQ(HttpReceive(handle_, buffer, sizeof buffer, deadline, &count), kHttpFailed) << "asked again";
  std::string log = Logged();
  EXPECT_NE(log.find("Failed to receive (Connection reset by peer)\n"), std::string::npos) << log;
}

TEST_F(NetLimits, OrderlyCloseStaysAnEnd) {
  // The same reply ended in order (the stub closes after the 40,000 bytes of
  // the 100,000 it announced): an end, which the length then refuses.
  ASSERT_EQ(Request("http://127.0.0.1:" + Peer("TESSEL_PEER_CUT") + "/cut", 0), 1);
  ASSERT_EQ(SocketSendAll(handle_, header_, headerLength_), 1);
  static char buffer[65536];
  std::uint64_t deadline = OsTickCount() + 20000;
  std::int32_t outcome = kHttpReceived;
  std::int32_t count = 0;
  while ((outcome = HttpReceive(handle_, buffer, sizeof buffer, deadline, &count)) == kHttpReceived) {
  }
  EXPECT_EQ(outcome, kHttpClosed);
  EXPECT_EQ(HttpReceive(handle_, buffer, sizeof buffer, deadline, &count), kHttpClosed) << "asked again";
}

TEST_F(NetLimits, DeadlineBoundsConnectionTunnelAndHandshake) {
  // Each waits on a peer that never answers, far longer than the deadline:
  // the socket layer's own time-outs are five minutes.
  struct Case {
    const char* what;
    std::string url;
    std::string proxy;
    const char* line;
  } cases[] = {
      {"the connection", "http://127.0.0.1:" + Peer("TESSEL_PEER_FULL") + "/v.txt", "", "Socket connect timeout ("},
      {"the handshake", "https://localhost:" + Peer("TESSEL_PEER_SILENT") + "/v.txt", "",
       "TLS connection to 'localhost' failed (Connection timed out)\n"},
      {"the tunnel", "https://localhost:1/v.txt", "127.0.0.1:" + Peer("TESSEL_PEER_SILENT"),
       "Unable to open a tunnel to 'localhost:1' through the proxy (no reply)\n"},
  };
  for (const Case& c : cases) {
    StartLog(logPath_, LogFile);
    std::optional<SecureProxy> proxy;
    if (!c.proxy.empty()) proxy.emplace(c.proxy);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Request(c.url, OsTickCount() + 1500, proxy ? 1 : 0), 0) << c.what;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    proxy.reset();
    EXPECT_EQ(handle_, nullptr) << c.what;
    EXPECT_GE(seconds, 1.2) << c.what;
    EXPECT_LT(seconds, 10.0) << c.what << " outlasted the deadline";
    std::string log = Logged();
    EXPECT_NE(log.find(c.line), std::string::npos) << c.what << ":\n" << log;
  }
}

TEST_F(NetLimits, HandedOutHandleKeepsTheUsualTimeOuts) {
  ASSERT_EQ(Request("http://127.0.0.1:" + Peer("TESSEL_PEER_HTTP") + "/x", OsTickCount() + 60000), 1);
  EXPECT_EQ(handle_->receiveTimeout, kSocketDefaultTimeout);
  EXPECT_EQ(handle_->sendTimeout, kSocketDefaultTimeout);
}

}  // namespace
