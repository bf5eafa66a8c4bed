// The entry point of every dialog program: hands control to the application object.
#include "shell/ShellApp.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    ShellApp* app = ShellApp::Current();
    if (!app)
        return 1;
    app->InitControls();
    if (app->InitInstance()) {
        MSG message;
        BOOL got;
        while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
            if (got == -1)
                continue;  // error, don't process
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return 0;
}
