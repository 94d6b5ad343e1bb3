// The one reader of URLs.
#include "url.h"

#include <cstring>

#include "tessel-str.h"

namespace {

struct SchemePort {
  const char* scheme;
  std::int32_t port;
};

constexpr SchemePort kSchemePorts[] = {
    {"http", 80}, {"https", 443}, {"ftp", 21}, {"telnet", 23}, {"shout", 8000},
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Blanks and control characters would split a request line or a header.
bool HasBlankOrControl(const char* text) {
  for (const char* c = text; *c; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte <= 0x20 || byte == 0x7F) return true;
  }
  return false;
}

bool CopyPart(char* out, std::size_t capacity, const char* start, const char* end) {
  std::size_t length = static_cast<std::size_t>(end - start);
  if (length >= capacity) return false;
  std::memcpy(out, start, length);
  out[length] = '\0';
  return true;
}

bool ValidScheme(const char* start, const char* end) {
  if (start == end || !IsAlpha(*start)) return false;
  for (const char* c = start; c < end; ++c)
    if (!IsAlpha(*c) && !IsDigit(*c) && *c != '+' && *c != '-' && *c != '.') return false;
  return true;
}

// A host name or dotted quad: letters, digits, '-', '.', '_'.
bool ValidName(const char* start, const char* end) {
  if (start == end) return false;
  for (const char* c = start; c < end; ++c)
    if (!IsAlpha(*c) && !IsDigit(*c) && *c != '-' && *c != '.' && *c != '_') return false;
  return true;
}

bool ValidIpv6(const char* start, const char* end) {
  bool colon = false;
  for (const char* c = start; c < end; ++c) {
    if (*c == ':') colon = true;
    if (!IsHex(*c) && *c != ':' && *c != '.') return false;
  }
  return colon;
}

// Digits only, 1..65535; an empty port text means the scheme's.
bool ReadPort(const char* start, const char* end, Url* url) {
  if (start == end) return true;
  if (end - start > 5) return false;
  std::int32_t value = 0;
  for (const char* c = start; c < end; ++c) {
    if (!IsDigit(*c)) return false;
    value = value * 10 + (*c - '0');
  }
  if (value < 1 || value > 65535) return false;
  url->port = value;
  url->portWritten = true;
  return true;
}

bool ReadAuthority(const char* start, const char* end, Url* url) {
  if (end - start >= static_cast<std::ptrdiff_t>(kUrlAuthorityRoom)) return false;
  const char* at = nullptr;
  for (const char* c = start; c < end; ++c)
    if (*c == '@') at = c;
  if (at) {
    url->hasUser = true;
    CopyPart(url->user, sizeof url->user, start, at);  // fits: shorter than the authority
    start = at + 1;
  }
  const char* portStart = end;
  if (start < end && *start == '[') {
    const char* close = static_cast<const char*>(std::memchr(start, ']', static_cast<std::size_t>(end - start)));
    if (!close || !ValidIpv6(start + 1, close)) return false;
    if (close + 1 < end && close[1] != ':') return false;
    url->ipv6 = true;
    CopyPart(url->host, sizeof url->host, start + 1, close);
    if (close + 1 < end) portStart = close + 2;
  } else {
    const char* colon = static_cast<const char*>(std::memchr(start, ':', static_cast<std::size_t>(end - start)));
    const char* nameEnd = colon ? colon : end;
    if (!ValidName(start, nameEnd)) return false;
    CopyPart(url->host, sizeof url->host, start, nameEnd);
    if (colon) portStart = colon + 1;
  }
  return ReadPort(portStart, end, url);
}

std::int32_t Parse(const char* text, Url* url, bool schemeRequired) {
  std::memset(url, 0, sizeof *url);
  if (HasBlankOrControl(text)) return 0;
  const char* start = text;
  const char* separator = std::strstr(text, "://");
  const char* slash = std::strchr(text, '/');
  if (separator && slash == separator + 1) {
    if (!ValidScheme(text, separator) || !CopyPart(url->scheme, sizeof url->scheme, text, separator)) return 0;
    start = separator + 3;
  } else if (schemeRequired) {
    return 0;
  }
  url->port = UrlSchemePort(url->scheme);
  const char* end = start + std::strcspn(start, "/?#");
  // A query or fragment straight after the host has no path to belong to.
  bool parsed = (*end == '\0' || *end == '/') && ReadAuthority(start, end, url) &&
                CopyPart(url->path, sizeof url->path, end, end + std::strlen(end));
  if (!parsed) std::memset(url, 0, sizeof *url);
  return parsed ? 1 : 0;
}

}  // namespace

std::int32_t UrlParse(const char* text, Url* url) { return Parse(text, url, true); }

std::int32_t UrlParseHost(const char* text, Url* url) { return Parse(text, url, false); }

std::int32_t UrlSchemePort(const char* scheme) {
  for (const SchemePort& row : kSchemePorts)
    if (StrEqualNoCase(scheme, row.scheme)) return row.port;
  return 0;
}

std::int32_t UrlHasScheme(const char* text, const char* scheme) {
  std::int32_t length = StrLength(scheme);
  return StrCompareNoCaseN(text, scheme, length) && std::strncmp(text + length, "://", 3) == 0 ? 1 : 0;
}

std::int32_t UrlAuthority(const Url& url, bool alwaysPort, char* out, std::size_t capacity) {
  const char* format = url.ipv6 ? "[%s]" : "%s";
  if (!StrFormatBounded(out, capacity, format, url.host)) return 0;
  if (!url.portWritten && !alwaysPort) return 1;
  char port[8];
  StrFormatBounded(port, sizeof port, ":%d", static_cast<int>(url.port));
  return StrAppendBounded(out, capacity, port) ? 1 : 0;
}
