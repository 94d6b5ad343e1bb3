// The electronic update as the "DONE" command runs it: one question, the
// version list fetched (through the user's proxy first, then directly, then
// as often as the user wants), this product's entry compared, the offer,
// the download into the product's folder, the maker's signature verified
// and the run of the new installer with "-Quiet".
#include <cstring>

#include "appinfo.h"
#include "http.h"
#include "internal.h"
#include "problems.h"
#include "progress.h"
#include "settings.h"
#include "socket.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace update {

Fields g_update = {};
UpdateLimits g_limits;

void Refuse(std::int32_t kind, const char* cause) {
  g_update.refusal = kind;
  StrCopyBounded(g_update.cause, cause);
}

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

}  // namespace update

using update::g_limits;
using update::g_update;
using update::kCaption;
using update::kUnit;

namespace {

// The check and the download share their retry scheme: phase 0 through the
// proxy (once per run), phase 1 directly, phase 2 asks; a Yes goes back to
// the direct attempt. A refusal is never retried: the same server would
// send the same file, and a local cause stays what it is.
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

// The download chosen in the offer, and the run of what it saved.
std::int32_t DownloadAndRun(InstallSettings* settings, char* buffer) {
  if (g_update.downloadUrl[0] == '\0') {
    char message[2 * kSettingsText + 128];
    StrFormatBounded(message, sizeof message,
                     "The update server names no installer for %s %s, please check the website.", settings->CompanyName,
                     settings->ProductName);
    ShowProblem(message, kCaption);
    return 1;
  }
  if (g_update.hasKey && !UpdateEntrySigned(g_update.entry)) {
    // Nothing the maker did not sign is fetched, let alone run.
    update::Refuse(kRefusedSignature, "The update could not be verified as its maker's");
    return 1;
  }
  if (HttpIsSecureUrl(settings->UpdateUrl) && !HttpIsSecureUrl(g_update.downloadUrl)) {
    // A list that came over TLS vouches for nothing fetched without it:
    // whoever sits on the way could swap the installer.
    LogPrint("Unable to use URL '%s' (the version list came over a secure connection, the download would not)\n",
             g_update.downloadUrl);
    update::Refuse(kRefusedInsecure, "The update would be downloaded over a connection that is not secure");
    return 1;
  }
  ProgressWindowSet(0);
  ProgressWindowShow(1);
  std::int32_t result =
      WithRetries("Update download on phase %d\n",
                  "There was a problem downloading the update, would you like to try again?", [&](std::int32_t proxy) {
                    return UpdateDownload(settings, g_update.downloadUrl, proxy, buffer, kUpdateBufferSize);
                  });
  ProgressWindowShow(0);
  if (result != 1) return g_update.refusal != 0 ? 1 : 0;
  std::int32_t exitCode = 0;
  std::int32_t outcome = UpdateRunInstaller(&g_update.installer, &exitCode);
  OsHeldClose(&g_update.installer);
  if (outcome == kInstallerNotAwaited)
    ShowProblem(
        "The new version's installer is still running; it was not awaited, so whether it succeeded is not "
        "known yet.",
        kCaption);
  else if (outcome == kInstallerEnded && exitCode == 1)
    ShowProblem("Successfully updated program to latest version!", kCaption);
  else
    ShowProblem("Error attempting to update, please go to the site for the latest version.", kCaption);
  return 1;
}

// Tells the user why nothing was installed; the product's web page is
// offered unless the signature was refused (then nothing of the list is
// trusted) or, for a keyed product, the maker did not sign the page.
void TellRefusal() {
  char message[512];
  const UpdateEntry& entry = g_update.entry;
  bool page = g_update.refusal != kRefusedSignature && entry.webPage[0] != '\0' && UpdatePageIsMakers(entry);
  if (page) {
    StrFormatBounded(message, sizeof message,
                     "%s, so nothing was installed. Would you like to open the product's web page instead?",
                     g_update.cause);
    if (AskYesNo(message, kCaption)) UpdateOpenWebPage(entry.webPage);
  } else {
    StrFormatBounded(message, sizeof message, "%s, so nothing was installed.", g_update.cause);
    ShowProblem(message, kCaption);
  }
}

}  // namespace

UpdateLimits& UpdateLimitsInForce() { return g_limits; }
std::int32_t UpdateDialogResult() { return g_update.dialogResult; }
const char* UpdateSavePath() { return g_update.savePath; }
std::int32_t UpdateRefusal() { return g_update.refusal; }
const char* UpdateRefusalCause() { return g_update.cause; }
OsHeldFile* UpdateHeldInstaller() { return &g_update.installer; }

void UpdateUseKey(const unsigned char* makerKey) {
  g_update.hasKey = makerKey != nullptr;
  g_update.keyDamaged = false;
  if (makerKey) std::memcpy(g_update.key, makerKey, FfsUpdateKeySize);
}

void UpdateUseEntry(const UpdateEntry& entry) { g_update.entry = entry; }

std::int32_t UpdateRun(OsHandle, InstallSettings* settings) {
  CHECK_POINTER(kUnit, settings);
  if (settings->UpdateUrl[0] == '\0') return 1;
  char question[2 * kSettingsText + 80];
  StrFormatBounded(question, sizeof question, "Would you like to check for an update to %s %s electronically?",
                   settings->CompanyName, settings->ProductName);
  if (!AskYesNo(question, kCaption)) return 1;
  if (settings->Text[0] == '\0') StrCopyBounded(settings->Text, "UPD");
  g_update.hasKey = FfsUpdateKey(g_update.key) != 0;
  g_update.keyDamaged = FfsUpdateKeyDamaged() != 0;
  g_update.refusal = 0;
  g_update.cause[0] = '\0';
  g_update.settings = settings;
  if (g_update.keyDamaged) {
    // A key that cannot be read is never taken for no key at all: that
    // would run whatever the server sends.
    LogPrint("Update key unreadable: no update can be verified\n");
    ShowProblem("Update key unreadable: no update can be verified.", kCaption);
    return 1;
  }

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
    if (g_update.dialogResult == 1) result = DownloadAndRun(settings, buffer);
    if (g_update.refusal != 0) TellRefusal();
  }
  MemoryFree(&buffer, kUpdateBufferSize, kUnit, __LINE__);
  if (result == 0) ShowProblem("Unable to contact the update server, please try again later.", kCaption);
  return 1;
}
