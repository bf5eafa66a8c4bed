// RunTally: the console's record of a run, kept from the logic's events alone.
#include "console/RunTally.h"

#include <gtest/gtest.h>

namespace {

ToolEvent Event(ToolEventKind kind, ToolUnit unit = UNIT_NONE, long number = 0, long total = 0,
                ToolRefusal refusal = REFUSAL_NONE)
{
    return {kind, unit, number, total, refusal};
}

}  // namespace

TEST(RunTally, FollowsStagesAcknowledgementsAndTheEndOfAQuarrowRun)
{
    RunTally tally;
    EXPECT_EQ(tally.Unit(), UNIT_NONE);
    EXPECT_FALSE(tally.IsRunning());

    tally.Apply(Event(TOOL_EVENT_STARTED, UNIT_ERASE_FRAME, 0, 17));
    EXPECT_TRUE(tally.IsRunning());
    tally.Apply(Event(TOOL_EVENT_ACKNOWLEDGED, UNIT_ERASE_FRAME, 17, 17));
    EXPECT_EQ(tally.Done(), 17);
    // A new stage starts its count afresh.
    tally.Apply(Event(TOOL_EVENT_STAGE, UNIT_WRITE_FRAME, 0, 32));
    EXPECT_EQ(tally.Unit(), UNIT_WRITE_FRAME);
    EXPECT_EQ(tally.Done(), 0);
    EXPECT_EQ(tally.Total(), 32);
    tally.Apply(Event(TOOL_EVENT_ACKNOWLEDGED, UNIT_WRITE_FRAME, 5, 32));
    // Rejections, data errors and waits move nothing.
    tally.Apply(Event(TOOL_EVENT_REJECTED, UNIT_WRITE_FRAME, 6, 32));
    tally.Apply(Event(TOOL_EVENT_WAIT, UNIT_WRITE_FRAME, 6, 32));
    tally.Apply(Event(TOOL_EVENT_DATA_ERROR, UNIT_WRITE_FRAME, 6, 32));
    EXPECT_EQ(tally.Done(), 5);
    tally.Apply(Event(TOOL_EVENT_COMPLETED, UNIT_WRITE_FRAME, 32, 32));
    EXPECT_FALSE(tally.IsRunning());
    EXPECT_TRUE(tally.IsCompleted());
    EXPECT_EQ(tally.Done(), 32) << "the figures of the completed stage stay";
}

TEST(RunTally, AStartReplyRestartsTheCountAndARefusalEndsTheRun)
{
    RunTally tally;
    tally.Apply(Event(TOOL_EVENT_STARTED, UNIT_BLOCK, 0, 8));
    tally.Apply(Event(TOOL_EVENT_ACKNOWLEDGED, UNIT_BLOCK, 3, 8));
    tally.Apply(Event(TOOL_EVENT_STARTED, UNIT_BLOCK, 0, 8));
    EXPECT_EQ(tally.Done(), 0);
    EXPECT_TRUE(tally.IsRunning());

    tally.Apply(Event(TOOL_EVENT_REFUSED, UNIT_NONE, 0, 0, REFUSAL_NOT_READY));
    EXPECT_FALSE(tally.IsRunning());
    EXPECT_FALSE(tally.IsCompleted());
    EXPECT_EQ(tally.Refusal(), REFUSAL_NOT_READY);
}

TEST(RunTally, OnlyProgressRestartsTheStallClock)
{
    for (ToolEventKind kind : {TOOL_EVENT_STARTED, TOOL_EVENT_STAGE, TOOL_EVENT_ACKNOWLEDGED, TOOL_EVENT_COMPLETED})
        EXPECT_TRUE(RunTally::MovesTheRun(kind)) << kind;
    for (ToolEventKind kind : {TOOL_EVENT_DATA_ERROR, TOOL_EVENT_REJECTED, TOOL_EVENT_WAIT, TOOL_EVENT_REFUSED})
        EXPECT_FALSE(RunTally::MovesTheRun(kind)) << kind;
}
