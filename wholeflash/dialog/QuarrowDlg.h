// QuarrowDlg: the main dialog of Quarrow. The user picks the port (COM1 to COM8),
// loads a whole-flash image with OPEN FILE and starts the run with UPDATE; the
// WholeFlashUpdater runs it, paced by the device's replies and a 1 ms tick. The dialog
// wires the updater to the serial port (SerialPort over Win32OwnerWindow, which also
// runs the 1 ms timer), to the progress bar and to the three static texts.
//
//   QuarrowDlg dialog;
//   app.RunMainDialog(dialog);
#pragma once

#include "shell/Controls.h"
#include "shell/PortDialog.h"
#include "wholeflash/WholeFlashUpdater.h"

class QuarrowDlg : public PortDialog {
public:
    QuarrowDlg();
    ~QuarrowDlg() override;

    // The updater, for the program's tests.
    const WholeFlashUpdater& Updater() const { return m_updater; }

protected:
    void OnInitTool() override;
    bool OnCommand(UINT notifyCode, int id, HWND control) override;
    bool OnTimer(UINT_PTR id) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    // Opens COM<portNumber> with Quarrow's line settings and the given write buffer;
    // on success starts the monitor, shows it in the port line and sets the updater's
    // ready flag. True when the port opened.
    bool OpenAndMonitor(unsigned portNumber, int writeBufferSize);
    // After the box that says a port could not be opened: the port line says so and
    // the updater's ready flag is cleared.
    void ShowPortFailed();
    // Selection change of the port list: close the port, open the picked one.
    void OpenSelectedPort();
    // OPEN FILE: choose a file and hand its bytes to the updater.
    void OpenFile();

    // ToolHost: the rest of what the updater reaches through the dialog.
    void ShowMessage(const char* text) override;
    void SetStatusText(const char* text) override;
    void SetProgressText(const char* text) override;
    void SetProgressPos(int pos) override;
    void GetProgressRange(int& lower, int& upper) override;
    void OnToolEvent(const ToolEvent& event) override;

    WholeFlashUpdater m_updater;
    ComboBox m_portList;
    ProgressBar m_progress;
    StaticText m_statusLine;
    StaticText m_progressLine;
    StaticText m_portLine;
    bool m_bSuccessBoxDue = false;  // the updater's next box is its success box
};
