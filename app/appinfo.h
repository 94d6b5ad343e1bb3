// The program's own description: its name, version and build, the key of
// the installer's records, and the window and module the entry fills in.
// Every unit may read it; the entry sets the handles at start-up.
#pragma once

#include "os.h"

struct AppInfoRecord {
  const char* name;
  const char* version;
  const char* build;
  const char* installerKey;
  OsHandle ownerWindow;
  OsHandle instance;
};
extern AppInfoRecord AppInfo;

// The maker's web host, named in the user agents of the update and the
// registration.
constexpr const char* kMakerWebHost = "www.quillon.example";
