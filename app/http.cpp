// The HTTP request client over the socket layer.
#include "http.h"

#include <cstring>

#include "command/progress.h"
#include "registry.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "url.h"

namespace {

constexpr const char* kUnit = "http";

// The proxy text when the flag asks for one and the user's settings enable
// it; empty otherwise. The log tells which.
void ReadProxy(std::int32_t useProxy, bool secure, char (&proxy)[kHttpTextRoom]) {
  proxy[0] = '\0';
  RegistryKey key = kRegistryNoKey;
  if (useProxy != 1 || !RegistryOpenKey(&key, RegistryCurrentUser, kInternetSettingsKey)) {
    LogPrint("Proxy Disabled (0x%.8X) : None\n", 0u);
    return;
  }
  std::int32_t enable = 0;
  char server[kRegistryBuffer] = {};
  if (!RegistryGetInteger(key, "ProxyEnable", &enable)) enable = 0;
  if (!RegistryGetString(key, "ProxyServer", server)) server[0] = '\0';
  RegistryCloseKey(&key);
  if (enable == 1 && server[0]) {
    HttpProxyFromSetting(server, proxy, sizeof proxy, secure);
    LogPrint("Proxy Enabled (0x%.8X) : %s\n", static_cast<unsigned>(enable), proxy);
  } else {
    LogPrint("Proxy Disabled (0x%.8X) : None\n", static_cast<unsigned>(enable));
  }
}

// Narrows the handle's time-outs to what is left until the deadline
// (OsTickCount's ms; 0 is none), so that no wait of the socket layer
// outlasts it; once it has passed every wait ends at once.
void Narrow(SocketHandle* handle, std::uint64_t deadline) {
  if (deadline == 0) return;
  std::uint64_t now = OsTickCount();
  std::uint64_t left = now >= deadline ? 0 : deadline - now;
  std::int32_t timeout = left < static_cast<std::uint64_t>(kSocketDefaultTimeout) ? static_cast<std::int32_t>(left)
                                                                                  : kSocketDefaultTimeout;
  handle->sendTimeout = timeout;
  handle->receiveTimeout = timeout;
}

// The proxy's tunnel to the server (CONNECT), for a secure connection
// through it; the proxy's reply is read into the header buffer, which the
// request header takes afterwards. 0, with a log line, when the proxy
// would not open it.
std::int32_t OpenTunnel(SocketHandle* handle, const char* authority, const char* userAgent, char* buffer,
                        std::int32_t size, std::uint64_t deadline) {
  std::int32_t length = 0;
  bool composed = StrFormatBounded(buffer, static_cast<std::size_t>(size), "CONNECT %s HTTP/1.0\r\nHost: %s\r\n",
                                   authority, authority) != 0;
  if (composed && userAgent) {
    composed = StrAppendBounded(buffer, static_cast<std::size_t>(size), "User-Agent: ") &&
               StrAppendBounded(buffer, static_cast<std::size_t>(size), userAgent) &&
               StrAppendBounded(buffer, static_cast<std::size_t>(size), "\r\n");
  }
  composed = composed && StrAppendBounded(buffer, static_cast<std::size_t>(size), "\r\n");
  if (!composed || !SocketSendAll(handle, buffer, StrLength(buffer))) {
    LogPrint("Unable to ask the proxy for a tunnel to '%s' (%s)\n", authority, SocketErrorText(handle));
    return 0;
  }
  // Nothing follows the proxy's reply until the handshake starts, so the
  // reply is read up to its end and no further.
  std::int32_t end = 0;
  while (!HttpHeaderEnd(buffer, length, &end)) {
    std::int32_t count = 0;
    Narrow(handle, deadline);
    if (length >= size - 1 || !SocketReceive(handle, buffer + length, size - length - 1, &count)) {
      LogPrint("Unable to open a tunnel to '%s' through the proxy (no reply)\n", authority);
      return 0;
    }
    length += count;
    buffer[length] = '\0';
  }
  HttpReplyHead head;
  HttpParseHead(buffer, end, &head);
  if (head.status < 200 || head.status > 299 || end != length) {
    std::int32_t cut = 0;
    while (cut < 79 && cut < end && buffer[cut] != '\r' && buffer[cut] != '\n') ++cut;
    buffer[cut] = '\0';
    LogPrint("Unable to open a tunnel to '%s' through the proxy ('%s')\n", authority, buffer);
    return 0;
  }
  return 1;
}

}  // namespace

