// PortDialog: a main dialog that talks to the device through one serial port. It
// owns the port and the port's owner window (which also runs the tool's timers), and
// does what every tool's dialog does alike: the port list COM1 to COM8, opening a port
// with the tool's line settings, and the ToolHost calls that go straight to the port,
// the timers or the dialog's own message queue. A tool's dialog derives from it and
// supplies the rest of ToolHost (boxes, texts, progress bar).
//
//   class DunmereDlg : public PortDialog {
//       DunmereDlg() : PortDialog(IDD_MAIN_DIALOG, ERASE_LINE.baud), m_eraser(*this) {}
//       void OnInitTool() override { CreatePortOwner(); FillPortList(m_portList); ... }
//   };
#pragma once

#include "common/ToolHost.h"
#include "platform/win32/Win32OwnerWindow.h"
#include "serial/SerialPort.h"
#include "shell/Controls.h"
#include "shell/MainDialog.h"

#include <memory>

class PortDialog : public MainDialog, protected ToolHost {
protected:
    // `baud`: the tool's line speed; the rest of the line settings (8 data bits, no
    // parity, 1 stop bit, received-character and event-character events) are common.
    PortDialog(unsigned templateId, int baud)
        : MainDialog(templateId),
          m_nBaud(baud)
    {
    }

    // Creates the port's owner window on the dialog; the first step of OnInitTool.
    void CreatePortOwner();
    // Fills `list` with "COM1" to "COM8" and selects COM1.
    static void FillPortList(ComboBox& list);
    // Opens COM<portNumber> with the tool's line settings and the given write buffer;
    // true when it opened. Starts nothing.
    bool OpenToolPort(unsigned portNumber, int writeBufferSize);

    // WM_DESTROY: no tick, byte or post reaches the dialog object from then on, so the
    // port's destructor stops its monitor without waiting for this window. A derived
    // dialog calls this for the messages it doesn't handle itself.
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

    // ToolHost: frames go to the port, timers and posts to the owner window.
    void SendBytes(const std::uint8_t* data, std::size_t length) override;
    void SendText(const char* text) override;
    void StartTimer(unsigned id, unsigned periodMs) override;
    void StopTimer(unsigned id) override;
    void PostToSelf(unsigned message) override;

    // The owner window of the port and of the timers; declared before the port, which
    // must not outlive it.
    std::unique_ptr<Win32OwnerWindow> m_pOwner;
    SerialPort m_port;

private:
    const int m_nBaud;
};
