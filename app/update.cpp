// The electronic update: one question, the version list fetched (through
// the user's proxy first, then directly, then as often as the user wants),
// this product's entry compared, the offer, the download into the
// product's folder and the run of the new installer with "-Quiet".
#include "update.h"

#include <cstring>

#include "appinfo.h"
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

namespace {

constexpr const char* kUnit = "update";
constexpr const char* kCaption = "Electronic Update...";

// What the dialog shows and the download uses, set when the dialog opens.
struct UpdateFields {
  char downloadUrl[kUpdateField];
  char savePath[kUpdateField];
  const char* webPage;
  const char* newVersion;
  InstallSettings* settings;
  std::int32_t dialogResult;
};
UpdateFields g_update = {};

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
// the direct attempt.
template <typename Attempt>
std::int32_t WithRetries(const char* phaseLine, const char* question, Attempt attempt) {
  std::int32_t result = 0;
  for (std::int32_t phase = 0; result != 1 && phase < 3; ++phase) {
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
    if (byte < 0x20 || *c == '\\' || *c == ':' || *c == '"' || *c == '<' || *c == '>' || *c == '|' || *c == '*' ||
        *c == '?')
      return false;
    if (*c != '.' && *c != ' ') onlyDots = false;
  }
  return !onlyDots;
}

// The save path: the name in the product's folder, and nowhere else.
std::int32_t SavePath(InstallSettings* settings, const char* name, char* path, std::int32_t capacity) {
  char folder[kUpdateField];
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, name, path, static_cast<std::size_t>(capacity), &flags)) return 0;
  if (!ExpandPath(settings, "", folder, &flags)) return 0;
  return IsInsideFolder(path, folder) ? 1 : 0;
}

}  // namespace

std::int32_t UpdateDialogResult() { return g_update.dialogResult; }
const char* UpdateSavePath() { return g_update.savePath; }

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
      // one before it until it names its own.
      case '1':
        entry->key[0] = entry->newVersion[0] = entry->webPage[0] = '\0';
        read = ReadReplyField(&at, entry->key, sizeof entry->key);
        break;
      case '2':
        read = ReadReplyField(&at, entry->newVersion, sizeof entry->newVersion);
        if (read) ParseVersion(&entry->latest, entry->newVersion);
        break;
      case '3': read = ReadReplyField(&at, entry->webPage, sizeof entry->webPage); break;
      case '4': read = ReadReplyField(&at, entry->downloadUrl, sizeof entry->downloadUrl); break;
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
    UpdateDialog(settings->OwnerWindow, settings, entry.newVersion, entry.webPage, entry.downloadUrl);
  } else {
    char message[2 * kSettingsText + 64];
    StrFormatBounded(message, sizeof message, "You are running the latest version of %s %s.", settings->CompanyName,
                     settings->ProductName);
    ShowProblem(message, kCaption);
  }
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
        case IDC_UPDATE_WEBPAGE:
          // Only a web address is opened: the shell would run a program's
          // path just as readily, and the text comes from the network.
          if (IsWebAddress(g_update.webPage)) {
            OsHandle browser = 0;
            if (OsShellExecute("open", g_update.webPage, nullptr, 1, &browser) && browser) OsCloseHandle(browser);
          } else {
            LogPrint("Not a web page '%s'\n", g_update.webPage);
          }
          return 1;
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

std::int32_t UpdateCheck(InstallSettings*, const char* url, std::int32_t proxy, char* buffer, std::int32_t size) {
  char agent[256];
  UserAgent("Quillon Update Check %s", agent, sizeof agent);
  SocketHandle* handle = nullptr;
  std::int32_t headerLength = 0;
  if (!HttpClient(url, agent, "GET", 0, proxy, &handle, buffer, size, &headerLength)) return 0;
  std::int32_t result = 0;
  if (!SocketSendAll(handle, buffer, headerLength)) {
    LogPrint("Unable to output header (%s)\n", SocketErrorText(handle));
  } else {
    ProgressWindowSet(60);
    std::int32_t received = 0;
    std::int32_t count = 0;
    while (SocketReceive(handle, buffer + received, size - received - 1, &count)) {
      LogPrint("Recieved -> %d [%d]\n", static_cast<int>(received), static_cast<int>(count));
      result = 1;
      buffer[received + count] = '\0';
      received += count;
    }
  }
  ProgressWindowSet(80);
  CloseConnection(&handle);
  return result;
}

char* DownloadSlot(DownloadReceiver* receiver, std::int32_t* room) {
  // Until the header has ended it is kept; after, every piece lands right
  // behind it, so the buffer never fills.
  *room = receiver->size - receiver->header - 1;
  return receiver->buffer + receiver->header;
}

