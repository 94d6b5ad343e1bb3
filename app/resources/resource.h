// Identifiers of the program's resources.
#pragma once
#define IDI_UNINSTALL 1

// The progress window and its bar.
#define IDD_PROGRESS 117
#define IDC_PROGRESS 1012
