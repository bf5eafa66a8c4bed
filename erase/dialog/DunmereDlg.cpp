#include "erase/dialog/DunmereDlg.h"

#include "erase/EraseTexts.h"
#include "erase/dialog/DunmereIds.h"
#include "serial/SerialMessages.h"
#include "shell/ShellApp.h"

#include <string>

namespace {

// Line settings: 115200 baud, 8N1, received-character and event-character events.
constexpr int DUNMERE_BAUD = 115200;
constexpr char DUNMERE_PARITY = 'N';
constexpr int DUNMERE_DATA_BITS = 8;
constexpr int DUNMERE_STOP_BITS = 1;
constexpr std::uint32_t DUNMERE_EVENT_MASK = 3;  // EV_RXCHAR | EV_RXFLAG
// Write buffer of the port opened at start-up, and of a port picked later.
constexpr int DUNMERE_START_TX_BUFFER = 512;
constexpr int DUNMERE_PICK_TX_BUFFER = 2048;
constexpr int PORT_COUNT = 8;

}  // namespace

DunmereDlg::DunmereDlg() : MainDialog(IDD_MAIN_DIALOG), m_eraser(*this) {}

DunmereDlg::~DunmereDlg() = default;

void DunmereDlg::OnInitTool() {
    m_pOwner = std::make_unique<Win32OwnerWindow>(Handle());
    m_portList.Attach(Item(IDC_DUNMERE_PORT_LIST));

    for (int n = 1; n <= PORT_COUNT; ++n)
        m_portList.AddString("COM" + std::to_string(n));
    m_portList.SetCurSel(0);

    if (Open(1, DUNMERE_START_TX_BUFFER)) {
        m_port.StartMonitor();  // a failure has shown its own box
        ShellApp::Current()->AppMessageBox(ERASE_TEXT_PORT_READY, MB_OK);
    } else {
        ShellApp::Current()->AppMessageBox(ERASE_TEXT_PORT_NOT_FOUND, MB_OK);
    }
}

bool DunmereDlg::Open(unsigned portNumber, int writeBufferSize) {
    return m_port.OpenPort(m_pOwner.get(), portNumber, DUNMERE_BAUD, DUNMERE_PARITY, DUNMERE_DATA_BITS,
                           DUNMERE_STOP_BITS, DUNMERE_EVENT_MASK, writeBufferSize) != FALSE;
}

void DunmereDlg::OpenSelectedPort() {
    const int index = m_portList.GetCurSel();
    if (index < 0)
        return;  // no entry selected: no port was picked, the open one stays
    if (m_port.m_hComm.load() != PortHandle{})
        m_port.ClosePort();
    if (Open(static_cast<unsigned>(index) + 1, DUNMERE_PICK_TX_BUFFER)) {
        // The monitor starts once the box is closed.
        ShowMessageBox(Handle(), ERASE_TEXT_PORT_OK, MB_OK);
        m_port.StartMonitor();
    } else {
        ShowMessageBox(Handle(), ERASE_TEXT_PORT_CHOICE_FAILED, MB_OK);
    }
}

bool DunmereDlg::OnCommand(UINT notifyCode, int id, HWND control) {
    if (id == IDC_DUNMERE_ERASE && notifyCode == BN_CLICKED) {
        m_eraser.StartErase();
        return true;
    }
    if (id == IDC_DUNMERE_PORT_LIST && notifyCode == CBN_SELCHANGE) {
        OpenSelectedPort();
        return true;
    }
    return MainDialog::OnCommand(notifyCode, id, control);
}

bool DunmereDlg::OnMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/, LRESULT& result) {
    switch (message) {
    case MSG_SERIAL_RX_CHAR:
        m_eraser.ParseEraseAck(static_cast<std::uint8_t>(wParam & 0xFF));
        result = 0;
        return true;
    case MSG_ERASE_NEXT:
        m_eraser.OnEraseNext();
        result = 0;
        return true;
    case WM_DESTROY:
        // No byte or post reaches the dialog object from now on; the port's destructor
        // then stops its monitor without waiting for this window.
        if (m_pOwner)
            m_pOwner->Destroy();
        return false;
    default:
        return false;
    }
}

void DunmereDlg::SendBytes(const std::uint8_t* data, std::size_t length) {
    m_port.QueueTransmit(data, static_cast<int>(length));
}

void DunmereDlg::SendText(const char* text) { m_port.QueueTransmit(text); }

// Dunmere has no timers, no status line and no progress bar: the eraser uses none.
void DunmereDlg::StartTimer(unsigned /*id*/, unsigned /*periodMs*/) {}

void DunmereDlg::StopTimer(unsigned /*id*/) {}

void DunmereDlg::ShowMessage(const char* text) { ShowMessageBox(Handle(), text, MB_OK); }

void DunmereDlg::SetStatusText(const char* /*text*/) {}

void DunmereDlg::SetProgressText(const char* /*text*/) {}

void DunmereDlg::SetProgressPos(int /*pos*/) {}

void DunmereDlg::GetProgressRange(int& lower, int& upper) {
    lower = 0;
    upper = 100;
}

void DunmereDlg::PostToSelf(unsigned message) {
    // Through the owner window: once the dialog is going away the post is dropped.
    m_pOwner->PostOwnerMessage(message, 0, 0);
}
