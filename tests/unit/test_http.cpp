// The HTTP request client: its text steps on their own, then whole
// requests. The Net cases talk to real peers on 127.0.0.1 (nginx, tinyproxy
// and a stub server) whose ports the test run passes in TESSEL_PEER_*; they
// are skipped when no peers were started.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http.h"
#include "register/register.h"
#include "settings.h"
#include "update/update.h"
#include "registry.h"
#include "socket.h"
#include "support.h"
#include "tessel-core.h"

namespace {

TEST(HttpText, SiteAndPath) {
  struct Case {
    const char* url;
    const char* site;
    const char* path;
  } cases[] = {
      {"http://h:81/p/q.txt?x=1", "http://h/", "/p/q.txt?x=1"},
      {"http://h:81", "http://h/", ""},
      {"http://h", "http://h", ""},
      {"http://h/", "http://h/", "/"},
      {"HTTP://h:81/x", "HTTP://h/", "/x"},
      {"http://u:pw@h:81/x", "http://h/", "/x"},  // the user is never shown
      {"http://h/a:b", "http://h/", "/a:b"},
      {"http://[::1]:81/x", "http://[::1]/", "/x"},
  };
  for (const Case& c : cases) {
    char site[kHttpTextRoom];
    char path[kHttpTextRoom];
    ASSERT_EQ(HttpSplitUrl(c.url, site, path), 1) << c.url;
    EXPECT_STREQ(site, c.site) << c.url;
    EXPECT_STREQ(path, c.path) << c.url;
  }
  for (const char* url : {"h/x/y", "h:81/x", "http://h x/"}) {
    char site[kHttpTextRoom] = "x";
    char path[kHttpTextRoom] = "x";
    EXPECT_EQ(HttpSplitUrl(url, site, path), 0) << url;
    EXPECT_STREQ(site, "") << url;
    EXPECT_STREQ(path, "") << url;
  }
}

TEST(HttpText, HostLineValue) {
  struct Case {
    const char* url;
    const char* host;
  } cases[] = {
      {"http://h:81/p/q.txt?x=1", "h:81"},
      {"http://h/x", "h"},
      {"http://h", "h"},
      {"http://user:pw@h:81/x", "h:81"},
      {"http://h:/x", "h"},
      {"http://[::1]:81/x", "[::1]:81"},
      {"http://www.example.com/a:b", "www.example.com"},
  };
  for (const Case& c : cases) {
    char host[kHttpTextRoom];
    ASSERT_EQ(HttpHostValue(c.url, host), 1) << c.url;
    EXPECT_STREQ(host, c.host) << c.url;
  }
}

TEST(HttpText, HostNameThatTlsVerifies) {
  struct Case {
    const char* url;
    const char* name;
  } cases[] = {
      {"https://h:8443/p", "h"},
      {"https://user:pw@www.example.com/x", "www.example.com"},
      {"https://h", "h"},
      {"https://[::1]:8443/", "::1"},
  };
  for (const Case& c : cases) {
    char name[kHttpTextRoom];
    ASSERT_EQ(HttpHostName(c.url, name), 1) << c.url;
    EXPECT_STREQ(name, c.name) << c.url;
  }
}

TEST(HttpText, ProxyFromTheSetting) {
  struct Case {
    const char* setting;
    const char* proxy;
  } cases[] = {
      {"ftp=f:21;http=p:81;https=s:443", "p:81"},
      {"p:3128", "p:3128"},
      {"HTTP=p:82", "p:82"},
      {"https=s:443;http=p:83", "p:83"},
      {"ftp=f:21;gopher=g:70", "ftp=f:21"},  // no http entry: the whole value up to ';'
      {"http=", ""},
  };
  for (const Case& c : cases) {
    char proxy[kHttpTextRoom];
    HttpProxyFromSetting(c.setting, proxy, sizeof proxy);
    EXPECT_STREQ(proxy, c.proxy) << c.setting;
  }
  // A secure connection takes the list's https entry when there is one.
  Case secure[] = {
      {"ftp=f:21;http=p:81;https=s:443", "s:443"},
      {"HTTPS=s:444;http=p:81", "s:444"},
      {"http=p:81;ftp=f:21", "p:81"},
      {"p:3128", "p:3128"},
  };
  for (const Case& c : secure) {
    char proxy[kHttpTextRoom];
    HttpProxyFromSetting(c.setting, proxy, sizeof proxy, true);
    EXPECT_STREQ(proxy, c.proxy) << c.setting;
  }
  char small[4];
  HttpProxyFromSetting("p:3128", small, sizeof small);
  EXPECT_STREQ(small, "p:3");
}

TEST(HttpText, HeaderLinesInTheirOrder) {
  struct Case {
    const char* target;
    const char* agent;
    std::int32_t length;
    const char* header;
  } cases[] = {
      {"/p/q.txt?x=1", "UA", 0,
       "GET /p/q.txt?x=1 HTTP/1.0\r\nUser-Agent: UA\r\nHost: h:81\r\nConnection: closed\r\n\r\n"},
      {"", nullptr, 0, "GET / HTTP/1.0\r\nHost: h:81\r\nConnection: closed\r\n\r\n"},
      {"/r", nullptr, -5, "GET /r HTTP/1.0\r\nHost: h:81\r\nConnection: closed\r\n\r\n"},
      {"http://h:81/p", "UA", 42,
       "GET http://h:81/p HTTP/1.0\r\nUser-Agent: UA\r\nHost: h:81\r\nContent-Length: 42\r\nConnection: "
       "closed\r\n\r\n"},
  };
  for (const Case& c : cases) {
    char header[512];
    std::int32_t length = -1;
    ASSERT_EQ(HttpComposeHeader("GET", c.target, c.agent, "h:81", c.length, header, sizeof header, &length), 1);
    EXPECT_STREQ(header, c.header);
    EXPECT_EQ(length, static_cast<std::int32_t>(std::strlen(c.header)));
  }
  const char* whole = "POST / HTTP/1.0\r\nHost: h\r\nConnection: closed\r\n\r\n";
  char header[64];
  std::int32_t length = -1;
  std::int32_t exact = static_cast<std::int32_t>(std::strlen(whole)) + 1;
  EXPECT_EQ(HttpComposeHeader("POST", "/", nullptr, "h", 0, header, exact, &length), 1);
  EXPECT_EQ(HttpComposeHeader("POST", "/", nullptr, "h", 0, header, exact - 1, &length), 0)
      << "a header without room for its terminator is refused, never cut";
}

// ---- whole requests ---------------------------------------------------------

class HttpRequest : public testing::Test {
 protected:
  void SetUp() override {
    MemoryInit(kHeapNoLimit, 0);
    logPath_ = TempPath("http.log");
    StartLog(logPath_, LogFile);
    blocks_ = MemoryStatistics().blockCount;
  }
  void TearDown() override {
    StopLog();
    EXPECT_EQ(MemoryStatistics().blockCount, blocks_) << "a handle was left behind";
  }
  std::string Logged() {
    StopLog();
    return LogText(logPath_);
  }
  std::int32_t Request(const std::string& url, std::int32_t proxy = 0, const char* agent = nullptr,
                       const char* method = "GET", std::int32_t length = 0) {
    handle_ = nullptr;
    return HttpClient(url.c_str(), agent, method, length, proxy, &handle_, header_, sizeof header_, &headerLength_);
  }
  std::string logPath_;
  std::int32_t blocks_ = 0;
  SocketHandle* handle_ = nullptr;
  char header_[2048] = {};
  std::int32_t headerLength_ = 0;
};

TEST_F(HttpRequest, RefusedConnectionLeavesNothingOpen) {
  EXPECT_EQ(Request("http://127.0.0.1:1/x"), 0);
  EXPECT_EQ(handle_, nullptr);
  std::string log = Logged();
  EXPECT_NE(log.find("Contacting 'http://127.0.0.1/' '/x'\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Proxy Disabled (0x00000000) : None\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Unable to connect to machine 127.0.0.1:1 for URL 'http://127.0.0.1:1/x'\n"), std::string::npos)
      << log;
  // The line above is the whole account: no second line says it again.
  EXPECT_EQ(log.find("Failed to connect"), std::string::npos) << log;
}

TEST_F(HttpRequest, UnusableUrlsAreRefusedBeforeAnyConnection) {
  std::string longHost = "http://" + std::string(130, 'h') + "/x";
  EXPECT_EQ(Request(longHost), 0);
  std::string longUrl = "http://127.0.0.1/" + std::string(320 - 17, 'p');
  ASSERT_EQ(longUrl.size(), 320u);
  EXPECT_EQ(Request(longUrl), 0);
  std::string log = Logged();
  EXPECT_NE(log.find("Unable to use URL '" + longHost + "' (not"), std::string::npos) << log;
  EXPECT_NE(log.find("Unable to use URL '" + longUrl + "'"), std::string::npos) << log;
  EXPECT_EQ(log.find("Contacting '" + longUrl.substr(0, 30)), std::string::npos) << log;
}

TEST_F(HttpRequest, UrlsThatAreNotWebAddressesAreRefused) {
  for (const char* url : {"127.0.0.1:1/x", "ftp://127.0.0.1:1/x", "http://127.0.0.1:0/x", "http://127.0.0.1/a b"})
    EXPECT_EQ(Request(url), 0) << url;
  std::string log = Logged();
  EXPECT_EQ(log.find("Contacting"), std::string::npos) << log;
  EXPECT_NE(log.find("Unable to use URL 'ftp://127.0.0.1:1/x' (neither http nor https)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Unable to use URL '127.0.0.1:1/x' (not"), std::string::npos) << log;
}

// ---- against the real peers --------------------------------------------------

int PeerPort(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::atoi(value) : 0;
}

std::string PeerText(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The user's proxy settings, set for a test and put back after it.
class ProxySetting {
 public:
  ProxySetting(std::int32_t enable, const std::string& server) {
    RegistryCreateKey(&key_, RegistryCurrentUser, kInternetSettingsKey);
    hadServer_ = RegistryReadString(key_, "ProxyServer", oldServer_) == kRegistryValueFound;
    if (!RegistryGetInteger(key_, "ProxyEnable", &oldEnable_)) oldEnable_ = 0;
    RegistrySetInteger(key_, "ProxyEnable", enable);
    RegistrySetString(key_, "ProxyServer", server.c_str());
  }
  ~ProxySetting() {
    RegistrySetInteger(key_, "ProxyEnable", oldEnable_);
    RegistrySetString(key_, "ProxyServer", hadServer_ ? oldServer_ : "");
    RegistryCloseKey(&key_);
  }

 private:
  RegistryKey key_ = kRegistryNoKey;
  std::int32_t oldEnable_ = 0;
  char oldServer_[kRegistryBuffer] = {};
  bool hadServer_ = false;
};

class NetPeers : public HttpRequest {
 protected:
  void SetUp() override {
    if (PeerPort("TESSEL_PEER_HTTP") == 0) GTEST_SKIP() << "no peers: run through the e2e scenario net";
    HttpRequest::SetUp();
  }
  void TearDown() override {
    if (PeerPort("TESSEL_PEER_HTTP") == 0) return;
    if (handle_) {
      SocketShutdown(handle_);
      SocketClose(handle_);
      SocketDelete(&handle_);
    }
    HttpRequest::TearDown();
  }
  std::string Url(const char* portName, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(PeerPort(portName)) + path;
  }
  // Sends the header and reads until the peer ends: the whole reply, and
  // whether the last receive was an orderly end rather than a time-out or a
  // receive that kept giving nothing.
  std::string Exchange(std::int32_t* receives = nullptr) {
    EXPECT_EQ(SocketSendAll(handle_, header_, headerLength_), 1);
    static char buffer[1024000];
    std::string reply;
    std::int32_t count = 0;
    std::int32_t calls = 0;
    while (SocketReceive(handle_, buffer, sizeof buffer, &count) == 1) {
      reply.append(buffer, static_cast<std::size_t>(count));
      if (++calls > 100000) break;
    }
    EXPECT_EQ(count, 0);
    if (receives) *receives = calls;
    return reply;
  }
  // The body of a reply that carried all that its Content-Length announced.
  static bool WholeBody(const std::string& reply, std::string* body) {
    std::size_t end = reply.find("\r\n\r\n");
    std::size_t at = reply.find("Content-Length: ");
    if (end == std::string::npos || at == std::string::npos || at > end) return false;
    *body = reply.substr(end + 4);
    return body->size() == std::strtoul(reply.c_str() + at + 16, nullptr, 10);
  }
};

TEST_F(NetPeers, GetReceivesTheWholeFile) {
  std::string url = Url("TESSEL_PEER_HTTP", PeerText("TESSEL_PEER_FILE"));
  ASSERT_EQ(Request(url, 0, "Quillon Update Download Uninstall (www.quillon.example)"), 1) << Logged();
  std::string header(header_, static_cast<std::size_t>(headerLength_));
  EXPECT_EQ(header, "GET " + PeerText("TESSEL_PEER_FILE") +
                        " HTTP/1.0\r\nUser-Agent: Quillon Update Download Uninstall (www.quillon.example)\r\n"
                        "Host: 127.0.0.1:" +
                        PeerText("TESSEL_PEER_HTTP") + "\r\nConnection: closed\r\n\r\n");
  EXPECT_EQ(handle_->remotePort, PeerPort("TESSEL_PEER_HTTP"));
  std::string reply = Exchange();
  ASSERT_EQ(reply.compare(0, 15, "HTTP/1.1 200 OK"), 0) << reply.substr(0, 300);
  std::string body;
  ASSERT_TRUE(WholeBody(reply, &body));
  std::string expected = ReadWholeFile(PeerText("TESSEL_PEER_FILE_COPY"));
  ASSERT_GT(expected.size(), 1000000u);
  EXPECT_TRUE(body == expected) << "the body differs from the served file";
}

// A send that the socket takes only in parts goes on from where the last
// part ended: the peer sends back what reached it, byte for byte.
TEST_F(NetPeers, SendAllGoesOnFromWhereEachPartEnded) {
  std::string body(4 << 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 7 + i / 4093) % 253);
  std::string url = Url("TESSEL_PEER_ECHO", "/echo");
  ASSERT_EQ(Request(url, 0, "echo", "POST", static_cast<std::int32_t>(body.size())), 1) << Logged();
  // Not blocking: the system takes what fits in its buffer and says how much.
  ASSERT_EQ(SocketSetBlocking(handle_, 0), 1);
  ASSERT_EQ(SocketSendAll(handle_, header_, headerLength_), 1);
  ASSERT_EQ(SocketSendAll(handle_, body.data(), static_cast<std::int32_t>(body.size())), 1);
  ASSERT_EQ(SocketSetBlocking(handle_, 1), 1);
  std::string reply;
  static char buffer[65536];
  std::int32_t count = 0;
  while (SocketReceive(handle_, buffer, sizeof buffer, &count) == 1 && count > 0)
    reply.append(buffer, static_cast<std::size_t>(count));
  std::string echoed;
  ASSERT_TRUE(WholeBody(reply, &echoed)) << reply.substr(0, 200);
  EXPECT_TRUE(echoed == body) << "sent " << body.size() << " bytes, the peer got " << echoed.size() << " others";
}

TEST_F(NetPeers, ClosedPortIsRefused) {
  std::string url = Url("TESSEL_PEER_CLOSED", "/x");
  EXPECT_EQ(Request(url), 0);
  std::string log = Logged();
  EXPECT_NE(log.find("Unable to connect to machine 127.0.0.1:" + PeerText("TESSEL_PEER_CLOSED") + " for URL '" + url),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Failed to connect"), std::string::npos) << "said twice: " << log;
}

TEST_F(NetPeers, ThroughTheUsersProxy) {
  std::string proxy = "127.0.0.1:" + PeerText("TESSEL_PEER_PROXY");
  ProxySetting setting(1, "ftp=f:21;http=" + proxy + ";https=s:443");
  std::string url = Url("TESSEL_PEER_HTTP", PeerText("TESSEL_PEER_FILE")) + "?through=proxy";
  ASSERT_EQ(Request(url, 1), 1) << Logged();
  EXPECT_EQ(handle_->remotePort, PeerPort("TESSEL_PEER_PROXY"));
  std::string header(header_, static_cast<std::size_t>(headerLength_));
  EXPECT_EQ(header.substr(0, header.find("\r\n")), "GET " + url + " HTTP/1.0");
  EXPECT_NE(header.find("\r\nHost: 127.0.0.1:" + PeerText("TESSEL_PEER_HTTP") + "\r\n"), std::string::npos);
  std::string body;
  ASSERT_TRUE(WholeBody(Exchange(), &body));
  EXPECT_TRUE(body == ReadWholeFile(PeerText("TESSEL_PEER_FILE_COPY")));
  std::string log = Logged();
  EXPECT_NE(log.find("Proxy Enabled (0x00000001) : " + proxy + "\n"), std::string::npos) << log;
  std::string proxyLog = LogText(PeerText("TESSEL_PEER_PROXY_LOG"));
  EXPECT_NE(proxyLog.find("GET " + url + " HTTP/1.0"), std::string::npos) << proxyLog;
}

TEST_F(NetPeers, UserInformationIsNeverSent) {
  // Through the proxy, whose log holds every request line it was given: the
  // plain URL goes out, the one that carries a user and password does not.
  ProxySetting setting(1, "127.0.0.1:" + PeerText("TESSEL_PEER_PROXY"));
  std::string tail = "/x-user-" + std::to_string(OsTickCount());
  std::string plain = "http://127.0.0.1:" + PeerText("TESSEL_PEER_HTTP") + tail;
  std::string secret = "http://u:p@127.0.0.1:" + PeerText("TESSEL_PEER_HTTP") + tail + "-secret";
  ASSERT_EQ(Request(plain, 1), 1) << Logged();
  Exchange();
  SocketClose(handle_);
  SocketDelete(&handle_);
  EXPECT_EQ(Request(secret, 1), 0);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(Request(secret, 0), 0);  // nor straight to the server
  std::string proxyLog = LogText(PeerText("TESSEL_PEER_PROXY_LOG"));
  EXPECT_NE(proxyLog.find(tail), std::string::npos) << proxyLog;
  EXPECT_EQ(proxyLog.find(tail + "-secret"), std::string::npos) << proxyLog;
  EXPECT_EQ(proxyLog.find("u:p"), std::string::npos) << proxyLog;
  std::string log = Logged();
  EXPECT_EQ(log.find("u:p"), std::string::npos) << "the password reached the log: " << log;
  EXPECT_NE(log.find("Unable to use URL 'http://127.0.0.1/" + tail.substr(1) + "-secret' (it carries a user name"),
            std::string::npos)
      << log;
}

TEST_F(NetPeers, ProxyFlagOrSettingOffConnectsDirectly) {
  ProxySetting setting(0, "127.0.0.1:" + PeerText("TESSEL_PEER_PROXY"));
  std::string url = Url("TESSEL_PEER_HTTP", PeerText("TESSEL_PEER_FILE"));
  ASSERT_EQ(Request(url, 1), 1);
  EXPECT_EQ(handle_->remotePort, PeerPort("TESSEL_PEER_HTTP"));
  SocketClose(handle_);
  SocketDelete(&handle_);
  ASSERT_EQ(Request(url, 0), 1);
  EXPECT_EQ(handle_->remotePort, PeerPort("TESSEL_PEER_HTTP"));
  std::string log = Logged();
  std::size_t first = log.find("Proxy Disabled (0x00000000) : None\n");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("Proxy Disabled (0x00000000) : None\n", first + 1), std::string::npos) << log;
}

TEST_F(NetPeers, UnreachableProxyFailsTheRequest) {
  ProxySetting setting(1, "127.0.0.1:" + PeerText("TESSEL_PEER_CLOSED"));
  EXPECT_EQ(Request(Url("TESSEL_PEER_HTTP", "/x"), 1), 0) << "an enabled proxy is never bypassed here";
  std::string log = Logged();
  EXPECT_NE(log.find("Unable to connect to machine 127.0.0.1:" + PeerText("TESSEL_PEER_CLOSED")), std::string::npos)
      << log;
}

TEST_F(NetPeers, LocalhostResolves) {
  HostAddress host;
  std::memset(&host, 0, sizeof host);
  ASSERT_EQ(HostFromName(&host, "localhost"), 1);
  EXPECT_EQ(host.address[0], 127);
  EXPECT_STRNE(host.name, "");
}

TEST_F(NetPeers, SilentServerEndsInTheReceiveTimeOut) {
  ASSERT_EQ(Request(Url("TESSEL_PEER_SILENT", "/never")), 1);
  handle_->receiveTimeout = 1500;  // the program itself never changes it
  ASSERT_EQ(SocketSendAll(handle_, header_, headerLength_), 1);
  char buffer[256];
  std::int32_t count = -1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketReceive(handle_, buffer, sizeof buffer, &count), 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(count, 0);
  EXPECT_GE(seconds, 1.3);
  EXPECT_LT(seconds, 10.0);
  std::string log = Logged();
  EXPECT_NE(log.find("Socket timeout (1500)\n"), std::string::npos) << log;
}

TEST_F(NetPeers, UnansweredConnectionEndsInTheConnectTimeOut) {
  SocketHandle* handle = nullptr;
  SocketNew(&handle);
  ASSERT_EQ(SocketCreate(handle, ProtocolTcp), 1);
  handle->sendTimeout = 1000;  // the program itself never changes it
  const unsigned char loopback[4] = {127, 0, 0, 1};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketConnect(handle, loopback, PeerPort("TESSEL_PEER_FULL")), 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(handle->remotePort, 0);
  SocketDelete(&handle);
  std::string log = Logged();
  EXPECT_NE(log.find("Socket connect timeout (1000)\n"), std::string::npos) << log;
}

TEST_F(NetPeers, SlowPiecesAddUpToTheWholeBody) {
  ASSERT_EQ(Request(Url("TESSEL_PEER_SLOW", "/slow")), 1);
  handle_->receiveTimeout = 5000;
  std::int32_t receives = 0;
  std::string body;
  ASSERT_TRUE(WholeBody(Exchange(&receives), &body));
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "0123456789abcdef";
  EXPECT_EQ(body, expected);
  EXPECT_GT(receives, 2) << "the pieces came one by one";
}

TEST_F(NetPeers, BodyCutInTheMiddleIsNoSuccess) {
  ASSERT_EQ(Request(Url("TESSEL_PEER_CUT", "/cut")), 1);
  handle_->receiveTimeout = 10000;
  std::string reply = Exchange();
  std::string body;
  EXPECT_FALSE(WholeBody(reply, &body));
  EXPECT_EQ(body.size(), 40000u) << "every byte sent before the cut arrives, and nothing more";
  char buffer[16];
  std::int32_t count = -1;
  EXPECT_EQ(SocketReceive(handle_, buffer, sizeof buffer, &count), 0) << "the end stays an end";
  EXPECT_EQ(count, 0);
}

TEST_F(NetPeers, SecureUrlToAPlainServerIsRefusedAtTheHandshake) {
  // nginx answers the handshake's first bytes with a plain HTTP error page.
  std::string url = "https://127.0.0.1:" + PeerText("TESSEL_PEER_HTTP") + "/versions.txt";
  EXPECT_EQ(Request(url), 0);
  EXPECT_EQ(handle_, nullptr);
  std::string log = Logged();
  EXPECT_NE(log.find("TLS handshake refused by '127.0.0.1' (0x"), std::string::npos) << log;
  EXPECT_NE(log.find("Unable to connect securely to machine 127.0.0.1:" + PeerText("TESSEL_PEER_HTTP") + " for URL '" +
                     url + "'\n"),
            std::string::npos)
      << log;
}

TEST_F(NetPeers, HandshakeWithASilentServerEndsInTheReceiveTimeOut) {
  SocketHandle* handle = nullptr;
  SocketNew(&handle);
  ASSERT_EQ(SocketCreate(handle, ProtocolTcp), 1);
  const unsigned char loopback[4] = {127, 0, 0, 1};
  ASSERT_EQ(SocketConnect(handle, loopback, PeerPort("TESSEL_PEER_SILENT")), 1);
  handle->receiveTimeout = 1000;  // the program itself never changes it
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketSecure(handle, "localhost"), 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 10.0);
  EXPECT_EQ(handle->tls, nullptr);
  char buffer[16];
  std::int32_t count = -1;
  EXPECT_EQ(SocketSend(handle, buffer, sizeof buffer, &count), 1) << "the socket stays open for its owner to close";
  SocketDelete(&handle);
  std::string log = Logged();
  EXPECT_NE(log.find("TLS connection to 'localhost' failed (Connection timed out)\n"), std::string::npos) << log;
}

