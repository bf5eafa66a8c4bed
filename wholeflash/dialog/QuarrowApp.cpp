// Quarrow: writes a whole-flash image to the device.
#include "shell/ShellApp.h"
#include "wholeflash/dialog/QuarrowDlg.h"

class QuarrowApp : public ShellApp {
public:
    bool InitInstance() override
    {
        QuarrowDlg dialog;
        RunMainDialog(dialog);
        return false;  // the program ends with its dialog
    }
};

QuarrowApp theApp;
