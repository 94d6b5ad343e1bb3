// The HTTP request client: resolves and connects a TCP socket to a web
// server, directly or through the user's proxy, and composes the HTTP/1.0
// request header. The caller sends the header (and a body), reads the
// reply, and shuts down, closes and deletes the handle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "socket.h"

constexpr std::size_t kHttpTextRoom = 320;  // URLs are at most 319 characters
constexpr const char* kInternetSettingsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::int32_t HttpClient(const char* url, const char* userAgent, const char* method, std::int32_t contentLength,
                        std::int32_t useProxy, SocketHandle** handle, char* header, std::int32_t headerSize,
                        std::int32_t* headerLength);

// HttpClient within a deadline (OsTickCount's milliseconds; 0 for none):
// the connection, the proxy's tunnel and the TLS handshake all end by then,
// each wait narrowed to the time left, so that an attempt's own bound
// covers them. The handle handed out has the socket layer's usual time-outs.
std::int32_t HttpClientUntil(const char* url, const char* userAgent, const char* method, std::int32_t contentLength,
                             std::int32_t useProxy, std::uint64_t deadline, SocketHandle** handle, char* header,
                             std::int32_t headerSize, std::int32_t* headerLength);

// The steps of HttpClient, for its callers' tests.

// The site text the log shows (scheme, "://", host, and '/' when a path or
// port follows; the port and any user left out) and the path text of a URL
// of at most 319 characters, each into kHttpTextRoom bytes. 0, both empty,
// when the text is not a URL.
std::int32_t HttpSplitUrl(const char* url, char* site, char* path);
// The value of a valid Host line: the URL's host (IPv6 in brackets), with
// ":port" when the URL writes a port; never the user information. 0 when
// the text is not a URL.
std::int32_t HttpHostValue(const char* url, char* host);
// The host name alone (no port, no brackets), the one a secure connection
// verifies; 0 when the text is not a URL.
std::int32_t HttpHostName(const char* url, char* name);
// The proxy of a "ProxyServer" value: the "http=" entry of a list (for a
// secure connection its "https=" entry when it has one), or the whole
// value, up to the first ';'.
void HttpProxyFromSetting(const char* setting, char* proxy, std::size_t capacity, bool secure = false);
// The request header; 0 (and nothing promised in header) when it does not
// fit headerSize bytes with its terminator.
std::int32_t HttpComposeHeader(const char* method, const char* target, const char* userAgent, const char* host,
                               std::int32_t contentLength, char* header, std::int32_t headerSize,
                               std::int32_t* headerLength);

// 1 when the URL names the https scheme (ASCII case ignored): HttpClient
// then speaks TLS to the server (inside the proxy's tunnel through a
// proxy), and hands out a handle whose traffic is encrypted.
std::int32_t HttpIsSecureUrl(const char* url);

// The reply's header as the update reads it.
struct HttpReplyHead {
  std::int32_t status = -1;  // the status code; -1 when the reply has no status line
  bool usable = true;        // false: a broken status line, two lengths, a framing of its own
  bool hasLength = false;    // a Content-Length line was there
  std::uint32_t length = 0;  // its value
};
// Where the header of a reply ends: after its first empty line, whose line
// ends may be CR LF or LF alone. The body's offset in *body; 0 while the
// text holds no empty line yet. Looks only at the text given, which must
// start at the reply's first byte.
std::int32_t HttpHeaderEnd(const char* text, std::int32_t length, std::int32_t* body);
// Reads the status line and the framing lines of a complete header (the
// text up to its end): the status code is the whole three-digit field after
// "HTTP/x.y ", followed by a blank or the line's end; Content-Length counts
// only as a header name at a line's start, with digits only, within 32
// bits, and two different values, or a Transfer-Encoding, make the reply
// unusable. A text that does not start with "HTTP/" has no status line.
void HttpParseHead(const char* head, std::int32_t length, HttpReplyHead* result);

// The outcomes of HttpReceive.
constexpr std::int32_t kHttpReceived = 1;  // bytes arrived (*count of them)
constexpr std::int32_t kHttpClosed = 0;    // the server ended the reply in order
constexpr std::int32_t kHttpFailed = -1;   // an error, a reset, or the deadline passed
// One receive that tells an orderly close from an error, waiting at most
// until the deadline (OsTickCount's milliseconds) and never longer than the
// handle's own receive time-out.
std::int32_t HttpReceive(SocketHandle* handle, char* buffer, std::int32_t length, std::uint64_t deadline,
                         std::int32_t* count);
