// The electronic update: one question, the version list fetched (through
// the user's proxy first, then directly, then as often as the user wants),
// this product's entry compared, the offer, the download into the
// product's folder, the maker's signature verified and the run of the new
// installer with "-Quiet".
#include "update.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "appinfo.h"
#include "ffs.h"
#include "http.h"
#include "paths.h"
#include "problems.h"
#include "progress.h"
#include "protect.h"
#include "removal.h"
#include "resources/resource.h"
#include "settings.h"
#include "socket.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "winhelpr.h"

// The file list's reader of the uninstall (app/command).
std::int32_t NextFileListEntry(const char** position, char* entry, std::int32_t capacity);

namespace {

constexpr const char* kUnit = "update";
constexpr const char* kCaption = "Electronic Update...";
constexpr const char kSignedMagic[] = "Quillon Update 1";  // 16 bytes, no terminator signed

// What the dialog shows and the download uses, set when the dialog opens.
struct UpdateFields {
  char downloadUrl[kUpdateField];
  char savePath[kUpdateField];
  const char* webPage;
  const char* newVersion;
  InstallSettings* settings;
  std::int32_t dialogResult;
  UpdateEntry entry;  // the chosen entry, for its signature
  bool hasKey;        // the program carries the maker's key
  unsigned char key[FfsUpdateKeySize];
  std::int32_t refusal;
};
UpdateFields g_update = {};
UpdateLimits g_limits;

void UserAgent(const char* format, char* agent, std::size_t capacity) {
  char name[128];
  StrFormatBounded(name, sizeof name, "%s (%s)", AppInfo.name, kMakerWebHost);
  StrFormatBounded(agent, capacity, format, name);
}

void CloseConnection(SocketHandle** handle) {
  SocketShutdown(*handle);
  SocketClose(*handle);
  SocketDelete(handle);
}

// The check and the download share their retry scheme: phase 0 through the
// proxy (once per run), phase 1 directly, phase 2 asks; a Yes goes back to
// the direct attempt. A download that came but was refused is not fetched
// again: the same server would send the same file.
template <typename Attempt>
std::int32_t WithRetries(const char* phaseLine, const char* question, Attempt attempt) {
  std::int32_t result = 0;
  for (std::int32_t phase = 0; result != 1 && phase < 3 && g_update.refusal == 0; ++phase) {
    LogPrint(phaseLine, static_cast<int>(phase));
    if (phase == 0) {
      result = attempt(1);
    } else if (phase == 1) {
      result = attempt(0);
    } else if (AskYesNo(question, kCaption)) {
      phase = 0;
    } else {
      break;
    }
  }
  return result;
}

bool IsWebAddress(const char* url) {
  return StrCompareNoCaseN(url, "http://", 7) || StrCompareNoCaseN(url, "https://", 8);
}

bool IsPlainName(const char* name) {
  if (name[0] == '\0' || name[0] == '$') return false;
  bool onlyDots = true;
  for (const char* c = name; *c; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || *c == '\\' || *c == '/' || *c == ':' || *c == '"' || *c == '<' || *c == '>' || *c == '|' ||
        *c == '*' || *c == '?')
      return false;
    if (*c != '.' && *c != ' ') onlyDots = false;
  }
  // Windows drops a last dot or blank: "setup.exe." would be setup.exe.
  char last = name[StrLength(name) - 1];
  return !onlyDots && last != '.' && last != ' ' && !IsDeviceName(name);
}

// The save path: the name in the product's folder, and nowhere else.
std::int32_t SavePath(InstallSettings* settings, const char* name, char* path, std::int32_t capacity) {
  char folder[kUpdateField];
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, name, path, static_cast<std::size_t>(capacity), &flags)) return 0;
  if (!ExpandPath(settings, "", folder, &flags)) return 0;
  return IsInsideFolder(path, folder) ? 1 : 0;
}

// Whether a path of the script (expanded as the uninstall expands it)
// names the same file as the canonical save path.
bool SameFile(InstallSettings* settings, const char* scriptPath, const char* canonicalSave) {
  char path[kUpdateField];
  char canonical[kCanonicalRoom];
  std::uint32_t flags = 0;
  return scriptPath[0] != '\0' && ExpandPath(settings, scriptPath, path, sizeof path, &flags) &&
         CanonicalPath(path, canonical, sizeof canonical) && StrEqualNoCase(canonical, canonicalSave);
}