std::int32_t HttpSplitUrl(const char* url, char* site, char* path) {
  site[0] = '\0';
  path[0] = '\0';
  Url parsed;
  if (!UrlParse(url, &parsed)) return 0;
  char host[kHttpTextRoom];
  UrlAuthority(parsed, false, host, sizeof host);  // fits: shorter than the URL
  // The site names the server without its port and without any user.
  if (parsed.portWritten) *std::strrchr(host, ':') = '\0';
  bool slash = parsed.path[0] != '\0' || parsed.portWritten;
  StrFormatBounded(site, kHttpTextRoom, slash ? "%s://%s/" : "%s://%s", parsed.scheme, host);
  StrCopyBounded(path, kHttpTextRoom, parsed.path);
  return 1;
}

std::int32_t HttpHostName(const char* url, char* name) {
  Url parsed;
  if (!UrlParse(url, &parsed)) return 0;
  return StrCopyBounded(name, kHttpTextRoom, parsed.host);
}

std::int32_t HttpHostValue(const char* url, char* host) {
  Url parsed;
  if (!UrlParse(url, &parsed)) return 0;
  return UrlAuthority(parsed, false, host, kHttpTextRoom);
}

void HttpProxyFromSetting(const char* setting, char* proxy, std::size_t capacity, bool secure) {
  const char* start = setting;
  char* entry = nullptr;
  if (secure && StrFindNoCase(setting, "https=", &entry))
    start = entry + 6;
  else if (StrFindNoCase(setting, "http=", &entry))
    start = entry + 5;
  const char* end = std::strchr(start, ';');
  std::size_t length = end ? static_cast<std::size_t>(end - start) : std::strlen(start);
  if (length >= capacity) length = capacity - 1;
  std::memcpy(proxy, start, length);
  proxy[length] = '\0';
}

std::int32_t HttpComposeHeader(const char* method, const char* target, const char* userAgent, const char* host,
                               std::int32_t contentLength, char* header, std::int32_t headerSize,
                               std::int32_t* headerLength) {
  if (headerSize <= 0) return 0;
  std::size_t size = static_cast<std::size_t>(headerSize);
  header[0] = '\0';
  bool fits = StrFormatBounded(header, size, "%s %s HTTP/1.0\r\n", method, target[0] ? target : "/");
  char line[kHttpTextRoom + 32];
  if (userAgent) {
    fits = fits && StrAppendBounded(header, size, "User-Agent: ");
    fits = fits && StrAppendBounded(header, size, userAgent);
    fits = fits && StrAppendBounded(header, size, "\r\n");
  }
  StrFormatBounded(line, sizeof line, "Host: %s\r\n", host);
  fits = fits && StrAppendBounded(header, size, line);
  if (contentLength > 0) {
    StrFormatBounded(line, sizeof line, "Content-Length: %d\r\n", contentLength);
    fits = fits && StrAppendBounded(header, size, line);
  }
  fits = fits && StrAppendBounded(header, size, "Connection: closed\r\n\r\n");
  if (!fits) return 0;
  *headerLength = StrLength(header);
  return 1;
}

std::int32_t HttpClient(const char* url, const char* userAgent, const char* method, std::int32_t contentLength,
                        std::int32_t useProxy, SocketHandle** handle, char* header, std::int32_t headerSize,
                        std::int32_t* headerLength) {
  return HttpClientUntil(url, userAgent, method, contentLength, useProxy, 0, handle, header, headerSize, headerLength);
}

