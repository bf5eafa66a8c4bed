#include "iap/UpdateJob.h"

#include "common/BarPosition.h"
#include "common/FileReader.h"
#include "iap/IapTexts.h"

#include <algorithm>
#include <cassert>

const char* LoadFailureText(IapLoadResult result)
{
    switch (result) {
    case LOAD_OK:
        return "";
    case LOAD_OPEN_FAILED:
        return IAP_TEXT_LOAD_OPEN_FAILED;
    case LOAD_READ_FAILED:
        return IAP_TEXT_LOAD_READ_FAILED;
    case LOAD_EMPTY:
        return IAP_TEXT_LOAD_EMPTY;
    }
    return "";
}

UpdateJob::UpdateJob(ToolHost& host, IapVariant variant)
    : m_host(host),
      m_nVariant(variant)
{
}

void UpdateJob::Initialise()
{
    m_host.GetProgressRange(m_nRangeLower, m_nRangeUpper);
    m_host.StartTimer(TIMER_SEND, SEND_PERIOD_MS);
    m_host.StartTimer(TIMER_PROGRESS, PROGRESS_PERIOD_MS);
}

const char* UpdateJob::GetCompletionText() const
{
    return IapCompletionText(m_nVariant);
}

std::span<const std::uint8_t> UpdateJob::GetImageBlocks() const
{
    return {m_pImage.get(), static_cast<std::size_t>(m_nTotalBlocks) * IAP_BLOCK_SIZE};
}

int UpdateJob::GetProgressPosition() const
{
    // A stray acknowledgement after completion, or a smaller image loaded in the middle
    // of an update, can take the sent count past the total: the bar stops at its end.
    return BarPosition(m_nRangeLower, m_nRangeUpper, m_nSentCount, m_nTotalBlocks);
}

IapLoadResult UpdateJob::LoadImage(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return LOAD_EMPTY;
    const std::size_t length = std::min<std::size_t>(bytes.size(), IAP_IMAGE_LIMIT);
    const int blocks = IapBlockCount(length);

    // Whole blocks, so that the last data frame never reads past the buffer; the part
    // past the image's end holds the value of erased flash.
    const std::size_t bufferLength = static_cast<std::size_t>(blocks) * IAP_BLOCK_SIZE;
    auto image = std::make_unique<std::uint8_t[]>(bufferLength);
    std::fill_n(image.get(), bufferLength, IAP_FILL_BYTE);
    std::copy_n(bytes.begin(), length, image.get());

    m_pImage = std::move(image);
    m_nImageLength = length;
    m_nTotalBlocks = blocks;
    m_nBlocksLeft = blocks;
    return LOAD_OK;
}

IapLoadResult UpdateJob::LoadImageFile(const std::string& path)
{
    // Only the first IAP_IMAGE_LIMIT bytes count; the rest of a longer file is not read.
    const FileHead head = ReadFileHead(path, IAP_IMAGE_LIMIT);
    IapLoadResult result = LOAD_OK;
    if (head.result == FILE_READ_FAILED)
        result = LOAD_READ_FAILED;
    else if (!head.Ok())
        result = LOAD_OPEN_FAILED;
    else
        result = LoadImage(head.bytes);
    if (result != LOAD_OK) {
        const std::string text = LoadFailureText(result) + path;
        m_host.ShowMessage(text.c_str());
    }
    return result;
}

void UpdateJob::Raise(ToolEventKind kind, long number)
{
    m_host.OnToolEvent({.kind = kind, .unit = UNIT_BLOCK, .number = number, .total = m_nTotalBlocks});
}

long UpdateJob::BlockInFlight() const
{
    return m_nTotalBlocks - m_nBlocksLeft + 1;
}

void UpdateJob::BeginUpdate(bool downloadCommand)
{
    m_nStep = STEP_COMMAND;
    m_nPhase = PHASE_STARTED;
    m_bDownloadCommand = downloadCommand;
    m_nBlocksLeft = m_nTotalBlocks;
    m_nSentCount = 1;
    m_bUpdating = true;
    Raise(TOOL_EVENT_STARTED, 0);
}