// The product's own files are never download names: its uninstaller (the
// product could no longer be removed), its log and every file of its list.
bool IsProductFile(InstallSettings* settings, const char* savePath) {
  char canonical[kCanonicalRoom];
  if (!CanonicalPath(savePath, canonical, sizeof canonical)) return true;
  if (SameFile(settings, settings->UninstallName, canonical) || SameFile(settings, "Uninstall.exe", canonical) ||
      SameFile(settings, settings->InstallName, canonical))
    return true;
  char running[kUpdateField];
  char runningCanonical[kCanonicalRoom];
  if (OsModuleFileName(running, sizeof running) && CanonicalPath(running, runningCanonical, sizeof runningCanonical) &&
      StrEqualNoCase(runningCanonical, canonical))
    return true;
  const char* position = settings->FileList;
  for (std::int32_t i = 0; position != nullptr && i < settings->FileCount; ++i) {
    char entry[kUpdateField];
    if (NextFileListEntry(&position, entry, sizeof entry) && SameFile(settings, entry, canonical)) return true;
  }
  return false;
}

std::uint32_t LittleEndianTo(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
  return 4;
}

std::int32_t Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool Sha256(const unsigned char* data, std::int32_t length, unsigned char digest[kUpdateHashSize]) {
  OsHashState state;
  if (!OsHashBegin(&state)) return false;
  if (!OsHashData(&state, data, static_cast<std::uint32_t>(length))) {
    OsHashAbandon(&state);
    return false;
  }
  return OsHashEnd(&state, digest) != 0;
}

}  // namespace

UpdateLimits& UpdateLimitsInForce() { return g_limits; }
std::int32_t UpdateDialogResult() { return g_update.dialogResult; }
const char* UpdateSavePath() { return g_update.savePath; }
std::int32_t UpdateRefusal() { return g_update.refusal; }

void UpdateUseKey(const unsigned char* makerKey) {
  g_update.hasKey = makerKey != nullptr;
  if (makerKey) std::memcpy(g_update.key, makerKey, FfsUpdateKeySize);
}

void UpdateUseEntry(const UpdateEntry& entry) { g_update.entry = entry; }

bool IsDeviceName(const char* name) {
  // The part before the first dot, without the blanks Windows drops.
  std::int32_t length = 0;
  while (name[length] && name[length] != '.') ++length;
  while (length > 0 && name[length - 1] == ' ') --length;
  static const char* const kPlain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kPlain)
    if (length == StrLength(device) && StrCompareNoCaseN(name, device, length)) return true;
  if (length == 4 && (StrCompareNoCaseN(name, "COM", 3) || StrCompareNoCaseN(name, "LPT", 3))) {
    unsigned char digit = static_cast<unsigned char>(name[3]);
    // The digits, and the superscripts one to three of the ANSI page.
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  }
  return false;
}

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
        entry->signature[0] = '\0';
        entry->signatures = 0;
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

std::int32_t UpdateOpenWebPage(const char* url) {
  CHECK_POINTER(kUnit, url);
  // Only a web address is opened: the shell would run a program's path just
  // as readily, and the text comes from the network.
  if (!IsWebAddress(url)) {
    LogPrint("Not a web page '%s'\n", url);
    return 0;
  }
  OsHandle browser = 0;
  if (!OsShellExecute("open", url, nullptr, 1, &browser)) return 0;
  if (browser) OsCloseHandle(browser);
  return 1;
}

std::intptr_t UpdateDialogProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
  switch (message) {
    case kWmInitDialog: {
      OsSetWindowText(dialog, kCaption);
      CenterWindow(dialog, 0);
      InstallSettings* settings = g_update.settings;
      char line[kUpdateVersionField];
      StrFormatBounded(line, sizeof line, "A new version of %s %s is available!", settings->CompanyName,
                       settings->ProductName);
      SetEditText(dialog, IDC_UPDATE_FIRST, line, kUpdateVersionField);
      StrFormatBounded(line, sizeof line, "Current version %s - New version %s", settings->ProductVersion,
                       g_update.newVersion);
      SetEditText(dialog, IDC_UPDATE_SECOND, line, kUpdateVersionField);
      return 1;
    }
    case kWmCommand:
      switch (static_cast<std::int32_t>(wParam & 0xFFFF)) {
        case IDC_UPDATE_WEBPAGE: UpdateOpenWebPage(g_update.webPage); return 1;
        case IDC_UPDATE_DOWNLOAD: OsEndDialog(dialog, 1); return 1;
        case kIdOk:
        case kIdCancel: OsEndDialog(dialog, 0); return 1;
        default: return 0;
      }
    case kWmClose: OsEndDialog(dialog, 0); return 1;
    default: return 0;
  }
}

