// The application object of a dialog program: one global instance per program, whose
// InitInstance runs the main dialog modally; the program ends when it returns. Its
// name, taken from the executable ("Solvane" for Solvane.exe), captions the program's
// message boxes. Usage (one .cpp per program):
//
//   class SolvaneApp : public ShellApp {
//       bool InitInstance() override {
//           UpdaterDialog dialog(VARIANT_SOLVANE);
//           RunMainDialog(dialog);
//           return false;            // no message loop of our own: end the program
//       }
//   };
//   SolvaneApp theApp;               // WinMain (shell/AppMain.cpp) finds it
#pragma once

#include <windows.h>

#include <string>

class Dialog;

class ShellApp {
public:
    // Registers this object as the program's application object (one per program).
    ShellApp();
    virtual ~ShellApp();
    ShellApp(const ShellApp&) = delete;
    ShellApp& operator=(const ShellApp&) = delete;

    // The program's application object (null before it is built).
    static ShellApp* Current();
    // The module holding the resources: the executable.
    static HINSTANCE ResourceModule();

    // Called once by WinMain. Returns true to run a message loop afterwards (no program
    // here does), false to end the program.
    virtual bool InitInstance() = 0;

    // Start-up common to every program: the common controls the dialogs use.
    void InitControls();
    // Makes `dialog` the main window and runs it modally (no owner). Returns DoModal's
    // result, which the programs don't use.
    INT_PTR RunMainDialog(Dialog& dialog);

    // The program's name: the executable's file name without folder and extension.
    const std::string& Name() const { return m_name; }
    // The main dialog's window while it runs, else null.
    HWND MainWindow() const;

    // A message box captioned with the program's name and owned by the application:
    // its owner is the main window when there is one. No icon in `type` gives the
    // warning icon, as the application's boxes have. Returns the button pressed.
    int AppMessageBox(const std::string& text, UINT type = MB_OK);

private:
    std::string m_name;
    Dialog* m_pMainDialog = nullptr;
};

// A message box captioned with the program's name and owned by `owner` (a dialog's
// own box: text and buttons as given, no icon unless `type` has one).
int ShowMessageBox(HWND owner, const std::string& text, UINT type = MB_OK);
