// The seam's window services on the host over one table of windows and one
// message queue for the process: the controls' own messages, the dialogs'
// through their procedures, and what the system does with the rest.
#include <chrono>
#include <deque>
#include <thread>

#include "host/ui.h"

namespace host::ui {

std::map<OsHandle, std::unique_ptr<Window>> g_windows;
OsHandle g_nextHandle = 0x100;

namespace {

std::deque<OsMessage> g_queue;

bool SameNoCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

std::uint32_t Now() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::intptr_t ControlMessage(Window& w, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == kWmSetText || message == kWmGetText || message == kWmGetTextLength)
    return TextMessage(w, message, wParam, lParam);
  switch (w.kind) {
    case Kind::Progress: return ProgressMessage(w, message, wParam, lParam);
    case Kind::Button:
      if (message == kBmGetCheck) return static_cast<std::intptr_t>(w.check);
      if (message == kBmSetCheck) {
        std::uintptr_t highest = HighestCheck(w);
        w.check = wParam > highest ? highest : wParam;
        return 0;
      }
      if (message == kBmClick) {
        if (w.enabled) Click(w);
        return 0;
      }
      return 0;
    case Kind::Edit:
      if (message == kEmLimitText) {
        w.limit = wParam ? wParam : 0x7FFFFFFE;
        return 0;
      }
      if (message == kEmGetLimitText) return static_cast<std::intptr_t>(w.limit);
      if (message == kEmSetSel) {
        std::intptr_t length = static_cast<std::intptr_t>(w.text.size());
        std::intptr_t start = static_cast<std::intptr_t>(wParam);
        std::intptr_t end = lParam;
        if (start < 0 || start > length) start = length;
        if (end < 0 || end > length) end = length;
        if (start > end) std::swap(start, end);
        w.selectionStart = start;
        w.selectionEnd = end;
        return 1;
      }
      if (message == kEmGetSel) {
        if (wParam) *reinterpret_cast<std::uint32_t*>(wParam) = static_cast<std::uint32_t>(w.selectionStart);
        if (lParam) *reinterpret_cast<std::uint32_t*>(lParam) = static_cast<std::uint32_t>(w.selectionEnd);
        return static_cast<std::intptr_t>((w.selectionEnd << 16) | (w.selectionStart & 0xFFFF));
      }
      return 0;
    default: return 0;
  }
}

// What the system does with a message the dialog procedure left alone.
std::intptr_t DefaultDialogMessage(Window& dialog, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == kWmSetText || message == kWmGetText || message == kWmGetTextLength)
    return TextMessage(dialog, message, wParam, lParam);
  if (message == kWmClose) {
    // As the close box would: a cancel, unless the dialog's cancel button is
    // disabled.
    OsHandle cancel = 0;
    for (OsHandle h : dialog.controls)
      if (Find(h)->id == kIdCancel) cancel = h;
    if (cancel == 0 || Find(cancel)->enabled)
      OsPostMessage(dialog.handle, kWmCommand, static_cast<std::uintptr_t>(kIdCancel) | (kBnClicked << 16),
                    static_cast<std::intptr_t>(cancel));
  }
  return 0;
}

}  // namespace

Kind KindOf(const std::string& className) {
  if (SameNoCase(className, "Button")) return Kind::Button;
  if (SameNoCase(className, "Edit")) return Kind::Edit;
  if (SameNoCase(className, "msctls_progress32")) return Kind::Progress;
  return Kind::Other;
}

Window* Find(OsHandle handle) {
  auto it = g_windows.find(handle);
  return it == g_windows.end() ? nullptr : it->second.get();
}

Window* Dialog(OsHandle handle) {
  Window* w = Find(handle);
  return w && w->kind == Kind::Dialog ? w : nullptr;
}

std::uint32_t ButtonType(const Window& w) { return w.style & kBsTypeMask; }

bool IsCheckable(const Window& w) {
  std::uint32_t type = ButtonType(w);
  return type == kBsCheckBox || type == kBsAutoCheckBox || type == kBsRadioButton || type == kBs3State ||
         type == kBsAuto3State || type == kBsAutoRadioButton;
}

std::uintptr_t HighestCheck(const Window& w) {
  if (!IsCheckable(w)) return kBstUnchecked;
  return ButtonType(w) == kBs3State || ButtonType(w) == kBsAuto3State ? kBstIndeterminate : kBstChecked;
}

std::intptr_t TextMessage(Window& w, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == kWmSetText) {
    w.text = lParam ? reinterpret_cast<const char*>(lParam) : "";
    w.selectionStart = w.selectionEnd = 0;
    return 1;
  }
  if (message == kWmGetText) {
    if (wParam == 0 || lParam == 0) return 0;
    char* out = reinterpret_cast<char*>(lParam);
    std::size_t n = w.text.size() < wParam - 1 ? w.text.size() : wParam - 1;
    w.text.copy(out, n);
    out[n] = '\0';
    return static_cast<std::intptr_t>(n);
  }
  return static_cast<std::intptr_t>(w.text.size());  // kWmGetTextLength
}

