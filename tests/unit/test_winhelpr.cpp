// Window and dialog helpers: placement arithmetic, the progress position,
// the message pump and the dialog controls, on a real dialog where one can
// be created (Wine needs a display for that).
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>

#include "os.h"
#include "test_dialogs.h"
#include "winhelpr.h"

namespace {

int g_paints = 0;
int g_users = 0;
int g_commands = 0;
std::string g_typed;
std::int32_t g_boxed = -1;

std::intptr_t CountingProc(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam, std::intptr_t) {
  if (message == kWmPaint) ++g_paints;
  if (message == kWmUser) ++g_users;
  if (message == kWmCommand) {
    ++g_commands;
    std::uint32_t id = wParam & 0xFFFF;
    if (id == 1) {
      char text[64];
      GetDialogItemText(dialog, IDC_TEST_EDIT, text, sizeof text);
      g_typed = text;
      GetCheckBox(dialog, IDC_TEST_BOX, &g_boxed);
      OsEndDialog(dialog, 1);
    } else if (id == 2) {
      OsEndDialog(dialog, 2);
    }
  }
  if (message == kWmInitDialog) {
    SendItemMessage(dialog, IDC_TEST_EDIT, kEmLimitText, 8, 0);
    return 1;
  }
  return 0;
}

// Takes whatever is waiting, so that every test starts on an empty queue.
void DrainQueue() {
  OsMessage m;
  for (int i = 0; i < 1000 && OsPeekMessage(&m, 1); ++i) {
  }
}

class WinhelprWindow : public testing::Test {
 protected:
  void SetUp() override {
    g_paints = g_users = g_commands = 0;
    CommonControlsInit();  // the progress bar's class
    dialog = OsCreateDialog(0, IDD_WINDOW_TEST, 0, CountingProc, 0);
    if (dialog == 0) GTEST_SKIP() << "no window can be created here (no display)";
    DrainQueue();
  }
  void TearDown() override {
    if (dialog) OsDestroyWindow(dialog);
    DrainQueue();
  }
  OsRect Rect(OsHandle window) {
    OsRect r = {};
    OsWindowRect(window, &r);
    return r;
  }
  OsHandle dialog = 0;
};

}  // namespace

TEST(WinhelprPlacement, CentreHalvesTheDifferencesTowardZero) {
  std::int32_t x = 0, y = 0;
  CenterWindowPosition({0, 0, 300, 200}, {0, 0, 1024, 768}, &x, &y);
  EXPECT_EQ(x, 362);
  EXPECT_EQ(y, 284);
  CenterWindowPosition({50, 60, 351, 261}, {0, 0, 1024, 768}, &x, &y);  // odd differences
  EXPECT_EQ(x, 361);
  EXPECT_EQ(y, 283);
  CenterWindowPosition({0, 0, 100, 100}, {100, 50, 500, 350}, &x, &y);  // over a reference window
  EXPECT_EQ(x, 250);
  EXPECT_EQ(y, 150);
  // Larger than the reference: left of and above its corner, -101 / 2 = -50.
  CenterWindowPosition({0, 0, 1125, 869}, {0, 0, 1024, 768}, &x, &y);
  EXPECT_EQ(x, -50);
  EXPECT_EQ(y, -50);
}

TEST(WinhelprPlacement, ProgressPositionTruncatesAndClamps) {
  EXPECT_EQ(ProgressPosition(0.0), 0);
  EXPECT_EQ(ProgressPosition(0.05), 0);
  EXPECT_EQ(ProgressPosition(12.34), 123);
  EXPECT_EQ(ProgressPosition(62.5), 625);
  EXPECT_EQ(ProgressPosition(99.99), 999);
  EXPECT_EQ(ProgressPosition(100.0), 1000);
  EXPECT_EQ(ProgressPosition(150.0), 1000);
  EXPECT_EQ(ProgressPosition(-3.0), 0);
  EXPECT_EQ(ProgressPosition(-0.09), 0);
  // Out of any integer's range, or no number at all.
  EXPECT_EQ(ProgressPosition(1e30), 1000);
  EXPECT_EQ(ProgressPosition(-1e30), 0);
  EXPECT_EQ(ProgressPosition(std::nan("")), 0);
}

