// The socket layer without a server: handle life cycle, sets, the text
// parsers, the error table. Only names and addresses that the machine's own
// hosts file answers are looked up.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "socket.h"
#include "support.h"
#include "tessel-core.h"

namespace {

// The socket service runs for the whole test program, as it runs for the
// whole of the program's own run.
class SocketService : public testing::Environment {
 public:
  void SetUp() override { SocketStartup(); }
  void TearDown() override { SocketCleanup(); }
};
testing::Environment* const kSocketService = testing::AddGlobalTestEnvironment(new SocketService);

class Socket : public testing::Test {
 protected:
  void SetUp() override {
    MemoryInit(kHeapNoLimit, 0);
    logPath_ = TempPath("socket.log");
    StartLog(logPath_, LogFile);
  }
  void TearDown() override { StopLog(); }
  std::string Logged() {
    StopLog();
    return LogText(logPath_);
  }
  std::string logPath_;
};

std::string Quad(const unsigned char* a) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

TEST(SocketParse, DottedQuads) {
  struct Case {
    const char* text;
    int result;
    const char* bytes;
  } cases[] = {
      {"1.2.3.4", 1, "1.2.3.4"},   {"1..3.4", 1, "1.0.3.4"}, {"1.2.3.300", 1, "1.2.3.44"},
      {"256.0.0.1", 1, "0.0.0.1"}, {"...", 1, "0.0.0.0"},    {"1.2.3", 0, nullptr},
      {"1.2.3.4.5", 0, nullptr},   {"1.2.3.4.", 0, nullptr}, {"1.2.3.a", 0, nullptr},
      {"1.2.3.-4", 0, nullptr},    {"", 0, nullptr},         {"99999999999999999999.1.1.1", 1, "255.1.1.1"},
  };
  for (const Case& c : cases) {
    unsigned char address[4] = {9, 9, 9, 9};
    EXPECT_EQ(ParseDottedQuad(c.text, address), c.result) << c.text;
    if (c.bytes) {
      EXPECT_EQ(Quad(address), c.bytes) << c.text;
    } else {
      EXPECT_EQ(Quad(address), "9.9.9.9") << c.text << ": a refused text leaves the bytes alone";
    }
  }
}

TEST(SocketParse, WaitTimeSplitsIntoSecondsAndMicroseconds) {
  struct Case {
    std::int32_t ms, seconds, micro;
  } cases[] = {{2500, 2, 500000}, {0, 0, 0}, {999, 0, 999000}, {1000, 1, 0}, {300000, 300, 0}, {1, 0, 1000}};
  for (const Case& c : cases) {
    std::int32_t s = -1, us = -1;
    SocketWaitTime(c.ms, &s, &us);
    EXPECT_EQ(s, c.seconds) << c.ms;
    EXPECT_EQ(us, c.micro) << c.ms;
  }
}

TEST_F(Socket, HostFromUrlTakesPortsFromTheTextOrTheScheme) {
  struct Case {
    const char* url;
    std::int32_t port;
  } cases[] = {
      {"http://127.0.0.1/x", 80},       {"HTTP://127.0.0.1", 80},
      {"https://127.0.0.1/", 443},      {"ftp://127.0.0.1/", 21},
      {"telnet://127.0.0.1/", 23},      {"shout://127.0.0.1/", 8000},
      {"gopher://127.0.0.1/", 0},       {"127.0.0.1/x", 0},
      {"127.0.0.1:81/x", 81},           {"http://127.0.0.1:/x", 80},
      {"http://127.0.0.1:8080", 8080},  {"http://user:pw@127.0.0.1:81/a@b", 81},
      {"http://a@b@127.0.0.1:82/", 82}, {"localhost:3128", 3128},
  };
  for (const Case& c : cases) {
    HostAddress host;
    std::memset(&host, 0x5A, sizeof host);
    ASSERT_EQ(HostFromUrl(&host, c.url), 1) << c.url;
    EXPECT_EQ(host.port, c.port) << c.url;
    EXPECT_EQ(Quad(host.address), "127.0.0.1") << c.url;
    EXPECT_GT(std::strlen(host.name), 0u) << c.url;
  }
}

TEST_F(Socket, HostFromUrlRefusesWhatIsNotAHostAndPort) {
  for (const char* url : {"http://127.0.0.1: 83/", "http://127.0.0.1:84x/", "://127.0.0.1/", "http://127.0.0.1:0/",
                          "http://127.0.0.1:65536/", "http://[::1]:80/", "http://u:p@/x"}) {
    HostAddress host;
    std::memset(&host, 0, sizeof host);
    EXPECT_EQ(HostFromUrl(&host, url), 0) << url;
    EXPECT_EQ(host.port, 0) << url;
  }
}

TEST_F(Socket, HostPartIsAtMost119Characters) {
  // User information pads the host part, so the lookup stays local.
  auto url = [](std::size_t hostPart, const char* tail) {
    std::string suffix = "@127.0.0.1:81";
    return "http://" + std::string(hostPart - suffix.size(), 'u') + suffix + tail;
  };
  HostAddress host;
  std::memset(&host, 0, sizeof host);
  EXPECT_EQ(HostFromUrl(&host, url(119, "/path").c_str()), 1);
  EXPECT_EQ(host.port, 81);
  EXPECT_EQ(HostFromUrl(&host, url(119, "").c_str()), 1);
  std::memset(&host, 0, sizeof host);
  EXPECT_EQ(HostFromUrl(&host, url(120, "/path").c_str()), 0);
  EXPECT_EQ(HostFromUrl(&host, url(120, "").c_str()), 0);
  EXPECT_EQ(host.port, 0) << "a refused URL leaves the record alone";
}

TEST_F(Socket, LookupsOfTheLoopback) {
  HostAddress host;
  std::memset(&host, 0x5A, sizeof host);
  ASSERT_EQ(HostFromName(&host, "localhost"), 1);
  EXPECT_EQ(host.address[0], 127);
  EXPECT_EQ(host.port, 0) << "a lookup clears the whole record";
  EXPECT_STRNE(host.name, "");
  const unsigned char loopback[4] = {127, 0, 0, 1};
  std::memset(&host, 0x5A, sizeof host);
  ASSERT_EQ(HostFromAddress(&host, loopback), 1);
  EXPECT_EQ(Quad(host.address), "127.0.0.1");
  EXPECT_EQ(host.port, 0);
}

TEST_F(Socket, ErrorTexts) {
  struct Case {
    std::int32_t code;
    const char* text;
  } cases[] = {
      {0, "No Error"},
      {10035, "Resource temporarily unavailable"},
      {10054, "Connection reset by peer"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10101, "Graceful shutdown in progress"},
      {11001, "Host not found"},
      {11004, "Valid name, no data record of requested type"},
  };
  for (const Case& c : cases) EXPECT_STREQ(SocketErrorCodeText(c.code), c.text) << c.code;
  EXPECT_STREQ(SocketErrorCodeText(10000), "Unknown error code");
  EXPECT_STREQ(SocketErrorCodeText(-2), "Unknown error code");
  std::string log = Logged();
  EXPECT_NE(log.find("\nUnknown (10000) (0x00002710)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\nUnknown (-2) (0xFFFFFFFE)\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Unknown (0)"), std::string::npos) << "known codes log nothing";
}

TEST_F(Socket, HandleLifeCycle) {
  SocketHandle* handle = reinterpret_cast<SocketHandle*>(0x1);
  ASSERT_EQ(SocketNew(&handle), 1);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->socket, kOsNoSocket);
  EXPECT_EQ(handle->receiveTimeout, 300000);
  EXPECT_EQ(handle->sendTimeout, 300000);
  EXPECT_EQ(handle->protocol, 0);
  // Without a socket: close is a no-op, transfers and shutdown fail.
  char buffer[8];
  std::int32_t count = 7;
  EXPECT_EQ(SocketClose(handle), 1);
  EXPECT_EQ(SocketShutdown(handle), 0);
  EXPECT_EQ(SocketReceive(handle, buffer, sizeof buffer, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(SocketSend(handle, buffer, sizeof buffer, &count), 0);
  EXPECT_EQ(SocketSetBlocking(handle, 1), 0);
  EXPECT_EQ(SocketConnect(handle, AddressAny, 80), 0);
  EXPECT_EQ(SocketSendAll(handle, buffer, 0), 1) << "nothing to send is a success";

  EXPECT_EQ(SocketCreate(handle, 7), 0);
  EXPECT_EQ(handle->protocol, 0);
  EXPECT_EQ(handle->socket, kOsNoSocket);
  ASSERT_EQ(SocketCreate(handle, ProtocolTcp), 1);
  OsSocket first = handle->socket;
  EXPECT_NE(first, kOsNoSocket);
  EXPECT_EQ(handle->protocol, ProtocolTcp);
  EXPECT_EQ(SocketCreate(handle, ProtocolUdp), 0);
  EXPECT_EQ(handle->socket, first) << "the open socket stays";
  EXPECT_EQ(handle->protocol, ProtocolTcp);
  EXPECT_EQ(SocketSetBlocking(handle, 0), 1);
  EXPECT_EQ(SocketClose(handle), 1);
  EXPECT_EQ(handle->socket, kOsNoSocket);
  ASSERT_EQ(SocketCreate(handle, ProtocolUdp), 1);
  // Delete closes what is open and clears the variable; twice is harmless.
  HeapStatistics before = MemoryStatistics();
  EXPECT_EQ(SocketDelete(&handle), 1);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(MemoryStatistics().blockCount, before.blockCount - 1);
  EXPECT_EQ(SocketDelete(&handle), 1);

  EXPECT_EQ(SocketCreate(nullptr, ProtocolTcp), 0);
  EXPECT_EQ(SocketClose(nullptr), 0);
  EXPECT_EQ(SocketShutdown(nullptr), 0);
  std::string log = Logged();
  EXPECT_NE(log.find("Unknown socket protocol '7'\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Socket must be closed first!\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Socket must be created first!\n"), std::string::npos) << log;
}

TEST_F(Socket, SetsHoldEachSocketOnceAndAtMost64) {
  std::vector<SocketHandle*> handles(66, nullptr);
  for (SocketHandle*& h : handles) {
    SocketNew(&h);
    ASSERT_EQ(SocketCreate(h, ProtocolUdp), 1);
  }
  SocketHandle* bare = nullptr;
  SocketNew(&bare);
  SocketSet set;
  SocketSetEmpty(&set);
  EXPECT_EQ(SocketSetAdd(&set, nullptr), 0);
  EXPECT_EQ(SocketSetAdd(&set, bare), 0);
  EXPECT_EQ(SocketSetContains(&set, bare), 0);
  EXPECT_EQ(set.count, 0u);
  EXPECT_EQ(SocketSetAdd(&set, handles[0]), 1);
  EXPECT_EQ(SocketSetAdd(&set, handles[0]), 1);
  EXPECT_EQ(set.count, 1u);
  for (SocketHandle* h : handles) EXPECT_EQ(SocketSetAdd(&set, h), 1);
  EXPECT_EQ(set.count, 64u);
  EXPECT_EQ(SocketSetContains(&set, handles[63]), 1);
  EXPECT_EQ(SocketSetContains(&set, handles[64]), 0) << "a full set ignores the addition";
  // Fresh datagram sockets can all be written at once: the wait says so
  // without waiting.
  SocketSet few;
  SocketSetEmpty(&few);
  SocketSetAdd(&few, handles[0]);
  SocketSetAdd(&few, handles[1]);
  std::int32_t ready = -1;
  EXPECT_EQ(SocketWait(nullptr, &few, nullptr, 5000, &ready), 1);
  EXPECT_EQ(ready, 2);
  SocketSet none;
  SocketSetEmpty(&none);
  SocketSetAdd(&none, handles[0]);
  EXPECT_EQ(SocketWait(&none, nullptr, nullptr, 50, &ready), 1);
  EXPECT_EQ(ready, 0) << "nothing to read: the time-out passes";
  for (SocketHandle*& h : handles) SocketDelete(&h);
  SocketDelete(&bare);
}

TEST_F(Socket, ConnectToAClosedLoopbackPortFailsAsRefused) {
  SocketHandle* handle = nullptr;
  SocketNew(&handle);
  ASSERT_EQ(SocketCreate(handle, ProtocolTcp), 1);
  const unsigned char loopback[4] = {127, 0, 0, 1};
  EXPECT_EQ(SocketConnect(handle, loopback, 1), 0);
  EXPECT_EQ(handle->remotePort, 0) << "no peer is recorded";
  std::int32_t code = SocketErrorCode(handle);
  if (code == 0) code = SocketErrorCode(nullptr);
  EXPECT_EQ(code, 10061);
  SocketDelete(&handle);
}

TEST_F(Socket, CallsOnWhatIsNoSocketFailAlikeOnBothSides) {
  // A number that names no socket: Winsock says so, and the host's EBADF
  // reads the same.
  const OsSocket bogus = 0x7FFFFF00;
  char buffer[4] = {};
  std::uint32_t waiting = 0;
  std::int32_t code = -1;
  struct Call {
    const char* name;
    bool failed;
  } calls[] = {
      {"send", OsSocketSend(bogus, buffer, 4) == -1},
      {"receive", OsSocketReceive(bogus, buffer, 4) == -1},
      {"shutdown", OsSocketShutdown(bogus) == 0},
      {"blocking", OsSocketSetBlocking(bogus, 0) == 0},
      {"readable", OsSocketReadable(bogus, &waiting) == 0},
      {"pending error", OsSocketPendingError(bogus, &code) == 0},
      {"close", OsSocketClose(bogus) == 0},
  };
  for (const Call& call : calls) EXPECT_TRUE(call.failed) << call.name;
  EXPECT_EQ(OsSocketLastError(), 10038);
  SocketHandle handle = {};
  handle.socket = bogus;
  EXPECT_EQ(SocketErrorCode(&handle), 10038) << "the thread's last error, after the failed read";
  std::string log = Logged();
  EXPECT_NE(log.find("Failed to retrieve error value for socket (2147483392 : 0x7FFFFF00)\n"), std::string::npos)
      << log;
}

TEST(SocketTls, WhatIsTooWeakToUse) {
  // The facts of a good session: TLS 1.2, AES-128, RSA-2048, SHA-256.
  const OsTlsFacts good = {0x0303, 128, kTlsKeyRsa, 2048, kTlsHashOther};
  struct Case {
    OsTlsFacts facts;
    std::int32_t shortfall;
    const char* reason;
  } cases[] = {
      {good, 0, ""},
      {{0x0304, 256, kTlsKeyEc, 256, kTlsHashOther}, 0, ""},
      {{0x0303, 128, kTlsKeyOther, 253, 0}, 0, ""},  // EdDSA; a hash the system did not name
      {{0x0302, 128, kTlsKeyRsa, 2048, kTlsHashOther}, kTlsShortConnection, "TLS 1.1 agreed"},
      {{0x0301, 256, kTlsKeyRsa, 4096, kTlsHashOther}, kTlsShortConnection, "TLS 1.0 agreed"},
      {{0x0300, 128, kTlsKeyRsa, 2048, kTlsHashOther}, kTlsShortConnection, "SSL 3.0 agreed"},
      {{0, 128, kTlsKeyRsa, 2048, kTlsHashOther}, kTlsShortConnection, "an unknown protocol agreed (0x0000)"},
      {{0x0303, 56, kTlsKeyRsa, 2048, kTlsHashOther}, kTlsShortConnection, "56-bit cipher agreed"},
      {{0x0303, 0, kTlsKeyRsa, 2048, kTlsHashOther}, kTlsShortConnection, "0-bit cipher agreed"},
      {{0x0303, 128, kTlsKeyRsa, 1024, kTlsHashOther}, kTlsShortCertificate, "RSA key of 1024 bits"},
      {{0x0303, 128, kTlsKeyRsa, 2047, kTlsHashOther}, kTlsShortCertificate, "RSA key of 2047 bits"},
      {{0x0303, 128, kTlsKeyDsa, 1024, kTlsHashOther}, kTlsShortCertificate, "DSA key of 1024 bits"},
      {{0x0303, 128, kTlsKeyEc, 224, kTlsHashOther}, kTlsShortCertificate, "EC key of 224 bits"},
      {{0x0303, 128, 0, 0, kTlsHashOther}, kTlsShortCertificate, "no key of a known kind"},
      {{0x0303, 128, kTlsKeyRsa, 2048, kTlsHashSha1}, kTlsShortCertificate, "signed with SHA-1"},
      {{0x0303, 128, kTlsKeyEc, 384, kTlsHashMd5}, kTlsShortCertificate, "signed with MD5"},
      {{0x0303, 128, kTlsKeyRsa, 2048, kTlsHashMd2}, kTlsShortCertificate, "signed with MD2"},
      // The connection is judged first.
      {{0x0302, 128, kTlsKeyRsa, 1024, kTlsHashSha1}, kTlsShortConnection, "TLS 1.1 agreed"},
  };
  for (const Case& c : cases) {
    char reason[80] = "x";
    EXPECT_EQ(SocketTlsShortfall(&c.facts, reason, sizeof reason), c.shortfall) << c.reason;
    EXPECT_STREQ(reason, c.reason);
  }
}

TEST(SocketService, StartsAtVersionOneOne) {
  EXPECT_EQ(SocketStartup(), 1);
  EXPECT_EQ(SocketCleanup(), 1);
}

}  // namespace