std::int32_t UpdateDialog(OsHandle owner, InstallSettings* settings, const char* newVersion, const char* webPage,
                          const char* downloadUrl) {
  g_update.settings = settings;
  g_update.newVersion = newVersion;
  g_update.webPage = webPage;
  StrCopyBounded(g_update.downloadUrl, downloadUrl);
  g_update.savePath[0] = '\0';
  g_update.dialogResult = 0;
  if (OsDialogBox(AppInfo.instance, IDD_UPDATE, owner, UpdateDialogProcedure, 0) == 1) g_update.dialogResult = 1;
  return 1;
}

std::int32_t UpdateReplyBody(const char* reply, std::int32_t length, std::int32_t* body) {
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
  if (head.hasLength && static_cast<std::int64_t>(length - end) != static_cast<std::int64_t>(head.length)) {
    LogPrint("Sizes to not match (%u != %d)\n", head.length, static_cast<int>(length - end));
    return 0;
  }
  *body = end;
  return 1;
}

std::int32_t UpdateCheck(InstallSettings*, const char* url, std::int32_t proxy, char* buffer, std::int32_t size) {
  char agent[256];
  UserAgent("Quillon Update Check %s", agent, sizeof agent);
  SocketHandle* handle = nullptr;
  std::int32_t headerLength = 0;
  if (!HttpClient(url, agent, "GET", 0, proxy, &handle, buffer, size, &headerLength)) return 0;
  std::int32_t result = 0;
  std::int32_t received = 0;
  if (!SocketSendAll(handle, buffer, headerLength)) {
    LogPrint("Unable to output header (%s)\n", SocketErrorText(handle));
  } else {
    ProgressWindowSet(60);
    // The whole attempt is bounded, however slowly the server sends.
    std::uint64_t deadline = OsTickCount() + g_limits.checkTime;
    buffer[0] = '\0';
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
      // A full buffer ends the reply: the list is what fitted.
      if (received >= size - 1) {
        result = 1;
        break;
      }
    }
  }
  ProgressWindowSet(80);
  CloseConnection(&handle);
  // Only the body of a 2xx reply is a version list: an error page, or
  // records among the header lines, are not.
  std::int32_t body = 0;
  if (result == 1 && !UpdateReplyBody(buffer, received, &body)) result = 0;
  if (result == 1 && body > 0) std::memmove(buffer, buffer + body, static_cast<std::size_t>(received - body + 1));
  if (result == 0) buffer[0] = '\0';
  return result;
}

char* DownloadSlot(DownloadReceiver* receiver, std::int32_t* room) {
  // Until the header has ended it is kept; after, every piece lands at the
  // start of a half, so the buffer never fills.
  // The buffer is two halves: a piece is received into one while the one
  // before it, in the other, may still be hashed.
  std::int32_t half = receiver->size / 2;
  if (!receiver->headerSeen) {
    *room = half - receiver->header - 1;
    return receiver->buffer + receiver->header;
  }
  *room = half - 1;
  return receiver->buffer + receiver->half * half;
}

std::int32_t DownloadHasAll(const DownloadReceiver& receiver) {
  return receiver.headerSeen && !receiver.failed && receiver.head.hasLength &&
                 receiver.received == static_cast<std::int64_t>(receiver.head.length)
             ? 1
             : 0;
}

