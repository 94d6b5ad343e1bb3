// The seam over Win32: common controls, window placement, the message queue,
// dialog controls and dialogs from resources.
#include <windows.h>
#include <commctrl.h>

#include "os.h"

namespace {

HWND Window(OsHandle handle) { return reinterpret_cast<HWND>(handle); }
OsHandle Handle(HWND window) { return reinterpret_cast<OsHandle>(window); }

HINSTANCE Module(OsHandle instance) {
  return instance ? reinterpret_cast<HINSTANCE>(instance) : GetModuleHandleA(nullptr);
}

// What a dialog creation hands to the thunk through its creation parameter.
struct DialogStart {
  OsDialogProc procedure;
  std::intptr_t initParam;
};

// The one dialog procedure that the system calls (stdcall); it forwards to
// the seam's procedure, which it keeps in the dialog's user slot from
// WM_INITDIALOG on. Messages before that are left to the system.
INT_PTR CALLBACK DialogThunk(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  OsDialogProc procedure = nullptr;
  if (message == WM_INITDIALOG) {
    const DialogStart* start = reinterpret_cast<const DialogStart*>(lParam);
    if (start == nullptr) return FALSE;
    procedure = start->procedure;
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(procedure));
    lParam = start->initParam;
  } else {
    procedure = reinterpret_cast<OsDialogProc>(GetWindowLongPtrA(dialog, DWLP_USER));
  }
  if (procedure == nullptr) return FALSE;
  return static_cast<INT_PTR>(procedure(Handle(dialog), message, wParam, lParam));
}

void ToSystem(const OsMessage* in, MSG* out) {
  out->hwnd = Window(in->window);
  out->message = in->message;
  out->wParam = in->wParam;
  out->lParam = in->lParam;
  out->time = in->time;
  out->pt.x = in->x;
  out->pt.y = in->y;
}

}  // namespace

bool LibrarySearchRestricted();

// The common controls are not imported: an imported DLL is looked for
// beside the program before anything can restrict the search. They are
// loaded here, by name where the search is restricted to the system (the
// manifest's dependency then gives version 6), else by the system folder's
// full path. The library stays loaded for the rest of the run.
int OsInitCommonControls(std::uint32_t classes) {
  static HMODULE library = nullptr;
  if (library == nullptr) {
    if (LibrarySearchRestricted()) {
      library = LoadLibraryA("comctl32.dll");
    } else {
      char path[MAX_PATH + 16] = {};
      UINT length = GetSystemDirectoryA(path, MAX_PATH);
      if (length == 0 || length >= MAX_PATH) return 0;
      lstrcatA(path, "\\comctl32.dll");
      library = LoadLibraryA(path);
    }
    if (library == nullptr) return 0;
  }
  using InitProc = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  auto init = reinterpret_cast<InitProc>(reinterpret_cast<void*>(GetProcAddress(library, "InitCommonControlsEx")));
  if (init == nullptr) return 0;
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof controls;
  controls.dwICC = classes;
  return init(&controls) ? 1 : 0;
}

OsHandle OsDesktopWindow() { return Handle(GetDesktopWindow()); }

int OsWindowRect(OsHandle window, OsRect* rect) {
  RECT r = {};
  BOOL ok = window ? GetWindowRect(Window(window), &r) : FALSE;
  if (!ok) r = RECT{};
  rect->left = r.left;
  rect->top = r.top;
  rect->right = r.right;
  rect->bottom = r.bottom;
  return ok ? 1 : 0;
}

int OsPlaceWindow(OsHandle window, std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                  int keepSize) {
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (keepSize ? SWP_NOSIZE : 0);
  return SetWindowPos(Window(window), nullptr, x, y, width, height, flags) ? 1 : 0;
}

int OsPeekMessage(OsMessage* message, int remove) {
  MSG m = {};
  if (!PeekMessageA(&m, nullptr, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE)) return 0;
  message->window = Handle(m.hwnd);
  message->message = m.message;
  message->wParam = m.wParam;
  message->lParam = m.lParam;
  message->time = m.time;
  message->x = m.pt.x;
  message->y = m.pt.y;
  return 1;
}

int OsPostMessage(OsHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  return PostMessageA(Window(window), message, wParam, lParam) ? 1 : 0;
}

void OsTranslateMessage(const OsMessage* message) {
  MSG m;
  ToSystem(message, &m);
  TranslateMessage(&m);
}

std::intptr_t OsDispatchMessage(const OsMessage* message) {
  MSG m;
  ToSystem(message, &m);
  return static_cast<std::intptr_t>(DispatchMessageA(&m));
}

void OsYield() { Sleep(0); }

OsHandle OsDialogItem(OsHandle dialog, std::int32_t id) { return Handle(GetDlgItem(Window(dialog), id)); }

std::intptr_t OsSendMessage(OsHandle window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  return static_cast<std::intptr_t>(SendMessageA(Window(window), message, wParam, lParam));
}

int OsEnableWindow(OsHandle window, int enable) {
  EnableWindow(Window(window), enable ? TRUE : FALSE);
  return 1;
}

int OsIsWindowEnabled(OsHandle window) { return IsWindowEnabled(Window(window)) ? 1 : 0; }

std::int32_t OsGetWindowText(OsHandle window, char* out, std::int32_t capacity) {
  if (capacity <= 0) return 0;
  out[0] = '\0';
  if (window == 0) return 0;
  int n = GetWindowTextA(Window(window), out, capacity);
  if (n < 0) n = 0;
  if (n >= capacity) n = capacity - 1;
  out[n] = '\0';
  return n;
}

int OsSetWindowText(OsHandle window, const char* text) { return SetWindowTextA(Window(window), text) ? 1 : 0; }

int OsShowWindowAsync(OsHandle window, int command) { return ShowWindowAsync(Window(window), command) ? 1 : 0; }

int OsIsWindowVisible(OsHandle window) { return IsWindowVisible(Window(window)) ? 1 : 0; }

int OsDestroyWindow(OsHandle window) { return DestroyWindow(Window(window)) ? 1 : 0; }

int OsEndDialog(OsHandle dialog, std::intptr_t result) {
  return EndDialog(Window(dialog), static_cast<INT_PTR>(result)) ? 1 : 0;
}

OsHandle OsCreateDialog(OsHandle instance, std::int32_t resourceId, OsHandle parent, OsDialogProc procedure,
                        std::intptr_t initParam) {
  // WM_INITDIALOG arrives while CreateDialogParamA runs, so the start record
  // may live on this stack.
  DialogStart start = {procedure, initParam};
  HWND dialog = CreateDialogParamA(Module(instance), MAKEINTRESOURCEA(resourceId), Window(parent), DialogThunk,
                                   reinterpret_cast<LPARAM>(&start));
  return Handle(dialog);
}

std::intptr_t OsDialogBox(OsHandle instance, std::int32_t resourceId, OsHandle parent, OsDialogProc procedure,
                          std::intptr_t initParam) {
  DialogStart start = {procedure, initParam};
  return static_cast<std::intptr_t>(DialogBoxParamA(Module(instance), MAKEINTRESOURCEA(resourceId), Window(parent),
                                                    DialogThunk, reinterpret_cast<LPARAM>(&start)));
}
