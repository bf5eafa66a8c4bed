#include "wholeflash/dialog/QuarrowDlg.h"

#include "common/FileReader.h"
#include "serial/SerialMessages.h"
#include "shell/FileDialog.h"
#include "shell/ShellApp.h"
#include "wholeflash/WholeFlashLine.h"
#include "wholeflash/WholeFlashTexts.h"
#include "wholeflash/dialog/QuarrowIds.h"

#include <string>

QuarrowDlg::QuarrowDlg()
    : PortDialog(IDD_MAIN_DIALOG, WHOLEFLASH_LINE.baud),
      m_updater(*this)
{
}

QuarrowDlg::~QuarrowDlg() = default;

void QuarrowDlg::OnInitTool()
{
    CreatePortOwner();
    m_portList.Attach(Item(IDC_QUARROW_PORT_LIST));
    m_progress.Attach(Item(IDC_QUARROW_PROGRESS));
    m_statusLine.Attach(Item(IDC_QUARROW_STATUS_LINE));
    m_progressLine.Attach(Item(IDC_QUARROW_PROGRESS_LINE));
    m_portLine.Attach(Item(IDC_QUARROW_PORT_LINE));

    FillPortList(m_portList);

    if (!OpenAndMonitor(1, WHOLEFLASH_LINE.startTxBuffer)) {
        ShellApp::Current()->AppMessageBox(FLASH_TEXT_PORT_NOT_FOUND, MB_OK);
        ShowPortFailed();
    }

    // Reads the bar's range and starts the 1 ms tick, for the dialog's life.
    m_updater.Initialise();
}

bool QuarrowDlg::OpenAndMonitor(unsigned portNumber, int writeBufferSize)
{
    const bool opened = OpenToolPort(portNumber, writeBufferSize);
    if (opened) {
        m_port.StartMonitor();  // a failure has shown its own box
        m_portLine.SetText(FLASH_TEXT_PORT_OPENED);
        m_updater.SetReady(true);
    }
    return opened;
}

void QuarrowDlg::ShowPortFailed()
{
    m_portLine.SetText(FLASH_TEXT_PORT_FAILED);
    m_updater.SetReady(false);
}

void QuarrowDlg::OpenSelectedPort()
{
    const int index = m_portList.GetCurSel();
    if (index < 0)
        return;  // no entry selected: no port was picked, the open one stays
    if (m_port.m_hComm.load() != PortHandle{}) {
        m_port.ClosePort();
        m_updater.SetReady(false);
    }
    if (!OpenAndMonitor(static_cast<unsigned>(index) + 1, WHOLEFLASH_LINE.pickTxBuffer)) {
        ShowMessageBox(Handle(), FLASH_TEXT_PORT_CHOICE_FAILED, MB_OK);
        ShowPortFailed();
    }
}

void QuarrowDlg::OpenFile()
{
    std::string path;
    if (!ChooseFileToOpen(Handle(), FLASH_TEXT_FILE_DIALOG_TITLE, FLASH_FILE_FILTERS, path))
        return;  // cancelled: an image loaded before stays
    // Bytes beyond the image's limit would be ignored: they are not read at all.
    const FileHead head = ReadFileHead(path, FLASH_IMAGE_SIZE);
    if (!head.Ok()) {
        ShowMessageBox(Handle(), "Can't read the file " + path + ":\n" + head.error, MB_OK | MB_ICONEXCLAMATION);
        return;  // nothing loaded; the previous image stays
    }
    m_updater.LoadFlashImage(head.bytes.data(), head.bytes.size());
}

bool QuarrowDlg::OnCommand(UINT notifyCode, int id, HWND control)
{
    if (id == IDC_QUARROW_PORT_LIST && notifyCode == CBN_SELCHANGE) {
        OpenSelectedPort();
        return true;
    }
    if (id == IDC_QUARROW_OPEN_FILE && notifyCode == BN_CLICKED) {
        OpenFile();
        return true;
    }
    if (id == IDC_QUARROW_UPDATE && notifyCode == BN_CLICKED) {
        m_updater.StartUpdate();
        return true;
    }
    return MainDialog::OnCommand(notifyCode, id, control);
}

bool QuarrowDlg::OnTimer(UINT_PTR id)
{
    if (id == TIMER_UPDATE)
        m_updater.OnTimerTick();
    return false;  // then the default handling
}

bool QuarrowDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case MSG_SERIAL_RX_CHAR:
        m_updater.OnReceivedByte(static_cast<std::uint8_t>(wParam & 0xFF));
        result = 0;
        return true;
    default:
        return PortDialog::OnMessage(message, wParam, lParam, result);
    }
}

void QuarrowDlg::OnToolEvent(const ToolEvent& event)
{
    // The updater tells of a completed run just before it shows its success box.
    if (event.kind == TOOL_EVENT_COMPLETED)
        m_bSuccessBoxDue = true;
}

void QuarrowDlg::ShowMessage(const char* text)
{
    // The success box belongs to the dialog; the refusals of UPDATE are the
    // application's boxes. The flag is taken before the box opens: the updater may
    // show a refusal from a tick while the success box is still open.
    const bool success = m_bSuccessBoxDue;
    m_bSuccessBoxDue = false;
    if (success)
        ShowMessageBox(Handle(), text, MB_OK);
    else
        ShellApp::Current()->AppMessageBox(text, MB_OK);
}

void QuarrowDlg::SetStatusText(const char* text)
{
    m_statusLine.SetText(text);
}

void QuarrowDlg::SetProgressText(const char* text)
{
    m_progressLine.SetText(text);
}

void QuarrowDlg::SetProgressPos(int pos)
{
    m_progress.SetPos(pos);
}

void QuarrowDlg::GetProgressRange(int& lower, int& upper)
{
    m_progress.GetRange(lower, upper);
}
