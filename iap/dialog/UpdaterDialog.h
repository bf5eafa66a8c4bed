// UpdaterDialog: the main dialog of Solvane and Tirell. The user picks the port (COM1
// to COM8) and the image file; the device's loader then leads the update, which
// UpdateJob runs. The dialog wires the job to the serial port (SerialPort over
// Win32OwnerWindow, which also runs the 1 ms timers), to the progress bar and the
// static texts, and blinks the Open file button until a file is loaded.
//
//   UpdaterDialog dialog(VARIANT_TIRELL);   // Tirell's control ids and texts
//   app.RunMainDialog(dialog);
#pragma once

#include "iap/UpdateJob.h"
#include "shell/Controls.h"
#include "shell/PortDialog.h"

#include "controls/SkinButton.h"

// The control ids of one variant's dialog template.
struct UpdaterControlIds {
    int openFile;    // the Open file button (skinned)
    int portList;    // COM1 .. COM8
    int pathLine;    // "open file route:" and the loaded file's path
    int statusLine;  // result of the last port opening
    int progress;    // the progress bar
};

// The ids of `variant`'s own dialog template.
UpdaterControlIds UpdaterControlIdsFor(IapVariant variant);

class UpdaterDialog : public PortDialog {
public:
    explicit UpdaterDialog(IapVariant variant);
    ~UpdaterDialog() override;

    // The job, for the program's tests.
    const UpdateJob& Job() const { return m_job; }

protected:
    void OnInitTool() override;
    bool OnCommand(UINT notifyCode, int id, HWND control) override;
    bool OnTimer(UINT_PTR id) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    // Opens COM<portNumber> with the updater's line settings and shows the result in
    // the status line; TRUE when it opened (the monitor is then running).
    bool OpenAndMonitor(unsigned portNumber);
    // Selection change of the port list: close the port, open the picked one.
    void OpenSelectedPort();
    // Click of the Open file button: choose a file and load it.
    void OpenFile();
    // One tick of the blink timer.
    void Blink();

    // ToolHost: the rest of what the job reaches through the dialog.
    void ShowMessage(const char* text) override;
    void SetStatusText(const char* text) override;
    void SetProgressText(const char* text) override;
    void SetProgressPos(int pos) override;
    void GetProgressRange(int& lower, int& upper) override;

    const UpdaterControlIds m_ids;
    UpdateJob m_job;
    SkinButton m_openButton;
    ComboBox m_portList;
    StaticText m_pathLine;
    StaticText m_statusLine;
    ProgressBar m_progress;
    // An image file has been loaded: the button stops blinking for good.
    bool m_bImageLoaded = false;
    // Which colour set the blinking button shows next (false: set A).
    bool m_bBlinkPhase = false;
};
