// The progress window: created hidden from its template, its bar set in
// tenths of a percent, shown centred and hidden again, closed as a dialog.
#include <gtest/gtest.h>

#include <string>

#include "command/progress.h"
#include "os.h"
#include "resource.h"
#include "winhelpr.h"

namespace {

void DrainQueue() {
  OsMessage m;
  for (int i = 0; i < 1000 && OsPeekMessage(&m, 1); ++i) {
  }
}

// Whether the note still waited in the queue; takes what waits.
bool NoteWaited(std::uint32_t note) {
  OsMessage m;
  for (int i = 0; i < 1000 && OsPeekMessage(&m, 1); ++i)
    if (m.message == note) return true;
  return false;
}

std::intptr_t BarPosition() { return SendItemMessage(ProgressWindowHandle(), IDC_PROGRESS, kPbmGetPos, 0, 0); }

class ProgressWindow : public testing::Test {
 protected:
  void SetUp() override {
    DrainQueue();
    CommonControlsInit();
    ProgressWindowCreate(0, 0);
    if (ProgressWindowHandle() == 0) GTEST_SKIP() << "no window can be created here (no display)";
  }
  void TearDown() override {
    ProgressWindowDestroy();
    DrainQueue();
  }
};

// Closes the dialog as soon as it starts, with the given second parameter.
std::intptr_t g_closeParameter = 0;
std::intptr_t ClosingProc(OsHandle dialog, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (message == kWmInitDialog) OsPostMessage(dialog, kWmClose, 0, g_closeParameter);
  return ProgressWindowProcedure(dialog, message, wParam, lParam);
}

}  // namespace

TEST_F(ProgressWindow, StartsHiddenFromItsTemplate) {
  OsHandle window = ProgressWindowHandle();
  EXPECT_FALSE(OsIsWindowVisible(window));
  char text[64] = {};
  OsGetWindowText(window, text, sizeof text);
  EXPECT_STREQ(text, "Please wait...");
  OsHandle bar = OsDialogItem(window, IDC_PROGRESS);
  ASSERT_NE(bar, 0u);
  OsGetWindowText(bar, text, sizeof text);
  EXPECT_STREQ(text, "Progress2");
  EXPECT_EQ(BarPosition(), 0);
  EXPECT_EQ(SendItemMessage(window, IDC_PROGRESS, kPbmGetRange, 0, 0), 1000);
}

TEST_F(ProgressWindow, SetPutsTheBarInTenthsOfAPercent) {
  ProgressWindowSet(62.5);
  EXPECT_EQ(BarPosition(), 625);
  ProgressWindowSet(100.0);
  EXPECT_EQ(BarPosition(), 1000);
  ProgressWindowSet(0.0);
  EXPECT_EQ(BarPosition(), 0);
}

TEST_F(ProgressWindow, SetDispatchesWaitingMessagesButNotACloseRequest) {
  constexpr std::uint32_t kNote = kWmUser + 5;
  ProgressWindowShow(1);
  ASSERT_TRUE(OsPostMessage(ProgressWindowHandle(), kNote, 0, 0));
  ProgressWindowSet(10.0);
  EXPECT_FALSE(NoteWaited(kNote));

  OsSleep(120);
  ASSERT_TRUE(OsPostMessage(ProgressWindowHandle(), kWmClose, 0, 0));
  ProgressWindowSet(20.0);
  OsMessage m = {};
  EXPECT_EQ(BarPosition(), 200);
  ASSERT_TRUE(OsPeekMessage(&m, 0));
  EXPECT_EQ(m.message, kWmClose);
}

// A hidden window (an unattended run has none at all) lets nothing run; a
// shown one lets the messages run by the clock, not at every setting.
TEST_F(ProgressWindow, SetLetsMessagesRunOnlyWhileShownAndByTheClock) {
  constexpr std::uint32_t kNote = kWmUser + 6;
  ASSERT_TRUE(OsPostMessage(ProgressWindowHandle(), kNote, 0, 0));
  ProgressWindowSet(10.0);
  EXPECT_EQ(BarPosition(), 100);
  EXPECT_TRUE(NoteWaited(kNote));

  ProgressWindowShow(1);
  ASSERT_TRUE(OsPostMessage(ProgressWindowHandle(), kNote, 0, 0));
  ProgressWindowSet(11.0);
  EXPECT_FALSE(NoteWaited(kNote)) << "the first setting after showing";
  // A setting within 50 ms of the last run lets nothing run. A machine so
  // busy that two settings never come that close cannot show it: a few tries.
  bool within = false;
  for (int attempt = 0; attempt < 20 && !within; ++attempt) {
    OsSleep(60);
    std::uint64_t before = OsTickCount();
    ProgressWindowSet(12.0);
    ASSERT_TRUE(OsPostMessage(ProgressWindowHandle(), kNote, 0, 0));
    ProgressWindowSet(13.0);
    within = OsTickCount() - before < 50;
    bool waited = NoteWaited(kNote);
    if (within) {
      EXPECT_TRUE(waited);
    }
  }
  EXPECT_TRUE(within) << "no two settings came within 50 ms";
  EXPECT_EQ(BarPosition(), 130);
  OsSleep(120);
  ASSERT_TRUE(OsPostMessage(ProgressWindowHandle(), kNote, 0, 0));
  ProgressWindowSet(14.0);
  EXPECT_FALSE(NoteWaited(kNote));

  ProgressWindowShow(0);
  OsSleep(120);
  ASSERT_TRUE(OsPostMessage(ProgressWindowHandle(), kNote, 0, 0));
  ProgressWindowSet(15.0);
  EXPECT_TRUE(NoteWaited(kNote));
}

