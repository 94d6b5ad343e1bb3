// The progress window.
#include "progress.h"

#include "resource.h"
#include "tessel-core.h"
#include "winhelpr.h"

namespace {

OsHandle g_window = 0;
OsHandle g_parent = 0;
bool g_shown = false;
// When the waiting messages last ran. Letting them run costs a request to
// the window system: once per file it was a fifth of a removal's cost, and
// a window only needs it a few dozen times a second to stay alive.
std::uint64_t g_lastPump = 0;
constexpr std::uint64_t kPumpInterval = 50;

}  // namespace

std::intptr_t ProgressWindowProcedure(OsHandle dialog, std::uint32_t message, std::uintptr_t, std::intptr_t lParam) {
  switch (message) {
    case kWmInitDialog: InitProgressBar(dialog, IDC_PROGRESS); return 1;
    case kWmClose:
      // The result is the second parameter's low word, sign-extended.
      OsEndDialog(dialog, static_cast<std::int16_t>(static_cast<std::uint16_t>(lParam & 0xFFFF)));
      return 1;
    default: return 0;
  }
}

std::int32_t ProgressWindowCreate(OsHandle instance, OsHandle parent) {
  if (g_window) ProgressWindowDestroy();
  g_window = OsCreateDialog(instance, IDD_PROGRESS, parent, ProgressWindowProcedure, 0);
  g_parent = parent;
  if (g_window == 0) LogPrint("Failed to create dialog '%d'\n", IDD_PROGRESS);
  ProgressWindowShow(0);
  return 1;
}

std::int32_t ProgressWindowShow(std::int32_t flag) {
  if (g_window == 0) return 1;
  if (flag == 1) {
    CenterWindow(g_window, g_parent);
    OsShowWindowAsync(g_window, kSwShow);
    // The first setting after showing lets the window draw.
    g_shown = true;
    g_lastPump = 0;
  } else {
    OsShowWindowAsync(g_window, kSwHide);
    g_shown = false;
  }
  return 1;
}

std::int32_t ProgressWindowSet(double percent) {
  if (g_window) SetProgressPercent(g_window, IDC_PROGRESS, percent);
  // Only a window that is shown needs its messages to run, and then by the
  // clock, so that one slow step still keeps it alive.
  if (!g_shown) return 1;
  std::uint64_t now = OsTickCount();
  if (g_lastPump != 0 && now - g_lastPump < kPumpInterval) return 1;
  g_lastPump = now == 0 ? 1 : now;
  PumpMessages();
  return 1;
}

std::int32_t ProgressWindowDestroy() {
  if (g_window) OsDestroyWindow(g_window);
  g_window = 0;
  g_parent = 0;
  g_shown = false;
  return 1;
}

OsHandle ProgressWindowHandle() { return g_window; }