std::int32_t HttpClientUntil(const char* url, const char* userAgent, const char* method, std::int32_t contentLength,
                             std::int32_t useProxy, std::uint64_t deadline, SocketHandle** handle, char* header,
                             std::int32_t headerSize, std::int32_t* headerLength) {
  CHECK_POINTER(kUnit, url);
  CHECK_POINTER(kUnit, method);
  CHECK_POINTER(kUnit, handle);
  CHECK_POINTER(kUnit, header);
  CHECK_POINTER(kUnit, headerLength);
  ProgressWindowSet(0);
  bool secure = HttpIsSecureUrl(url) != 0;
  // A longer URL would be cut, and a cut URL names another resource.
  if (StrLength(url) >= static_cast<std::int32_t>(kHttpTextRoom)) {
    LogPrint("Unable to use URL '%s' (longer than %d characters)\n", url, static_cast<int>(kHttpTextRoom - 1));
    return 0;
  }
  Url parsed;
  if (!UrlParse(url, &parsed)) {
    LogPrint("Unable to use URL '%s' (not of the form scheme://host[:port]/path)\n", url);
    return 0;
  }
  if (!UrlHasScheme(url, "http") && !secure) {
    LogPrint("Unable to use URL '%s' (neither http nor https)\n", url);
    return 0;
  }
  char site[kHttpTextRoom];
  char path[kHttpTextRoom];
  char host[kHttpTextRoom];
  HttpSplitUrl(url, site, path);
  if (parsed.hasUser) {
    // A user name and password would go out in clear text, and would end up
    // in the log; the URL is not used at all.
    LogPrint("Unable to use URL '%s%s' (it carries a user name or password, which are never sent)\n", site,
             path[0] == '/' ? path + 1 : path);
    return 0;
  }
  UrlAuthority(parsed, false, host, sizeof host);
  char name[kHttpTextRoom];
  HttpHostName(url, name);
  ProgressWindowSet(20);
  LogPrint("Contacting '%s' '%s'\n", site, path);

  char proxy[kHttpTextRoom];
  ReadProxy(useProxy, secure, proxy);
  HostAddress target;
  std::memset(&target, 0, sizeof target);
  const char* machine = proxy[0] ? proxy : url;
  if (!HostFromUrl(&target, machine)) {
    LogPrint("Unable to get machine for URL '%s'\n", machine);
    return 0;
  }
  ProgressWindowSet(40);

  SocketHandle* made = nullptr;
  SocketNew(&made);
  SocketCreate(made, ProtocolTcp);  // a socket that could not be made fails the connection
  Narrow(made, deadline);
  if (!SocketConnect(made, target.address, target.port)) {
    LogPrint("Unable to connect to machine %d.%d.%d.%d:%d for URL '%s'\n", target.address[0], target.address[1],
             target.address[2], target.address[3], target.port, url);
    SocketClose(made);
    SocketDelete(&made);
    return 0;
  }

  if (secure) {
    // Through a proxy the request goes inside its tunnel, which names the
    // server's port always.
    char authority[kHttpTextRoom + 8];
    UrlAuthority(parsed, true, authority, sizeof authority);
    bool tunnel = !proxy[0] || OpenTunnel(made, authority, userAgent, header, headerSize, deadline);
    Narrow(made, deadline);
    if (!tunnel || !SocketSecure(made, name)) {
      LogPrint("Unable to connect securely to machine %d.%d.%d.%d:%d for URL '%s'\n", target.address[0],
               target.address[1], target.address[2], target.address[3], target.port, url);
      SocketClose(made);
      SocketDelete(&made);
      return 0;
    }
  }

  if (!HttpComposeHeader(method, proxy[0] && !secure ? url : path, userAgent, host, contentLength, header, headerSize,
                         headerLength)) {
    LogPrint("Unable to compose the request for URL '%s' (header buffer of %d bytes)\n", url, headerSize);
    SocketClose(made);
    SocketDelete(&made);
    return 0;
  }
  // The caller's exchange keeps its own bounds.
  made->sendTimeout = kSocketDefaultTimeout;
  made->receiveTimeout = kSocketDefaultTimeout;
  *handle = made;
  return 1;
}

std::int32_t HttpIsSecureUrl(const char* url) {
  CHECK_POINTER(kUnit, url);
  return UrlHasScheme(url, "https");
}