bool UpdateJob::AcknowledgeBlock()
{
    // Two acknowledgements without a '-' between them, or one arriving while the
    // completion is still pending, would push the next block index past the image.
    if (m_nBlocksLeft <= 0)
        return false;
    m_nStep = STEP_NEXT_BLOCK;
    --m_nBlocksLeft;
    Raise(TOOL_EVENT_ACKNOWLEDGED, m_nTotalBlocks - m_nBlocksLeft);
    return true;
}

void UpdateJob::CloseReply()
{
    if (m_nBlocksLeft != 0) {
        m_bSendRequest = true;
        return;
    }
    m_nStep = STEP_IDLE;
    m_bUpdating = false;
    Raise(TOOL_EVENT_COMPLETED, m_nTotalBlocks);
    // Modal: timer ticks keep arriving meanwhile. The step is already idle, so a send
    // request still pending finds nothing to do.
    m_host.ShowMessage(GetCompletionText());
    // Ready for the next start reply. Only when nothing has moved the counter while
    // the message was open (a front end that delivers bytes meanwhile may have begun
    // another update, which must not be disturbed).
    if (m_nBlocksLeft == 0)
        m_nBlocksLeft = m_nTotalBlocks;
}

void UpdateJob::ParseReplyByte(std::uint8_t byte)
{
    const char c = static_cast<char>(byte);
    // Each row either moves to its next state and returns, or falls through to the
    // reset below: a byte that does not fit drops the reply, and '+' starts a new one.
    switch (m_nParseState) {
    case PARSE_IDLE:
        break;
    case PARSE_PLUS:
        if (c == 'I') {
            m_nParseState = PARSE_I;
            return;
        }
        if (c == 'U') {
            m_nParseState = PARSE_U;
            return;
        }
        if (c == 'R' && m_nPhase == PHASE_STARTED) {
            m_nParseState = PARSE_R;
            return;
        }
        if (c == 'D' && m_nPhase == PHASE_TRANSFER) {
            m_nParseState = PARSE_D;
            return;
        }
        break;
    case PARSE_I:
        if (c == 'A') {
            m_nParseState = PARSE_IA;
            return;
        }
        break;
    case PARSE_IA:
        if (c == 'P') {
            m_nParseState = PARSE_IAP;
            return;
        }
        break;
    case PARSE_IAP:
        if (c == 'C') {
            m_nParseState = PARSE_CLOSE;
            BeginUpdate(false);
            return;
        }
        break;
    case PARSE_U:
        if (c == 'P') {
            m_nParseState = PARSE_UP;
            return;
        }
        break;
    case PARSE_UP:
        if (c == 'D') {
            m_nParseState = PARSE_UPD;
            return;
        }
        break;
    case PARSE_UPD:
        switch (m_nVariant) {
        case VARIANT_SOLVANE:
            // "+UPDS-": start with the download command.
            if (c == 'S') {
                m_nParseState = PARSE_CLOSE;
                BeginUpdate(true);
                return;
            }
            break;
        case VARIANT_TIRELL:
            // "+UPDF-" starts with the download command; "+UPDS-" asks for "*WAIT#".
            if (c == 'F') {
                m_nParseState = PARSE_CLOSE;
                BeginUpdate(true);
                return;
            }
            if (c == 'S') {
                m_nParseState = PARSE_CLOSE;
                m_nStep = STEP_WAIT;
                Raise(TOOL_EVENT_WAIT, BlockInFlight());
                return;
            }
            break;
        }
        break;
    case PARSE_R:
        if (c == 'E') {
            m_nParseState = PARSE_RE;
            return;
        }
        break;
    case PARSE_RE:
        if (c == 'C') {
            m_nParseState = PARSE_REC;
            return;
        }
        break;
    case PARSE_REC:
        if (c == 'V') {
            m_nParseState = PARSE_CLOSE;
            m_nStep = STEP_FIRST_BLOCK;
            m_nPhase = PHASE_TRANSFER;
            Raise(TOOL_EVENT_STAGE, 0);
            return;
        }
        break;
    case PARSE_D:
        if (c == 'T') {
            m_nParseState = PARSE_DT;
            return;
        }
        break;
    case PARSE_DT:
        if (c == 'E') {
            m_nParseState = PARSE_DTE;
            return;
        }
        if (c == 'O') {
            m_nParseState = PARSE_DTO;
            return;
        }
        if (c == 'N') {
            m_nParseState = PARSE_DTN;
            return;
        }
        break;
    case PARSE_DTE:
        if (c == 'R') {
            m_nParseState = PARSE_CLOSE;
            m_nStep = STEP_DATA_ERROR;
            Raise(TOOL_EVENT_DATA_ERROR, BlockInFlight());
            return;
        }
        break;
    case PARSE_DTO:
        if (c == 'K' && AcknowledgeBlock()) {
            m_nParseState = PARSE_CLOSE;
            return;
        }
        break;
    case PARSE_DTN:
        if (c == 'X' && AcknowledgeBlock()) {
            m_nParseState = PARSE_CLOSE;
            return;
        }
        break;
    case PARSE_CLOSE:
        if (c == '-') {
            // The state is settled before the completion message can re-enter the job.
            m_nParseState = PARSE_IDLE;
            CloseReply();
            return;
        }
        break;
    }
    m_nParseState = (c == '+') ? PARSE_PLUS : PARSE_IDLE;
}