TEST_F(ProgressWindow, ShowCentresOnTheDesktopAndHidingKeepsTheBar) {
  OsHandle window = ProgressWindowHandle();
  MoveWindowOnScreen(window, 3, 4, 0, 0);
  ProgressWindowSet(40.0);
  ProgressWindowShow(1);
  PumpMessages();
  EXPECT_TRUE(OsIsWindowVisible(window));
  OsRect own = {}, desktop = {};
  OsWindowRect(window, &own);
  OsWindowRect(OsDesktopWindow(), &desktop);
  std::int32_t x = 0, y = 0;
  CenterWindowPosition(own, desktop, &x, &y);
  EXPECT_EQ(own.left, x);
  EXPECT_EQ(own.top, y);
  EXPECT_NE(own.left, 3);

  ProgressWindowShow(0);
  PumpMessages();
  EXPECT_FALSE(OsIsWindowVisible(window));
  ProgressWindowShow(2);  // anything but 1 hides
  PumpMessages();
  EXPECT_FALSE(OsIsWindowVisible(window));
  ProgressWindowShow(1);
  PumpMessages();
  EXPECT_TRUE(OsIsWindowVisible(window));
  EXPECT_EQ(BarPosition(), 400);
}

TEST_F(ProgressWindow, TheProcedureHandlesOnlyItsTwoMessages) {
  OsHandle window = ProgressWindowHandle();
  ProgressWindowSet(55.0);
  EXPECT_EQ(ProgressWindowProcedure(window, kWmInitDialog, 0, 0), 1);
  EXPECT_EQ(BarPosition(), 0);  // a fresh start resets the bar
  EXPECT_EQ(ProgressWindowProcedure(window, kWmPaint, 0, 0), 0);
  EXPECT_EQ(ProgressWindowProcedure(window, kWmCommand, 1, 0), 0);
  ProgressWindowShow(1);
  PumpMessages();
  OsSendMessage(window, kWmClose, 0, 0);
  EXPECT_FALSE(OsIsWindowVisible(window));  // the dialog ended
}

TEST_F(ProgressWindow, ClosingEndsWithTheSignExtendedLowWord) {
  g_closeParameter = 0x1234FFFE;
  EXPECT_EQ(OsDialogBox(0, IDD_PROGRESS, 0, ClosingProc, 0), -2);
  g_closeParameter = 0x7FFF0005;
  EXPECT_EQ(OsDialogBox(0, IDD_PROGRESS, 0, ClosingProc, 0), 5);
}

TEST_F(ProgressWindow, RecreatingAndDestroyingLeaveOneOrNoWindow) {
  OsHandle first = ProgressWindowHandle();
  ProgressWindowCreate(0, 0);
  EXPECT_NE(ProgressWindowHandle(), 0u);
  EXPECT_FALSE(OsIsWindowVisible(first) && first != ProgressWindowHandle());
  ProgressWindowDestroy();
  EXPECT_EQ(ProgressWindowHandle(), 0u);
  // Without a window the operations do nothing, and still succeed.
  EXPECT_EQ(ProgressWindowShow(1), 1);
  EXPECT_EQ(ProgressWindowSet(50.0), 1);
  EXPECT_EQ(ProgressWindowDestroy(), 1);
}

#ifndef _WIN32
// On the host the visible bar is drawn as text on standard error.
TEST_F(ProgressWindow, HostDrawsTheVisibleBarOnStandardError) {
  testing::internal::CaptureStderr();
  ProgressWindowSet(30.0);  // hidden: nothing drawn
  ProgressWindowShow(1);
  ProgressWindowSet(62.5);
  ProgressWindowSet(62.5);  // unchanged: not drawn again
  ProgressWindowShow(0);
  std::string drawn = testing::internal::GetCapturedStderr();
  EXPECT_EQ(drawn,
            "\rPlease wait... [######..............]  30%"
            "\rPlease wait... [############........]  62%"
            "\n");
}
#endif
