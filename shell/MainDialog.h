// What every program's main dialog shares: the program icon (resource
// IDR_PROGRAM_ICON) as window icon, for the minimised painting and as the drag icon;
// the About item in the system menu (string IDS_ABOUTBOX, command IDM_SHOW_ABOUT);
// the About box (AboutDlg, dialog IDD_ABOUTBOX). A program's dialog derives from
// MainDialog (the four tools' dialogs through PortDialog, which adds the serial port)
// and puts its own start-up in OnInitTool:
//
//   MainDialog            icon, About item and box; OnInitDialog calls OnInitTool
//     PortDialog          the port, its owner window, the port list; ToolHost's port calls
//       QuarrowDlg        Quarrow's controls over a WholeFlashUpdater
//       DunmereDlg        Dunmere's over a FlashEraser
//       UpdaterDialog     Solvane's and Tirell's over an UpdateJob
//
// A dialog that overrides OnSysCommand, OnPaint or OnQueryDragIcon calls
// MainDialog's version for what it doesn't handle itself.
#pragma once

#include "shell/Dialog.h"
#include "shell/ShellIds.h"

// The About box: the program icon, the version line and a note; closes with OK or
// Escape.
class AboutDlg : public Dialog {
public:
    AboutDlg()
        : Dialog(IDD_ABOUTBOX)
    {
    }
};

class MainDialog : public Dialog {
public:
    // Loads the program icon. `aboutTextId`: the string with the About item's text.
    explicit MainDialog(unsigned templateId, unsigned aboutTextId = IDS_ABOUTBOX);
    ~MainDialog() override;

    // The program icon (the system's large icon size).
    HICON ProgramIcon() const { return m_hIcon; }

protected:
    // The common start-up (About item, icons), then OnInitTool; returns TRUE.
    BOOL OnInitDialog() final;
    // The program's own start-up, run after the common steps.
    virtual void OnInitTool() {}
    // Commands 16 to 31 of the system menu open the About box; the rest get the
    // platform's default handling.
    bool OnSysCommand(UINT command, LPARAM position) override;
    // Minimised: the program icon centred in the client area; otherwise the default.
    bool OnPaint() override;
    HICON OnQueryDragIcon() override { return m_hIcon; }

private:
    const unsigned m_nAboutTextId;
    HICON m_hIcon = nullptr;       // large (and drag) icon
    HICON m_hSmallIcon = nullptr;  // small icon (title bar, task bar)
};
