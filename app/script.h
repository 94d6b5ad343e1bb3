// The script engine: loads install.dat out of the archive into a settings
// record and runs its commands through the keyword table.
#pragma once

#include <cstdint>

#include "command/settings.h"
#include "os.h"
#include "problems.h"

// Creates the record, copies the named file out of the archive into it and
// stores the mode; 1 and *script set, or 0.
std::int32_t ScriptLoad(InstallSettings** script, const char* name, RunMode mode);
// Runs the commands from the parse position to the end; 1 when the end was
// reached, 0 when a command was unknown or failed.
std::int32_t ScriptRun(InstallSettings* script, OsHandle window);
// Releases the text and the record; *script becomes none.
std::int32_t ScriptUnload(InstallSettings** script);
