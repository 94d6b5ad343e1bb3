// The seam's window services on the host: an in-memory model of dialogs and
// their controls, built from the same templates as the Win32 resources, and
// one message queue for the process. The dialog procedures are the program's
// own and run as on Windows. A modal dialog is driven by lines on standard
// input; a visible progress bar is drawn as a text bar on standard error.
#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/dialogs.h"
#include "os.h"

namespace {

constexpr std::uint32_t kWmDestroy = 0x0002;
constexpr std::uint32_t kWsVisible = 0x10000000u;
constexpr std::uint32_t kWsDisabled = 0x08000000u;
constexpr std::uint32_t kWsCaption = 0x00C00000u;
constexpr std::uint32_t kWsBorder = 0x00800000u;
constexpr std::uint32_t kWsDlgFrame = 0x00400000u;
constexpr std::uint32_t kWsGroup = 0x00020000u;
constexpr std::uint32_t kWsTabStop = 0x00010000u;
constexpr std::uint32_t kDsModalFrame = 0x80u;
constexpr std::uint32_t kWsExToolWindow = 0x80u;
constexpr std::uint32_t kEsPassword = 0x20u;
constexpr std::uint32_t kBsTypeMask = 0xFu;
constexpr std::uint32_t kBsCheckBox = 2, kBsAutoCheckBox = 3, kBsRadioButton = 4, kBs3State = 5,
                        kBsAuto3State = 6, kBsAutoRadioButton = 9;

// The host's screen and the measures of its windows: the dialog base units
// of 8-point "MS Sans Serif", a dialog frame of 3 pixels, the caption
// heights of normal and tool windows.
constexpr OsRect kScreen = {0, 0, 1024, 768};
constexpr int kBaseUnitX = 6;
constexpr int kBaseUnitY = 13;
constexpr int kDialogFrame = 3;
constexpr int kCaptionHeight = 19;
constexpr int kToolCaptionHeight = 15;
constexpr OsHandle kDesktop = 0x10;
constexpr int kBarCells = 20;
// A single-line edit takes this many characters until told otherwise.
constexpr std::uintptr_t kInitialEditLimit = 30000;

enum class Kind { Dialog, Button, Edit, Progress, Other };

struct Window {
  OsHandle handle = 0;
  OsHandle parent = 0;  // a control's dialog; a dialog's owner
  Kind kind = Kind::Other;
  std::int32_t id = 0;
  std::string className;
  std::string text;
  std::uint32_t style = 0;
  std::uint32_t exStyle = 0;
  OsRect rect = {};  // a dialog's on the screen; a control's in its dialog's client area
  bool enabled = true;
  bool visible = false;
  // Dialogs.
  OsDialogProc procedure = nullptr;
  int clientLeft = 0;
  int clientTop = 0;
  std::vector<OsHandle> controls;
  bool ended = false;
  std::intptr_t result = 0;
  std::string bar;  // the progress line last drawn, empty when none is on screen
  // Buttons.
  std::uintptr_t check = kBstUnchecked;
  // Edits.
  std::uintptr_t limit = kInitialEditLimit;
  std::intptr_t selectionStart = 0;
  std::intptr_t selectionEnd = 0;
  // Progress bars.
  std::int32_t position = 0;
  std::int32_t low = 0;
  std::int32_t high = 100;
};

std::map<OsHandle, std::unique_ptr<Window>> g_windows;
OsHandle g_nextHandle = 0x100;
std::deque<OsMessage> g_queue;
host::DialogTemplateTable* g_addedTables = nullptr;

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

int PixelsX(int units) { return units * kBaseUnitX / 4; }
int PixelsY(int units) { return units * kBaseUnitY / 8; }

std::uint32_t Now() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
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

// ---- the text bar of visible progress controls ---------------------------

std::string BarLine(const Window& dialog) {
  std::string line;
  for (OsHandle h : dialog.controls) {
    const Window* c = Find(h);
    if (c == nullptr || c->kind != Kind::Progress || !c->visible) continue;
    long long span = static_cast<long long>(c->high) - c->low;
    long long done = static_cast<long long>(c->position) - c->low;
    int cells = span > 0 ? static_cast<int>(done * kBarCells / span) : 0;
    int percent = span > 0 ? static_cast<int>(done * 100 / span) : 0;
    char numbers[16];
    std::snprintf(numbers, sizeof numbers, "] %3d%%", percent);
    line += (line.empty() ? dialog.text + " [" : " [") + std::string(cells, '#') +
            std::string(kBarCells - cells, '.') + numbers;
  }
  return line;
}

void DrawBar(Window& dialog) {
  if (!dialog.visible) return;
  std::string line = BarLine(dialog);
  if (line.empty() || line == dialog.bar) return;
  std::fprintf(stderr, "\r%s", line.c_str());
  std::fflush(stderr);
  dialog.bar = line;
}

void EndBar(Window& dialog) {
  if (dialog.bar.empty()) return;
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  dialog.bar.clear();
}

void SetVisible(Window& w, bool visible) {
  w.visible = visible;
  Window* dialog = w.kind == Kind::Dialog ? &w : Dialog(w.parent);
  if (dialog == nullptr) return;
  if (dialog->visible)
    DrawBar(*dialog);
  else
    EndBar(*dialog);
}

// ---- window procedures -----------------------------------------------------

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

std::int32_t Clamp(std::int32_t value, std::int32_t low, std::int32_t high) {
  if (value < low) return low;
  if (value > high) return high;
  return value;
}

std::intptr_t Packed(std::int32_t low, std::int32_t high) {
  return static_cast<std::intptr_t>((static_cast<std::uint32_t>(high & 0xFFFF) << 16) |
                                    static_cast<std::uint32_t>(low & 0xFFFF));
}

std::intptr_t ProgressMessage(Window& w, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::intptr_t answer = w.position;
  switch (message) {
    case kPbmSetRange:
      answer = Packed(w.low, w.high);
      w.low = static_cast<std::int32_t>(lParam & 0xFFFF);
      w.high = static_cast<std::int32_t>((lParam >> 16) & 0xFFFF);
      break;
    case kPbmSetRange32:
      answer = Packed(w.low, w.high);
      w.low = static_cast<std::int32_t>(wParam);
      w.high = static_cast<std::int32_t>(lParam);
      break;
    case kPbmSetPos: w.position = static_cast<std::int32_t>(wParam); break;
    case kPbmDeltaPos: w.position += static_cast<std::int32_t>(wParam); break;
    case kPbmGetPos: return w.position;
    case kPbmGetRange:
      if (lParam) {
        std::int32_t* range = reinterpret_cast<std::int32_t*>(lParam);
        range[0] = w.low;
        range[1] = w.high;
      }
      return wParam ? w.low : w.high;
    default: return 0;
  }
  if (w.high < w.low) w.high = w.low;
  w.position = Clamp(w.position, w.low, w.high);
  if (Window* dialog = Dialog(w.parent)) DrawBar(*dialog);
  return answer;
}

std::intptr_t SendTo(OsHandle handle, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

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
std::intptr_t DefaultDialogMessage(Window& dialog, std::uint32_t message, std::uintptr_t wParam,
                                   std::intptr_t lParam) {
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

// ---- dialogs from templates ------------------------------------------------

const host::DialogTemplate* FindIn(const host::DialogTemplateTable& table, std::int32_t id) {
  for (std::size_t i = 0; i < table.count; ++i)
    if (table.templates[i].id == id) return &table.templates[i];
  return nullptr;
}

OsHandle Build(const host::DialogTemplate& t, OsHandle parent, OsDialogProc procedure, std::intptr_t initParam) {
  auto owned = std::make_unique<Window>();
  Window& dialog = *owned;
  dialog.handle = g_nextHandle;
  g_nextHandle += 4;
  dialog.parent = parent;
  dialog.kind = Kind::Dialog;
  dialog.className = "#32770";
  dialog.text = t.caption;
  dialog.style = t.style;
  dialog.exStyle = t.exStyle;
  dialog.enabled = !(t.style & kWsDisabled);
  dialog.procedure = procedure;
  int frame = (t.style & (kWsCaption | kWsDlgFrame)) || (t.style & kDsModalFrame) ? kDialogFrame
              : (t.style & kWsBorder)                                               ? 1
                                                                                    : 0;
  int caption = (t.style & kWsCaption) == kWsCaption ? (t.exStyle & kWsExToolWindow ? kToolCaptionHeight
                                                                                    : kCaptionHeight)
                                                     : 0;
  dialog.clientLeft = frame;
  dialog.clientTop = frame + caption;
  OsRect origin = {};
  if (Window* owner = Find(parent)) {
    OsWindowRect(parent, &origin);
    origin.left += owner->clientLeft;
    origin.top += owner->clientTop;
  }
  dialog.rect.left = origin.left + PixelsX(t.x);
  dialog.rect.top = origin.top + PixelsY(t.y);
  dialog.rect.right = dialog.rect.left + PixelsX(t.width) + 2 * frame;
  dialog.rect.bottom = dialog.rect.top + PixelsY(t.height) + 2 * frame + caption;
  OsHandle handle = dialog.handle;
  g_windows[handle] = std::move(owned);

  OsHandle focus = 0;
  for (std::size_t i = 0; i < t.controlCount; ++i) {
    const host::DialogControlTemplate& c = t.controls[i];
    auto control = std::make_unique<Window>();
    control->handle = g_nextHandle;
    g_nextHandle += 4;
    control->parent = handle;
    control->id = c.id;
    control->className = c.className;
    control->kind = KindOf(control->className);
    control->text = c.text;
    control->style = c.style;
    control->exStyle = c.exStyle;
    control->enabled = !(c.style & kWsDisabled);
    control->visible = (c.style & kWsVisible) != 0;
    control->rect = {PixelsX(c.x), PixelsY(c.y), PixelsX(c.x + c.width), PixelsY(c.y + c.height)};
    if (focus == 0 && (c.style & kWsTabStop) && control->enabled) focus = control->handle;
    Find(handle)->controls.push_back(control->handle);
    g_windows[control->handle] = std::move(control);
  }

  if (procedure) procedure(handle, kWmInitDialog, focus, initParam);
  Window* built = Find(handle);
  if (built == nullptr) return 0;  // destroyed while it started
  if ((t.style & kWsVisible) && !built->ended) SetVisible(*built, true);
  return handle;
}

void Destroy(OsHandle handle) {
  Window* w = Find(handle);
  if (w == nullptr) return;
  if (w->kind == Kind::Dialog) {
    EndBar(*w);
    if (w->procedure) w->procedure(handle, kWmDestroy, 0, 0);
    w = Find(handle);
    if (w == nullptr) return;
    std::vector<OsHandle> controls = w->controls;
    for (OsHandle c : controls) g_windows.erase(c);
    // Dialogs it owns go with it.
    std::vector<OsHandle> owned;
    for (auto& [h, other] : g_windows)
      if (other->kind == Kind::Dialog && other->parent == handle) owned.push_back(h);
    for (OsHandle h : owned) Destroy(h);
  } else if (Window* dialog = Dialog(w->parent)) {
    auto& list = dialog->controls;
    for (auto it = list.begin(); it != list.end(); ++it)
      if (*it == handle) {
        list.erase(it);
        break;
      }
  }
  g_windows.erase(handle);
}

// ---- modal dialogs on standard input -------------------------------------

void PrintDialog(const Window& dialog) {
  std::printf("[%s]\n", dialog.text.c_str());
  for (OsHandle h : dialog.controls) {
    const Window* c = Find(h);
    if (c == nullptr || !c->visible) continue;
    std::string text = c->kind == Kind::Edit && (c->style & kEsPassword) ? std::string(c->text.size(), '*') : c->text;
    std::printf("  %d %s \"%s\"", c->id, c->className.c_str(), text.c_str());
    if (c->kind == Kind::Button && IsCheckable(*c))
      std::printf(" %s", c->check == kBstChecked ? "[x]" : c->check == kBstIndeterminate ? "[-]" : "[ ]");
    if (!c->enabled) std::printf(" (disabled)");
    std::printf("\n");
  }
  std::fflush(stdout);
}

// Carries out one line of the user's: "set <id> <text>", "click <id>",
// "check <id> 0|1|2", "close" or "show".
void Command(OsHandle dialogHandle, const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  Window* dialog = Dialog(dialogHandle);
  if (verb.empty() || dialog == nullptr) return;
  if (verb == "close") {
    SendTo(dialogHandle, kWmClose, 0, 0);
    return;
  }
  if (verb == "show") {
    PrintDialog(*dialog);
    return;
  }
  if (verb != "set" && verb != "click" && verb != "check") {
    std::printf("?? unknown command %s\n", verb.c_str());
    return;
  }
  std::int32_t id = 0;
  if (!(in >> id)) {
    std::printf("?? %s: a control identifier is needed\n", verb.c_str());
    return;
  }
  Window* control = Find(OsDialogItem(dialogHandle, id));
  if (control == nullptr) {
    std::printf("?? no control %d\n", id);
    return;
  }
  if (!control->enabled || !control->visible) {
    std::printf("?? control %d is disabled\n", id);
    return;
  }
  if (verb == "set") {
    std::string text;
    if (in.peek() == ' ') in.get();
    std::getline(in, text);
    // What a person types is held to the edit's limit.
    if (control->kind == Kind::Edit && text.size() > control->limit) text.resize(control->limit);
    control->text = text;
    control->selectionStart = control->selectionEnd = static_cast<std::intptr_t>(text.size());
    SendTo(dialogHandle, kWmCommand, static_cast<std::uintptr_t>(id & 0xFFFF) | (kEnChange << 16),
           static_cast<std::intptr_t>(control->handle));
  } else if (verb == "click") {
    if (control->kind == Kind::Button)
      Click(*control);
    else
      std::printf("?? control %d is not a button\n", id);
  } else if (verb == "check") {
    unsigned state = 0;
    if (control->kind != Kind::Button || !IsCheckable(*control) || !(in >> state) || state > HighestCheck(*control)) {
      std::printf("?? check %d: not a box, or no such state\n", id);
      return;
    }
    control->check = state;
    SendTo(dialogHandle, kWmCommand, static_cast<std::uintptr_t>(id & 0xFFFF) | (kBnClicked << 16),
           static_cast<std::intptr_t>(control->handle));
  }
  std::fflush(stdout);
}

// Dispatches what the commands posted; false when a quit request ends the
// modal loop (it stays queued for the caller).
bool RunQueue() {
  OsMessage m;
  while (OsPeekMessage(&m, 0)) {
    if (m.message == kWmQuit) return false;
    OsPeekMessage(&m, 1);
    OsDispatchMessage(&m);
  }
  return true;
}

}  // namespace

namespace host {

void AddDialogTemplates(DialogTemplateTable* table) {
  table->next = g_addedTables;
  g_addedTables = table;
}

const DialogTemplate* FindDialogTemplate(std::int32_t id) {
  if (const DialogTemplate* t = FindIn(ProgramDialogs, id)) return t;
  for (DialogTemplateTable* table = g_addedTables; table; table = table->next)
    if (const DialogTemplate* t = FindIn(*table, id)) return t;
  return nullptr;
}

}  // namespace host

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
  return static_cast<std::int32_t>(TextMessage(*w, kWmGetText, static_cast<std::uintptr_t>(capacity),
                                               reinterpret_cast<std::intptr_t>(out)));
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

int OsEndDialog(OsHandle dialog, std::intptr_t result) {
  Window* d = Dialog(dialog);
  if (d == nullptr) return 0;
  d->ended = true;
  d->result = result;
  SetVisible(*d, false);
  return 1;
}

OsHandle OsCreateDialog(OsHandle, std::int32_t resourceId, OsHandle parent, OsDialogProc procedure,
                        std::intptr_t initParam) {
  const host::DialogTemplate* t = host::FindDialogTemplate(resourceId);
  if (t == nullptr) return 0;
  if (parent != 0 && Find(parent) == nullptr) return 0;
  return Build(*t, parent, procedure, initParam);
}

std::intptr_t OsDialogBox(OsHandle instance, std::int32_t resourceId, OsHandle parent, OsDialogProc procedure,
                          std::intptr_t initParam) {
  OsHandle dialog = OsCreateDialog(instance, resourceId, parent, procedure, initParam);
  if (dialog == 0) return -1;
  if (Window* owner = Find(parent)) owner->enabled = false;
  Window* d = Dialog(dialog);
  if (d && !d->ended) {
    SetVisible(*d, true);
    PrintDialog(*d);
  }
  bool running = true;
  while (running && (d = Dialog(dialog)) != nullptr && !d->ended) {
    running = RunQueue();
    d = Dialog(dialog);
    if (!running || d == nullptr || d->ended) break;
    std::printf("> ");
    std::fflush(stdout);
    std::string line;
    if (!std::getline(std::cin, line)) {
      // The end of input is no answer: the dialog is cancelled.
      std::printf("\n");
      SendTo(dialog, kWmCommand, static_cast<std::uintptr_t>(kIdCancel) | (kBnClicked << 16), 0);
      d = Dialog(dialog);
      if (d && !d->ended) OsEndDialog(dialog, kIdCancel);
      break;
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    Command(dialog, line);
  }
  if (Window* owner = Find(parent)) owner->enabled = true;
  d = Dialog(dialog);
  std::intptr_t result = d && d->ended ? d->result : 0;
  Destroy(dialog);
  return result;
}
