// Resource ids shared by QuillfeedUpdater.rc and the code.
#pragma once

#define IDR_MAINFRAME   128
#define IDD_MAINDLG     129
#define IDR_PLACEHOLDER 201

#define IDC_WHATSNEW_TEXT     1000
#define IDC_PROGRESS          1002
#define IDC_DOWNLOAD          1005
#define IDC_STATUS_TEXT       1006
#define IDC_INSTALLER_VERSION 1007
#define IDC_ZIPPED_VERSION    1008
#define IDC_HOWTO_UPGRADE     1009
#define IDC_WHATSNEW_LINK     1010

// Commands the download worker posts to the dialog; the PlaceHolder menu
// exists only to define them.
#define ID_DOWNLOAD_READY    0x8005
#define ID_DOWNLOAD_FAILED   0x8007
#define ID_DOWNLOAD_PROGRESS 0x8009
