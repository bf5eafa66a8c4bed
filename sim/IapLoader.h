// Solvane's and Tirell's peer: the in-application-programming loader. It leads the
// exchange: it announces itself with its start reply until the tool answers with the
// matching command frame, takes the length frame ("*0000#"), answers "+RECV-" and
// then acknowledges every 262-byte data frame. A data frame carries one 128-byte
// block as 256 upper-case hex digits and the 16-bit word sum of the block as four
// more; blocks arrive in order from block 0, with no block number.
//
// Tirell's loader can ask the tool to wait: before acknowledging chosen blocks it
// sends "+UPDS-" and acknowledges only after the tool's "*WAIT#".
//
// A frame that fails its checks is answered "+DTER-" (as are the blocks chosen for
// that fault); the loader then either announces itself again after the announcement
// period, as a loader that has reset itself, so that the tool starts over from
// block 0, or (without restart) keeps waiting.
#pragma once

#include "sim/LoaderModel.h"

#include <set>

namespace sim {

inline constexpr std::size_t IAP_SIM_BLOCK_SIZE = 128;
inline constexpr std::size_t IAP_SIM_DATA_FRAME = 262;
inline constexpr std::size_t IAP_SIM_SHORT_FRAME = 6;

enum class IapVariant { Solvane, Tirell };

struct IapLoaderConfig {
    IapVariant variant = IapVariant::Solvane;
    // Four letters of the start reply: "IAPC"; "UPDS" (Solvane) or "UPDF" (Tirell).
    std::string startReply = "IAPC";
    // Acknowledgement of a good block: "DTOK" or "DTNX".
    std::string ackReply = "DTOK";
    // Blocks to expect; -1: unknown (the transfer never completes by itself).
    long expectedBlocks = -1;
    // The image the tool should send, checked block by block; empty: not checked.
    std::vector<std::uint8_t> expectedImage;
    // Blocks answered "+DTER-" the first time they arrive.
    std::set<long> errorBlocks;
    // After a "+DTER-", announce again (the tool starts over) instead of waiting.
    bool restartAfterError = true;
    // Tirell: blocks before whose acknowledgement "+UPDS-" asks for a wait frame.
    std::set<long> waitBeforeBlocks;
};

// Checks a loader configuration; returns an empty string or what is wrong with it.
std::string CheckIapConfig(const IapLoaderConfig& config);

class IapLoader : public LoaderModel {
public:
    enum class State {
        Announcing,   // sending the start reply until the command frame comes
        AwaitLength,  // command frame received; the length frame comes next
        Receiving,    // "+RECV-" sent; data frames
        AwaitWait,    // "+UPDS-" sent; the tool's "*WAIT#" comes next
        Done,         // the last block acknowledged
    };

    explicit IapLoader(IapLoaderConfig config);

    void OnByte(std::uint8_t byte, LoaderOutput& out) override;
    bool Leads() const override { return true; }
    bool WantsAnnounce() const override { return m_state == State::Announcing; }
    void Announce(LoaderOutput& out) override;
    bool ExchangeStarted() const override { return m_bStarted; }
    // The blocks received so far, 128 bytes each, in order.
    std::vector<std::uint8_t> FlashImage() const override;
    // Without a block count: complete if the last frame was a block, acknowledged,
    // with no frame begun after it, and that block is recognisably the image's last:
    // its last byte is the 0xFF the tool fills the last block with, or it is the 112th
    // block, the most the tool sends. A run that stopped after another block cannot
    // be told from a finished one and is not counted complete.
    void OnLineClosed() override;

    State GetState() const { return m_state; }
    // Blocks stored in the current transfer (the next block's index).
    long BlocksReceived() const { return m_nBlocks; }

private:
    void OnFrame(LoaderOutput& out);
    void OnShortFrame(std::string_view body, LoaderOutput& out);
    void OnDataFrame(LoaderOutput& out);
    // "+DTER-" and, with restart, back to announcing from block 0.
    void RejectBlock(LoaderOutput& out);
    void Acknowledge(LoaderOutput& out);
    std::string ExpectedCommand() const;

    IapLoaderConfig m_config;
    State m_state = State::Announcing;
    bool m_bStarted = false;
    std::string m_frame;  // bytes of the frame being received, from its '*'
    bool m_bInFrame = false;
    bool m_bInStray = false;       // inside a run of bytes outside any frame
    bool m_bLastAcked = false;     // the last frame received was a block, acknowledged
    long m_nBlocks = 0;            // blocks stored in the current transfer
    long m_nMaxBlocks = 0;         // most blocks the flash has held
    std::set<long> m_firedErrors;  // fault blocks already answered "+DTER-"
    std::set<long> m_firedWaits;   // wait requests already made
    std::vector<std::uint8_t> m_flash;
};

}  // namespace sim
