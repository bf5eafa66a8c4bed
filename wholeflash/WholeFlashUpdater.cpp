// Quarrow's update run. Rules kept here:
//  - one state variable, m_nParseState, serves both reply recognisers; sending an erase
//    frame resets it, sending a write frame leaves it alone;
//  - an acknowledgement only raises m_bReplyReceived; the next tick acts on it and sends
//    the next frame. A write rejection is answered at once, from the byte handler;
//  - no frame ever names a page outside the run, and no byte outside m_image is read;
//  - the success box is shown from a tick, and ticks arrive while it is open: all state
//    is settled before the box is shown;
//  - the host hears of every decision (ToolEvent) where it is taken and before what
//    follows from it: an acknowledgement on the tick that acts on it, before the next
//    frame; a rejection before the frame goes again; a refusal before its box.
#include "wholeflash/WholeFlashUpdater.h"

#include "common/Hex.h"
#include "common/BarPosition.h"
#include "common/EraseFrame.h"
#include "wholeflash/WholeFlashTexts.h"

#include <cassert>
#include <cstdio>
#include <cstring>

namespace {

constexpr long ERASE_FRAMES = FLASH_LAST_ERASE_ADDRESS / FLASH_ERASE_STEP + 1;

// Positions of the reply recognisers. The erase recogniser uses 0..4, the write
// recogniser 0..6; the names tell what has been seen so far.
enum ReplyState : int {
    REPLY_WAIT_STAR = 0,  // waiting for '*'
    REPLY_STAR = 1,       // "*": waiting for 'E' (erase) or 'W' (write)
    REPLY_LETTER = 2,     // "*E" / "*W": waiting for 'O' (or 'E' of "*WER#")
    REPLY_O = 3,          // "*EO" / "*WO": waiting for 'K'
    REPLY_OK = 4,         // "*EOK" / "*WOK": the next byte completes the acknowledgement
    REPLY_WE = 5,         // "*WE": waiting for 'R'
    REPLY_WER = 6,        // "*WER": waiting for '#'
};

}  // namespace

WholeFlashUpdater::WholeFlashUpdater(ToolHost& host)
    : m_host(host),
      m_image(new std::uint8_t[FLASH_IMAGE_SIZE])
{
    std::memset(m_image.get(), 0xFF, FLASH_IMAGE_SIZE);
}

void WholeFlashUpdater::Initialise()
{
    m_host.GetProgressRange(m_nRangeLower, m_nRangeUpper);
    m_host.StartTimer(TIMER_UPDATE, TIMER_UPDATE_PERIOD_MS);
}

void WholeFlashUpdater::LoadFlashImage(const std::uint8_t* bytes, std::size_t length)
{
    const std::size_t copied =
        length < static_cast<std::size_t>(FLASH_IMAGE_SIZE) ? length : static_cast<std::size_t>(FLASH_IMAGE_SIZE);
    assert((bytes != nullptr || copied == 0) && "LoadFlashImage: no bytes for a non-empty file");
    if (copied > 0)
        std::memcpy(m_image.get(), bytes, copied);
    std::memset(m_image.get() + copied, 0xFF, FLASH_IMAGE_SIZE - copied);

    // Trailing 0xFF bytes are erased flash already: they are not written.
    std::size_t used = copied;
    while (used > 0 && m_image[used - 1] == 0xFF)
        --used;
    m_nPageCount = static_cast<int>((used + FLASH_PAGE_SIZE - 1) / FLASH_PAGE_SIZE);
    m_bImageLoaded = true;
}