TEST_F(NetPeers, ProxyThatRefusesTheTunnelFailsTheRequest) {
  // The stub answers every request, CONNECT included, with a 404.
  ProxySetting setting(1, "https=127.0.0.1:" + PeerText("TESSEL_PEER_NOTFOUND"));
  std::string url = "https://localhost:1/versions.txt";
  EXPECT_EQ(Request(url, 1), 0);
  EXPECT_EQ(handle_, nullptr);
  std::string log = Logged();
  EXPECT_NE(log.find("Unable to open a tunnel to 'localhost:1' through the proxy ('HTTP/1.0 404 Not Found')\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("TLS "), std::string::npos) << "no handshake with a proxy that said no:\n" << log;
}

TEST_F(NetPeers, TunnelThroughTheProxyNamesThePortAndThenSpeaksTls) {
  // tinyproxy opens the tunnel to nginx's plain port: the handshake inside
  // it is refused, but the proxy's log shows what was asked.
  ProxySetting setting(1, "http=127.0.0.1:1;https=127.0.0.1:" + PeerText("TESSEL_PEER_PROXY"));
  std::string url = "https://localhost:" + PeerText("TESSEL_PEER_HTTP") + "/x";
  EXPECT_EQ(Request(url, 1), 0);
  std::string log = Logged();
  EXPECT_NE(log.find("Proxy Enabled (0x00000001) : 127.0.0.1:" + PeerText("TESSEL_PEER_PROXY") + "\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("TLS handshake refused by 'localhost'"), std::string::npos) << log;
  std::string proxyLog = LogText(PeerText("TESSEL_PEER_PROXY_LOG"));
  EXPECT_NE(proxyLog.find("CONNECT localhost:" + PeerText("TESSEL_PEER_HTTP") + " HTTP/1.0"), std::string::npos)
      << proxyLog;
}

TEST_F(HttpRequest, OnlyAWebAddressIsOpenedAsTheWebPage) {
  // A program's path from the network would be run by the shell.
  for (const char* page : {"C:\\windows\\system32\\cmd.exe", "file:///C:/x.exe", "\\\\server\\share\\x.exe", ""})
    EXPECT_EQ(UpdateOpenWebPage(page), 0) << page;
  std::string log = Logged();
  EXPECT_NE(log.find("Not a web page 'C:\\windows\\system32\\cmd.exe'\n"), std::string::npos) << log;
}

// The update's exchanges, against the same peers.
class UpdatePeers : public NetPeers {
 protected:
  void SetUp() override {
    NetPeers::SetUp();
    if (IsSkipped()) return;
    saved_ = UpdateLimitsInForce();
    folder_ = TempPath("update-product-" + std::to_string(OsFreshNumber())) + "\\";
    OsCreateFolder(folder_.c_str());
    std::strcpy(settings_.InstallPath, folder_.c_str());
    WriteWholeFile(folder_ + "readme.txt", "the product's own");
    UpdateUseKey(nullptr);
  }
  void TearDown() override {
    if (!IsSkipped()) {
      UpdateLimitsInForce() = saved_;
      OsDeleteFile((folder_ + "readme.txt").c_str());
      OsDeleteFile((folder_ + "whole.bin").c_str());
      OsRemoveFolder(folder_.c_str());
    }
    NetPeers::TearDown();
  }
  std::int32_t Download(const std::string& url) {
    char* buffer = static_cast<char*>(MemoryAlloc(kUpdateBufferSize, "test", __LINE__));
    std::int32_t result = UpdateDownload(&settings_, url.c_str(), 0, buffer, kUpdateBufferSize);
    MemoryFree(&buffer, kUpdateBufferSize, "test", __LINE__);
    return result;
  }
  InstallSettings settings_ = {};
  std::string folder_;
  UpdateLimits saved_;
};

TEST_F(UpdatePeers, AFullReplyBufferKeepsItsTerminatorInside) {
  // The tracked heap's guard bytes, checked when the block goes back, and
  // the sanitizers see a byte written past the end.
  const std::string url = Url("TESSEL_PEER_HTTP", PeerText("TESSEL_PEER_FILE"));
  for (std::int32_t size : {256, 4096}) {
    char* buffer = static_cast<char*>(MemoryAlloc(size, "test", __LINE__));
    // A list that fills the buffer is read as far as it fits (the smallest
    // buffer may not hold the whole header: no list then).
    std::int32_t listed = UpdateCheck(&settings_, url.c_str(), 0, buffer, size);
    if (size > 1024) {
      EXPECT_EQ(listed, 1);
    }
    EXPECT_LT(std::strlen(buffer), static_cast<std::size_t>(size));
    MemoryFree(&buffer, size, "test", __LINE__);
    char* reply = static_cast<char*>(MemoryAlloc(size, "test", __LINE__));
    EXPECT_EQ(RegistrationPost(url.c_str(), 0, nullptr, "x", 1, reply, size), 0);
    EXPECT_LT(std::strlen(reply), static_cast<std::size_t>(size));
    MemoryFree(&reply, size, "test", __LINE__);
  }
}

TEST_F(UpdatePeers, AttemptsAreBoundedAsAWhole) {
  UpdateLimitsInForce().checkTime = 1500;
  UpdateLimitsInForce().downloadSilence = 1500;
  auto started = std::chrono::steady_clock::now();
  char buffer[4096];
  EXPECT_EQ(UpdateCheck(&settings_, Url("TESSEL_PEER_SILENT", "/v.txt").c_str(), 0, buffer, sizeof buffer), 0);
  EXPECT_EQ(Download(Url("TESSEL_PEER_SILENT", "/setup.exe")), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(OsCountFolderEntries(folder_.c_str()), 1);
  // A proxy that never answers the tunnel's request: the connection and the
  // tunnel are inside the same bounds.
  ProxySetting silent(1, "https=127.0.0.1:" + std::to_string(PeerPort("TESSEL_PEER_SILENT")));
  started = std::chrono::steady_clock::now();
  EXPECT_EQ(UpdateCheck(&settings_, "https://localhost/v.txt", 1, buffer, sizeof buffer), 0);
  EXPECT_EQ(UpdateDownload(&settings_, "https://localhost/setup.exe", 1, buffer, sizeof buffer), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
  EXPECT_EQ(OsCountFolderEntries(folder_.c_str()), 1);
}

TEST_F(UpdatePeers, AFailedDownloadLeavesTheFolderAsItWas) {
  // Cut in the middle, refused, an error page, and a name of the product's.
  for (const std::string& url :
       {Url("TESSEL_PEER_CUT", "/setup.exe"), Url("TESSEL_PEER_CLOSED", "/setup.exe"),
        Url("TESSEL_PEER_HTTP", "/missing/readme.txt"), Url("TESSEL_PEER_NOTFOUND", "/a.exe")}) {
    EXPECT_EQ(Download(url), 0) << url;
    EXPECT_EQ(OsCountFolderEntries(folder_.c_str()), 1) << url << ": a file was left";
    EXPECT_EQ(ReadWholeFile(folder_ + "readme.txt"), "the product's own") << url;
  }
  // Without a product folder there is nowhere to save: nothing is fetched.
  InstallSettings nowhere = {};
  EXPECT_EQ(UpdateDownload(&nowhere, Url("TESSEL_PEER_HTTP", "/setup.exe").c_str(), 0, header_, sizeof header_), 0);
  std::string log = LogText(logPath_);
  EXPECT_NE(log.find("Unable to open file 'setup.exe'"), std::string::npos) << log;
  EXPECT_EQ(log.find("Contacting '" + Url("TESSEL_PEER_HTTP", "/") + "' '/setup.exe'"), std::string::npos) << log;
  // Whole, it is put in place; a file that is no program is not.
  EXPECT_EQ(Download(Url("TESSEL_PEER_HTTP", PeerText("TESSEL_PEER_FILE"))), 0);
  EXPECT_EQ(UpdateRefusal(), 2);
  EXPECT_EQ(OsCountFolderEntries(folder_.c_str()), 1);
}

}  // namespace
