// The dialog that the window tests drive.
#pragma once

#define IDD_WINDOW_TEST 9100
#define IDC_TEST_EDIT 101
#define IDC_TEST_BOX 102
#define IDC_TEST_THREE 103
#define IDC_TEST_BUTTON 104
#define IDC_TEST_LABEL 105
#define IDC_TEST_BAR 106