StartUpdateResult WholeFlashUpdater::StartUpdate()
{
    if (!m_bImageLoaded) {
        Refuse(REFUSAL_NO_IMAGE);
        m_host.ShowMessage(FLASH_TEXT_NO_IMAGE);
        return UPDATE_REFUSED_NO_IMAGE;
    }
    // A run of 0 pages would never reach its end and would read past the image.
    if (m_nPageCount == 0) {
        Refuse(REFUSAL_EMPTY_IMAGE);
        m_host.ShowMessage(FLASH_TEXT_EMPTY_IMAGE);
        return UPDATE_REFUSED_EMPTY_IMAGE;
    }
    if (!m_bReady) {
        Refuse(REFUSAL_NOT_READY);
        m_host.ShowMessage(FLASH_TEXT_NOT_READY);
        return UPDATE_REFUSED_NOT_READY;
    }
    m_bReady = false;
    m_bRunEnded = false;
    // An acknowledgement seen before this press answers a frame of an earlier run; it
    // must not count for the new run's first erase frame.
    m_bReplyReceived = false;
    ++m_nRunNumber;
    m_nEraseAddress = 0;
    Raise(TOOL_EVENT_STARTED, UNIT_ERASE_FRAME, 0, ERASE_FRAMES);
    SendEraseFrame(m_nEraseAddress);
    return UPDATE_STARTED;
}

void WholeFlashUpdater::OnReceivedByte(std::uint8_t byte)
{
    // After the run has ended nothing is in flight: a late reply must not send a frame
    // for a page beyond the run.
    if (m_bRunEnded)
        return;
    switch (m_nStage) {
    case STAGE_IDLE:
        return;
    case STAGE_ERASE:
        ParseEraseReply(byte);
        return;
    case STAGE_WRITE:
        ParseWriteReply(byte);
        return;
    }
}

void WholeFlashUpdater::ParseEraseReply(std::uint8_t byte)
{
    // "*EOK" and one more byte. A wrong byte keeps the recogniser waiting for the
    // expected one; after "*EOK" every byte up to a '-' counts as the acknowledgement.
    switch (static_cast<ReplyState>(m_nParseState)) {
    case REPLY_WAIT_STAR:
        if (byte == '*')
            m_nParseState = REPLY_STAR;
        return;
    case REPLY_STAR:
        if (byte == 'E')
            m_nParseState = REPLY_LETTER;
        return;
    case REPLY_LETTER:
        if (byte == 'O')
            m_nParseState = REPLY_O;
        return;
    case REPLY_O:
        if (byte == 'K')
            m_nParseState = REPLY_OK;
        return;
    case REPLY_OK:
        if (byte == '-')
            m_nParseState = REPLY_WAIT_STAR;
        m_bReplyReceived = true;
        return;
    case REPLY_WE:
    case REPLY_WER:
        // Sending an erase frame resets the state, so these write-only states cannot
        // be current in the erase stage.
        assert(false && "write recogniser state in the erase stage");
        m_nParseState = REPLY_WAIT_STAR;
        return;
    }
}

void WholeFlashUpdater::ParseWriteReply(std::uint8_t byte)
{
    // "*WOK" and any one byte acknowledges; "*WER#" rejects. A wrong byte starts over.
    switch (static_cast<ReplyState>(m_nParseState)) {
    case REPLY_WAIT_STAR:
        m_nParseState = byte == '*' ? REPLY_STAR : REPLY_WAIT_STAR;
        return;
    case REPLY_STAR:
        m_nParseState = byte == 'W' ? REPLY_LETTER : REPLY_WAIT_STAR;
        return;
    case REPLY_LETTER:
        m_nParseState = byte == 'O' ? REPLY_O : byte == 'E' ? REPLY_WE : REPLY_WAIT_STAR;
        return;
    case REPLY_O:
        m_nParseState = byte == 'K' ? REPLY_OK : REPLY_WAIT_STAR;
        return;
    case REPLY_OK:
        m_nParseState = REPLY_WAIT_STAR;
        m_bReplyReceived = true;
        return;
    case REPLY_WE:
        m_nParseState = byte == 'R' ? REPLY_WER : REPLY_WAIT_STAR;
        return;
    case REPLY_WER:
        m_nParseState = REPLY_WAIT_STAR;
        if (byte == '#') {
            Raise(TOOL_EVENT_REJECTED, UNIT_WRITE_FRAME, WriteFrameNumber(), RunWriteFrames());
            ResendCurrent();
        }
        return;
    }
}

