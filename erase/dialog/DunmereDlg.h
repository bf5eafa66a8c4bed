// DunmereDlg: the main dialog of Dunmere. The user picks the port (COM1 to COM8) and
// presses ERASE; the FlashEraser then runs the chain of erase frames, one per
// acknowledgement, each sent from the posted MSG_ERASE_NEXT.
//
//   DunmereDlg dialog;
//   app.RunMainDialog(dialog);
#pragma once

#include "erase/FlashEraser.h"
#include "platform/win32/Win32OwnerWindow.h"
#include "serial/SerialPort.h"
#include "shell/Controls.h"
#include "shell/MainDialog.h"

#include <memory>

class DunmereDlg : public MainDialog, private ToolHost {
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
    // Opens COM<portNumber> with Dunmere's line settings and the given write buffer;
    // true when it opened. Starts nothing.
    bool Open(unsigned portNumber, int writeBufferSize);
    // Selection change of the port list: close the port, open the picked one.
    void OpenSelectedPort();

    // ToolHost: what the eraser reaches through the dialog.
    void SendBytes(const std::uint8_t* data, std::size_t length) override;
    void SendText(const char* text) override;
    void StartTimer(unsigned id, unsigned periodMs) override;
    void StopTimer(unsigned id) override;
    void ShowMessage(const char* text) override;
    void SetStatusText(const char* text) override;
    void SetProgressText(const char* text) override;
    void SetProgressPos(int pos) override;
    void GetProgressRange(int& lower, int& upper) override;
    void PostToSelf(unsigned message) override;

    // The owner window of the port; created with the window and declared before the
    // port, which must not outlive it.
    std::unique_ptr<Win32OwnerWindow> m_pOwner;
    SerialPort m_port;
    FlashEraser m_eraser;
    ComboBox m_portList;
};
