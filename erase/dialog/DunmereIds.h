// Control ids of Dunmere's main dialog (resource IDD_MAIN_DIALOG). Plain #defines, so
// that the resource compiler can read this file too.
#pragma once

#define IDC_DUNMERE_ERASE 1000      // ERASE
#define IDC_DUNMERE_PORT_LIST 1001  // COM1 .. COM8