std::int32_t DownloadPiece(DownloadReceiver* receiver, std::int32_t count) {
  if (receiver->failed) return 0;
  std::int32_t room = 0;
  char* piece = DownloadSlot(receiver, &room);
  piece[count] = '\0';
  const char* body = piece;
  std::int32_t bodyBytes = count;
  if (!receiver->headerSeen) {
    // The end of the header is looked for once, in the header kept so far,
    // never in the body.
    std::int32_t kept = receiver->header + count;
    std::int32_t end = 0;
    if (!HttpHeaderEnd(receiver->buffer, kept, &end)) {
      receiver->header = kept;
      if (receiver->header >= receiver->size / 2 - 1) {
        LogPrint("Unexpected reply (no end of header in %d bytes)\n", static_cast<int>(receiver->header));
        receiver->failed = true;
        return 0;
      }
      return 1;
    }
    HttpParseHead(receiver->buffer, end, &receiver->head);
    receiver->headerSeen = true;
    // Only a 200 reply carries the installer; anything else (an error
    // page, a redirection, a reply framed otherwise) is no download.
    if (!receiver->head.usable || receiver->head.status != 200) {
      char status[80];
      std::int32_t cut = 0;
      while (cut < 79 && cut < end && receiver->buffer[cut] != '\r' && receiver->buffer[cut] != '\n') ++cut;
      std::memcpy(status, receiver->buffer, static_cast<std::size_t>(cut));
      status[cut] = '\0';
      LogPrint("Unexpected reply '%s'\n", status);
      receiver->failed = true;
      return 0;
    }
    std::int64_t expected = -1;
    if (receiver->head.hasLength) {
      expected = static_cast<std::int64_t>(receiver->head.length);
      if (expected > receiver->limit) {
        LogPrint("Unable to take a download of %u bytes (at most %d)\n", receiver->head.length,
                 static_cast<int>(receiver->limit));
        receiver->failed = true;
        return 0;
      }
      LogPrint("Filesize = %d (%dk)\n", static_cast<int>(expected), static_cast<int>(expected / 1024));
    }
    if (receiver->start && !receiver->start(receiver->context, expected)) {
      receiver->failed = true;
      return 0;
    }
    body = receiver->buffer + end;
    bodyBytes = kept - end;
    receiver->header = 0;
    receiver->half = 0;  // the body's first bytes are in the first half
  }
  if (receiver->head.hasLength && receiver->head.length > 0)
    ProgressWindowSet(60.0 + 40.0 * static_cast<double>(receiver->received) / receiver->head.length);
  std::int64_t most = receiver->head.hasLength ? static_cast<std::int64_t>(receiver->head.length) : receiver->limit;
  if (receiver->received + bodyBytes > most) {
    if (receiver->head.hasLength)
      LogPrint("Sizes to not match (%u != %d+)\n", receiver->head.length,
               static_cast<int>(receiver->received + bodyBytes));
    else
      LogPrint("Unable to take a download of more than %d bytes\n", static_cast<int>(receiver->limit));
    receiver->failed = true;
    return 0;
  }
  if (bodyBytes > 0 && receiver->write && !receiver->write(receiver->context, body, bodyBytes)) {
    receiver->failed = true;
    return 0;
  }
  receiver->received += bodyBytes;
  receiver->half ^= 1;
  LogPrint("Recieved -> [%d / %d]\n", static_cast<int>(bodyBytes), static_cast<int>(receiver->received));
  return 1;
}

std::int32_t DownloadComplete(const DownloadReceiver& receiver, bool closed) {
  if (receiver.failed || !receiver.headerSeen) return 0;
  if (receiver.head.hasLength) {
    if (receiver.received == static_cast<std::int64_t>(receiver.head.length)) return 1;
    LogPrint("Sizes to not match (%u != %d)\n", receiver.head.length, static_cast<int>(receiver.received));
    return 0;
  }
  // Without a length only the server's orderly close ends the body: a reset
  // or a silence may have cut it anywhere.
  if (!closed) LogPrint("Failed to receive the whole download (%d bytes came)\n", static_cast<int>(receiver.received));
  return closed ? 1 : 0;
}

std::int32_t DownloadFileName(const char* url, char* name, std::int32_t capacity) {
  const char* slash = std::strrchr(url, '/');
  const char* from = slash ? slash + 1 : url;
  if (!StrCopyBounded(name, static_cast<std::size_t>(capacity), from)) return 0;
  return IsPlainName(name) ? 1 : 0;
}

