// The keyword handlers that the keyword table binds.
#pragma once

#include "keywordtable.h"
#include "settings.h"

// Refuses a command whose path, key or URL argument does not fit the room
// the keyword table gives it.
inline std::int32_t RefuseOverlongArgument(KeywordId keyword, std::size_t room) {
  return RefuseOverlongArgument(KeywordName(keyword), room);
}

std::int32_t SkipLine(InstallSettings* settings, const char* arguments, std::int32_t* consumed);

// Product settings.
std::int32_t HandleCompanyName(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleProductName(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleProductVersion(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleText(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleFileList(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleListServer(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleUpdateUrl(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleRegistryPath(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleInstallSize(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleInstallName(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleUninstallName(InstallSettings*, const char*, std::int32_t*);
// Install location.
std::int32_t HandleInstallDir(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleInstallPath(InstallSettings*, const char*, std::int32_t*);
// Shortcuts, components, the uninstall itself, the registration.
std::int32_t HandleCreateGroup(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleAddItem(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleOle(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleInstall(InstallSettings*, const char*, std::int32_t*);
std::int32_t HandleDone(InstallSettings*, const char*, std::int32_t*);
// What "OLE" does in the uninstall mode once the user has agreed: the
// component path expanded and its registration reversed.
std::int32_t ReverseComponent(InstallSettings* settings, const char* action, const char* component);
std::int32_t HandleRegister(InstallSettings*, const char*, std::int32_t*);
