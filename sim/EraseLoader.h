// Dunmere's peer: the erase loader. It takes erase frames "+E" + four hex digits +
// "-" and answers each with "*EOK#". A chain starts at erase address 1,024 and goes
// up in steps of 64 to 65,472 (1,008 frames); the loader checks the order, erases
// 64 bytes of its 64 KiB flash for each frame and is complete after the last one.
#pragma once

#include "sim/LoaderModel.h"

#include <array>

namespace sim {

inline constexpr long ERASE_FIRST_ADDRESS = 1024;
inline constexpr long ERASE_LAST_ADDRESS = 65472;
inline constexpr long ERASE_STEP = 64;
inline constexpr long ERASE_CHAIN_FRAMES = (ERASE_LAST_ADDRESS - ERASE_FIRST_ADDRESS) / ERASE_STEP + 1;
inline constexpr std::size_t ERASE_FLASH_SIZE = 65536;
// Flash content before it is erased (the old program) and after.
inline constexpr std::uint8_t ERASE_OLD_BYTE = 0x00;
inline constexpr std::uint8_t ERASED_BYTE = 0xFF;

class EraseLoader : public LoaderModel {
public:
    EraseLoader();

    void OnByte(std::uint8_t byte, LoaderOutput& out) override;
    bool ExchangeStarted() const override { return m_stats.framesReceived > 0; }
    std::vector<std::uint8_t> FlashImage() const override;

    // Erase address the loader expects next (1,024 at the start of a chain).
    long ExpectedAddress() const { return m_nNextAddress; }

private:
    enum class FrameState { Idle, Type, Body };
    static constexpr std::size_t FRAME_LENGTH = 7;

    void OnFrame(LoaderOutput& out);

    FrameState m_frameState = FrameState::Idle;
    std::array<std::uint8_t, FRAME_LENGTH> m_frame{};
    std::size_t m_nFrameLength = 0;
    bool m_bInStray = false;  // inside a run of bytes outside any frame
    long m_nNextAddress = ERASE_FIRST_ADDRESS;
    long m_nChainFrames = 0;  // frames of the current chain, in order
    std::vector<std::uint8_t> m_flash;
};

}  // namespace sim