std::int32_t UpdateSignedMessage(const char* key, const char* version,
                                 const unsigned char installerHash[kUpdateHashSize], unsigned char* message,
                                 std::int32_t capacity, std::int32_t* length) {
  CHECK_POINTER(kUnit, key);
  CHECK_POINTER(kUnit, version);
  CHECK_POINTER(kUnit, installerHash);
  CHECK_POINTER(kUnit, message);
  CHECK_POINTER(kUnit, length);
  std::int32_t keyLength = StrLength(key);
  std::int32_t versionLength = StrLength(version);
  std::int32_t total = 16 + 4 + keyLength + 4 + versionLength + kUpdateHashSize;
  if (total > capacity) return 0;
  unsigned char* at = message;
  std::memcpy(at, kSignedMagic, 16);
  at += 16;
  at += LittleEndianTo(at, static_cast<std::uint32_t>(keyLength));
  std::memcpy(at, key, static_cast<std::size_t>(keyLength));
  at += keyLength;
  at += LittleEndianTo(at, static_cast<std::uint32_t>(versionLength));
  std::memcpy(at, version, static_cast<std::size_t>(versionLength));
  at += versionLength;
  std::memcpy(at, installerHash, kUpdateHashSize);
  *length = total;
  return 1;
}

std::int32_t UpdateDecodeSignature(const char* text, unsigned char signature[kUpdateSignatureSize]) {
  CHECK_POINTER(kUnit, text);
  CHECK_POINTER(kUnit, signature);
  // 64 bytes: 21 groups of four characters for 63 bytes, then one byte in
  // two characters and "==".
  if (StrLength(text) != 88 || text[86] != '=' || text[87] != '=') return 0;
  std::uint32_t bits = 0;
  std::int32_t held = 0;
  std::int32_t out = 0;
  for (std::int32_t i = 0; i < 86; ++i) {
    std::int32_t value = Base64Value(text[i]);
    if (value < 0) return 0;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      signature[out++] = static_cast<unsigned char>(bits >> held);
    }
  }
  // The last character's four low bits are padding and must be zero.
  return out == kUpdateSignatureSize && (bits & ((1u << held) - 1)) == 0 ? 1 : 0;
}

std::int32_t UpdateEntrySigned(const UpdateEntry& entry) {
  unsigned char signature[kUpdateSignatureSize];
  if (entry.signatures == 0) {
    LogPrint("Update signature missing for '%s'\n", entry.key);
    return 0;
  }
  if (entry.signatures > 1) {
    LogPrint("Update signature given %d times for '%s'\n", static_cast<int>(entry.signatures), entry.key);
    return 0;
  }
  if (!UpdateDecodeSignature(entry.signature, signature)) {
    LogPrint("Update signature unreadable for '%s'\n", entry.key);
    return 0;
  }
  return 1;
}

std::int32_t UpdateVerifyEntry(const unsigned char* makerKey, const UpdateEntry& entry,
                               const unsigned char installerHash[kUpdateHashSize]) {
  CHECK_POINTER(kUnit, makerKey);
  CHECK_POINTER(kUnit, installerHash);
  if (!UpdateEntrySigned(entry)) return 0;
  unsigned char signature[kUpdateSignatureSize];
  UpdateDecodeSignature(entry.signature, signature);
  unsigned char message[16 + 4 + kUpdateField + 4 + kUpdateVersionField + kUpdateHashSize];
  std::int32_t length = 0;
  unsigned char digest[kUpdateHashSize];
  if (!UpdateSignedMessage(entry.key, entry.versionText, installerHash, message, sizeof message, &length) ||
      !Sha256(message, length, digest)) {
    LogPrint("Update signature could not be checked for '%s'\n", entry.key);
    return 0;
  }
  if (!OsVerifySignature(makerKey, digest, signature)) {
    LogPrint("Update signature does not match '%s' %s\n", entry.key, entry.versionText);
    return 0;
  }
  LogPrint("Update signature verified for '%s' %s\n", entry.key, entry.versionText);
  return 1;
}

