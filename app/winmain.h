// The program's entry: its description, run modes, relaunch and the two
// standard message boxes.
#pragma once

#include <cstdint>

#include "os.h"
#include "relaunch.h"

struct AppInfoRecord {
  const char* name;
  const char* version;
  const char* build;
  const char* installerKey;
  OsHandle ownerWindow;
  OsHandle instance;
};
extern AppInfoRecord AppInfo;

using RunMode = std::int32_t;
constexpr RunMode RunModeNone = 0;
constexpr RunMode RunModeUninstall = 3;
constexpr RunMode RunModeRegister = 4;
constexpr RunMode RunModeInstallerRegister = 6;
constexpr RunMode RunModeUpdate = 7;

// The mode the switches of the whole command line select.
RunMode ChooseRunMode(const char* commandLine);
// Whether a start runs the script itself rather than relaunching a copy.
bool RunsInPlace(RunMode mode, const char* commandLine);

std::int32_t ShowProblem(const char* text, const char* caption);
std::int32_t AskYesNo(const char* text, const char* caption);
std::int32_t ComInit();
std::int32_t ComRemove();

// The whole run: start-up, the script, shutdown.
int AppMain(const char* arguments, OsHandle instance);
