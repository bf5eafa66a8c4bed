// DunmereDlg: the main dialog of Dunmere. The user picks the port (COM1 to COM8) and
// presses ERASE; the FlashEraser then runs the chain of erase frames, one per
// acknowledgement, each sent from the posted MSG_ERASE_NEXT.
//
//   DunmereDlg dialog;
//   app.RunMainDialog(dialog);
#pragma once

#include "erase/FlashEraser.h"
#include "shell/Controls.h"
#include "shell/PortDialog.h"

class DunmereDlg : public PortDialog {
public:
    DunmereDlg();
    ~DunmereDlg() override;

    // The eraser, for the program's tests.
    const FlashEraser& Eraser() const { return m_eraser; }

protected:
    void OnInitTool() override;
    bool OnCommand(UINT notifyCode, int id, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    // Selection change of the port list: close the port, open the picked one.
    void OpenSelectedPort();

    // ToolHost: the rest of what the eraser reaches through the dialog.
    void ShowMessage(const char* text) override;
    void SetStatusText(const char* text) override;
    void SetProgressText(const char* text) override;
    void SetProgressPos(int pos) override;
    void GetProgressRange(int& lower, int& upper) override;

    FlashEraser m_eraser;
    ComboBox m_portList;
};
