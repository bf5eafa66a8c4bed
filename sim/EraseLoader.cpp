#include "sim/EraseLoader.h"

#include "common/Hex.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

std::string AddressText(long address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04lX", address);
    return text;
}

}  // namespace

EraseLoader::EraseLoader()
    : m_flash(ERASE_FLASH_SIZE, ERASE_OLD_BYTE)
{
}

void EraseLoader::OnByte(std::uint8_t byte, LoaderOutput& out)
{
    switch (m_frameState) {
    case FrameState::Idle:
        if (byte == '+') {
            m_bInStray = false;
            m_frame[0] = byte;
            m_nFrameLength = 1;
            m_frameState = FrameState::Type;
        } else if (!m_bInStray) {
            // One error per run of stray bytes, not one per byte.
            m_bInStray = true;
            AddError("byte " + Printable(std::string_view(reinterpret_cast<const char*>(&byte), 1)) +
                     " outside a frame");
        }
        return;
    case FrameState::Type:
        if (byte != 'E') {
            AddError("frame type " + Printable(std::string_view(reinterpret_cast<const char*>(&byte), 1)) +
                     " is not an erase frame");
            m_frameState = FrameState::Idle;
            m_bInStray = true;
            if (byte == '+')
                OnByte(byte, out);
            return;
        }
        m_frame[m_nFrameLength++] = byte;
        m_frameState = FrameState::Body;
        return;
    case FrameState::Body:
        m_frame[m_nFrameLength++] = byte;
        if (m_nFrameLength == FRAME_LENGTH) {
            m_frameState = FrameState::Idle;
            OnFrame(out);
        }
        return;
    }
}

void EraseLoader::OnFrame(LoaderOutput& out)
{
    const std::string_view text(reinterpret_cast<const char*>(m_frame.data()), FRAME_LENGTH);
    const long address = ParseHex16(&m_frame[2]);
    if (address < 0 || m_frame[6] != '-') {
        CountFrame("bad frame " + Printable(text));
        AddError("malformed erase frame " + Printable(text));
        return;  // not answered: the loader cannot tell what to erase
    }
    CountFrame("E " + AddressText(address));

    if (m_stats.complete) {
        AddError("erase frame " + AddressText(address) + " after the chain was complete");
    } else if (address == ERASE_FIRST_ADDRESS && m_nNextAddress != ERASE_FIRST_ADDRESS) {
        // ERASE pressed again: a new chain starts from the bottom.
        m_nChainFrames = 0;
    } else if (address != m_nNextAddress) {
        AddError("erase address " + AddressText(address) + " out of order (expected " + AddressText(m_nNextAddress) +
                 ")");
    }

    if (address >= ERASE_FIRST_ADDRESS && address % ERASE_STEP == 0) {
        std::fill_n(m_flash.begin() + address, ERASE_STEP, ERASED_BYTE);
        m_stats.bytesWritten += ERASE_STEP;
    } else if (address < ERASE_FIRST_ADDRESS) {
        AddError("erase address " + AddressText(address) + " lies in the loader's own area");
    } else {
        AddError("erase address " + AddressText(address) + " is not a multiple of 64");
    }

    if (address == m_nNextAddress || address == ERASE_FIRST_ADDRESS)
        ++m_nChainFrames;
    m_nNextAddress = address + ERASE_STEP;
    out.Reply("*EOK#");
    if (address == ERASE_LAST_ADDRESS && m_nChainFrames == ERASE_CHAIN_FRAMES)
        m_stats.complete = true;
}

std::vector<std::uint8_t> EraseLoader::FlashImage() const
{
    return m_flash;
}

}  // namespace sim