std::int32_t DownloadPiece(DownloadReceiver* receiver, std::int32_t count, std::FILE* file) {
  char* piece = receiver->buffer + receiver->header;
  piece[count] = '\0';
  const char* body = piece;
  std::int32_t bodyBytes = count;
  if (!receiver->headerSeen) {
    char* end = nullptr;
    if (!StrFind(receiver->buffer, "\r\n\r\n", &end)) {
      receiver->header += count;
      return 1;
    }
    // Only a 200 reply carries the installer; anything else (an error
    // page, a redirection) is no download.
    receiver->statusGood = StrCompareN(receiver->buffer, "HTTP/1.", 7) && StrCompareN(receiver->buffer + 8, " 200", 4);
    if (!receiver->statusGood) {
      char status[80];
      std::int32_t length = 0;
      while (length < 79 && receiver->buffer[length] != '\r') ++length;
      std::memcpy(status, receiver->buffer, static_cast<std::size_t>(length));
      status[length] = '\0';
      LogPrint("Unexpected reply '%s'\n", status);
    }
    char* field = nullptr;
    if (StrFindNoCase(receiver->buffer, "Content-Length:", &field) && field < end) {
      const char* number = field + 15;
      while (number < piece + count && static_cast<unsigned char>(*number) <= 0x20) ++number;
      receiver->expected = ParseLeadingNumber(number);
      LogPrint("Filesize = %d (%dk)\n", static_cast<int>(receiver->expected),
               static_cast<int>(receiver->expected / 1024));
    }
    body = end + 4;
    bodyBytes = static_cast<std::int32_t>(piece + count - body);
    receiver->headerSeen = true;
    receiver->header = 0;
  }
  if (receiver->expected > 0)
    ProgressWindowSet(60.0 + 40.0 * static_cast<double>(receiver->received) / receiver->expected);
  if (bodyBytes > 0 && receiver->statusGood &&
      std::fwrite(body, 1, static_cast<std::size_t>(bodyBytes), file) != static_cast<std::size_t>(bodyBytes))
    return 0;
  receiver->received += bodyBytes;
  LogPrint("Recieved -> [%d / %d]\n", static_cast<int>(bodyBytes), static_cast<int>(receiver->received));
  receiver->pastHeader = true;
  return 1;
}

std::int32_t DownloadComplete(const DownloadReceiver& receiver) {
  if (!receiver.statusGood) return 0;
  if (receiver.expected != 0) {
    if (receiver.received == receiver.expected) return 1;
    LogPrint("Sizes to not match (%d != %d)\n", static_cast<int>(receiver.expected),
             static_cast<int>(receiver.received));
    return 0;
  }
  return receiver.pastHeader ? 1 : 0;
}

std::int32_t DownloadFileName(const char* url, char* name, std::int32_t capacity) {
  const char* slash = std::strrchr(url, '/');
  const char* from = slash ? slash + 1 : url;
  if (!StrCopyBounded(name, static_cast<std::size_t>(capacity), from)) return 0;
  return IsPlainName(name) ? 1 : 0;
}

std::int32_t UpdateDownload(InstallSettings* settings, const char* url, std::int32_t proxy, char* buffer,
                            std::int32_t size) {
  char name[kUpdateField];
  bool plain = DownloadFileName(url, name, sizeof name) != 0;
  // A name that is no plain file name of the product's folder (a path, a
  // path variable, nothing at all) is never opened: the list comes from
  // the network and the program may run with the rights to write anywhere.
  bool inside = plain && SavePath(settings, name, g_update.savePath, sizeof g_update.savePath);
  if (!plain) StrCopyBounded(g_update.savePath, name);
  LogPrint("Save to -> [%s]\n", g_update.savePath);
  std::FILE* file = inside ? OsOpenFile(g_update.savePath, "wb") : nullptr;
  if (file == nullptr) {
    LogPrint("Unable to open file '%s'\n", g_update.savePath);
    return 0;
  }
  char agent[256];
  UserAgent("Quillon Update Download %s", agent, sizeof agent);
  SocketHandle* handle = nullptr;
  std::int32_t headerLength = 0;
  if (!HttpClient(url, agent, "GET", 0, proxy, &handle, buffer, size, &headerLength)) {
    std::fclose(file);
    return 0;
  }
  DownloadReceiver receiver;
  receiver.buffer = buffer;
  receiver.size = size;
  bool written = true;
  if (!SocketSendAll(handle, buffer, headerLength)) {
    LogPrint("Unable to output header (%s)\n", SocketErrorText(handle));
  } else {
    ProgressWindowSet(60);
    for (;;) {
      std::int32_t room = 0;
      std::int32_t count = 0;
      char* slot = DownloadSlot(&receiver, &room);
      if (!SocketReceive(handle, slot, room, &count)) break;
      written = DownloadPiece(&receiver, count, file) != 0;
      if (!written) break;
    }
    if (!written) LogPrint("Unable to write file '%s'\n", g_update.savePath);
  }
  if (std::fclose(file) != 0) written = false;
  CloseConnection(&handle);
  return written && DownloadComplete(receiver) ? 1 : 0;
}

std::int32_t UpdateRun(OsHandle, InstallSettings* settings) {
  CHECK_POINTER(kUnit, settings);
  if (settings->UpdateUrl[0] == '\0') return 1;
  char question[2 * kSettingsText + 80];
  StrFormatBounded(question, sizeof question, "Would you like to check for an update to %s %s electronically?",
                   settings->CompanyName, settings->ProductName);
  if (!AskYesNo(question, kCaption)) return 1;
  if (settings->Text[0] == '\0') StrCopyBounded(settings->Text, "UPD");

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
    if (g_update.dialogResult == 1) {
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
        if (RunProgram(g_update.savePath, "-Quiet", 1, &exitCode) && exitCode == 1)
          ShowProblem("Successfully updated program to latest version!", kCaption);
        else
          ShowProblem("Error attempting to update, please go to the site for the latest version.", kCaption);
      }
    }
  }
  MemoryFree(&buffer, kUpdateBufferSize, kUnit, __LINE__);
  if (result == 0) ShowProblem("Unable to contact the update server, please try again later.", kCaption);
  return 1;
}
