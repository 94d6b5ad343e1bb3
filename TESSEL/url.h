// The one reader of URLs: scheme, user information, host (an IPv6 literal
// in brackets), port and path. Every part has a bounded field; a URL whose
// part does not fit is refused whole, never cut, since a cut URL names
// another resource.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kUrlSchemeRoom = 40;      // 39 characters
constexpr std::size_t kUrlAuthorityRoom = 120;  // user information, host and port: 119 characters
constexpr std::size_t kUrlPathRoom = 320;       // URLs are at most 319 characters

struct Url {
  char scheme[kUrlSchemeRoom];   // as written; empty when the text has none
  char user[kUrlAuthorityRoom];  // user information before '@'; never sent
  bool hasUser;                  // an '@' was there, even with nothing before it
  char host[kUrlAuthorityRoom];  // a name, a dotted quad, or an IPv6 literal without brackets
  bool ipv6;                     // the host was written in brackets
  std::int32_t port;             // the written port, else the scheme's (0 for an unknown scheme)
  bool portWritten;              // digits followed a ':' after the host
  char path[kUrlPathRoom];       // from the first '/' after the host on, query included; may be empty
};

// Reads "scheme://[user@]host[:port][/path]". 0, with *url emptied, when
// the text has no scheme, an empty or malformed host, a port that is not
// 1..65535 in digits, a blank or control character anywhere, or a part
// longer than its field.
std::int32_t UrlParse(const char* text, Url* url);
// The same, the scheme and its "://" optional: a proxy is written as
// "host:port".
std::int32_t UrlParseHost(const char* text, Url* url);
// The port a scheme implies (ASCII case ignored); 0 for one the system
// does not know.
std::int32_t UrlSchemePort(const char* scheme);
// 1 when the text starts with the scheme (ASCII case ignored) and "://".
std::int32_t UrlHasScheme(const char* text, const char* scheme);
// The host as a Host line or a tunnel names it: in brackets when IPv6,
// ":port" added when written (or always, with alwaysPort). 0 when it does
// not fit capacity bytes.
std::int32_t UrlAuthority(const Url& url, bool alwaysPort, char* out, std::size_t capacity);
