// Control ids of Quarrow's main dialog (resource IDD_MAIN_DIALOG). Plain #defines, so
// that the resource compiler can read this file too.
#pragma once

#define IDC_QUARROW_OPEN_FILE 1000      // OPEN FILE
#define IDC_QUARROW_UPDATE 1001         // UPDATE
#define IDC_QUARROW_PORT_LIST 1002      // COM1 .. COM8
#define IDC_QUARROW_PROGRESS 1003       // the write progress bar
#define IDC_QUARROW_STATUS_LINE 1004    // the wait notice, "Updata success!"
#define IDC_QUARROW_PROGRESS_LINE 1005  // "write progress:" and the percentage
#define IDC_QUARROW_PORT_LINE 1006      // result of the last port opening
