// The erase chain of Dunmere. Rules kept here:
//  - the recogniser never resets on a wrong byte: it waits for the byte it expects;
//  - a frame leaves only from StartErase or from the posted MSG_ERASE_NEXT, never from
//    inside the received-byte handler;
//  - every frame sent names an address of the chain, 1,024 to 65,472.
#include "erase/FlashEraser.h"

#include "common/EraseFrame.h"
#include "erase/EraseTexts.h"

#include <cassert>

FlashEraser::FlashEraser(ToolHost& host)
    : m_host(host)
{
}

void FlashEraser::StartErase()
{
    m_nEraseAddress = ERASE_START_ADDRESS;
    m_bEraseAll = true;
    m_bChainRunning = true;
    // A MSG_ERASE_NEXT still on its way belongs to the chain being replaced: the
    // restart's own frame is the one outstanding now.
    m_bNextDue = false;
    Raise(TOOL_EVENT_STARTED, 0);
    SendEraseFrame();
}

void FlashEraser::ParseEraseAck(std::uint8_t byte)
{
    if (byte == '[')
        m_bEraseAll = true;

    // Each state waits for one byte; any other byte leaves it where it is.
    static const char EXPECTED[] = {'*', 'E', 'O', 'K', '#'};
    assert(m_nParseState >= 0 && m_nParseState <= 4 && "erase recogniser state out of range");
    if (byte != static_cast<std::uint8_t>(EXPECTED[m_nParseState]))
        return;
    if (m_nParseState < 4) {
        ++m_nParseState;
        return;
    }
    m_nParseState = 0;
    OnEraseAck();
}

void FlashEraser::OnEraseAck()
{
    // Outside a chain the counter would name an address outside 1,024..65,472 (after
    // "Finish" it stands at 65,536); such an acknowledgement answers nothing of ours.
    if (!m_bChainRunning)
        return;
    m_nEraseAddress += ERASE_STEP;
    Raise(TOOL_EVENT_ACKNOWLEDGED, (m_nEraseAddress - ERASE_START_ADDRESS) / ERASE_STEP);
    if (m_bEraseAll && m_nEraseAddress == ERASE_END_ADDRESS) {
        m_bChainRunning = false;
        m_bNextDue = false;
        Raise(TOOL_EVENT_COMPLETED, ERASE_CHAIN_LENGTH);
        m_host.ShowMessage(ERASE_TEXT_FINISH);
        return;
    }
    // The next frame leaves after this byte's handler has returned.
    m_bNextDue = true;
    m_host.PostToSelf(MSG_ERASE_NEXT);
}

void FlashEraser::OnEraseNext()
{
    if (!m_bNextDue)
        return;
    m_bNextDue = false;
    SendEraseFrame();
}

void FlashEraser::SendEraseFrame()
{
    assert(m_nEraseAddress >= ERASE_START_ADDRESS && m_nEraseAddress < ERASE_END_ADDRESS &&
           "erase frame outside the chain");
    m_nParseState = 0;
    std::uint8_t frame[ERASE_FRAME_LENGTH];
    BuildEraseFrame(m_nEraseAddress, frame);
    m_host.SendBytes(frame, sizeof frame);
}

void FlashEraser::Raise(ToolEventKind kind, long number)
{
    m_host.OnToolEvent({.kind = kind, .unit = UNIT_ERASE_FRAME, .number = number, .total = ERASE_CHAIN_LENGTH});
}
