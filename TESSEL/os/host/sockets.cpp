// The host's sockets: BSD sockets in Winsock's terms. Every errno a call can
// give is reported as its Winsock number, so that the same error texts
// appear on both sides; select is done with poll, so that descriptors above
// the C library's FD_SETSIZE work too.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "os.h"

namespace {

thread_local std::int32_t lastSocketError = 0;

struct ErrnoRow {
  int error;
  std::int32_t winsock;
};

// errno onto Winsock: the BSD names Winsock took over, and what Linux
// reports where Windows reports something else.
constexpr ErrnoRow kErrnoRows[] = {
    {EINTR, 10004},        {EBADF, 10009},           {EACCES, 10013},          {EPERM, 10013},
    {EFAULT, 10014},       {EINVAL, 10022},          {EMFILE, 10024},          {ENFILE, 10024},
    {EWOULDBLOCK, 10035},  {EAGAIN, 10035},          {EINPROGRESS, 10036},     {EALREADY, 10037},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},   {EPIPE, 10054},           {ENOBUFS, 10055},         {ENOMEM, 10055},
    {EISCONN, 10056},      {ENOTCONN, 10057},        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},       {ESTALE, 10070},          {EREMOTE, 10071},
};

std::int32_t Winsock(int error) {
  if (error == 0) return 0;
  for (const ErrnoRow& row : kErrnoRows)
    if (row.error == error) return row.winsock;
  return 10022;  // what Winsock says of an argument it cannot use
}

void SetFromErrno(int error) { lastSocketError = Winsock(error); }

void SetFromResolver(int error) {
  switch (error) {
    case HOST_NOT_FOUND: lastSocketError = 11001; break;
    case TRY_AGAIN: lastSocketError = 11002; break;
    case NO_RECOVERY: lastSocketError = 11003; break;
    default: lastSocketError = 11004; break;  // NO_DATA and anything else
  }
}

int Descriptor(OsSocket socket) { return socket > static_cast<OsSocket>(0x7FFFFFFF) ? -1 : static_cast<int>(socket); }

void CopyEntry(const hostent* host, OsHostEntry* entry) {
  std::memset(entry, 0, sizeof *entry);
  if (host->h_name) std::strncpy(entry->name, host->h_name, sizeof entry->name - 1);
  if (host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list && host->h_addr_list[0])
    std::memcpy(entry->address, host->h_addr_list[0], 4);
}

}  // namespace

namespace host {
// For the secure connections over these sockets (tls.cpp).
void SetSocketError(std::int32_t code) { lastSocketError = code; }
std::int32_t SocketErrorOfErrno(int error) { return Winsock(error); }
}  // namespace host

std::int32_t OsSocketStartup(std::uint16_t version, std::uint16_t* reported) {
  // There is no service to start: the host speaks exactly the version asked
  // for as long as it is 1.1 or later.
  *reported = version;
  return 0;
}

int OsSocketCleanup() { return 1; }

std::int32_t OsSocketLastError() { return lastSocketError; }

OsSocket OsSocketOpen(std::int32_t type, std::int32_t protocol) {
  int kind = type == 1 ? SOCK_STREAM : type == 2 ? SOCK_DGRAM : -1;
  if (kind < 0) {
    lastSocketError = 10044;
    return kOsNoSocket;
  }
  int fd = ::socket(AF_INET, kind | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    SetFromErrno(errno);
    return kOsNoSocket;
  }
  return static_cast<OsSocket>(fd);
}

int OsSocketClose(OsSocket socket) {
  if (::close(Descriptor(socket)) != 0) {
    SetFromErrno(errno == EBADF ? ENOTSOCK : errno);
    return 0;
  }
  return 1;
}

int OsSocketShutdown(OsSocket socket) {
  if (::shutdown(Descriptor(socket), SHUT_RDWR) != 0) {
    SetFromErrno(errno == EBADF ? ENOTSOCK : errno);
    return 0;
  }
  return 1;
}

int OsSocketSetBlocking(OsSocket socket, int blocking) {
  int fd = Descriptor(socket);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) != 0) {
    SetFromErrno(errno == EBADF ? ENOTSOCK : errno);
    return 0;
  }
  return 1;
}