namespace {

// Hashes the pieces of a download on a thread of its own, so that the hash
// of one piece costs no time while the next one is received: one piece at
// a time, and a new one only when the one before has been hashed.
class PieceHasher {
 public:
  explicit PieceHasher(OsHashState* state) : state_(state), worker_([this] { Run(); }) {}
  ~PieceHasher() { Finish(); }
  // Hands over a piece that stays untouched until the next Submit returns.
  void Submit(const char* data, std::int32_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return data_ == nullptr; });
    data_ = data;
    count_ = count;
    busy_.notify_one();
  }
  // Waits for the last piece and ends the thread; whether every piece was
  // hashed.
  bool Finish() {
    if (worker_.joinable()) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return data_ == nullptr; });
        stop_ = true;
        busy_.notify_one();
      }
      worker_.join();
    }
    return good_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      busy_.wait(lock, [this] { return data_ != nullptr || stop_; });
      if (data_ == nullptr) return;
      lock.unlock();
      bool hashed = OsHashData(state_, data_, static_cast<std::uint32_t>(count_)) != 0;
      lock.lock();
      good_ = good_ && hashed;
      data_ = nullptr;
      idle_.notify_one();
    }
  }
  OsHashState* state_;
  std::mutex mutex_;
  std::condition_variable busy_, idle_;
  const char* data_ = nullptr;
  std::int32_t count_ = 0;
  bool stop_ = false;
  bool good_ = true;
  std::thread worker_;
};

// The download's file: a new file under a temporary name beside the final
// one, hashed as it is written.
struct DownloadFile {
  char path[kUpdateField];
  std::FILE* file;
  bool hashing;
  OsHashState hash;
  bool written;
  std::unique_ptr<PieceHasher> hasher;
};

std::int32_t StartFile(void* context, std::int64_t) {
  DownloadFile* download = static_cast<DownloadFile*>(context);
  download->file = OsCreateNewFile(download->path);
  if (download->file == nullptr) {
    LogPrint("Unable to open file '%s'\n", download->path);
    return 0;
  }
  download->written = true;
  if (download->hashing && !OsHashBegin(&download->hash)) {
    LogPrint("Update signature could not be checked (no SHA-256)\n");
    download->hashing = false;
    return 0;
  }
  if (download->hashing) download->hasher = std::make_unique<PieceHasher>(&download->hash);
  return 1;
}

std::int32_t WriteFile(void* context, const char* data, std::int32_t count) {
  DownloadFile* download = static_cast<DownloadFile*>(context);
  if (std::fwrite(data, 1, static_cast<std::size_t>(count), download->file) != static_cast<std::size_t>(count)) {
    LogPrint("Unable to write file '%s'\n", download->path);
    return 0;
  }
  if (download->hasher) download->hasher->Submit(data, count);
  return 1;
}

// The temporary name: the final one and a fresh number, so that an earlier
// file is never opened.
bool TemporaryName(const char* savePath, char* path, std::size_t capacity) {
  return StrFormatBounded(path, capacity, "%s.%08X.part", savePath, static_cast<unsigned>(OsFreshNumber())) != 0;
}

// The largest body the disk of the folder takes, less a margin.
std::int64_t DownloadLimit(const char* folder) {
  std::int64_t limit = g_limits.largest;
  std::uint64_t free = 0;
  if (OsFreeSpace(folder, &free)) {
    std::uint64_t room = free > g_limits.spaceMargin ? free - g_limits.spaceMargin : 0;
    if (room < static_cast<std::uint64_t>(limit)) limit = static_cast<std::int64_t>(room);
  }
  return limit;
}

// Until the grace has passed any pace will do; after it the average rate
// must keep up, so a silence ends the attempt when the average falls short.
std::uint64_t DownloadDeadline(std::uint64_t started, std::int64_t received) {
  std::uint64_t earned =
      static_cast<std::uint64_t>(received) * 1000 / (g_limits.downloadRate ? g_limits.downloadRate : 1);
  return started + (earned > g_limits.downloadGrace ? earned : g_limits.downloadGrace);
}

}  // namespace