bool UpdateJob::SendDataFrame(int block)
{
    if (block < 0 || block >= m_nTotalBlocks)
        return false;
    const IapDataFrame frame = BuildDataFrame(GetImageBlocks(), block);
    m_host.SendBytes(frame.data(), frame.size());
    return true;
}

void UpdateJob::SendPending()
{
    assert(m_nBlocksLeft >= 0 && m_nBlocksLeft <= m_nTotalBlocks && "block counter outside 0 .. total");
    // With the port closed nothing is sent and every field stays as it is.
    if (!m_bPortOpen)
        return;
    switch (m_nStep) {
    case STEP_IDLE:
        return;
    case STEP_COMMAND:
        m_host.SendText(m_bDownloadCommand ? IAP_FRAME_DOWNLOAD_COMMAND : IAP_FRAME_IAP_COMMAND);
        m_host.StartTimer(TIMER_LENGTH_FRAME, LENGTH_FRAME_DELAY_MS);
        return;
    case STEP_FIRST_BLOCK:
        if (SendDataFrame(0)) {
            m_bProgressDue = true;
            m_nStep = STEP_IDLE;
        }
        return;
    case STEP_DATA_ERROR:
        return;
    case STEP_NEXT_BLOCK:
        // A request left over from an acknowledgement whose '-' never came can find
        // no block left; SendDataFrame refuses that index.
        if (SendDataFrame(m_nTotalBlocks - m_nBlocksLeft)) {
            m_bProgressDue = true;
            m_nStep = STEP_IDLE;
            ++m_nSentCount;
        }
        return;
    case STEP_WAIT:
        m_host.SendText(IAP_FRAME_WAIT);
        return;
    }
}

bool UpdateJob::OnTimerTick(unsigned id)
{
    switch (id) {
    case TIMER_LENGTH_FRAME:
        m_host.StopTimer(TIMER_LENGTH_FRAME);
        if (m_bPortOpen)
            m_host.SendText(BuildLengthFrame(m_nLengthWord).c_str());
        return true;
    case TIMER_SEND:
        if (m_bSendRequest) {
            m_bSendRequest = false;
            SendPending();
        }
        return true;
    case TIMER_PROGRESS:
        if (m_bProgressDue) {
            m_bProgressDue = false;
            m_host.SetProgressPos(GetProgressPosition());
        }
        return true;
    default:
        return false;
    }
}
