// What the host's window units share: the window records, their table and
// the message dispatch. The dialog model (ui_dialogs.cpp), the window
// services (ui_windows.cpp) and the progress text bar (ui_progress.cpp) all
// work on these records; nothing outside TESSEL/os/host includes this.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/dialogs.h"
#include "os.h"

namespace host::ui {

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
constexpr std::uint32_t kBsCheckBox = 2, kBsAutoCheckBox = 3, kBsRadioButton = 4, kBs3State = 5, kBsAuto3State = 6,
                        kBsAutoRadioButton = 9;

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

// Every window of the process by its handle; handles are never reused.
extern std::map<OsHandle, std::unique_ptr<Window>> g_windows;
extern OsHandle g_nextHandle;

Window* Find(OsHandle handle);
Window* Dialog(OsHandle handle);  // the window, when it is a dialog
Kind KindOf(const std::string& className);

std::uint32_t ButtonType(const Window& w);
bool IsCheckable(const Window& w);
std::uintptr_t HighestCheck(const Window& w);

// Window messages as the system handles them: a control's own, a dialog's
// through its procedure and then the default handling.
std::intptr_t SendTo(OsHandle handle, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
std::intptr_t TextMessage(Window& w, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
// A click of a button as the user makes it.
void Click(Window& button);

// The progress text bar (ui_progress.cpp).
std::intptr_t ProgressMessage(Window& w, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
void DrawBar(Window& dialog);
void EndBar(Window& dialog);
// Shows or hides a window; a dialog's bar follows its visibility.
void SetVisible(Window& w, bool visible);

// The dialog model (ui_dialogs.cpp).
OsHandle Build(const host::DialogTemplate& t, OsHandle parent, OsDialogProc procedure, std::intptr_t initParam);
void Destroy(OsHandle handle);

}  // namespace host::ui