TEST(WinhelprDeathTest, NullDestinationsAbort) {
  std::int32_t flag = 0;
  EXPECT_EXIT(GetDialogItemText(0, 1, nullptr, 10), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(SetEditText(0, 1, nullptr, 10), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(GetCheckBox(0, 1, nullptr), testing::ExitedWithCode(1), "");
  // No dialog at all is no fault: nothing happens.
  EXPECT_EQ(GetCheckBox(0, 1, &flag), 1);
  EXPECT_EQ(flag, 0);
}

TEST_F(WinhelprWindow, ProgressBarRunsToAThousandAndClamps) {
  SendItemMessage(dialog, IDC_TEST_BAR, kPbmSetPos, 40, 0);
  InitProgressBar(dialog, IDC_TEST_BAR);
  EXPECT_EQ(SendItemMessage(dialog, IDC_TEST_BAR, kPbmGetPos, 0, 0), 0);
  EXPECT_EQ(SendItemMessage(dialog, IDC_TEST_BAR, kPbmGetRange, 1, 0), 0);
  EXPECT_EQ(SendItemMessage(dialog, IDC_TEST_BAR, kPbmGetRange, 0, 0), 1000);
  const struct {
    double percent;
    std::intptr_t position;
  } cases[] = {{0.05, 0}, {12.34, 123}, {99.99, 999}, {100.0, 1000}, {150.0, 1000}, {-3.0, 0}, {62.5, 625}};
  for (const auto& c : cases) {
    SetProgressPercent(dialog, IDC_TEST_BAR, c.percent);
    EXPECT_EQ(SendItemMessage(dialog, IDC_TEST_BAR, kPbmGetPos, 0, 0), c.position) << c.percent;
  }
}

TEST_F(WinhelprWindow, CentresOverTheDesktopOrAReferenceKeepingItsSize) {
  OsRect before = Rect(dialog);
  OsRect desktop = Rect(OsDesktopWindow());
  std::int32_t x = 0, y = 0;
  CenterWindowPosition(before, desktop, &x, &y);
  CenterWindow(dialog, 0);
  OsRect after = Rect(dialog);
  EXPECT_EQ(after.left, x);
  EXPECT_EQ(after.top, y);
  EXPECT_EQ(after.right - after.left, before.right - before.left);
  EXPECT_EQ(after.bottom - after.top, before.bottom - before.top);

  OsHandle reference = OsCreateDialog(0, IDD_WINDOW_TEST, 0, CountingProc, 0);
  ASSERT_NE(reference, 0u);
  MoveWindowOnScreen(reference, 100, 80, 400, 300);
  MoveWindowOnScreen(dialog, 0, 0, 200, 100);
  CenterWindow(dialog, reference);
  OsRect centred = Rect(dialog);
  EXPECT_EQ(centred.left, 200);
  EXPECT_EQ(centred.top, 180);
  OsDestroyWindow(reference);
}

TEST_F(WinhelprWindow, MovesOnlyToPointsOnTheDesktop) {
  OsRect desktop = Rect(OsDesktopWindow());
  MoveWindowOnScreen(dialog, 20, 30, 0, 0);
  OsRect r = Rect(dialog);
  std::int32_t width = r.right - r.left, height = r.bottom - r.top;
  EXPECT_EQ(r.left, 20);
  EXPECT_EQ(r.top, 30);

  MoveWindowOnScreen(dialog, -1, 30, 0, 0);
  MoveWindowOnScreen(dialog, 40, -5, 0, 0);
  MoveWindowOnScreen(dialog, desktop.right + 1, 30, 0, 0);
  r = Rect(dialog);
  EXPECT_EQ(r.left, 20);
  EXPECT_EQ(r.top, 30);

  // Both sizes must be given for a resize.
  MoveWindowOnScreen(dialog, 25, 35, 250, 0);
  r = Rect(dialog);
  EXPECT_EQ(r.left, 25);
  EXPECT_EQ(r.right - r.left, width);
  EXPECT_EQ(r.bottom - r.top, height);
  MoveWindowOnScreen(dialog, 26, 36, 250, 120);
  r = Rect(dialog);
  EXPECT_EQ(r.left, 26);
  EXPECT_EQ(r.right - r.left, 250);
  EXPECT_EQ(r.bottom - r.top, 120);

  // The desktop's edges count as on it.
  MoveWindowOnScreen(dialog, desktop.right, desktop.bottom, 0, 0);
  r = Rect(dialog);
  EXPECT_EQ(r.left, desktop.right);
  EXPECT_EQ(r.top, desktop.bottom);
}

TEST_F(WinhelprWindow, PumpDispatchesUpToACloseRequestAndLeavesIt) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(OsPostMessage(dialog, kWmPaint, 0, 0));
  ASSERT_TRUE(OsPostMessage(dialog, kWmClose, 0, 0));
  ASSERT_TRUE(OsPostMessage(dialog, kWmUser, 0, 0));
  PumpMessages();
  EXPECT_EQ(g_paints, 3);
  EXPECT_EQ(g_users, 0);
  OsMessage m = {};
  ASSERT_TRUE(OsPeekMessage(&m, 0));
  EXPECT_EQ(m.message, kWmClose);
  EXPECT_EQ(m.window, dialog);
  PumpMessages();  // still in front of it
  EXPECT_EQ(g_users, 0);

  ASSERT_TRUE(OsPeekMessage(&m, 1));
  PumpMessages();
  EXPECT_EQ(g_users, 1);
  EXPECT_FALSE(OsPeekMessage(&m, 0) && m.message == kWmUser);
}

TEST_F(WinhelprWindow, PumpLeavesAQuitRequestAtTheHead) {
  ASSERT_TRUE(OsPostMessage(0, kWmQuit, 7, 0));
  ASSERT_TRUE(OsPostMessage(dialog, kWmPaint, 0, 0));
  PumpMessages();
  EXPECT_EQ(g_paints, 0);
  OsMessage m = {};
  ASSERT_TRUE(OsPeekMessage(&m, 0));
  EXPECT_EQ(m.message, kWmQuit);
  EXPECT_EQ(m.wParam, 7u);
  PumpMessages();  // with nothing to do it returns at once
}

TEST_F(WinhelprWindow, CheckBoxesCountOnlyACheck) {
  std::int32_t flag = -1;
  SetCheckBox(dialog, IDC_TEST_BOX, 1);
  GetCheckBox(dialog, IDC_TEST_BOX, &flag);
  EXPECT_EQ(flag, 1);
  SetCheckBox(dialog, IDC_TEST_BOX, 2);  // any value but 1 unchecks
  GetCheckBox(dialog, IDC_TEST_BOX, &flag);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(SendItemMessage(dialog, IDC_TEST_BOX, kBmGetCheck, 0, 0), static_cast<std::intptr_t>(kBstUnchecked));

  SendItemMessage(dialog, IDC_TEST_THREE, kBmSetCheck, kBstIndeterminate, 0);
  ASSERT_EQ(SendItemMessage(dialog, IDC_TEST_THREE, kBmGetCheck, 0, 0), static_cast<std::intptr_t>(kBstIndeterminate));
  flag = -1;
  GetCheckBox(dialog, IDC_TEST_THREE, &flag);
  EXPECT_EQ(flag, 0);
}

TEST_F(WinhelprWindow, EditTextLimitsTypingAndSelectsAll) {
  SetEditText(dialog, IDC_TEST_EDIT, "hello world", 5);
  char text[32] = {};
  GetDialogItemText(dialog, IDC_TEST_EDIT, text, sizeof text);
  EXPECT_STREQ(text, "hello world");  // the limit holds the user, not the program
  EXPECT_EQ(SendItemMessage(dialog, IDC_TEST_EDIT, kEmGetLimitText, 0, 0), 5);
  std::uint32_t start = 99, end = 99;
  SendItemMessage(dialog, IDC_TEST_EDIT, kEmGetSel, reinterpret_cast<std::uintptr_t>(&start),
                  reinterpret_cast<std::intptr_t>(&end));
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, 11u);

  // Reading is cut to the destination's capacity.
  char small[4] = {'x', 'x', 'x', 'x'};
  GetDialogItemText(dialog, IDC_TEST_EDIT, small, sizeof small);
  EXPECT_STREQ(small, "hel");
  char none[4] = {'x', 'x', 'x', 'x'};
  GetDialogItemText(dialog, 4242, none, sizeof none);
  EXPECT_STREQ(none, "");
  GetDialogItemText(dialog, IDC_TEST_LABEL, text, sizeof text);
  EXPECT_STREQ(text, "Label");
}

