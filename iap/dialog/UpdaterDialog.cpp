#include "iap/dialog/UpdaterDialog.h"

#include "iap/IapLine.h"
#include "iap/IapTexts.h"
#include "iap/dialog/UpdaterIds.h"
#include "shell/FileDialog.h"
#include "shell/ShellApp.h"

#include <string>

namespace {

// One colour set of the Open file button, slot by slot (SKIN_HOT_FACE .. SKIN_FOCUS_TEXT).
struct ButtonColours {
    COLORREF slot[6];
};
constexpr ButtonColours COLOURS_START = {{0x007FFF00, 0x000000FF, 0x0000FFFF, 0x00FF0000, 0x0000FFFF, 0x00FF0000}};
constexpr ButtonColours COLOURS_BLINK_A = COLOURS_START;  // slots 0 to 3 only
constexpr ButtonColours COLOURS_BLINK_B = {{0x000000FF, 0x00F020A0, 0x00ADDEFF, 0x002D52A0, 0, 0}};
constexpr ButtonColours COLOURS_LOADED = {{0x000000FF, 0x00ADDEFF, 0x0000FFFF, 0x002D52A0, 0x0000FFFF, 0x00F020A0}};

void ApplyColours(SkinButton& button, const ButtonColours& colours, int slots)
{
    for (int slot = 0; slot < slots; ++slot)
        button.SetStateColor(slot, colours.slot[slot], true);
}

}  // namespace

UpdaterControlIds UpdaterControlIdsFor(IapVariant variant)
{
    switch (variant) {
    case VARIANT_SOLVANE:
        return {IDC_SOLVANE_OPEN_FILE, IDC_SOLVANE_PORT_LIST, IDC_SOLVANE_PATH_LINE, IDC_SOLVANE_STATUS_LINE,
                IDC_SOLVANE_PROGRESS};
    case VARIANT_TIRELL:
        return {IDC_TIRELL_OPEN_FILE, IDC_TIRELL_PORT_LIST, IDC_TIRELL_PATH_LINE, IDC_TIRELL_STATUS_LINE,
                IDC_TIRELL_PROGRESS};
    }
    return {};
}

UpdaterDialog::UpdaterDialog(IapVariant variant)
    : PortDialog(IDD_MAIN_DIALOG, IAP_LINE.baud),
      m_ids(UpdaterControlIdsFor(variant)),
      m_job(*this, variant)
{
}

UpdaterDialog::~UpdaterDialog() = default;

void UpdaterDialog::OnInitTool()
{
    CreatePortOwner();
    m_openButton.SubclassDlgItem(static_cast<unsigned>(m_ids.openFile), Handle());
    m_portList.Attach(Item(m_ids.portList));
    m_pathLine.Attach(Item(m_ids.pathLine));
    m_statusLine.Attach(Item(m_ids.statusLine));
    m_progress.Attach(Item(m_ids.progress));

    FillPortList(m_portList);

    ApplyColours(m_openButton, COLOURS_START, 6);

    if (!OpenAndMonitor(1))
        ShellApp::Current()->AppMessageBox(IAP_TEXT_PORT_NOT_FOUND, MB_OK);

    // The job reads the bar's range and starts its 1 ms timers whether or not the port
    // opened: a later pick of a working port needs them running.
    m_job.Initialise();
    m_pOwner->SetOwnerTimer(TIMER_BLINK, BLINK_PERIOD_MS);
}

bool UpdaterDialog::OpenAndMonitor(unsigned portNumber)
{
    // Both updaters open every port, at start-up or on a pick, with one buffer size.
    static_assert(IAP_LINE.startTxBuffer == IAP_LINE.pickTxBuffer);
    const bool opened = OpenToolPort(portNumber, IAP_LINE.pickTxBuffer);
    if (opened) {
        m_statusLine.SetText(IAP_TEXT_PORT_OPENED);
        m_port.StartMonitor();  // its result is not used: a failure has shown its own box
    } else {
        m_statusLine.SetText(IAP_TEXT_PORT_FAILED);
    }
    m_job.SetPortOpen(opened);
    return opened;
}

void UpdaterDialog::OpenSelectedPort()
{
    int index = m_portList.GetCurSel();
    if (index < 0)
        return;  // no entry selected (text typed into the edit field): nothing to open
    if (m_port.m_hComm.load() != PortHandle{})
        m_port.ClosePort();
    if (!OpenAndMonitor(static_cast<unsigned>(index) + 1))
        ShowMessage(IAP_TEXT_PORT_CHOICE_FAILED);
}

void UpdaterDialog::OpenFile()
{
    std::string path;
    if (!ChooseFileToOpen(Handle(), IAP_TEXT_FILE_DIALOG_TITLE, IAP_FILE_FILTERS, path))
        return;
    if (m_job.LoadImageFile(path) != LOAD_OK)
        return;  // the job has said why; the path line, image and counters stay
    m_pathLine.SetText(IAP_TEXT_PATH_PREFIX + path);
    m_bImageLoaded = true;
}

void UpdaterDialog::Blink()
{
    if (m_bImageLoaded) {
        ApplyColours(m_openButton, COLOURS_LOADED, 6);
        m_pOwner->KillOwnerTimer(TIMER_BLINK);
    } else if (!m_bBlinkPhase) {
        m_bBlinkPhase = true;
        ApplyColours(m_openButton, COLOURS_BLINK_A, 4);
    } else {
        m_bBlinkPhase = false;
        ApplyColours(m_openButton, COLOURS_BLINK_B, 4);
    }
}

bool UpdaterDialog::OnCommand(UINT notifyCode, int id, HWND control)
{
    if (id == m_ids.openFile && notifyCode == BN_CLICKED) {
        OpenFile();
        return true;
    }
    if (id == m_ids.portList && notifyCode == CBN_SELCHANGE) {
        OpenSelectedPort();
        return true;
    }
    return MainDialog::OnCommand(notifyCode, id, control);
}

bool UpdaterDialog::OnTimer(UINT_PTR id)
{
    if (id == TIMER_BLINK)
        Blink();
    else
        m_job.OnTimerTick(static_cast<unsigned>(id));
    return false;  // then the default handling
}

bool UpdaterDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case MSG_SERIAL_RX_CHAR:
        m_job.ParseReplyByte(static_cast<std::uint8_t>(wParam & 0xFF));
        result = 0;
        return true;
    default:
        return PortDialog::OnMessage(message, wParam, lParam, result);
    }
}

void UpdaterDialog::ShowMessage(const char* text)
{
    ShowMessageBox(Handle(), text, MB_OK);
}

void UpdaterDialog::SetStatusText(const char* text)
{
    m_statusLine.SetText(text);
}

void UpdaterDialog::SetProgressText(const char* /*text*/) {}  // the updater shows no progress text

void UpdaterDialog::SetProgressPos(int pos)
{
    m_progress.SetPos(pos);
}

void UpdaterDialog::GetProgressRange(int& lower, int& upper)
{
    m_progress.GetRange(lower, upper);
}
