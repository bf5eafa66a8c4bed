// FlashEraser's events: the chain's start, each acknowledgement with its number
// before the next frame is posted, the completion before "Finish", nothing for an
// acknowledgement outside a chain.
#include "erase/FlashEraser.h"

#include "common/RecordingHost.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

struct Rig {
    RecordingHost host;
    FlashEraser eraser{host};

    void Feed(std::string_view bytes)
    {
        for (char c : bytes)
            eraser.ParseEraseAck(static_cast<std::uint8_t>(c));
    }
    void Deliver()
    {
        std::vector<unsigned> posted;
        posted.swap(host.posted);
        for (unsigned message : posted)
            if (message == MSG_ERASE_NEXT)
                eraser.OnEraseNext();
    }
};

ToolEvent Frame(ToolEventKind kind, long number)
{
    return MakeEvent(kind, UNIT_ERASE_FRAME, number, 1008);
}

}  // namespace

TEST(FlashEraserEvents, AWholeChainTellsEachFrameOnceAndCompletesBeforeFinish)
{
    Rig rig;
    rig.eraser.StartErase();
    for (int k = 0; k < 1008; ++k) {
        rig.Feed("*EOK#");
        rig.Deliver();
    }
    const auto& ev = rig.host.events;
    ASSERT_EQ(ev.size(), 1008u + 2u);
    EXPECT_EQ(ev[0].event, Frame(TOOL_EVENT_STARTED, 0));
    EXPECT_EQ(ev[0].framesBefore, 0u);
    for (std::size_t k = 1; k <= 1008; ++k) {
        ASSERT_EQ(ev[k].event, Frame(TOOL_EVENT_ACKNOWLEDGED, static_cast<long>(k)));
        ASSERT_EQ(ev[k].framesBefore, k) << "after frame " << k << ", before the next";
    }
    EXPECT_EQ(ev.back().event, Frame(TOOL_EVENT_COMPLETED, 1008));
    EXPECT_EQ(ev.back().messagesBefore, 0u);
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Finish"});
}

TEST(FlashEraserEvents, AWaitingRecogniserAndASplitReplyGiveOneAcknowledgement)
{
    Rig rig;
    rig.eraser.StartErase();
    // Wrong bytes leave the recogniser waiting for the one it expects: "*E*O" is
    // still on its way to "*EOK#"; the rest comes in later hand-overs.
    rig.Feed("*E*xO");
    rig.Deliver();
    rig.Feed("K");
    rig.Deliver();
    rig.Feed("#");
    ASSERT_EQ(rig.host.events.size(), 2u);
    EXPECT_EQ(rig.host.events[1].event, Frame(TOOL_EVENT_ACKNOWLEDGED, 1));
}

TEST(FlashEraserEvents, AcknowledgementsOutsideAChainRaiseNothingAndERaseRestarts)
{
    Rig rig;
    rig.Feed("*EOK#");
    EXPECT_TRUE(rig.host.events.empty());

    rig.eraser.StartErase();
    rig.Feed("*EOK#");
    rig.eraser.StartErase();  // ERASE again during the chain
    EXPECT_EQ(rig.host.events.back().event, Frame(TOOL_EVENT_STARTED, 0));
    rig.Deliver();  // the stale post sends nothing
    rig.Feed("*EOK#");
    EXPECT_EQ(rig.host.events.back().event, Frame(TOOL_EVENT_ACKNOWLEDGED, 1));
}