TEST_F(WinhelprWindow, EnablesOnlyForOne) {
  OsHandle button = OsDialogItem(dialog, IDC_TEST_BUTTON);
  ASSERT_NE(button, 0u);
  EXPECT_TRUE(OsIsWindowEnabled(button));
  EnableDialogItem(dialog, IDC_TEST_BUTTON, 2);
  EXPECT_FALSE(OsIsWindowEnabled(button));
  EnableDialogItem(dialog, IDC_TEST_BUTTON, 1);
  EXPECT_TRUE(OsIsWindowEnabled(button));
  EnableDialogItem(dialog, IDC_TEST_BUTTON, 0);
  EXPECT_FALSE(OsIsWindowEnabled(button));
}

#ifndef _WIN32
// The host's modal dialogs are driven by lines on standard input.
class WinhelprHostDialog : public testing::Test {
 protected:
  std::intptr_t Run(const std::string& lines) {
    std::istringstream input(lines);
    std::streambuf* saved = std::cin.rdbuf(input.rdbuf());
    testing::internal::CaptureStdout();
    std::intptr_t result = OsDialogBox(0, IDD_WINDOW_TEST, 0, CountingProc, 0);
    shown = testing::internal::GetCapturedStdout();
    std::cin.rdbuf(saved);
    std::cin.clear();
    return result;
  }
  void SetUp() override {
    g_typed.clear();
    g_boxed = -1;
    g_commands = 0;
  }
  std::string shown;
};

TEST_F(WinhelprHostDialog, TypedTextAndClicksReachTheProcedure) {
  EXPECT_EQ(Run("set 101 Ada Lovelace\nclick 102\nclick 1\n"), 1);
  EXPECT_EQ(g_typed, "Ada Love");  // held to the edit's limit of 8
  EXPECT_EQ(g_boxed, 1);
  EXPECT_NE(shown.find("[Window test]"), std::string::npos) << shown;
  EXPECT_NE(shown.find("102 Button \"Box\" [ ]"), std::string::npos) << shown;
}

TEST_F(WinhelprHostDialog, EndOfInputAndTheCloseBoxCancel) {
  EXPECT_EQ(Run("check 102 1\nfrobnicate\nclick 4242\n"), 2);
  EXPECT_NE(shown.find("?? unknown command frobnicate"), std::string::npos) << shown;
  EXPECT_NE(shown.find("?? no control 4242"), std::string::npos) << shown;
  EXPECT_EQ(Run("close\n"), 2);  // the close box is a cancel
}
#endif
