// Where the download is saved: a plain file name of the product's folder,
// never a path, a device, nor the product's uninstaller or its log.
#include <cstring>

#include "internal.h"
#include "paths.h"
#include "protect.h"
#include "settings.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

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

}  // namespace

// The save path: the name in the product's folder, and nowhere else.
std::int32_t UpdateSavePathOf(InstallSettings* settings, const char* name, char* path, std::int32_t capacity) {
  char folder[kUpdateField];
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, name, path, static_cast<std::size_t>(capacity), &flags)) return 0;
  if (!ExpandPath(settings, "", folder, &flags)) return 0;
  return IsInsideFolder(path, folder) ? 1 : 0;
}

namespace {

// Whether a path of the script (expanded as the uninstall expands it)
// names the same file as the canonical save path.
bool SameFile(InstallSettings* settings, const char* scriptPath, const char* canonicalSave) {
  char path[kUpdateField];
  char canonical[kCanonicalRoom];
  std::uint32_t flags = 0;
  return scriptPath[0] != '\0' && ExpandPath(settings, scriptPath, path, sizeof path, &flags) &&
         CanonicalPath(path, canonical, sizeof canonical) && StrEqualNoCase(canonical, canonicalSave);
}

}  // namespace

// The product's uninstaller (the product could no longer be removed) and
// its log are never download names. A file of its list may be: that is the
// product's own installer, kept for its removal.
bool UpdateIsProductFile(InstallSettings* settings, const char* savePath) {
  char canonical[kCanonicalRoom];
  if (!CanonicalPath(savePath, canonical, sizeof canonical)) return true;
  if (SameFile(settings, settings->UninstallName, canonical) || SameFile(settings, "Uninstall.exe", canonical) ||
      SameFile(settings, settings->InstallName, canonical))
    return true;
  char running[kUpdateField];
  char runningCanonical[kCanonicalRoom];
  return OsModuleFileName(running, sizeof running) &&
         CanonicalPath(running, runningCanonical, sizeof runningCanonical) &&
         StrEqualNoCase(runningCanonical, canonical);
}

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

std::int32_t DownloadFileName(const char* url, char* name, std::int32_t capacity) {
  const char* slash = std::strrchr(url, '/');
  const char* from = slash ? slash + 1 : url;
  if (!StrCopyBounded(name, static_cast<std::size_t>(capacity), from)) return 0;
  return IsPlainName(name) ? 1 : 0;
}
