// The modeless "Please wait..." window with its progress bar: one per
// process, created hidden at start-up, shown and set by long work,
// destroyed at the end of the run.
#pragma once

#include <cstdint>

#include "os.h"

std::int32_t ProgressWindowCreate(OsHandle instance, OsHandle parent);
// 1 centres the window over its parent (or the desktop) and shows it; any
// other value hides it.
std::int32_t ProgressWindowShow(std::int32_t flag);
// Sets the bar to the percentage (0.0 to 100.0). While the window is
// shown it then lets the waiting window messages run, at most every 50 ms.
std::int32_t ProgressWindowSet(double percent);
std::int32_t ProgressWindowDestroy();

// The window while it exists, 0 otherwise.
OsHandle ProgressWindowHandle();
// The window's dialog procedure.
std::intptr_t ProgressWindowProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam,
                                      std::intptr_t lParam);
