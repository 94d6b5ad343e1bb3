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

// The steps of HttpClient, for its callers' tests.

// The site text (scheme, "://", host, '/'; the port left out) and the path
// text of a URL of at most 319 characters, each into kHttpTextRoom bytes.
void HttpSplitUrl(const char* url, char* site, char* path);
// The value of a valid Host line: the URL's host name, with ":port" when
// the URL writes a port (user information left out). 0 when it does not
// fit kHttpTextRoom.
std::int32_t HttpHostValue(const char* url, char* host);
// The proxy of a "ProxyServer" value: the "http=" entry of a list, or the
// whole value, up to the first ';'.
void HttpProxyFromSetting(const char* setting, char* proxy, std::size_t capacity);
// The request header; 0 (and nothing promised in header) when it does not
// fit headerSize bytes with its terminator.
std::int32_t HttpComposeHeader(const char* method, const char* target, const char* userAgent, const char* host,
                               std::int32_t contentLength, char* header, std::int32_t headerSize,
                               std::int32_t* headerLength);
