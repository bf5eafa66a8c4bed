// Resource and command ids shared by the four programs' shells. Plain #defines, so that
// the resource compiler can read this file too.
#pragma once

// The About box (dialog template).
#define IDD_ABOUTBOX 100
// The text of the About item in the system menu; empty: no item.
#define IDS_ABOUTBOX 101
// Every program's main dialog (dialog template).
#define IDD_MAIN_DIALOG 102
// The program icon: window icon, minimised painting, drag icon, About box.
#define IDR_PROGRAM_ICON 128
// The About item's command in the system menu. Only the bits above the low four are
// compared, so 16 to 31 all open the About box.
#define IDM_SHOW_ABOUT 16
// The About box's controls: the icon and the two text lines.
#define IDC_ABOUT_ICON 1100
#define IDC_ABOUT_VERSION 1101
#define IDC_ABOUT_NOTE 1102
// Controls that nothing addresses (labels).
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