int OsSocketConnect(OsSocket socket, const unsigned char address[4], std::uint16_t port) {
  sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  std::memcpy(&peer.sin_addr, address, 4);
  if (::connect(Descriptor(socket), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 1;
  // Winsock reports a connection under way as would-block.
  SetFromErrno(errno == EINPROGRESS ? EWOULDBLOCK : errno == EBADF ? ENOTSOCK : errno);
  return 0;
}

std::int32_t OsSocketSend(OsSocket socket, const char* buffer, std::int32_t length) {
  ssize_t n = ::send(Descriptor(socket), buffer, static_cast<std::size_t>(length < 0 ? 0 : length), MSG_NOSIGNAL);
  if (n < 0) {
    SetFromErrno(errno == EBADF ? ENOTSOCK : errno);
    return -1;
  }
  return static_cast<std::int32_t>(n);
}

std::int32_t OsSocketReceive(OsSocket socket, char* buffer, std::int32_t length) {
  ssize_t n = ::recv(Descriptor(socket), buffer, static_cast<std::size_t>(length < 0 ? 0 : length), 0);
  if (n < 0) {
    SetFromErrno(errno == EBADF ? ENOTSOCK : errno);
    return -1;
  }
  // The reset is told once (ECONNRESET); a zero read after it is no close:
  // a closed peer leaves the connection's other half, a reset nothing.
  if (n == 0 && length > 0) {
    sockaddr_in peer = {};
    socklen_t size = sizeof peer;
    if (::getpeername(Descriptor(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0 && errno == ENOTCONN) {
      SetFromErrno(ECONNRESET);
      return -1;
    }
  }
  return static_cast<std::int32_t>(n);
}

int OsSocketReadable(OsSocket socket, std::uint32_t* bytes) {
  int waiting = 0;
  if (::ioctl(Descriptor(socket), FIONREAD, &waiting) != 0) {
    SetFromErrno(errno == EBADF ? ENOTSOCK : errno);
    return 0;
  }
  *bytes = static_cast<std::uint32_t>(waiting < 0 ? 0 : waiting);
  return 1;
}

int OsSocketPendingError(OsSocket socket, std::int32_t* code) {
  int value = 0;
  socklen_t size = sizeof value;
  if (::getsockopt(Descriptor(socket), SOL_SOCKET, SO_ERROR, &value, &size) != 0) {
    SetFromErrno(errno == EBADF ? ENOTSOCK : errno);
    return 0;
  }
  *code = Winsock(value);
  return 1;
}

int OsSocketSelect(OsSocketSet* read, OsSocketSet* write, OsSocketSet* error, std::int32_t seconds,
                   std::int32_t microseconds, std::int32_t* ready) {
  // One poll entry per socket of any set, with the events each set asks for.
  constexpr int kMost = 3 * kOsSocketSetSize;
  pollfd entries[kMost];
  int count = 0;
  OsSocketSet* sets[3] = {read, write, error};
  const short wanted[3] = {POLLIN, POLLOUT, POLLPRI};
  for (int s = 0; s < 3; ++s) {
    if (!sets[s]) continue;
    for (std::uint32_t i = 0; i < sets[s]->count && i < static_cast<std::uint32_t>(kOsSocketSetSize); ++i) {
      int fd = Descriptor(sets[s]->sockets[i]);
      int at = 0;
      while (at < count && entries[at].fd != fd) ++at;
      if (at == count) entries[count++] = pollfd{fd, 0, 0};
      entries[at].events = static_cast<short>(entries[at].events | wanted[s]);
    }
  }
  if (count == 0 && !read && !write && !error) {
    lastSocketError = 10022;  // Winsock refuses a select without sets
    return 0;
  }
  long long milliseconds = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
  if (milliseconds < 0) milliseconds = 0;
  if (milliseconds > 0x7FFFFFFF) milliseconds = 0x7FFFFFFF;
  int n;
  do {
    n = ::poll(entries, static_cast<nfds_t>(count), static_cast<int>(milliseconds));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetFromErrno(errno);
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    if (entries[i].revents & POLLNVAL) {
      lastSocketError = 10038;  // not a socket
      return 0;
    }
  }
  // As select reports: readable at data, end or error; writable when a send
  // would not wait (or would fail at once); the error set for a failed
  // connection or urgent data.
  const short ready_when[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLHUP | POLLERR, POLLPRI | POLLERR};
  std::int32_t total = 0;
  for (int s = 0; s < 3; ++s) {
    if (!sets[s]) continue;
    OsSocketSet kept = {};
    for (std::uint32_t i = 0; i < sets[s]->count && i < static_cast<std::uint32_t>(kOsSocketSetSize); ++i) {
      int fd = Descriptor(sets[s]->sockets[i]);
      for (int e = 0; e < count; ++e)
        if (entries[e].fd == fd && (entries[e].revents & ready_when[s])) {
          kept.sockets[kept.count++] = sets[s]->sockets[i];
          break;
        }
    }
    *sets[s] = kept;
    total += static_cast<std::int32_t>(kept.count);
  }
  *ready = total;
  return 1;
}

int OsHostByName(const char* name, OsHostEntry* entry) {
  const hostent* host = ::gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET) {
    SetFromResolver(host ? NO_DATA : h_errno);
    return 0;
  }
  CopyEntry(host, entry);
  return 1;
}

int OsHostByAddress(const unsigned char address[4], OsHostEntry* entry) {
  const hostent* host = ::gethostbyaddr(address, 4, AF_INET);
  if (host == nullptr) {
    SetFromResolver(h_errno);
    return 0;
  }
  CopyEntry(host, entry);
  return 1;
}

int OsLocalHostName(char* out, std::int32_t capacity) {
  if (capacity <= 0 || ::gethostname(out, static_cast<std::size_t>(capacity)) != 0) {
    SetFromErrno(capacity <= 0 ? EFAULT : errno);
    return 0;
  }
  out[capacity - 1] = '\0';
  return 1;
}
