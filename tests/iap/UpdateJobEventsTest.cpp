// UpdateJob's events: for each reply of the parser's table the event it raises, once,
// at the byte where the parser decides, in its place among the frames sent; replies
// the parser ignores raise nothing.
#include "iap/UpdateJob.h"

#include "IapTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Events = std::vector<ToolEvent>;

class JobEvents : public JobTest {
protected:
    explicit JobEvents(IapVariant variant = VARIANT_SOLVANE)
        : JobTest(variant)
    {
    }

    Events Kinds() const
    {
        Events out;
        for (const auto& e : host.events)
            out.push_back(e.event);
        return out;
    }
    ToolEvent Block(ToolEventKind kind, long number, long total = 3) const
    {
        return MakeEvent(kind, UNIT_BLOCK, number, total);
    }
};

class TirellEvents : public JobEvents {
protected:
    TirellEvents()
        : JobEvents(VARIANT_TIRELL)
    {
    }
};

}  // namespace

TEST_F(JobEvents, AWholeUpdateRaisesEachEventOnceBetweenTheRightFrames)
{
    Load(PatternImage(300));  // 3 blocks
    Feed("+IAPC");
    ASSERT_EQ(Kinds(), (Events{Block(TOOL_EVENT_STARTED, 0)})) << "at the fourth letter, before the '-'";
    Feed("-");
    SendTick();
    Tick(TIMER_LENGTH_FRAME);
    Feed("+RECV-");
    SendTick();
    for (int k = 0; k < 3; ++k) {
        Feed("+DTOK-");
        SendTick();
    }

    EXPECT_EQ(Kinds(), (Events{Block(TOOL_EVENT_STARTED, 0), Block(TOOL_EVENT_STAGE, 0),
                               Block(TOOL_EVENT_ACKNOWLEDGED, 1), Block(TOOL_EVENT_ACKNOWLEDGED, 2),
                               Block(TOOL_EVENT_ACKNOWLEDGED, 3), Block(TOOL_EVENT_COMPLETED, 3)}));
    // Frames: *IAPK#, *0000#, block 0, block 1, block 2.
    ASSERT_EQ(host.frames.size(), 5u);
    const std::vector<std::size_t> framesBefore = {0, 2, 3, 4, 5, 5};
    for (std::size_t i = 0; i < host.events.size(); ++i)
        EXPECT_EQ(host.events[i].framesBefore, framesBefore[i]) << "event " << i;
    // The completion is told before its message is shown.
    EXPECT_EQ(host.events.back().messagesBefore, 0u);
    EXPECT_EQ(host.messages, std::vector<std::string>{"Update Complete!"});
}

TEST_F(JobEvents, DtnxAcknowledgesAsDtokDoes)
{
    Load(PatternImage(300));
    StartTransfer();
    Feed("+DTNX-");
    EXPECT_EQ(host.events.back().event, Block(TOOL_EVENT_ACKNOWLEDGED, 1));
}

TEST_F(JobEvents, RepliesTheParserIgnoresRaiseNothing)
{
    Load(PatternImage(300));
    Feed("+RECV-+DTOK-+DTER-");  // before any start reply
    EXPECT_TRUE(host.events.empty());

    Feed("+IAPC-");
    host.events.clear();
    // Before "+RECV-" the block replies are not accepted: no data error, no acknowledgement.
    Feed("+DTER-+DTOK-+DTNX-");
    EXPECT_TRUE(host.events.empty());
    // Noise, a reply broken by a wrong letter, a second "+RECV-" after the first.
    Feed("+RECV-");
    Feed("xx+RECX-+RE+CV-+RECV-+DTEK-");
    EXPECT_EQ(Kinds(), (Events{Block(TOOL_EVENT_STAGE, 0)}));
}

TEST_F(JobEvents, DataErrorNamesTheBlockInFlightAndTheNextAcknowledgementMovesOn)
{
    Load(PatternImage(300));
    StartTransfer();
    Feed("+DTOK-");
    SendTick();
    host.events.clear();
    const std::size_t sent = host.frames.size();

    Feed("+DTER");
    ASSERT_EQ(Kinds(), (Events{Block(TOOL_EVENT_DATA_ERROR, 2)})) << "at the 'R'";
    Feed("-");
    SendTick();
    EXPECT_EQ(host.frames.size(), sent) << "nothing is sent for a data error";
    EXPECT_EQ(host.events.size(), 1u) << "the '-' raises no second event";

    Feed("+DTOK-");
    EXPECT_EQ(host.events.back().event, Block(TOOL_EVENT_ACKNOWLEDGED, 2));
}

TEST_F(JobEvents, AReplySplitAcrossHandOversIsOneEvent)
{
    Load(PatternImage(300));
    StartTransfer();
    host.events.clear();
    // The bytes of one acknowledgement come in three deliveries with ticks between.
    Feed("+D");
    SendTick();
    Feed("TO");
    SendTick();
    Feed("K-");
    SendTick();
    EXPECT_EQ(Kinds(), (Events{Block(TOOL_EVENT_ACKNOWLEDGED, 1)}));
}

TEST_F(JobEvents, AcknowledgementsWithNoBlockLeftRaiseNothing)
{
    Load(PatternImage(128));  // 1 block
    StartTransfer();
    host.events.clear();
    // Two acknowledgements without a '-' between them: only the first counts, and
    // the second, refused, leaves no '-' to complete with.
    Feed("+DTOK+DTOK-");
    EXPECT_EQ(Kinds(), (Events{Block(TOOL_EVENT_ACKNOWLEDGED, 1, 1)}));
    Feed("+DTNX-");
    EXPECT_EQ(host.events.size(), 1u);
}

TEST_F(JobEvents, StartReplyRestartsTheCountAndWithoutAnImageCompletesAtOnce)
{
    Feed("+IAPC-");
    EXPECT_EQ(Kinds(), (Events{Block(TOOL_EVENT_STARTED, 0, 0), Block(TOOL_EVENT_COMPLETED, 0, 0)}));

    host.events.clear();
    Load(PatternImage(300));
    StartTransfer();
    Feed("+DTOK-");
    Feed("+UPDS-");  // Solvane: a start reply with the download command
    EXPECT_EQ(host.events.back().event, Block(TOOL_EVENT_STARTED, 0));
}

TEST_F(TirellEvents, StartAndWaitRequestsAreTold)
{
    Load(PatternImage(300));
    Feed("+UPDF-");
    EXPECT_EQ(Kinds(), (Events{Block(TOOL_EVENT_STARTED, 0)}));
    SendTick();
    Tick(TIMER_LENGTH_FRAME);
    Feed("+RECV-");
    SendTick();
    Feed("+DTOK-");
    SendTick();
    host.events.clear();
    const std::size_t sent = host.frames.size();

    Feed("+UPDS");
    ASSERT_EQ(Kinds(), (Events{Block(TOOL_EVENT_WAIT, 2)}));
    Feed("-");
    SendTick();
    EXPECT_EQ(host.frames.size(), sent + 1) << "*WAIT# follows the event";
    EXPECT_EQ(host.events[0].framesBefore, sent);
    EXPECT_EQ(host.events.size(), 1u);
}
