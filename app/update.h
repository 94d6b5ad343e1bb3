// The electronic update: check, offer, download and run.
#pragma once

#include <cstdint>

#include "os.h"

struct InstallSettings;

std::int32_t UpdateRun(OsHandle owner, InstallSettings* settings);
