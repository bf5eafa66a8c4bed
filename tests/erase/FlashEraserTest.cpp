// FlashEraser: its frames, the waiting recogniser, the posted pacing of the chain,
// and acknowledgements outside a chain.
#include "erase/FlashEraser.h"

#include "common/RecordingHost.h"
#include "common/EraseFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

std::string Frame(int address)
{
    std::uint8_t bytes[ERASE_FRAME_LENGTH];
    BuildEraseFrame(address, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

struct Rig {
    RecordingHost host;
    FlashEraser eraser{host};

    void Feed(std::string_view bytes)
    {
        for (char c : bytes)
            eraser.ParseEraseAck(static_cast<std::uint8_t>(c));
    }
    // Delivers the posted messages, as the front end's message loop does.
    void Deliver()
    {
        std::vector<unsigned> posted;
        posted.swap(host.posted);
        for (unsigned message : posted) {
            EXPECT_EQ(message, MSG_ERASE_NEXT);
            eraser.OnEraseNext();
        }
    }
};

}  // namespace

TEST(FlashEraser, EraseSendsTheFrameFor1024)
{
    Rig rig;
    rig.eraser.StartErase();
    EXPECT_EQ(rig.host.frames, std::vector<std::string>{Bytes({0x2B, 0x45, 0x30, 0x34, 0x30, 0x30, 0x2D})});
    EXPECT_TRUE(rig.eraser.IsChainRunning());
}

TEST(FlashEraser, ChainOf1008FramesEndsWithFinish)
{
    Rig rig;
    rig.eraser.StartErase();
    for (int address = 1024; address < 65536; address += 64) {
        ASSERT_EQ(rig.host.TakeFrames(), std::vector<std::string>{Frame(address)}) << address;
        rig.Feed("*EOK#");
        // The next frame never leaves from inside the byte handler.
        ASSERT_TRUE(rig.host.frames.empty());
        if (address < 65472) {
            ASSERT_EQ(rig.host.posted, std::vector<unsigned>{0x40B});
            ASSERT_TRUE(rig.host.messages.empty());
        }
        rig.Deliver();
    }
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_TRUE(rig.host.posted.empty());
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Finish"});
    EXPECT_FALSE(rig.eraser.IsChainRunning());
    EXPECT_EQ(rig.eraser.GetEraseAddress(), 65536);
}

TEST(FlashEraser, RecogniserWaitsThroughWrongBytes)
{
    Rig rig;
    rig.eraser.StartErase();
    rig.host.TakeFrames();
    rig.Feed("*ExOK#");
    rig.Deliver();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{"+E0440-"});

    rig.Feed("*EOK-");
    EXPECT_EQ(rig.eraser.GetParseState(), 4);
    EXPECT_TRUE(rig.host.posted.empty());
    rig.Feed("-x*");
    EXPECT_EQ(rig.eraser.GetParseState(), 4);
    rig.Feed("#");
    rig.Deliver();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{"+E0480-"});

    // Sending a frame resets the recogniser.
    rig.Feed("*EO");
    rig.eraser.StartErase();
    EXPECT_EQ(rig.eraser.GetParseState(), 0);
}

TEST(FlashEraser, EraseDuringAChainRestartsAt1024)
{
    Rig rig;
    rig.eraser.StartErase();
    for (int i = 0; i < 5; ++i) {
        rig.Feed("*EOK#");
        rig.Deliver();
    }
    rig.Feed("*EOK#");  // posted, not yet delivered
    rig.host.TakeFrames();
    rig.eraser.StartErase();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{"+E0400-"});
    // The post of the replaced chain sends nothing: one frame is outstanding.
    rig.Deliver();
    EXPECT_TRUE(rig.host.frames.empty());
    rig.Feed("*EOK#");
    rig.Deliver();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{"+E0440-"});
}

TEST(FlashEraser, AcknowledgementOutsideAChainSendsNothing)
{
    Rig rig;
    rig.Feed("[*EOK#*EOK#");
    rig.eraser.OnEraseNext();
    EXPECT_TRUE(rig.eraser.IsEraseAll());
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_TRUE(rig.host.posted.empty());
    EXPECT_TRUE(rig.host.messages.empty());

    rig.eraser.StartErase();
    for (int i = 0; i < 1008; ++i) {
        rig.Feed("*EOK#");
        rig.Deliver();
    }
    ASSERT_EQ(rig.host.messages, std::vector<std::string>{"Finish"});
    rig.host.TakeFrames();
    rig.Feed("*EOK#[*EOK#");
    rig.eraser.OnEraseNext();
    EXPECT_TRUE(rig.host.frames.empty());
    EXPECT_TRUE(rig.host.posted.empty());
    EXPECT_EQ(rig.host.messages.size(), 1u);

    // A new chain after "Finish" starts over.
    rig.eraser.StartErase();
    EXPECT_EQ(rig.host.TakeFrames(), std::vector<std::string>{"+E0400-"});
}
