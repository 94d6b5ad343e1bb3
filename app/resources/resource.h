// Identifiers of the program's resources.
#pragma once
#define IDI_UNINSTALL 1

// The progress window and its bar.
#define IDD_PROGRESS 117
#define IDC_PROGRESS 1012

// The update's offer.
#define IDD_UPDATE 101
#define IDC_UPDATE_FIRST 1024
#define IDC_UPDATE_WEBPAGE 1025
#define IDC_UPDATE_DOWNLOAD 1026
#define IDC_UPDATE_SECOND 1028
