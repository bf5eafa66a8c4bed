#include "shell/PortDialog.h"

#include "common/ToolLine.h"

#include <string>

namespace {

constexpr int PORT_COUNT = 8;

}  // namespace

void PortDialog::CreatePortOwner()
{
    m_pOwner = std::make_unique<Win32OwnerWindow>(Handle());
}

void PortDialog::FillPortList(ComboBox& list)
{
    for (int n = 1; n <= PORT_COUNT; ++n)
        list.AddString("COM" + std::to_string(n));
    list.SetCurSel(0);
}

bool PortDialog::OpenToolPort(unsigned portNumber, int writeBufferSize)
{
    return m_port.OpenPort(m_pOwner.get(), portNumber, m_nBaud, TOOL_LINE_PARITY, TOOL_LINE_DATA_BITS,
                           TOOL_LINE_STOP_BITS, TOOL_LINE_EVENT_MASK, writeBufferSize) != FALSE;
}

bool PortDialog::OnMessage(UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/, LRESULT& /*result*/)
{
    if (message == WM_DESTROY && m_pOwner)
        m_pOwner->Destroy();
    return false;  // then the default handling
}

void PortDialog::SendBytes(const std::uint8_t* data, std::size_t length)
{
    m_port.QueueTransmit(data, static_cast<int>(length));
}

void PortDialog::SendText(const char* text)
{
    m_port.QueueTransmit(text);
}

void PortDialog::StartTimer(unsigned id, unsigned periodMs)
{
    m_pOwner->SetOwnerTimer(id, periodMs);
}

void PortDialog::StopTimer(unsigned id)
{
    m_pOwner->KillOwnerTimer(id);
}

void PortDialog::PostToSelf(unsigned message)
{
    // Through the owner window: once the dialog is going away the post is dropped.
    m_pOwner->PostOwnerMessage(message, 0, 0);
}
