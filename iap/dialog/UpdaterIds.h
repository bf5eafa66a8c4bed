// Control ids of the updater dialogs (dialog IDD_MAIN_DIALOG). Solvane and Tirell lay
// out the same controls under different ids; each program's .rc uses its own set, and
// UpdaterDialog picks the set of its variant. Plain #defines: the resource compiler
// reads this file too.
#pragma once

// Solvane.rc
#define IDC_SOLVANE_OPEN_FILE 1000
#define IDC_SOLVANE_PROGRESS 1001
#define IDC_SOLVANE_PORT_LIST 1002
#define IDC_SOLVANE_PATH_LINE 1003
#define IDC_SOLVANE_STATUS_LINE 1004

// Tirell.rc
#define IDC_TIRELL_PORT_LIST 1001
#define IDC_TIRELL_OPEN_FILE 1002
#define IDC_TIRELL_PATH_LINE 1003
#define IDC_TIRELL_STATUS_LINE 1006
#define IDC_TIRELL_PROGRESS 1007