std::int32_t UpdateDownload(InstallSettings* settings, const char* url, std::int32_t proxy, char* buffer,
                            std::int32_t size) {
  g_update.refusal = 0;
  char name[kUpdateField];
  bool plain = DownloadFileName(url, name, sizeof name) != 0;
  // A name that is no plain file name of the product's folder (a path, a
  // path variable, a device, nothing at all) is never opened: the list
  // comes from the network and the program may run with the rights to
  // write anywhere.
  bool inside = plain && SavePath(settings, name, g_update.savePath, sizeof g_update.savePath);
  if (!plain) StrCopyBounded(g_update.savePath, name);
  LogPrint("Save to -> [%s]\n", g_update.savePath);
  if (!inside) {
    LogPrint("Unable to open file '%s'\n", g_update.savePath);
    return 0;
  }
  if (IsProductFile(settings, g_update.savePath)) {
    LogPrint("Unable to save over the product's own file '%s'\n", g_update.savePath);
    return 0;
  }
  DownloadFile download = {};
  if (!TemporaryName(g_update.savePath, download.path, sizeof download.path)) {
    LogPrint("Unable to open file '%s'\n", g_update.savePath);
    return 0;
  }
  download.hashing = g_update.hasKey;
  char folder[kUpdateField];
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, "", folder, &flags)) folder[0] = '\0';

  char agent[256];
  UserAgent("Quillon Update Download %s", agent, sizeof agent);
  SocketHandle* handle = nullptr;
  std::int32_t headerLength = 0;
  if (!HttpClient(url, agent, "GET", 0, proxy, &handle, buffer, size, &headerLength)) return 0;
  DownloadReceiver receiver;
  receiver.buffer = buffer;
  receiver.size = size;
  receiver.limit = DownloadLimit(folder);
  receiver.start = StartFile;
  receiver.write = WriteFile;
  receiver.context = &download;
  bool closed = false;
  if (!SocketSendAll(handle, buffer, headerLength)) {
    LogPrint("Unable to output header (%s)\n", SocketErrorText(handle));
  } else {
    ProgressWindowSet(60);
    std::uint64_t started = OsTickCount();
    while (!DownloadHasAll(receiver)) {
      std::int32_t room = 0;
      std::int32_t count = 0;
      char* slot = DownloadSlot(&receiver, &room);
      std::int32_t outcome = HttpReceive(handle, slot, room, DownloadDeadline(started, receiver.received), &count);
      if (outcome == kHttpClosed) closed = true;
      if (outcome != kHttpReceived) break;
      if (count > 0 && !DownloadPiece(&receiver, count)) break;
    }
  }
  CloseConnection(&handle);
  bool complete = DownloadComplete(receiver, closed) != 0;
  if (download.file != nullptr && std::fclose(download.file) != 0) {
    LogPrint("Unable to write file '%s'\n", download.path);
    complete = false;
  }
  unsigned char digest[kUpdateHashSize];
  bool piecesHashed = !download.hasher || download.hasher->Finish();
  bool hashed = download.hashing && download.written && OsHashEnd(&download.hash, digest) && piecesHashed;
  if (complete && g_update.hasKey) {
    if (!hashed || !UpdateVerifyEntry(g_update.key, g_update.entry, digest)) {
      g_update.refusal = 1;
      complete = false;
    }
  }
  // A text page saved under a program's name would be handed to whatever
  // opens such files, and may never end.
  if (complete && !OsIsProgramFile(download.path)) {
    LogPrint("Unable to run '%s': the download is no program\n", g_update.savePath);
    g_update.refusal = 2;
    complete = false;
  }
  if (complete && !OsReplaceFile(download.path, g_update.savePath)) {
    LogPrint("Unable to put the download in place '%s' (0x%.8X)\n", g_update.savePath, OsLastError());
    complete = false;
  }
  if (!complete && download.written && !OsDeleteFile(download.path))
    LogPrint("Unable to delete file '%s' (0x%.8X)\n", download.path, OsLastError());
  return complete ? 1 : 0;
}

std::int32_t UpdateRunInstaller(const char* path, std::int32_t* exitCode) {
  CHECK_POINTER(kUnit, path);
  CHECK_POINTER(kUnit, exitCode);
  *exitCode = 0;
  OsHandle process = 0;
  if (!OsShellExecute("open", path, "-Quiet", 10, &process) || process == 0) {
    LogPrint("Unable to execute '%s' '%s' 0x%.8X\n", path, "-Quiet", OsLastError());
    return 0;
  }
  std::uint32_t waited = 0;
  bool ended = false;
  while (!ended) {
    PumpMessages();
    ended = OsWaitForProcess(process, 500) != kWaitTimeout;
    waited += 500;
    if (!ended && waited >= g_limits.installerWait) {
      if (!AskYesNo("The new version's installer has not finished yet. Would you like to keep waiting for it?",
                    kCaption)) {
        LogPrint("Stopped waiting for '%s'\n", path);
        break;
      }
      waited = 0;
    }
  }
  bool read = false;
  if (ended) {
    std::uint32_t code = 0;
    read = OsProcessExitCode(process, &code) != 0;
    if (read)
      *exitCode = static_cast<std::int32_t>(code);
    else
      LogPrint("Failed to get exit code (%d) (0x%.8X)\n", static_cast<int>(OsLastError()), OsLastError());
  }
  OsCloseHandle(process);
  return read ? 1 : 0;
}

