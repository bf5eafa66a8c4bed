// Dunmere: erases the device's flash.
#include "erase/dialog/DunmereDlg.h"
#include "shell/ShellApp.h"

class DunmereApp : public ShellApp {
public:
    bool InitInstance() override
    {
        DunmereDlg dialog;
        RunMainDialog(dialog);
        return false;  // the program ends with its dialog
    }
};

DunmereApp theApp;