std::int32_t HttpHeaderEnd(const char* text, std::int32_t length, std::int32_t* body) {
  CHECK_POINTER(kUnit, text);
  CHECK_POINTER(kUnit, body);
  *body = 0;
  // An empty line: a LF followed by a LF, or by CR LF.
  for (std::int32_t at = 0; at < length; ++at) {
    if (text[at] != '\n') continue;
    if (at + 1 < length && text[at + 1] == '\n') {
      *body = at + 2;
      return 1;
    }
    if (at + 2 < length && text[at + 1] == '\r' && text[at + 2] == '\n') {
      *body = at + 3;
      return 1;
    }
  }
  return 0;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The value of a header line "name: value" whose name is the given one, or
// null when the line is another's. The value runs up to *end.
const char* LineValue(const char* line, const char* end, const char* name, std::int32_t nameLength) {
  if (end - line <= nameLength || !StrCompareNoCaseN(line, name, nameLength)) return nullptr;
  const char* at = line + nameLength;
  while (at < end && IsBlank(*at)) ++at;
  if (at == end || *at != ':') return nullptr;
  ++at;
  while (at < end && IsBlank(*at)) ++at;
  return at;
}

// Digits only, then only blanks, within 32 bits.
bool ParseLength(const char* at, const char* end, std::uint32_t* value) {
  std::uint64_t number = 0;
  const char* first = at;
  while (at < end && IsDigit(*at)) {
    number = number * 10 + static_cast<std::uint64_t>(*at - '0');
    if (number > 0xFFFFFFFFull) return false;
    ++at;
  }
  if (at == first) return false;
  while (at < end && (IsBlank(*at) || *at == '\r')) ++at;
  if (at != end) return false;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

}  // namespace

void HttpParseHead(const char* head, std::int32_t length, HttpReplyHead* result) {
  CHECK_POINTER(kUnit, head);
  CHECK_POINTER(kUnit, result);
  *result = HttpReplyHead();
  const char* end = head + length;
  if (length < 5 || !StrCompareN(head, "HTTP/", 5)) return;
  // "HTTP/", the version's digits and dots, one blank, three digits, then a
  // blank or the line's end.
  const char* at = head + 5;
  while (at < end && (IsDigit(*at) || *at == '.')) ++at;
  bool sound = at > head + 5 && at < end && *at == ' ';
  if (sound) ++at;
  sound = sound && end - at >= 3 && IsDigit(at[0]) && IsDigit(at[1]) && IsDigit(at[2]);
  if (sound) sound = end - at == 3 || at[3] == ' ' || at[3] == '\r' || at[3] == '\n';
  if (!sound) {
    result->status = 0;
    result->usable = false;
    return;
  }
  result->status = (at[0] - '0') * 100 + (at[1] - '0') * 10 + (at[2] - '0');
  // The header lines: each starts after a LF.
  for (const char* line = head; line < end;) {
    const char* lineEnd = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
    if (lineEnd == nullptr) lineEnd = end;
    if (line != head) {
      if (const char* value = LineValue(line, lineEnd, "Content-Length", 14)) {
        std::uint32_t number = 0;
        if (!ParseLength(value, lineEnd, &number) || (result->hasLength && number != result->length))
          result->usable = false;
        result->hasLength = true;
        result->length = number;
      } else if (LineValue(line, lineEnd, "Transfer-Encoding", 17)) {
        result->usable = false;
      }
    }
    line = lineEnd + 1;
  }
}

std::int32_t HttpReceive(SocketHandle* handle, char* buffer, std::int32_t length, std::uint64_t deadline,
                         std::int32_t* count) {
  CHECK_POINTER(kUnit, handle);
  CHECK_POINTER(kUnit, buffer);
  CHECK_POINTER(kUnit, count);
  *count = 0;
  if (handle->socket == kOsNoSocket) return kHttpFailed;
  // Data already waiting needs no wait (each wait is a round trip to the
  // system under Wine).
  std::uint32_t waiting = 0;
  if (!SocketWaiting(handle, &waiting) || waiting == 0) {
    std::uint64_t now = OsTickCount();
    if (now >= deadline) {
      LogPrint("Failed to receive the reply in time\n");
      return kHttpFailed;
    }
    std::uint64_t wait = deadline - now;
    if (handle->receiveTimeout > 0 && wait > static_cast<std::uint64_t>(handle->receiveTimeout))
      wait = static_cast<std::uint64_t>(handle->receiveTimeout);
    SocketSet set;
    SocketSetEmpty(&set);
    SocketSetAdd(&set, handle);
    std::int32_t ready = 0;
    if (!SocketWait(&set, nullptr, nullptr, static_cast<std::int32_t>(wait), &ready) || ready == 0) {
      LogPrint("Failed to receive the reply in time\n");
      return kHttpFailed;
    }
  }
  std::int32_t n = SocketReceiveOnce(handle, buffer, length);
  if (n > 0) {
    *count = n;
    return kHttpReceived;
  }
  if (n == 0) return kHttpClosed;
  std::int32_t code = OsSocketLastError();
  if (code == kWsaWouldBlock) return kHttpReceived;
  LogPrint("Failed to receive (%s)\n", SocketErrorCodeText(code));
  return kHttpFailed;
}
