// Window and dialog helpers: placement, the message pump, dialog controls,
// the progress bar and the common controls. A progress bar runs from 0 to
// 1000; callers give percentages, one step is a tenth of a percent.
#pragma once

#include <cstdint>

#include "os.h"

constexpr std::int32_t kProgressRange = 1000;

std::int32_t CommonControlsInit();
std::int32_t CommonControlsRemove();
// Where the window's corner goes to be centred over the reference: the
// differences halved, truncated toward zero.
void CenterWindowPosition(const OsRect& window, const OsRect& reference, std::int32_t* x, std::int32_t* y);
// Centres the window over the reference window, or over the desktop for 0.
std::int32_t CenterWindow(OsHandle window, OsHandle reference);
std::int32_t MoveWindowOnScreen(OsHandle window, std::int32_t x, std::int32_t y, std::int32_t width,
                                std::int32_t height);
// Dispatches what is waiting for the thread; stops in front of a close or
// quit request and leaves it queued. Never blocks.
std::int32_t PumpMessages();
std::int32_t EnableDialogItem(OsHandle dialog, std::int32_t id, std::int32_t flag);
std::int32_t GetDialogItemText(OsHandle dialog, std::int32_t id, char* destination, std::int32_t capacity);
std::int32_t SetEditText(OsHandle dialog, std::int32_t id, const char* text, std::int32_t maximumLength);
std::int32_t GetCheckBox(OsHandle dialog, std::int32_t id, std::int32_t* flag);
std::int32_t SetCheckBox(OsHandle dialog, std::int32_t id, std::int32_t flag);
std::int32_t InitProgressBar(OsHandle dialog, std::int32_t id);
// The bar position for a percentage: times 10, truncated, held to 0..1000.
std::int32_t ProgressPosition(double percentage);
std::int32_t SetProgressPercent(OsHandle dialog, std::int32_t id, double percentage);
std::intptr_t SendItemMessage(OsHandle dialog, std::int32_t id, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam);
