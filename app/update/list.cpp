// The version list: one GET of it, the body of its reply, and the search
// of this product's entry in it.
#include <cstring>

#include "internal.h"
#include "problems.h"
#include "progress.h"
#include "settings.h"
#include "socket.h"
#include "tessel-core.h"
#include "tessel-str.h"

using update::g_limits;
using update::g_update;
using update::kCaption;
using update::kUnit;

std::int32_t ParseVersion(double* number, char* text) {
  CHECK_POINTER(kUnit, number);
  CHECK_POINTER(kUnit, text);
  char* end = text;
  while ((*end >= '0' && *end <= '9') || *end == '.') ++end;
  *end = '\0';
  // The decimal conversion stops at a second '.': 1.2.3 counts as 1.2.
  double value = 0;
  double scale = 0;
  for (const char* c = text; *c; ++c) {
    if (*c == '.') {
      if (scale != 0) break;
      scale = 1;
      continue;
    }
    if (scale == 0) {
      value = value * 10 + (*c - '0');
    } else {
      scale /= 10;
      value += (*c - '0') * scale;
    }
  }
  *number = value;
  return 1;
}

std::int32_t ReadReplyField(const char** position, char* destination, std::int32_t capacity) {
  CHECK_POINTER(kUnit, position);
  CHECK_POINTER(kUnit, destination);
  const char* from = *position;
  std::int32_t length = 0;
  while (static_cast<unsigned char>(from[length]) >= 0x20) {
    if (length + 1 >= capacity) return 0;
    ++length;
  }
  std::memcpy(destination, from, static_cast<std::size_t>(length));
  destination[length] = '\0';
  *position = from + length;
  return 1;
}

std::int32_t UpdateFindEntry(InstallSettings* settings, const char* reply, UpdateEntry* entry) {
  CHECK_POINTER(kUnit, settings);
  CHECK_POINTER(kUnit, reply);
  CHECK_POINTER(kUnit, entry);
  char ownKey[2 * kSettingsText + 2];
  StrFormatBounded(ownKey, sizeof ownKey, "%s %s", settings->CompanyName, settings->ProductName);
  *entry = UpdateEntry();
  char scratch[kUpdateField];
  for (const char* at = reply; *at;) {
    if (*at != kUpdateRecordMark) {
      ++at;
      continue;
    }
    char type = at[1];
    if (type == '\0') return 0;
    at += 2;
    std::int32_t read = 1;
    switch (type) {
      // A new entry keeps the download URL and the version number of the
      // one before it until it names its own; a signature is its own.
      case '1':
        entry->key[0] = entry->newVersion[0] = entry->versionText[0] = entry->webPage[0] = '\0';
        entry->signature[0] = entry->pageSignature[0] = '\0';
        entry->signatures = entry->pageSignatures = 0;
        read = ReadReplyField(&at, entry->key, sizeof entry->key);
        break;
      case '2':
        read = ReadReplyField(&at, entry->newVersion, sizeof entry->newVersion);
        if (read) {
          StrCopyBounded(entry->versionText, entry->newVersion);
          ParseVersion(&entry->latest, entry->newVersion);
        }
        break;
      case '3': read = ReadReplyField(&at, entry->webPage, sizeof entry->webPage); break;
      case '4': read = ReadReplyField(&at, entry->downloadUrl, sizeof entry->downloadUrl); break;
      case '5':
        read = ReadReplyField(&at, entry->signature, sizeof entry->signature);
        ++entry->signatures;
        break;
      case '6':
        read = ReadReplyField(&at, entry->pageSignature, sizeof entry->pageSignature);
        ++entry->pageSignatures;
        break;
      case '0':
        if (StrEqualNoCase(entry->key, ownKey)) return 1;
        break;
      default:
        read = ReadReplyField(&at, scratch, sizeof scratch);
        if (read) LogPrint("Unknown '%s'\n", scratch);
        break;
    }
    if (!read) return 0;
  }
  return 0;
}

