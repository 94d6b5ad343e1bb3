// The socket layer: a TCP client's socket record with its life cycle and
// time-outs, host records from URLs, names and addresses, and the English
// texts of the socket error codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os.h"

// Protocol codes of SocketCreate.
constexpr std::int32_t ProtocolTcp = 1;
constexpr std::int32_t ProtocolUdp = 2;
constexpr std::int32_t ProtocolGgp = 3;
constexpr std::int32_t ProtocolIcmp = 4;
constexpr std::int32_t ProtocolIp = 5;
constexpr std::int32_t ProtocolRaw = 10;

constexpr std::int32_t kSocketDefaultTimeout = 300000;  // five minutes, in ms
constexpr std::int32_t kHostNameRoom = 256;

struct SocketHandle {
  OsSocket socket;              // kOsNoSocket when none is open
  std::int32_t receiveTimeout;  // ms
  std::int32_t sendTimeout;     // ms; also the longest wait for a connection
  std::int32_t protocol;        // code of the last successful SocketCreate, else 0
  unsigned char remoteAddress[4];
  std::int32_t remotePort;
  OsTls* tls;  // the secure session over the socket, or null
};

struct HostAddress {
  char name[kHostNameRoom];
  unsigned char address[4];  // first octet first
  std::int32_t port;
};

// The two selectors of SocketConnect's address.
extern const unsigned char AddressBroadcast[4];  // 255.255.255.255
extern const unsigned char AddressAny[4];        // 0.0.0.0

// A set of up to 64 sockets for SocketWait.
using SocketSet = OsSocketSet;

std::int32_t SocketStartup();
std::int32_t SocketCleanup();

std::int32_t SocketNew(SocketHandle** handle);
std::int32_t SocketDelete(SocketHandle** handle);
std::int32_t SocketCreate(SocketHandle* handle, std::int32_t protocol);
std::int32_t SocketClose(SocketHandle* handle);
std::int32_t SocketShutdown(SocketHandle* handle);
std::int32_t SocketSetBlocking(SocketHandle* handle, std::int32_t flag);
std::int32_t SocketConnect(SocketHandle* handle, const unsigned char* address, std::int32_t port);
std::int32_t SocketReceive(SocketHandle* handle, char* buffer, std::int32_t length, std::int32_t* count);
std::int32_t SocketSend(SocketHandle* handle, const char* buffer, std::int32_t length, std::int32_t* count);
std::int32_t SocketSendAll(SocketHandle* handle, const char* buffer, std::int32_t length);

// TLS over the connected socket with the server of that name, its
// certificate verified and what was agreed checked (SocketTlsShortfall),
// the whole handshake within the receive time-out; from then on every send
// and receive of the handle is encrypted, and SocketShutdown ends the
// session. 0, with a "TLS ..." log line, when no secure session came about
// (the socket stays open).
std::int32_t SocketSecure(SocketHandle* handle, const char* hostName);
// Whether a session is too weak to use: older than TLS 1.2, a cipher below
// 128 bits, a server key below 2048-bit RSA (or DSA) or 256-bit EC, or a
// certificate signed with SHA-1 (or MD5, MD2). 0 when it is strong enough;
// else kTlsShortConnection or kTlsShortCertificate with the reason ("TLS
// 1.1 agreed", "RSA key of 1024 bits", "signed with SHA-1").
constexpr std::int32_t kTlsShortConnection = 1;
constexpr std::int32_t kTlsShortCertificate = 2;
std::int32_t SocketTlsShortfall(const OsTlsFacts* facts, char* reason, std::size_t capacity);
// How many bytes a receive gives without waiting (decrypted ones
// included); 0 when the query fails.
std::int32_t SocketWaiting(const SocketHandle* handle, std::uint32_t* bytes);
// One receive call without a wait first: the byte count, 0 when the peer
// has ended the connection in order, -1 on failure (OsSocketLastError;
// kWsaWouldBlock when nothing could be taken yet).
std::int32_t SocketReceiveOnce(SocketHandle* handle, char* buffer, std::int32_t length);

std::int32_t SocketSetEmpty(SocketSet* set);
std::int32_t SocketSetAdd(SocketSet* set, const SocketHandle* handle);
std::int32_t SocketSetContains(const SocketSet* set, const SocketHandle* handle);
std::int32_t SocketWait(SocketSet* read, SocketSet* write, SocketSet* error, std::int32_t milliseconds,
                        std::int32_t* ready);
// SocketWait's split of a time-out into whole seconds and microseconds.
void SocketWaitTime(std::int32_t milliseconds, std::int32_t* seconds, std::int32_t* microseconds);

std::int32_t SocketErrorCode(const SocketHandle* handle);
const char* SocketErrorText(const SocketHandle* handle);
// The table's text of a code ("Unknown error code", with a log line, for a
// code the table lacks).
const char* SocketErrorCodeText(std::int32_t code);

std::int32_t HostFromUrl(HostAddress* host, const char* url);
std::int32_t HostFromName(HostAddress* host, const char* name);
std::int32_t HostFromAddress(HostAddress* host, const unsigned char* address);
std::int32_t HostLocal(HostAddress* host);
std::int32_t ParseDottedQuad(const char* text, unsigned char* address);
