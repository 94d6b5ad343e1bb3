// Window and dialog helpers over the seam's window services.
#include "winhelpr.h"

#include "tessel-core.h"

namespace {

constexpr const char* kUnit = "winhelpr";

}  // namespace

std::int32_t CommonControlsInit() {
  OsInitCommonControls(kIccAllClasses);
  return 1;
}

std::int32_t CommonControlsRemove() { return 1; }

void CenterWindowPosition(const OsRect& window, const OsRect& reference, std::int32_t* x, std::int32_t* y) {
  std::int32_t width = window.right - window.left;
  std::int32_t height = window.bottom - window.top;
  std::int32_t referenceWidth = reference.right - reference.left;
  std::int32_t referenceHeight = reference.bottom - reference.top;
  // Integer division truncates toward zero, also for a window larger than
  // the reference.
  *x = reference.left + (referenceWidth - width) / 2;
  *y = reference.top + (referenceHeight - height) / 2;
}

std::int32_t CenterWindow(OsHandle window, OsHandle reference) {
  OsRect own = {};
  OsWindowRect(window, &own);
  if (reference == 0) reference = OsDesktopWindow();
  OsRect over = {};
  OsWindowRect(reference, &over);
  std::int32_t x = 0;
  std::int32_t y = 0;
  CenterWindowPosition(own, over, &x, &y);
  MoveWindowOnScreen(window, x, y, 0, 0);
  return 1;
}

std::int32_t MoveWindowOnScreen(OsHandle window, std::int32_t x, std::int32_t y, std::int32_t width,
                                std::int32_t height) {
  OsRect desktop = {};
  OsWindowRect(OsDesktopWindow(), &desktop);
  bool onDesktop = x >= desktop.left && x <= desktop.right && y >= desktop.top && y <= desktop.bottom;
  if (!onDesktop) return 1;
  bool resize = width > 0 && height > 0;
  OsPlaceWindow(window, x, y, width, height, resize ? 0 : 1);
  return 1;
}

std::int32_t PumpMessages() {
  OsMessage message = {};
  for (;;) {
    if (!OsPeekMessage(&message, 0)) {
      OsYield();
      return 1;
    }
    // A close or quit request belongs to whoever owns the loop.
    if (message.message == kWmClose || message.message == kWmQuit) return 1;
    if (!OsPeekMessage(&message, 1)) return 1;
    OsTranslateMessage(&message);
    OsDispatchMessage(&message);
  }
}

std::int32_t EnableDialogItem(OsHandle dialog, std::int32_t id, std::int32_t flag) {
  OsEnableWindow(OsDialogItem(dialog, id), flag == 1 ? 1 : 0);
  return 1;
}

std::int32_t GetDialogItemText(OsHandle dialog, std::int32_t id, char* destination, std::int32_t capacity) {
  CHECK_POINTER(kUnit, destination);
  OsGetWindowText(OsDialogItem(dialog, id), destination, capacity);
  return 1;
}

std::int32_t SetEditText(OsHandle dialog, std::int32_t id, const char* text, std::int32_t maximumLength) {
  CHECK_POINTER(kUnit, text);
  OsHandle item = OsDialogItem(dialog, id);
  OsSetWindowText(item, text);
  OsSendMessage(item, kEmLimitText, static_cast<std::uintptr_t>(maximumLength), 0);
  OsSendMessage(item, kEmSetSel, 0, -1);
  return 1;
}

std::int32_t GetCheckBox(OsHandle dialog, std::int32_t id, std::int32_t* flag) {
  CHECK_POINTER(kUnit, flag);
  *flag = OsSendMessage(OsDialogItem(dialog, id), kBmGetCheck, 0, 0) == static_cast<std::intptr_t>(kBstChecked);
  return 1;
}

std::int32_t SetCheckBox(OsHandle dialog, std::int32_t id, std::int32_t flag) {
  OsSendMessage(OsDialogItem(dialog, id), kBmSetCheck, flag == 1 ? kBstChecked : kBstUnchecked, 0);
  return 1;
}

std::int32_t InitProgressBar(OsHandle dialog, std::int32_t id) {
  OsHandle bar = OsDialogItem(dialog, id);
  OsSendMessage(bar, kPbmSetPos, 0, 0);
  OsSendMessage(bar, kPbmSetRange, 0, static_cast<std::intptr_t>(kProgressRange) << 16);
  return 1;
}

std::int32_t ProgressPosition(double percentage) {
  double steps = percentage * 10.0;
  // Clamp before converting: a huge or odd percentage must not overflow.
  if (!(steps > 0.0)) return 0;
  if (steps >= kProgressRange) return kProgressRange;
  return static_cast<std::int32_t>(steps);
}

std::int32_t SetProgressPercent(OsHandle dialog, std::int32_t id, double percentage) {
  OsSendMessage(OsDialogItem(dialog, id), kPbmSetPos, static_cast<std::uintptr_t>(ProgressPosition(percentage)), 0);
  return 1;
}

std::intptr_t SendItemMessage(OsHandle dialog, std::int32_t id, std::uint32_t message, std::uintptr_t wParam,
                              std::intptr_t lParam) {
  return OsSendMessage(OsDialogItem(dialog, id), message, wParam, lParam);
}