std::int32_t UpdateRun(OsHandle, InstallSettings* settings) {
  CHECK_POINTER(kUnit, settings);
  if (settings->UpdateUrl[0] == '\0') return 1;
  char question[2 * kSettingsText + 80];
  StrFormatBounded(question, sizeof question, "Would you like to check for an update to %s %s electronically?",
                   settings->CompanyName, settings->ProductName);
  if (!AskYesNo(question, kCaption)) return 1;
  if (settings->Text[0] == '\0') StrCopyBounded(settings->Text, "UPD");
  g_update.hasKey = FfsUpdateKey(g_update.key) != 0;
  if (!g_update.hasKey) LogPrint("Update signature not checked: the program carries no update key\n");
  g_update.refusal = 0;

  char* buffer = static_cast<char*>(MemoryAlloc(kUpdateBufferSize, kUnit, __LINE__));
  if (buffer == nullptr) return 1;
  buffer[0] = '\0';
  ProgressWindowSet(0);
  ProgressWindowShow(1);
  std::int32_t result = WithRetries(
      "Update on phase %d\n", "There was a problem checking with the update server, would you like to try again?",
      [&](std::int32_t proxy) { return UpdateCheck(settings, settings->UpdateUrl, proxy, buffer, kUpdateBufferSize); });
  ProgressWindowShow(0);
  if (result == 1) {
    g_update.dialogResult = 0;
    if (!UpdateParseReply(settings, buffer))
      ShowProblem("Unable to retrieve version info from update server, please check the website.", kCaption);
    if (g_update.dialogResult == 1 && g_update.downloadUrl[0] == '\0') {
      char message[2 * kSettingsText + 128];
      StrFormatBounded(message, sizeof message,
                       "The update server names no installer for %s %s, please check the website.",
                       settings->CompanyName, settings->ProductName);
      ShowProblem(message, kCaption);
    } else if (g_update.dialogResult == 1 && g_update.hasKey && !UpdateEntrySigned(g_update.entry)) {
      // Nothing the maker did not sign is fetched, let alone run.
      g_update.refusal = 1;
    } else if (g_update.dialogResult == 1 && HttpIsSecureUrl(settings->UpdateUrl) &&
               !HttpIsSecureUrl(g_update.downloadUrl)) {
      // A list that came over TLS vouches for nothing fetched without it:
      // whoever sits on the way could swap the installer.
      LogPrint("Unable to use URL '%s' (the version list came over a secure connection, the download would not)\n",
               g_update.downloadUrl);
      g_update.refusal = 3;
    } else if (g_update.dialogResult == 1) {
      ProgressWindowSet(0);
      ProgressWindowShow(1);
      result = WithRetries("Update download on phase %d\n",
                           "There was a problem downloading the update, would you like to try again?",
                           [&](std::int32_t proxy) {
                             return UpdateDownload(settings, g_update.downloadUrl, proxy, buffer, kUpdateBufferSize);
                           });
      ProgressWindowShow(0);
      if (result == 1) {
        std::int32_t exitCode = 0;
        if (UpdateRunInstaller(g_update.savePath, &exitCode) && exitCode == 1)
          ShowProblem("Successfully updated program to latest version!", kCaption);
        else
          ShowProblem("Error attempting to update, please go to the site for the latest version.", kCaption);
      }
    }
    if (g_update.refusal != 0) {
      result = 1;  // the server answered; the file was refused
      const char* why = g_update.refusal == 2   ? "The downloaded update is not a program"
                        : g_update.refusal == 3 ? "The update would be downloaded over a connection that is not secure"
                                                : "The update could not be verified as its maker's";
      char message[256];
      StrFormatBounded(message, sizeof message,
                       "%s, so nothing was installed. Would you like to open the product's web page instead?", why);
      if (AskYesNo(message, kCaption)) UpdateOpenWebPage(g_update.entry.webPage);
    }
  }
  MemoryFree(&buffer, kUpdateBufferSize, kUnit, __LINE__);
  if (result == 0) ShowProblem("Unable to contact the update server, please try again later.", kCaption);
  return 1;
}
