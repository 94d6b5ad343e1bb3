// The HTTP request client over the socket layer.
#include "http.h"

#include <cstring>

#include "command/progress.h"
#include "registry.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "http";

// Where the host part of a URL starts: after "://", else at the beginning.
const char* HostStart(const char* url) {
  char* separator = nullptr;
  return StrFind(url, "://", &separator) ? separator + 3 : url;
}

// The proxy text when the flag asks for one and the user's settings enable
// it; empty otherwise. The log tells which.
void ReadProxy(std::int32_t useProxy, char (&proxy)[kHttpTextRoom]) {
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
    HttpProxyFromSetting(server, proxy, sizeof proxy);
    LogPrint("Proxy Enabled (0x%.8X) : %s\n", static_cast<unsigned>(enable), proxy);
  } else {
    LogPrint("Proxy Disabled (0x%.8X) : None\n", static_cast<unsigned>(enable));
  }
}

}  // namespace

void HttpSplitUrl(const char* url, char* site, char* path) {
  StrCopyBounded(site, kHttpTextRoom, url);
  path[0] = '\0';
  std::size_t start = static_cast<std::size_t>(HostStart(url) - url);
  std::size_t at = start;
  std::size_t colon = 0;
  bool sawColon = false;
  while (site[at] && site[at] != '/') {
    if (site[at] == ':') {
      colon = at;
      sawColon = true;
    }
    ++at;
  }
  if (site[at] == '/') {
    StrCopyBounded(path, kHttpTextRoom, url + at);
    site[at + 1] = '\0';
  }
  if (sawColon) {
    site[colon] = '/';
    site[colon + 1] = '\0';
  }
}

std::int32_t HttpHostValue(const char* url, char* host) {
  const char* start = HostStart(url);
  const char* end = start;
  while (*end && *end != '/') {
    if (*end == '@') start = end + 1;
    ++end;
  }
  std::size_t length = static_cast<std::size_t>(end - start);
  // A colon with no port behind it names none.
  const char* colon = static_cast<const char*>(std::memchr(start, ':', length));
  if (colon && colon + 1 == end) length = static_cast<std::size_t>(colon - start);
  if (length >= kHttpTextRoom) return 0;
  std::memcpy(host, start, length);
  host[length] = '\0';
  return 1;
}

void HttpProxyFromSetting(const char* setting, char* proxy, std::size_t capacity) {
  const char* start = setting;
  char* entry = nullptr;
  if (StrFindNoCase(setting, "http=", &entry)) start = entry + 5;
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
  CHECK_POINTER(kUnit, url);
  CHECK_POINTER(kUnit, method);
  CHECK_POINTER(kUnit, handle);
  CHECK_POINTER(kUnit, header);
  CHECK_POINTER(kUnit, headerLength);
  ProgressWindowSet(0);
  // A longer URL would be cut, and a cut URL names another resource.
  if (StrLength(url) >= static_cast<std::int32_t>(kHttpTextRoom)) {
    LogPrint("Unable to use URL '%s' (longer than %d characters)\n", url, static_cast<int>(kHttpTextRoom - 1));
    return 0;
  }
  char site[kHttpTextRoom];
  char path[kHttpTextRoom];
  char host[kHttpTextRoom];
  HttpSplitUrl(url, site, path);
  HttpHostValue(url, host);  // fits: no longer than the URL
  ProgressWindowSet(20);
  LogPrint("Contacting '%s' '%s'\n", site, path);

  char proxy[kHttpTextRoom];
  ReadProxy(useProxy, proxy);
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
  if (!SocketConnect(made, target.address, target.port)) {
    // Why, in the system's words: a refusal is pending on the socket, a
    // connection that failed at once left the last error (read before any
    // log line, whose writing may change it).
    std::int32_t last = SocketErrorCode(nullptr);
    std::int32_t code = SocketErrorCode(made);
    if (code == 0) code = last;
    LogPrint("Unable to connect to machine %d.%d.%d.%d:%d for URL '%s'\n", target.address[0], target.address[1],
             target.address[2], target.address[3], target.port, url);
    if (code != 0) LogPrint("Failed to connect (%s)\n", SocketErrorCodeText(code));
    SocketClose(made);
    SocketDelete(&made);
    return 0;
  }

  if (!HttpComposeHeader(method, proxy[0] ? url : path, userAgent, host, contentLength, header, headerSize,
                         headerLength)) {
    LogPrint("Unable to compose the request for URL '%s' (header buffer of %d bytes)\n", url, headerSize);
    SocketClose(made);
    SocketDelete(&made);
    return 0;
  }
  *handle = made;
  return 1;
}
