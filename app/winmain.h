// The program's entry: its description, the choice of the run mode, the
// relaunch and COM's start and end.
#pragma once

#include <cstdint>

#include "appinfo.h"
#include "os.h"
#include "problems.h"
#include "relaunch.h"

// The mode the switches of the whole command line select.
RunMode ChooseRunMode(const char* commandLine);
// Whether a start is unattended: "-Quiet" in the argument part (never the
// program's path) of an uninstall.
bool IsUnattended(RunMode mode, const char* arguments);
// Whether a start runs the script itself rather than relaunching a copy.
bool RunsInPlace(RunMode mode, const char* commandLine);

std::int32_t ComInit();
std::int32_t ComRemove();

// The whole run: start-up, the script, shutdown.
int AppMain(const char* arguments, OsHandle instance);
