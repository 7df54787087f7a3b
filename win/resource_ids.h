// Resource and control ids of the Windows dialog, shared by the resource script and the code.
#pragma once

#define IDD_ABOUT 100
#define IDS_ABOUT_ENTRY 101
#define IDD_UPDATER 102
#define IDI_APPLICATION_ICON 128
// The picture (PNG) at its size, and at twice its size for screens scaled above 100 %.
#define IDB_PICTURE 131
#define IDB_PICTURE_2X 132

#define IDC_PICTURE 1000
#define IDC_PROGRESS 1001
#define IDC_UPDATE 1002
#define IDC_STATUS 1003
#define IDC_JOURNEY_ICON 1004
#define IDC_JOURNEY 1005
// Beside the buttons while a job runs: not to unplug or switch off.
#define IDC_BUSY_WARNING 1006
