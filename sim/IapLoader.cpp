#include "sim/IapLoader.h"

#include "common/Hex.h"

#include <algorithm>

namespace sim {

namespace {

// The tool takes at most this many image bytes, so it never sends more blocks.
constexpr std::size_t IMAGE_LIMIT = 14336;
constexpr long MAX_TOOL_BLOCKS = static_cast<long>(IMAGE_LIMIT / IAP_SIM_BLOCK_SIZE);
// What the tool fills the last block with past the image's end (erased flash).
constexpr std::uint8_t FILL_BYTE = 0xFF;
// The flash model holds this many blocks at most; frames beyond are not stored.
constexpr long FLASH_BLOCKS = 1024;

std::string BlockText(long block)
{
    return "block " + std::to_string(block);
}

}  // namespace

std::string CheckIapConfig(const IapLoaderConfig& config)
{
    const std::string& s = config.startReply;
    const bool tirell = config.variant == IapVariant::Tirell;
    if (s != "IAPC" && s != (tirell ? "UPDF" : "UPDS"))
        return "start reply +" + s + "- is not one this loader sends (IAPC or " + (tirell ? "UPDF" : "UPDS") + ")";
    if (config.ackReply != "DTOK" && config.ackReply != "DTNX")
        return "acknowledgement +" + config.ackReply + "- is not DTOK or DTNX";
    if (!tirell && !config.waitBeforeBlocks.empty())
        return "only Tirell's loader asks for wait frames";
    return {};
}

IapLoader::IapLoader(IapLoaderConfig config)
    : m_config(std::move(config))
{
    if (m_config.expectedImage.size() > IMAGE_LIMIT)
        m_config.expectedImage.resize(IMAGE_LIMIT);
    if (m_config.expectedBlocks < 0 && !m_config.expectedImage.empty())
        m_config.expectedBlocks =
            static_cast<long>((m_config.expectedImage.size() + IAP_SIM_BLOCK_SIZE - 1) / IAP_SIM_BLOCK_SIZE);
}

std::string IapLoader::ExpectedCommand() const
{
    return m_config.startReply == "IAPC" ? "IAPK" : "DNDA";
}

void IapLoader::Announce(LoaderOutput& out)
{
    out.Reply("+" + m_config.startReply + "-");
}

void IapLoader::OnByte(std::uint8_t byte, LoaderOutput& out)
{
    if (!m_bInFrame) {
        if (byte == '*') {
            m_bInFrame = true;
            m_bInStray = false;
            m_frame.assign(1, '*');
        } else if (!m_bInStray) {
            m_bInStray = true;
            const char c = static_cast<char>(byte);
            AddError("byte " + Printable(std::string_view(&c, 1)) + " outside a frame");
        }
        return;
    }
    if (byte == '*') {
        AddError("frame cut short after " + std::to_string(m_frame.size()) +
                 " bytes: " + Printable(m_frame.substr(0, 16)));
        m_frame.assign(1, '*');
        return;
    }
    m_frame += static_cast<char>(byte);
    if (byte == '#') {
        m_bInFrame = false;
        OnFrame(out);
    } else if (m_frame.size() >= IAP_SIM_DATA_FRAME) {
        AddError("frame longer than " + std::to_string(IAP_SIM_DATA_FRAME) + " bytes");
        m_bInFrame = false;
        m_bInStray = true;
    }
}

void IapLoader::OnFrame(LoaderOutput& out)
{
    m_bLastAcked = false;
    if (m_frame.size() == IAP_SIM_SHORT_FRAME) {
        OnShortFrame(std::string_view(m_frame).substr(1, 4), out);
    } else if (m_frame.size() == IAP_SIM_DATA_FRAME) {
        OnDataFrame(out);
    } else {
        CountFrame("bad frame of " + std::to_string(m_frame.size()) + " bytes");
        AddError("frame of " + std::to_string(m_frame.size()) + " bytes: " + Printable(m_frame.substr(0, 16)));
    }
}

void IapLoader::OnShortFrame(std::string_view body, LoaderOutput& out)
{
    const std::string frameText = "*" + std::string(body) + "#";
    CountFrame(frameText);
    if (m_state == State::Done) {
        AddError(frameText + " after the transfer was complete");
        return;
    }

    if (body == "IAPK" || body == "DNDA") {
        if (body != ExpectedCommand()) {
            AddError(frameText + " does not answer +" + m_config.startReply + "-");
            return;
        }
        switch (m_state) {
        case State::Announcing:
        case State::AwaitLength:
            break;
        case State::Receiving:
            if (m_nBlocks == 0)
                break;  // a second answer to a repeated announcement: start again
            [[fallthrough]];
        case State::AwaitWait:
            AddError(frameText + " in the middle of the transfer");
            return;
        case State::Done:
            return;
        }
        m_bStarted = true;
        m_nBlocks = 0;
        m_state = State::AwaitLength;
        return;
    }

    if (body == "WAIT") {
        if (m_state != State::AwaitWait) {
            AddError("*WAIT# the loader did not ask for");
            return;
        }
        m_state = State::Receiving;
        Acknowledge(out);
        return;
    }

    const long length = ParseHex16(reinterpret_cast<const std::uint8_t*>(body.data()));
    if (length < 0) {
        AddError("unknown frame " + Printable(frameText));
        return;
    }
    if (m_state != State::AwaitLength) {
        AddError("length frame " + frameText + " out of place");
        return;
    }
    if (length != 0)
        AddError("length frame " + frameText + " (the tool always sends *0000#)");
    m_state = State::Receiving;
    out.Reply("+RECV-");
}

void IapLoader::OnDataFrame(LoaderOutput& out)
{
    const long block = m_nBlocks;
    CountFrame(BlockText(block));
    switch (m_state) {
    case State::Receiving:
        break;
    case State::Announcing:
    case State::AwaitLength:
        AddError("data frame before the loader accepted the start");
        return;
    case State::AwaitWait:
        AddError("data frame while the loader waits for *WAIT#");
        return;
    case State::Done:
        AddError("data frame after the transfer was complete");
        return;
    }

    // Layout: 256 + 4 upper-case hex digits between '*' and '#'.
    std::uint8_t data[IAP_SIM_BLOCK_SIZE];
    const auto* frame = reinterpret_cast<const std::uint8_t*>(m_frame.data());
    for (std::size_t j = 0; j < IAP_SIM_BLOCK_SIZE; ++j) {
        const int high = HexDigitValue(frame[1 + 2 * j]);
        const int low = HexDigitValue(frame[2 + 2 * j]);
        if (high < 0 || low < 0) {
            AddError(BlockText(block) + ": byte " + std::to_string(j) + " is not two upper-case hex digits");
            RejectBlock(out);
            return;
        }
        data[j] = static_cast<std::uint8_t>(high * 16 + low);
    }
    const long checksum = ParseHex16(frame + 257);
    if (checksum < 0) {
        AddError(BlockText(block) + ": checksum is not four upper-case hex digits");
        RejectBlock(out);
        return;
    }
    const std::uint16_t sum = WordSum16(data, IAP_SIM_BLOCK_SIZE);
    if (checksum != sum) {
        AddError(BlockText(block) + ": checksum " + Printable(m_frame.substr(257, 4)) + " does not match the data");
        RejectBlock(out);
        return;
    }

    // A good frame that this run answers with an error all the same.
    if (m_config.errorBlocks.count(block) != 0 && m_firedErrors.insert(block).second) {
        m_frameLog.back() += " (answered +DTER- on purpose)";
        RejectBlock(out);
        return;
    }

    if (m_config.expectedBlocks >= 0 && block >= m_config.expectedBlocks)
        AddError(BlockText(block) + " beyond the " + std::to_string(m_config.expectedBlocks) + " blocks expected");
    const std::size_t offset = static_cast<std::size_t>(block) * IAP_SIM_BLOCK_SIZE;
    if (offset < m_config.expectedImage.size()) {
        const std::size_t n = std::min(IAP_SIM_BLOCK_SIZE, m_config.expectedImage.size() - offset);
        const auto mismatch = std::mismatch(data, data + n, m_config.expectedImage.begin() + offset);
        if (mismatch.first != data + n)
            AddError(BlockText(block) + " differs from the image at offset " +
                     std::to_string(offset + (mismatch.first - data)));
    }
    if (block < FLASH_BLOCKS) {
        if (block >= m_nMaxBlocks) {
            m_nMaxBlocks = block + 1;
            m_flash.resize(m_nMaxBlocks * IAP_SIM_BLOCK_SIZE);
        }
        std::copy(data, data + IAP_SIM_BLOCK_SIZE, m_flash.begin() + offset);
        m_stats.bytesWritten += IAP_SIM_BLOCK_SIZE;
    } else {
        AddError(BlockText(block) + " lies past the end of the flash");
    }
    ++m_nBlocks;

    if (m_config.variant == IapVariant::Tirell && m_config.waitBeforeBlocks.count(block) != 0 &&
        m_firedWaits.insert(block).second) {
        m_state = State::AwaitWait;
        out.Reply("+UPDS-");
        return;
    }
    Acknowledge(out);
}

void IapLoader::RejectBlock(LoaderOutput& out)
{
    out.Reply("+DTER-");
    if (m_config.restartAfterError) {
        m_state = State::Announcing;
        m_nBlocks = 0;
    }
}

void IapLoader::Acknowledge(LoaderOutput& out)
{
    out.Reply("+" + m_config.ackReply + "-");
    m_bLastAcked = true;
    if (m_config.expectedBlocks >= 0 && m_nBlocks >= m_config.expectedBlocks) {
        m_state = State::Done;
        m_stats.complete = true;
    }
}

void IapLoader::OnLineClosed()
{
    if (m_config.expectedBlocks >= 0 || m_state != State::Receiving || m_nBlocks == 0 || !m_bLastAcked)
        return;
    const long last = m_nBlocks - 1;
    if (m_bInFrame) {
        m_stats.note = "the tool stopped in the middle of a frame after " + BlockText(last);
        return;
    }
    const bool filled =
        last < FLASH_BLOCKS && m_flash[static_cast<std::size_t>(m_nBlocks) * IAP_SIM_BLOCK_SIZE - 1] == FILL_BYTE;
    if (!filled && m_nBlocks != MAX_TOOL_BLOCKS) {
        m_stats.note = BlockText(last) +
                       ", the last one acknowledged, ends in data, not in the 0xFF filler: a run that stopped early "
                       "looks the same (--blocks or --expect tell the loader the image's size)";
        return;
    }
    m_stats.complete = true;
}

std::vector<std::uint8_t> IapLoader::FlashImage() const
{
    return m_flash;
}

}  // namespace sim
