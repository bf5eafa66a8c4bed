#include "erase/dialog/DunmereDlg.h"

#include "erase/EraseLine.h"
#include "erase/EraseTexts.h"
#include "erase/dialog/DunmereIds.h"
#include "serial/SerialMessages.h"
#include "shell/ShellApp.h"

#include <string>

DunmereDlg::DunmereDlg()
    : PortDialog(IDD_MAIN_DIALOG, ERASE_LINE.baud),
      m_eraser(*this)
{
}

DunmereDlg::~DunmereDlg() = default;

void DunmereDlg::OnInitTool()
{
    CreatePortOwner();
    m_portList.Attach(Item(IDC_DUNMERE_PORT_LIST));

    FillPortList(m_portList);

    if (OpenToolPort(1, ERASE_LINE.startTxBuffer)) {
        m_port.StartMonitor();  // a failure has shown its own box
        ShellApp::Current()->AppMessageBox(ERASE_TEXT_PORT_READY, MB_OK);
    } else {
        ShellApp::Current()->AppMessageBox(ERASE_TEXT_PORT_NOT_FOUND, MB_OK);
    }
}

void DunmereDlg::OpenSelectedPort()
{
    const int index = m_portList.GetCurSel();
    if (index < 0)
        return;  // no entry selected: no port was picked, the open one stays
    if (m_port.m_hComm.load() != PortHandle{})
        m_port.ClosePort();
    if (OpenToolPort(static_cast<unsigned>(index) + 1, ERASE_LINE.pickTxBuffer)) {
        // The monitor starts once the box is closed.
        ShowMessageBox(Handle(), ERASE_TEXT_PORT_OK, MB_OK);
        m_port.StartMonitor();
    } else {
        ShowMessageBox(Handle(), ERASE_TEXT_PORT_CHOICE_FAILED, MB_OK);
    }
}

bool DunmereDlg::OnCommand(UINT notifyCode, int id, HWND control)
{
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

bool DunmereDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case MSG_SERIAL_RX_CHAR:
        m_eraser.ParseEraseAck(static_cast<std::uint8_t>(wParam & 0xFF));
        result = 0;
        return true;
    case MSG_ERASE_NEXT:
        m_eraser.OnEraseNext();
        result = 0;
        return true;
    default:
        return PortDialog::OnMessage(message, wParam, lParam, result);
    }
}

void DunmereDlg::ShowMessage(const char* text)
{
    ShowMessageBox(Handle(), text, MB_OK);
}

// Dunmere has no status line, progress text or progress bar: the eraser uses none.
void DunmereDlg::SetStatusText(const char* /*text*/) {}

void DunmereDlg::SetProgressText(const char* /*text*/) {}

void DunmereDlg::SetProgressPos(int /*pos*/) {}

void DunmereDlg::GetProgressRange(int& lower, int& upper)
{
    lower = 0;
    upper = 100;
}
