// The uninstall procedure: "INSTALL" asks and removes the product's files,
// "DONE" removes its installed-programs entry and reports; "OLE" reverses a
// component's registration.
#include "handlers.h"
#include "paths.h"
#include "progress.h"
#include "registry.h"
#include "removal.h"
#include "tessel-core.h"
#include "tessel-str.h"
#include "update.h"
#include "winmain.h"

namespace {

constexpr const char* kUnit = "command";
constexpr int kWorkRoom = 144;
constexpr int kKeyRoom = 320;
constexpr std::int32_t kRootCurrentUser = 1;
constexpr std::int32_t kRootLocalMachine = 4;

// Expands a script path and deletes the file; a path that cannot be
// expanded whole is passed over (ExpandPath has said why).
void DeleteScriptPath(InstallSettings* settings, const char* scriptPath) {
  char path[kWorkRoom];
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, scriptPath, path, sizeof path, &flags)) return;
  DeleteProductFile(path);
}

}  // namespace

// The next entry of the file list, from *position on: up to a ',' (passed
// over) or a control character (left in place, so later entries read
// empty). An entry that does not fit is skipped whole: 0.
std::int32_t NextFileListEntry(const char** position, char* entry, std::int32_t capacity) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(*position);
  std::int32_t length = 0;
  std::int32_t fitted = 1;
  while (*p >= 0x20 && *p != ',') {
    if (length + 1 < capacity)
      entry[length++] = static_cast<char>(*p);
    else
      fitted = 0;
    ++p;
  }
  entry[length] = '\0';
  if (*p == ',') ++p;
  *position = reinterpret_cast<const char*>(p);
  return fitted;
}

std::int32_t HandleInstall(InstallSettings* settings, const char*, std::int32_t*) {
  if (settings->Mode != RunModeUninstall) return 1;

  char question[kWorkRoom];
  StrFormatBounded(question, sizeof question, "Are you sure you want to uninstall %s %s?", settings->CompanyName,
                   settings->ProductName);
  if (!AskYesNo(question, nullptr)) {
    settings->Mode = RunModeNone;
    return 1;
  }

  if (settings->RegistryPath[0] != '\0') {
    if (!RegistryKeyExists(kRootCurrentUser, settings->RegistryPath)) {
      ShowProblem("Unable to find previous installation; files could not be removed.", nullptr);
      settings->Mode = RunModeNone;
      return 1;
    }
    RegistryKey key = kRegistryNoKey;
    if (!RegistryOpenKey(&key, kRootCurrentUser, settings->RegistryPath)) {
      SetErrorLocation(kUnit, 465);
      Abort("Unable to open key '%s'\n", settings->RegistryPath);
    }
    RegistryGetString(key, "Install Path", settings->InstallPath);
    RegistryCloseKey(&key);
  }

  ProgressWindowShow(1);
  RemovalBatchBegin();
  const char* position = settings->FileList;
  for (std::int32_t i = 0; i < settings->FileCount; ++i) {
    ProgressWindowSet(static_cast<double>(i) / static_cast<double>(settings->FileCount) * 100.0);
    char entry[kWorkRoom];
    if (position == nullptr) break;
    if (!NextFileListEntry(&position, entry, sizeof entry)) {
      LogPrint("Unable to use file list entry '%s...'\n", entry);
      continue;
    }
    DeleteScriptPath(settings, entry);
  }
  if (settings->UninstallName[0] != '\0') DeleteScriptPath(settings, settings->UninstallName);
  if (settings->InstallName[0] != '\0') DeleteScriptPath(settings, settings->InstallName);
  RemovalBatchEnd();
  ProgressWindowShow(0);
  return 1;
}

std::int32_t HandleDone(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  switch (settings->Mode) {
    case RunModeUninstall: {
      if (settings->UninstallName[0] != '\0') {
        char key[kKeyRoom];
        if (!StrFormatBounded(key, sizeof key, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s %s",
                              settings->CompanyName, settings->ProductName)) {
          LogPrint("Unable to name the uninstall key of '%s %s'\n", settings->CompanyName, settings->ProductName);
        } else if (RegistryKeyExists(kRootLocalMachine, key)) {
          RegistryDeleteKey(kRootLocalMachine, key);
        }
      }
      ReadArgument(arguments, settings->Text, consumed);
      StrFormatBounded(settings->Text, sizeof settings->Text, "%s %s has been uninstalled!", settings->CompanyName,
                       settings->ProductName);
      ShowProblem(settings->Text, "Uninstaller...");
      settings->Text[0] = '\0';
      break;
    }
    case RunModeRegister:
    case RunModeInstallerRegister:
      if (settings->RegisterShortcut[0] != '\0') DeleteProductFile(settings->RegisterShortcut);
      break;
    case RunModeUpdate:
      UpdateRun(settings->OwnerWindow, settings);
      break;
    default:
      break;
  }
  return 1;
}

std::int32_t HandleOle(InstallSettings* settings, const char* arguments, std::int32_t* consumed) {
  char action[40];
  char component[kWorkRoom];
  ReadArgument(arguments, action, consumed);
  if (!ReadArgument(arguments, component, consumed)) return RefuseOverlongArgument("OLE", sizeof component);
  if (settings->Mode != RunModeUninstall) return 1;
  char path[kWorkRoom];
  std::uint32_t flags = 0;
  if (!ExpandPath(settings, component, path, sizeof path, &flags)) return 1;
  LogPrint("OLE: %s '%s'\n", action, path);
  RegisterComponent(path, StrEqualNoCase(action, "REGISTER") ? 0 : 1);
  return 1;
}
