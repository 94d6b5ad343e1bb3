// The offer (dialog 101): the product's web page or the download. For a
// product that carries the maker's key, only a page the maker signed is
// opened.
#include "appinfo.h"
#include "internal.h"
#include "resources/resource.h"
#include "settings.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "url.h"
#include "winhelpr.h"

using update::g_update;
using update::kCaption;
using update::kUnit;

namespace {

bool IsWebAddress(const char* url) { return UrlHasScheme(url, "http") || UrlHasScheme(url, "https"); }

// A page written without its scheme, as the shell takes it: "www." and a
// host name, nothing that could name a file or a program.
bool IsBareWebAddress(const char* url) {
  if (!StrCompareNoCaseN(url, "www.", 4) || url[4] == '\0' || url[4] == '.') return false;
  for (const char* c = url; *c; ++c) {
    unsigned char byte = static_cast<unsigned char>(*c);
    if (byte <= 0x20 || byte == 0x7F || *c == '\\' || *c == '"' || *c == '<' || *c == '>' || *c == '|') return false;
    if (*c == '/') break;
    if (*c == ':' && !(c[1] >= '0' && c[1] <= '9')) return false;  // only a port
  }
  return true;
}

}  // namespace

std::int32_t UpdateOpenWebPage(const char* url) {
  CHECK_POINTER(kUnit, url);
  // Only a web address is opened: the shell would run a program's path just
  // as readily, and the text comes from the network. An address without
  // its scheme is opened as the shell's "open" takes it, over http.
  char page[kUpdateField + 8];
  if (IsWebAddress(url)) {
    StrCopyBounded(page, url);
  } else if (!IsBareWebAddress(url) || !StrFormatBounded(page, sizeof page, "http://%s", url)) {
    LogPrint("Not a web page '%s'\n", url);
    return 0;
  }
  OsHandle browser = 0;
  if (!OsShellExecute("open", page, nullptr, 1, &browser)) return 0;
  if (browser) OsCloseHandle(browser);
  return 1;
}

std::int32_t UpdatePageIsMakers(const UpdateEntry& entry) {
  if (!g_update.hasKey) return 1;
  if (g_update.keyDamaged) return 0;
  return UpdateVerifyPage(g_update.key, entry);
}

std::int32_t UpdateOfferWebPage() {
  if (g_update.webPage == nullptr || !UpdatePageIsMakers(g_update.entry)) return 0;
  return UpdateOpenWebPage(g_update.webPage);
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
      // A keyed product offers no page its maker did not sign.
      if (g_update.hasKey && !UpdatePageIsMakers(g_update.entry))
        OsEnableWindow(OsDialogItem(dialog, IDC_UPDATE_WEBPAGE), 0);
      return 1;
    }
    case kWmCommand:
      switch (static_cast<std::int32_t>(wParam & 0xFFFF)) {
        case IDC_UPDATE_WEBPAGE: UpdateOfferWebPage(); return 1;
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
