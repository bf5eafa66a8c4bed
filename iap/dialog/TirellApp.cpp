// Tirell: the second variant of the in-application-programming updater.
#include "iap/dialog/UpdaterDialog.h"
#include "shell/ShellApp.h"

class TirellApp : public ShellApp {
public:
    bool InitInstance() override
    {
        UpdaterDialog dialog(VARIANT_TIRELL);
        RunMainDialog(dialog);
        return false;  // the program ends with its dialog
    }
};

TirellApp theApp;
