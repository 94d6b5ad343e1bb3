// The dialog model on the host: dialogs built from the same templates as the
// Win32 resources, run by the program's own dialog procedures, and a modal
// dialog driven by lines on standard input.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "host/ui.h"

namespace host::ui {

namespace {

host::DialogTemplateTable* g_addedTables = nullptr;

int PixelsX(int units) { return units * kBaseUnitX / 4; }
int PixelsY(int units) { return units * kBaseUnitY / 8; }

const host::DialogTemplate* FindIn(const host::DialogTemplateTable& table, std::int32_t id) {
  for (std::size_t i = 0; i < table.count; ++i)
    if (table.templates[i].id == id) return &table.templates[i];
  return nullptr;
}

}  // namespace

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
              : (t.style & kWsBorder)                                             ? 1
                                                                                  : 0;
  int caption =
      (t.style & kWsCaption) == kWsCaption ? (t.exStyle & kWsExToolWindow ? kToolCaptionHeight : kCaptionHeight) : 0;
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

namespace {

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

}  // namespace host::ui

namespace host {

void AddDialogTemplates(DialogTemplateTable* table) {
  table->next = ui::g_addedTables;
  ui::g_addedTables = table;
}

const DialogTemplate* FindDialogTemplate(std::int32_t id) {
  if (const DialogTemplate* t = ui::FindIn(ProgramDialogs, id)) return t;
  for (DialogTemplateTable* table = ui::g_addedTables; table; table = table->next)
    if (const DialogTemplate* t = ui::FindIn(*table, id)) return t;
  return nullptr;
}

}  // namespace host

using namespace host::ui;

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