// A click of a button as the user makes it: automatic boxes change their
// state, then the dialog hears of it.
void Click(Window& button) {
  std::uint32_t type = ButtonType(button);
  if (type == kBsAutoCheckBox) button.check = button.check == kBstChecked ? kBstUnchecked : kBstChecked;
  if (type == kBsAuto3State) button.check = (button.check + 1) % 3;
  if (type == kBsAutoRadioButton) {
    if (Window* dialog = Dialog(button.parent)) {
      // Uncheck the other automatic radio buttons of the group.
      std::size_t at = 0;
      while (at < dialog->controls.size() && dialog->controls[at] != button.handle) ++at;
      std::size_t first = at;
      while (first > 0 && !(Find(dialog->controls[first])->style & kWsGroup)) --first;
      for (std::size_t i = first; i < dialog->controls.size(); ++i) {
        Window* other = Find(dialog->controls[i]);
        if (i > first && (other->style & kWsGroup)) break;
        if (other->kind == Kind::Button && ButtonType(*other) == kBsAutoRadioButton) other->check = kBstUnchecked;
      }
    }
    button.check = kBstChecked;
  }
  SendTo(button.parent, kWmCommand, static_cast<std::uintptr_t>(button.id & 0xFFFF) | (kBnClicked << 16),
         static_cast<std::intptr_t>(button.handle));
}

std::intptr_t SendTo(OsHandle handle, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  Window* w = Find(handle);
  if (w == nullptr) return 0;
  if (w->kind != Kind::Dialog) return ControlMessage(*w, message, wParam, lParam);
  if (w->procedure) {
    std::intptr_t handled = w->procedure(handle, message, wParam, lParam);
    if (handled) return handled;
    w = Find(handle);  // the procedure may have destroyed its dialog
    if (w == nullptr) return 0;
  }
  return DefaultDialogMessage(*w, message, wParam, lParam);
}

}  // namespace host::ui

using namespace host::ui;

int OsInitCommonControls(std::uint32_t) { return 1; }

OsHandle OsDesktopWindow() { return kDesktop; }

int OsWindowRect(OsHandle window, OsRect* rect) {
  *rect = OsRect{};
  if (window == kDesktop) {
    *rect = kScreen;
    return 1;
  }
  Window* w = Find(window);
  if (w == nullptr) return 0;
  if (w->kind == Kind::Dialog) {
    *rect = w->rect;
    return 1;
  }
  Window* dialog = Find(w->parent);
  int left = dialog ? dialog->rect.left + dialog->clientLeft : 0;
  int top = dialog ? dialog->rect.top + dialog->clientTop : 0;
  *rect = {left + w->rect.left, top + w->rect.top, left + w->rect.right, top + w->rect.bottom};
  return 1;
}

int OsPlaceWindow(OsHandle window, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                  int keepSize) {
  Window* w = Find(window);
  if (w == nullptr) return 0;
  if (keepSize) {
    width = w->rect.right - w->rect.left;
    height = w->rect.bottom - w->rect.top;
  }
  w->rect = {x, y, x + width, y + height};
  return 1;
}

int OsPeekMessage(OsMessage* message, int remove) {
  if (g_queue.empty()) return 0;
  *message = g_queue.front();
  if (remove) g_queue.pop_front();
  return 1;
}

int OsPostMessage(OsHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (window != 0 && Find(window) == nullptr) return 0;
  g_queue.push_back(OsMessage{window, message, wParam, lParam, Now(), 0, 0});
  return 1;
}

void OsTranslateMessage(const OsMessage*) {}

std::intptr_t OsDispatchMessage(const OsMessage* message) {
  if (message->window == 0) return 0;
  return SendTo(message->window, message->message, message->wParam, message->lParam);
}

void OsYield() { std::this_thread::yield(); }

OsHandle OsDialogItem(OsHandle dialog, std::int32_t id) {
  Window* d = Dialog(dialog);
  if (d == nullptr) return 0;
  for (OsHandle h : d->controls)
    if (Find(h)->id == id) return h;
  return 0;
}

std::intptr_t OsSendMessage(OsHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  return SendTo(window, message, wParam, lParam);
}

int OsEnableWindow(OsHandle window, int enable) {
  Window* w = Find(window);
  if (w == nullptr) return 0;
  w->enabled = enable != 0;
  return 1;
}

int OsIsWindowEnabled(OsHandle window) {
  Window* w = Find(window);
  return w && w->enabled ? 1 : 0;
}

std::int32_t OsGetWindowText(OsHandle window, char* out, std::int32_t capacity) {
  if (capacity <= 0) return 0;
  out[0] = '\0';
  Window* w = Find(window);
  if (w == nullptr) return 0;
  return static_cast<std::int32_t>(
      TextMessage(*w, kWmGetText, static_cast<std::uintptr_t>(capacity), reinterpret_cast<std::intptr_t>(out)));
}

int OsSetWindowText(OsHandle window, const char* text) {
  Window* w = Find(window);
  if (w == nullptr) return 0;
  SendTo(window, kWmSetText, 0, reinterpret_cast<std::intptr_t>(text));
  if (Window* dialog = w->kind == Kind::Dialog ? w : nullptr) DrawBar(*dialog);
  return 1;
}

int OsShowWindowAsync(OsHandle window, int command) {
  Window* w = Find(window);
  if (w == nullptr) return 0;
  SetVisible(*w, command != kSwHide);
  return 1;
}

int OsIsWindowVisible(OsHandle window) {
  for (Window* w = Find(window); w; w = w->kind == Kind::Dialog ? nullptr : Find(w->parent))
    if (!w->visible) return 0;
  return Find(window) ? 1 : 0;
}

int OsDestroyWindow(OsHandle window) {
  if (Find(window) == nullptr) return 0;
  Destroy(window);
  return 1;
}
