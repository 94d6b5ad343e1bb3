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

// The registration form and its controls.
#define IDD_REGISTRATION 1004
#define IDC_REG_FIRST_NAME 1014
#define IDC_REG_EMAIL 1015
#define IDC_REG_LAST_NAME 1016
#define IDC_REG_ADDRESS 1017
#define IDC_REG_CITY 1018
#define IDC_REG_STATE 1019
#define IDC_REG_ZIP 1020
#define IDC_REG_HOW_FOUND 1021
#define IDC_REG_PHONE 1022
#define IDC_REG_COUNTRY 1023
#define IDC_REG_NEWS_NO 1026
#define IDC_REG_NEWS_YES 1027
#define IDC_REG_NEWS_ALREADY 1028

// The e-mail confirmation and its edit.
#define IDD_EMAIL_VERIFY 1006
#define IDC_VERIFY_EMAIL 1025