void WholeFlashUpdater::SendEraseFrame(int address)
{
    assert(address >= 0 && address <= FLASH_LAST_ERASE_ADDRESS && address % FLASH_ERASE_STEP == 0 &&
           "erase address outside 0..1,024");
    m_nStage = STAGE_ERASE;
    m_nParseState = REPLY_WAIT_STAR;
    m_nIdleTicks = 0;
    std::uint8_t frame[ERASE_FRAME_LENGTH];
    BuildEraseFrame(address, frame);
    m_host.SendBytes(frame, sizeof frame);
}

void WholeFlashUpdater::SendWriteFrame(int page)
{
    assert(page >= 0 && page < m_nRunPages && page < FLASH_MAX_PAGES && "write frame for a page outside the run");
    assert(m_nSubFrame >= 0 && m_nSubFrame < FLASH_SUBFRAMES_PER_PAGE && "sub-frame out of range");
    if (page < 0 || page >= m_nRunPages || page >= FLASH_MAX_PAGES)
        return;
    m_nStage = STAGE_WRITE;

    const std::uint8_t* data = m_image.get() + static_cast<std::size_t>(page) * FLASH_PAGE_SIZE +
                               static_cast<std::size_t>(m_nSubFrame) * FLASH_SUBFRAME_SIZE;
    const std::uint16_t sum = WordSum16(data, FLASH_SUBFRAME_SIZE);

    std::uint8_t frame[PAGE_START_FRAME_LENGTH];
    std::size_t n = 0;
    frame[n++] = '+';
    if (m_nSubFrame == 0) {
        frame[n++] = 'W';
        char digits[4];
        WriteHex16(static_cast<std::uint16_t>(page), digits);
        for (char d : digits)
            frame[n++] = static_cast<std::uint8_t>(d);
    } else {
        frame[n++] = 'N';
    }
    std::memcpy(frame + n, data, FLASH_SUBFRAME_SIZE);
    n += FLASH_SUBFRAME_SIZE;
    frame[n++] = static_cast<std::uint8_t>(sum >> 8);
    frame[n++] = static_cast<std::uint8_t>(sum & 0xFF);
    frame[n++] = '-';
    assert((n == PAGE_START_FRAME_LENGTH || n == PAGE_CONTINUATION_FRAME_LENGTH) && "write frame length");
    m_host.SendBytes(frame, n);
}

void WholeFlashUpdater::ResendCurrent()
{
    switch (m_nStage) {
    case STAGE_IDLE:
        return;
    case STAGE_ERASE:
        SendEraseFrame(m_nEraseAddress);
        return;
    case STAGE_WRITE:
        SendWriteFrame(m_nPage);
        return;
    }
}

void WholeFlashUpdater::OnTimerTick()
{
    // 1. Quiet device: after 150 ticks without news a new run may be started.
    if (m_nIdleTicks >= FLASH_QUIET_TICKS)
        m_bReady = true;
    else
        ++m_nIdleTicks;

    // 2. At most one acknowledgement per tick.
    if (m_bReplyReceived) {
        m_bReplyReceived = false;
        m_nIdleTicks = 0;
        m_bProgressDue = true;
        switch (m_nStage) {
        case STAGE_IDLE:
            break;
        case STAGE_ERASE:
            OnEraseAck();
            break;
        case STAGE_WRITE:
            OnWriteAck();
            break;
        }
    }

    // 3. The wait notice, after the first erase frame was acknowledged.
    if (m_bNoticeDue) {
        m_bNoticeDue = false;
        m_nIdleTicks = 0;
        m_host.SetStatusText(FLASH_TEXT_WAIT);
    }

    // 4. Progress, tested after step 2 so that the tick beginning the write stage counts.
    if (m_bProgressDue) {
        m_bProgressDue = false;
        if (m_nStage == STAGE_WRITE)
            ShowWriteProgress();
    }
}