std::int32_t UpdateParseReply(InstallSettings* settings, const char* reply) {
  static UpdateEntry entry;
  double current = 0;
  ParseVersion(&current, settings->ProductVersion);
  if (!UpdateFindEntry(settings, reply, &entry)) return 0;
  LogPrint("Match: %f %f\n", current, entry.latest);
  if (current < entry.latest) {
    g_update.entry = entry;
    UpdateDialog(settings->OwnerWindow, settings, entry.newVersion, entry.webPage, entry.downloadUrl);
  } else {
    char message[2 * kSettingsText + 64];
    StrFormatBounded(message, sizeof message, "You are running the latest version of %s %s.", settings->CompanyName,
                     settings->ProductName);
    ShowProblem(message, kCaption);
  }
  return 1;
}
std::int32_t UpdateReplyBody(char* reply, std::int32_t length, std::int32_t* body, bool filled) {
  CHECK_POINTER(kUnit, reply);
  CHECK_POINTER(kUnit, body);
  *body = 0;
  HttpReplyHead head;
  HttpParseHead(reply, length, &head);
  // No status line: the whole reply is the list, as from the oldest servers.
  if (head.status == -1) return 1;
  std::int32_t end = 0;
  if (!HttpHeaderEnd(reply, length, &end)) {
    LogPrint("Unexpected reply (no end of header)\n");
    return 0;
  }
  HttpParseHead(reply, end, &head);
  if (!head.usable || head.status < 200 || head.status > 299) {
    char status[80];
    std::int32_t cut = 0;
    while (cut < 79 && cut < end && reply[cut] != '\r' && reply[cut] != '\n') ++cut;
    std::memcpy(status, reply, static_cast<std::size_t>(cut));
    status[cut] = '\0';
    LogPrint("Unexpected reply '%s'\n", status);
    return 0;
  }
  std::int64_t came = length - end;
  if (head.hasLength && came > static_cast<std::int64_t>(head.length)) {
    // What follows the announced body is no part of it.
    reply[end + static_cast<std::int32_t>(head.length)] = '\0';
  } else if (head.hasLength && came < static_cast<std::int64_t>(head.length)) {
    // A list larger than the buffer is read as far as it fits; a shorter
    // one was cut.
    if (!filled) {
      LogPrint("Sizes to not match (%u != %d)\n", head.length, static_cast<int>(came));
      return 0;
    }
    LogPrint("Version list read as far as it fits (%d of %u bytes)\n", static_cast<int>(came), head.length);
  }
  *body = end;
  return 1;
}

namespace {

// Whether a version-list reply has come whole by its Content-Length, so that
// a server that keeps the connection open is not waited for. *end caches
// where its header ended (-1 while unknown).
bool ListHasAll(const char* reply, std::int32_t length, std::int32_t* end, HttpReplyHead* head) {
  if (*end < 0) {
    if (length < 5 || std::strncmp(reply, "HTTP/", 5) != 0) return false;
    std::int32_t found = 0;
    if (!HttpHeaderEnd(reply, length, &found)) return false;
    *end = found;
    HttpParseHead(reply, found, head);
  }
  return head->usable && head->status != -1 && head->hasLength &&
         static_cast<std::int64_t>(length - *end) >= static_cast<std::int64_t>(head->length);
}

}  // namespace

std::int32_t UpdateCheck(InstallSettings*, const char* url, std::int32_t proxy, char* buffer, std::int32_t size) {
  char agent[256];
  update::UserAgent("Quillon Update Check %s", agent, sizeof agent);
  SocketHandle* handle = nullptr;
  std::int32_t headerLength = 0;
  // The whole attempt is bounded, however slowly the server sends: the
  // connection, a proxy's tunnel and the handshake included.
  std::uint64_t deadline = OsTickCount() + g_limits.checkTime;
  if (!HttpClientUntil(url, agent, "GET", 0, proxy, deadline, &handle, buffer, size, &headerLength)) return 0;
  std::int32_t result = 0;
  std::int32_t received = 0;
  bool filled = false;
  if (!SocketSendAll(handle, buffer, headerLength)) {
    LogPrint("Unable to output header (%s)\n", SocketErrorText(handle));
  } else {
    ProgressWindowSet(60);
    buffer[0] = '\0';
    std::int32_t end = -1;
    HttpReplyHead head;
    for (;;) {
      std::int32_t count = 0;
      std::int32_t outcome = HttpReceive(handle, buffer + received, size - received - 1, deadline, &count);
      if (outcome == kHttpFailed) break;
      if (outcome == kHttpClosed) {
        result = received > 0 ? 1 : 0;
        break;
      }
      if (count == 0) continue;
      LogPrint("Recieved -> %d [%d]\n", static_cast<int>(received), static_cast<int>(count));
      buffer[received + count] = '\0';
      received += count;
      if (ListHasAll(buffer, received, &end, &head)) {
        result = 1;
        break;
      }
      // A full buffer ends the reply: the list is what fitted.
      if (received >= size - 1) {
        result = 1;
        filled = true;
        break;
      }
    }
  }
  ProgressWindowSet(80);
  update::CloseConnection(&handle);
  // Only the body of a 2xx reply is a version list: an error page, or
  // records among the header lines, are not.
  std::int32_t body = 0;
  if (result == 1 && !UpdateReplyBody(buffer, received, &body, filled)) result = 0;
  if (result == 1 && body > 0) {
    std::int32_t text = StrLength(buffer + body);
    std::memmove(buffer, buffer + body, static_cast<std::size_t>(text + 1));
  }
  if (result == 0) buffer[0] = '\0';
  return result;
}
