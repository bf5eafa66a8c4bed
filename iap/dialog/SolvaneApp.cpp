// Solvane: the firmware updater over the device's in-application-programming loader.
#include "iap/dialog/UpdaterDialog.h"
#include "shell/ShellApp.h"

class SolvaneApp : public ShellApp {
public:
    bool InitInstance() override
    {
        UpdaterDialog dialog(VARIANT_SOLVANE);
        RunMainDialog(dialog);
        return false;  // the program ends with its dialog
    }
};

SolvaneApp theApp;