void WholeFlashUpdater::OnEraseAck()
{
    Raise(TOOL_EVENT_ACKNOWLEDGED, UNIT_ERASE_FRAME, m_nEraseAddress / FLASH_ERASE_STEP + 1, ERASE_FRAMES);
    if (m_nEraseAddress >= FLASH_LAST_ERASE_ADDRESS) {
        // The erase stage is over; the write stage takes the page count as it is now.
        m_nRunPages = m_nPageCount;
        m_nPage = 0;
        m_nSubFrame = 0;
        // The write recogniser starts afresh: an erase acknowledgement whose last byte
        // wasn't '-' leaves the shared state at "*EOK", where the first byte of the
        // next reply, a rejection included, would count as a write acknowledgement.
        m_nParseState = REPLY_WAIT_STAR;
        if (m_nRunPages == 0) {
            EndEmptyRun();
            return;
        }
        Raise(TOOL_EVENT_STAGE, UNIT_WRITE_FRAME, 0, RunWriteFrames());
        SendWriteFrame(m_nPage);
        return;
    }
    if (m_nEraseAddress == 0)
        m_bNoticeDue = true;
    m_nEraseAddress += FLASH_ERASE_STEP;
    SendEraseFrame(m_nEraseAddress);
}

void WholeFlashUpdater::OnWriteAck()
{
    Raise(TOOL_EVENT_ACKNOWLEDGED, UNIT_WRITE_FRAME, WriteFrameNumber(), RunWriteFrames());
    ++m_nSubFrame;
    if (m_nSubFrame < FLASH_SUBFRAMES_PER_PAGE) {
        SendWriteFrame(m_nPage);
        ShowWriteProgress();
        return;
    }
    ++m_nPage;
    m_nSubFrame = 0;
    if (m_nPage < m_nRunPages) {
        SendWriteFrame(m_nPage);
        return;
    }

    // The run is complete. Settle everything before the box: ticks and bytes arrive
    // while it is open.
    m_bRunEnded = true;
    ShowWriteProgress();
    Raise(TOOL_EVENT_COMPLETED, UNIT_WRITE_FRAME, RunWriteFrames(), RunWriteFrames());
    m_host.SetStatusText(FLASH_TEXT_SUCCESS);
    const unsigned run = m_nRunNumber;
    m_host.ShowMessage(FLASH_TEXT_SUCCESS);
    // A run started while the box was open must keep m_bReady clear.
    if (run == m_nRunNumber)
        m_bReady = true;
}

void WholeFlashUpdater::EndEmptyRun()
{
    // The image was replaced by one with nothing to write during the erase stage.
    m_bRunEnded = true;
    Refuse(REFUSAL_EMPTY_IMAGE);
    m_host.SetStatusText(FLASH_TEXT_EMPTY_IMAGE);
    const unsigned run = m_nRunNumber;
    m_host.ShowMessage(FLASH_TEXT_EMPTY_IMAGE);
    if (run == m_nRunNumber)
        m_bReady = true;
}

void WholeFlashUpdater::ShowWriteProgress()
{
    assert(m_nRunPages > 0 && "progress shown without pages to write");
    if (m_nRunPages <= 0)
        return;
    // The percentage counts against the loaded image, the bar against the run. An image
    // of 0 pages loaded during the write stage leaves only the run's count to divide by.
    const int divisor = m_nPageCount > 0 ? m_nPageCount : m_nRunPages;
    const double percent = (m_nPage * 100.0) / divisor;
    char text[64];
    std::snprintf(text, sizeof text, "%s%.2f%%", FLASH_TEXT_PROGRESS_PREFIX, percent);
    m_host.SetProgressText(text);

    m_host.SetProgressPos(BarPosition(m_nRangeLower, m_nRangeUpper, m_nPage, m_nRunPages));
}

long WholeFlashUpdater::WriteFrameNumber() const
{
    return static_cast<long>(m_nPage) * FLASH_SUBFRAMES_PER_PAGE + m_nSubFrame + 1;
}

long WholeFlashUpdater::RunWriteFrames() const
{
    return static_cast<long>(m_nRunPages) * FLASH_SUBFRAMES_PER_PAGE;
}

void WholeFlashUpdater::Raise(ToolEventKind kind, ToolUnit unit, long number, long total)
{
    m_host.OnToolEvent({.kind = kind, .unit = unit, .number = number, .total = total});
}

void WholeFlashUpdater::Refuse(ToolRefusal refusal)
{
    m_host.OnToolEvent({.kind = TOOL_EVENT_REFUSED, .refusal = refusal});
}
