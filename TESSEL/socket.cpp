// The socket layer over the seam's Winsock-style sockets.
#include "socket.h"

#include <cstring>

#include "tessel-core.h"
#include "tessel-str.h"
#include "url.h"

namespace {

constexpr const char* kUnit = "socket";
constexpr std::uint16_t kWinsockVersion = 257;  // 1.1

struct ErrorRow {
  std::int32_t code;
  const char* text;
};

constexpr ErrorRow kErrorTable[] = {
    {0, "No Error"},
    {10004, "Interrupted function call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Resource temporarily unavailable"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Cannot assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Cannot send after socket shutdown"},
    {10059, "Too many references"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Loop"},
    {10063, "Name too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota"},
    {10070, "Stale"},
    {10071, "Remote"},
    {10091, "Network subsystem is unavailable"},
    {10092, "WINSOCK.DLL version out of range"},
    {10093, "Successful WSAStartup not yet performed"},
    {10101, "Graceful shutdown in progress"},
    {11001, "Host not found"},
    {11002, "Non-authoritative host not found"},
    {11003, "This is a non-recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(sizeof kErrorTable / sizeof kErrorTable[0] == 52);

struct ProtocolRow {
  std::int32_t code;
  std::int32_t type;  // 1 stream, 2 datagram
  std::int32_t number;
};

constexpr ProtocolRow kProtocols[] = {
    {ProtocolTcp, 1, 6},  {ProtocolUdp, 2, 17}, {ProtocolGgp, 2, 3},
    {ProtocolIcmp, 2, 1}, {ProtocolIp, 2, 0},   {ProtocolRaw, 2, 255},
};

bool HasSocket(const SocketHandle* handle) { return handle != nullptr && handle->socket != kOsNoSocket; }

void TakeEntry(HostAddress* host, const OsHostEntry& entry) {
  std::memset(host, 0, sizeof *host);
  StrCopyBounded(host->name, entry.name);
  std::memcpy(host->address, entry.address, 4);
}

}  // namespace

const unsigned char AddressBroadcast[4] = {255, 255, 255, 255};
const unsigned char AddressAny[4] = {0, 0, 0, 0};

std::int32_t SocketStartup() {
  std::uint16_t reported = 0;
  std::int32_t result = OsSocketStartup(kWinsockVersion, &reported);
  if (result != 0) {
    LogPrint("WSAStartup failed (%s)\n", SocketErrorCodeText(result));
    return 0;
  }
  if (reported != kWinsockVersion) {
    // The service stays started: the clean-up at the end stops it.
    LogPrint("Wrong Winsock version (%d != %d)\n", static_cast<int>(reported), static_cast<int>(kWinsockVersion));
    return 0;
  }
  return 1;
}

std::int32_t SocketCleanup() {
  if (!OsSocketCleanup()) {
    LogPrint("WSACleanup failed (%s)\n", SocketErrorText(nullptr));
    return 0;
  }
  return 1;
}

std::int32_t SocketNew(SocketHandle** handle) {
  CHECK_POINTER(kUnit, handle);
  *handle = nullptr;
  SocketHandle* made = static_cast<SocketHandle*>(MemoryAlloc(sizeof(SocketHandle), kUnit, __LINE__));
  std::memset(made, 0, sizeof *made);
  made->socket = kOsNoSocket;
  made->receiveTimeout = kSocketDefaultTimeout;
  made->sendTimeout = kSocketDefaultTimeout;
  *handle = made;
  return 1;
}

std::int32_t SocketDelete(SocketHandle** handle) {
  CHECK_POINTER(kUnit, handle);
  if (*handle == nullptr) return 1;
  if (HasSocket(*handle)) SocketClose(*handle);
  MemoryFree(handle, sizeof(SocketHandle), kUnit, __LINE__);
  *handle = nullptr;
  return 1;
}

std::int32_t SocketCreate(SocketHandle* handle, std::int32_t protocol) {
  if (handle == nullptr) {
    LogPrint("Socket must be created first!\n");
    return 0;
  }
  if (HasSocket(handle)) {
    LogPrint("Socket must be closed first!\n");
    return 0;
  }
  const ProtocolRow* row = nullptr;
  for (const ProtocolRow& candidate : kProtocols)
    if (candidate.code == protocol) row = &candidate;
  OsSocket socket = kOsNoSocket;
  if (row == nullptr)
    LogPrint("Unknown socket protocol '%d'\n", protocol);
  else
    socket = OsSocketOpen(row->type, row->number);
  handle->socket = socket;
  if (socket == kOsNoSocket) {
    handle->protocol = 0;
    return 0;
  }
  handle->protocol = protocol;
  return 1;
}

std::int32_t SocketClose(SocketHandle* handle) {
  if (handle == nullptr) return 0;
  if (handle->tls) {
    OsTlsClose(handle->tls, 0);
    handle->tls = nullptr;
  }
  if (!HasSocket(handle)) return 1;
  if (!OsSocketClose(handle->socket)) return 0;
  handle->socket = kOsNoSocket;
  return 1;
}

std::int32_t SocketShutdown(SocketHandle* handle) {
  if (!HasSocket(handle)) return 0;
  // The server learns that the session ended, not only the connection.
  if (handle->tls) {
    OsTlsClose(handle->tls, 1);
    handle->tls = nullptr;
  }
  return OsSocketShutdown(handle->socket) ? 1 : 0;
}

std::int32_t SocketSetBlocking(SocketHandle* handle, std::int32_t flag) {
  if (!HasSocket(handle)) return 0;
  return OsSocketSetBlocking(handle->socket, flag == 1) ? 1 : 0;
}

std::int32_t SocketConnect(SocketHandle* handle, const unsigned char* address, std::int32_t port) {
  CHECK_POINTER(kUnit, address);
  if (!HasSocket(handle)) return 0;
  // Non-blocking, so that the wait for the connection is bounded by the
  // send time-out rather than the system's own.
  if (!SocketSetBlocking(handle, 0)) return 0;
  if (!OsSocketConnect(handle->socket, address, static_cast<std::uint16_t>(port & 0xFFFF)) &&
      OsSocketLastError() != kWsaWouldBlock)
    return 0;
  SocketSet write;
  SocketSet error;
  SocketSetEmpty(&write);
  SocketSetEmpty(&error);
  SocketSetAdd(&write, handle);
  SocketSetAdd(&error, handle);
  std::int32_t ready = 0;
  if (!SocketWait(nullptr, &write, &error, handle->sendTimeout, &ready)) return 0;
  if (ready == 0) {
    LogPrint("Socket connect timeout (%d)\n", handle->sendTimeout);
    return 0;
  }
  if (SocketSetContains(&error, handle)) return 0;
  if (!SocketSetContains(&write, handle)) return 0;
  if (!SocketSetBlocking(handle, 1)) return 0;
  std::memcpy(handle->remoteAddress, address, 4);
  handle->remotePort = port;
  return 1;
}

namespace {

// A failed transfer call that only would have blocked is a success with
// nothing moved. The call's own error tells it (the pending error of the
// socket never holds would-block), the pending error is asked as well.
bool OnlyWouldBlock(const SocketHandle* handle) {
  if (OsSocketLastError() == kWsaWouldBlock) return true;
  return SocketErrorCode(handle) == kWsaWouldBlock;
}

// Waits for the socket in a read or a write set; 1 when it is ready.
std::int32_t WaitReady(SocketHandle* handle, bool forWrite, std::int32_t timeout) {
  SocketSet set;
  SocketSetEmpty(&set);
  SocketSetAdd(&set, handle);
  std::int32_t ready = 0;
  if (!SocketWait(forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, timeout, &ready)) return 0;
  if (ready == 0) {
    LogPrint("Socket timeout (%d)\n", timeout);
    return 0;
  }
  return SocketSetContains(&set, handle);
}

}  // namespace

std::int32_t SocketReceive(SocketHandle* handle, char* buffer, std::int32_t length, std::int32_t* count) {
  CHECK_POINTER(kUnit, buffer);
  CHECK_POINTER(kUnit, count);
  *count = 0;
  if (!HasSocket(handle)) return 0;
  // Data already waiting would end the wait at once; a download goes
  // faster without asking (each ask is a round trip to the system).
  std::uint32_t waiting = 0;
  if ((!SocketWaiting(handle, &waiting) || waiting == 0) && !WaitReady(handle, false, handle->receiveTimeout)) return 0;
  std::int32_t n = SocketReceiveOnce(handle, buffer, length);
  if (n < 0) return OnlyWouldBlock(handle) ? 1 : 0;
  if (n == 0) return 0;  // the peer has closed the connection
  *count = n;
  return 1;
}

std::int32_t SocketSend(SocketHandle* handle, const char* buffer, std::int32_t length, std::int32_t* count) {
  CHECK_POINTER(kUnit, buffer);
  CHECK_POINTER(kUnit, count);
  *count = 0;
  if (!HasSocket(handle)) return 0;
  if (!WaitReady(handle, true, handle->sendTimeout)) return 0;
  std::int32_t n = handle->tls ? OsTlsSend(handle->tls, buffer, length, handle->sendTimeout)
                               : OsSocketSend(handle->socket, buffer, length);
  if (n < 0) return OnlyWouldBlock(handle) ? 1 : 0;
  *count = n;
  return 1;
}

std::int32_t SocketWaiting(const SocketHandle* handle, std::uint32_t* bytes) {
  CHECK_POINTER(kUnit, bytes);
  *bytes = 0;
  if (!HasSocket(handle)) return 0;
  if (handle->tls && (*bytes = OsTlsPending(handle->tls)) > 0) return 1;
  return OsSocketReadable(handle->socket, bytes) ? 1 : 0;
}

std::int32_t SocketReceiveOnce(SocketHandle* handle, char* buffer, std::int32_t length) {
  CHECK_POINTER(kUnit, handle);
  CHECK_POINTER(kUnit, buffer);
  if (handle->tls) return OsTlsReceive(handle->tls, buffer, length);
  return OsSocketReceive(handle->socket, buffer, length);
}

std::int32_t SocketSendAll(SocketHandle* handle, const char* buffer, std::int32_t length) {
  std::int32_t sent = 0;
  while (sent < length) {
    std::int32_t count = 0;
    if (!SocketSend(handle, buffer + sent, length - sent, &count)) return 0;
    sent += count;
  }
  return 1;
}

std::int32_t SocketSetEmpty(SocketSet* set) {
  CHECK_POINTER(kUnit, set);
  set->count = 0;
  return 1;
}

std::int32_t SocketSetAdd(SocketSet* set, const SocketHandle* handle) {
  CHECK_POINTER(kUnit, set);
  if (!HasSocket(handle)) return 0;
  if (SocketSetContains(set, handle)) return 1;
  if (set->count < static_cast<std::uint32_t>(kOsSocketSetSize)) set->sockets[set->count++] = handle->socket;
  return 1;
}

std::int32_t SocketSetContains(const SocketSet* set, const SocketHandle* handle) {
  CHECK_POINTER(kUnit, set);
  if (!HasSocket(handle)) return 0;
  for (std::uint32_t i = 0; i < set->count && i < static_cast<std::uint32_t>(kOsSocketSetSize); ++i)
    if (set->sockets[i] == handle->socket) return 1;
  return 0;
}

void SocketWaitTime(std::int32_t milliseconds, std::int32_t* seconds, std::int32_t* microseconds) {
  *seconds = milliseconds / 1000;
  *microseconds = (milliseconds % 1000) * 1000;
}

std::int32_t SocketWait(SocketSet* read, SocketSet* write, SocketSet* error, std::int32_t milliseconds,
                        std::int32_t* ready) {
  CHECK_POINTER(kUnit, ready);
  std::int32_t seconds = 0;
  std::int32_t microseconds = 0;
  SocketWaitTime(milliseconds, &seconds, &microseconds);
  *ready = 0;
  std::int32_t count = 0;
  if (!OsSocketSelect(read, write, error, seconds, microseconds, &count)) return 0;
  *ready = count;
  return 1;
}

std::int32_t SocketErrorCode(const SocketHandle* handle) {
  if (HasSocket(handle)) {
    std::int32_t code = 0;
    if (OsSocketPendingError(handle->socket, &code)) return code;
    // Taken before the log line: writing the log may change it on Windows.
    std::int32_t last = OsSocketLastError();
    LogPrint("Failed to retrieve error value for socket (%d : 0x%.8X)\n", static_cast<int>(handle->socket),
             static_cast<unsigned>(handle->socket));
    return last;
  }
  return OsSocketLastError();
}

const char* SocketErrorCodeText(std::int32_t code) {
  for (const ErrorRow& row : kErrorTable)
    if (row.code == code) return row.text;
  LogPrint("\nUnknown (%d) (0x%.8X)\n", code, static_cast<unsigned>(code));
  return "Unknown error code";
}

const char* SocketErrorText(const SocketHandle* handle) { return SocketErrorCodeText(SocketErrorCode(handle)); }

std::int32_t ParseDottedQuad(const char* text, unsigned char* address) {
  CHECK_POINTER(kUnit, text);
  CHECK_POINTER(kUnit, address);
  unsigned char parts[4] = {0, 0, 0, 0};
  int dots = 0;
  for (const char* at = text; *at; ++at) {
    if (*at == '.') {
      if (++dots > 3) return 0;
    } else if (*at >= '0' && *at <= '9') {
      // Only the low 8 bits are kept: 256 reads as 0, 300 as 44.
      parts[dots] = static_cast<unsigned char>(parts[dots] * 10 + (*at - '0'));
    } else {
      return 0;
    }
  }
  if (dots != 3) return 0;
  std::memcpy(address, parts, 4);
  return 1;
}

std::int32_t HostFromName(HostAddress* host, const char* name) {
  CHECK_POINTER(kUnit, host);
  CHECK_POINTER(kUnit, name);
  OsHostEntry entry;
  if (!OsHostByName(name, &entry)) return 0;
  TakeEntry(host, entry);
  return 1;
}

std::int32_t HostFromAddress(HostAddress* host, const unsigned char* address) {
  CHECK_POINTER(kUnit, host);
  CHECK_POINTER(kUnit, address);
  OsHostEntry entry;
  if (!OsHostByAddress(address, &entry)) return 0;
  TakeEntry(host, entry);
  return 1;
}

std::int32_t HostLocal(HostAddress* host) {
  CHECK_POINTER(kUnit, host);
  char name[kHostNameRoom] = {};
  if (!OsLocalHostName(name, sizeof name)) return 0;
  name[sizeof name - 1] = '\0';
  if (!HostFromName(host, name)) StrCopyBounded(host->name, name);
  return 1;
}

std::int32_t HostFromUrl(HostAddress* host, const char* url) {
  CHECK_POINTER(kUnit, host);
  CHECK_POINTER(kUnit, url);
  // A URL, or a proxy's "host:port"; the user information is never the host.
  Url parsed;
  if (!UrlParseHost(url, &parsed) || parsed.ipv6) return 0;  // the sockets speak IPv4 only
  unsigned char address[4];
  if (ParseDottedQuad(parsed.host, address)) {
    if (!HostFromAddress(host, address)) {
      std::memcpy(host->address, address, 4);
      StrCopyBounded(host->name, "Unknown");
    }
  } else if (!HostFromName(host, parsed.host)) {
    return 0;
  }
  host->port = parsed.port;
  return 1;
}
