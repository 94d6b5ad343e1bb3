// The seam over Winsock (ws2_32, asked for version 1.1): TCP client sockets,
// select, lookups. ws2_32 is imported, so the loader takes it from the
// system folder before the program runs; no socket DLL is loaded by name.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "os.h"

namespace {

SOCKET Native(OsSocket socket) { return static_cast<SOCKET>(socket); }

// The seam's set into Winsock's, and the ready sockets back.
void ToFdSet(const OsSocketSet* from, fd_set* to) {
  to->fd_count = 0;
  for (std::uint32_t i = 0; i < from->count && i < FD_SETSIZE; ++i)
    to->fd_array[to->fd_count++] = Native(from->sockets[i]);
}

void FromFdSet(const fd_set* from, OsSocketSet* to) {
  to->count = 0;
  for (u_int i = 0; i < from->fd_count && i < static_cast<u_int>(kOsSocketSetSize); ++i)
    to->sockets[to->count++] = static_cast<OsSocket>(from->fd_array[i]);
}

void CopyEntry(const hostent* host, OsHostEntry* entry) {
  std::memset(entry, 0, sizeof *entry);
  if (host->h_name) {
    std::strncpy(entry->name, host->h_name, sizeof entry->name - 1);
  }
  if (host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list && host->h_addr_list[0])
    std::memcpy(entry->address, host->h_addr_list[0], 4);
}

}  // namespace

std::int32_t OsSocketStartup(std::uint16_t version, std::uint16_t* reported) {
  WSADATA data = {};
  int result = WSAStartup(version, &data);
  *reported = data.wVersion;
  return result;
}

int OsSocketCleanup() { return WSACleanup() == 0 ? 1 : 0; }

std::int32_t OsSocketLastError() { return WSAGetLastError(); }

OsSocket OsSocketOpen(std::int32_t type, std::int32_t protocol) {
  SOCKET s = ::socket(AF_INET, type, protocol);
  return s == INVALID_SOCKET ? kOsNoSocket : static_cast<OsSocket>(s);
}

int OsSocketClose(OsSocket socket) { return closesocket(Native(socket)) == 0 ? 1 : 0; }

int OsSocketShutdown(OsSocket socket) { return shutdown(Native(socket), SD_BOTH) == 0 ? 1 : 0; }

int OsSocketSetBlocking(OsSocket socket, int blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(Native(socket), FIONBIO, &nonBlocking) == 0 ? 1 : 0;
}

int OsSocketConnect(OsSocket socket, const unsigned char address[4], std::uint16_t port) {
  sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  std::memcpy(&peer.sin_addr, address, 4);
  return connect(Native(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 ? 1 : 0;
}

std::int32_t OsSocketSend(OsSocket socket, const char* buffer, std::int32_t length) {
  int n = send(Native(socket), buffer, length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

std::int32_t OsSocketReceive(OsSocket socket, char* buffer, std::int32_t length) {
  int n = recv(Native(socket), buffer, length, 0);
  // Wine 8 gives a reset as the peer's close: recv 0, no error, SO_ERROR 0.
  // Only the connection tells them apart: after a close its other half is
  // still there, after a reset nothing is (getpeername: not connected).
  if (n == 0 && length > 0) {
    sockaddr_in peer = {};
    int size = sizeof peer;
    if (getpeername(Native(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0 &&
        WSAGetLastError() == WSAENOTCONN) {
      WSASetLastError(WSAECONNRESET);
      return -1;
    }
  }
  return n == SOCKET_ERROR ? -1 : n;
}

int OsSocketReadable(OsSocket socket, std::uint32_t* bytes) {
  u_long waiting = 0;
  if (ioctlsocket(Native(socket), FIONREAD, &waiting) != 0) return 0;
  *bytes = waiting;
  return 1;
}

int OsSocketPendingError(OsSocket socket, std::int32_t* code) {
  int value = 0;
  int size = sizeof value;
  if (getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &size) != 0) return 0;
  *code = value;
  return 1;
}

int OsSocketSelect(OsSocketSet* read, OsSocketSet* write, OsSocketSet* error, std::int32_t seconds,
                   std::int32_t microseconds, std::int32_t* ready) {
  fd_set sets[3];
  OsSocketSet* given[3] = {read, write, error};
  for (int i = 0; i < 3; ++i)
    if (given[i]) ToFdSet(given[i], &sets[i]);
  timeval wait = {seconds, microseconds};
  int n = select(0, read ? &sets[0] : nullptr, write ? &sets[1] : nullptr, error ? &sets[2] : nullptr, &wait);
  if (n == SOCKET_ERROR) return 0;
  for (int i = 0; i < 3; ++i)
    if (given[i]) FromFdSet(&sets[i], given[i]);
  *ready = n;
  return 1;
}

int OsHostByName(const char* name, OsHostEntry* entry) {
  const hostent* host = gethostbyname(name);
  if (host == nullptr) return 0;
  CopyEntry(host, entry);
  return 1;
}

int OsHostByAddress(const unsigned char address[4], OsHostEntry* entry) {
  const hostent* host = gethostbyaddr(reinterpret_cast<const char*>(address), 4, AF_INET);
  if (host == nullptr) return 0;
  CopyEntry(host, entry);
  return 1;
}

int OsLocalHostName(char* out, std::int32_t capacity) { return gethostname(out, capacity) == 0 ? 1 : 0; }
