#include "iap/UpdateJob.h"

#include "IapTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Frames = std::vector<std::string>;

class TirellJob : public JobTest {
protected:
    TirellJob()
        : JobTest(VARIANT_TIRELL)
    {
    }
};

}  // namespace

TEST_F(TirellJob, DownloadStartSendsDndaThenTheLengthFrame)
{
    const std::vector<std::uint8_t> image = PatternImage(256);
    Load(image);
    Feed("+UPDF-");
    EXPECT_EQ(job.GetStep(), STEP_COMMAND);
    EXPECT_TRUE(job.IsDownloadCommand());
    EXPECT_EQ(job.GetPhase(), PHASE_STARTED);
    SendTick();
    Tick(TIMER_LENGTH_FRAME);
    EXPECT_EQ(host.TakeFrames(), (Frames{"*DNDA#", "*0000#"}));

    // "+IAPC-" still starts with the other command.
    Feed("+IAPC-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{"*IAPK#"});
}

TEST_F(TirellJob, WaitRequestAnswersWaitAndChangesNothingElse)
{
    Load(PatternImage(300));
    Feed("+UPDS-");
    EXPECT_EQ(job.GetStep(), STEP_WAIT);
    EXPECT_EQ(job.GetPhase(), PHASE_NONE);
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{"*WAIT#"});
    EXPECT_FALSE(host.TimerRunning(TIMER_LENGTH_FRAME));
    EXPECT_EQ(job.GetBlocksLeft(), 3);
    EXPECT_TRUE(host.progressPositions.empty());

    // Without a start reply the phase stays 0, so "+RECV-" is not accepted.
    Feed("+RECV-");
    SendTick();
    EXPECT_TRUE(host.frames.empty());

    // Each "+UPDS-" yields one wait frame.
    Feed("+UPDS-+UPDS-");
    SendTick();
    Feed("+UPDS-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), (Frames{"*WAIT#", "*WAIT#"}));
}

TEST_F(TirellJob, WaitDuringATransferThenTheNextBlock)
{
    const std::vector<std::uint8_t> image = PatternImage(300);
    Load(image);
    StartTransfer("+UPDF-");
    EXPECT_EQ(host.TakeFrames(), (Frames{"*DNDA#", "*0000#", ExpectedDataFrame(image, 0)}));

    Feed("+UPDS-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{"*WAIT#"});
    EXPECT_EQ(job.GetPhase(), PHASE_TRANSFER);
    EXPECT_EQ(job.GetBlocksLeft(), 3);

    Feed("+DTOK-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 1)});
    EXPECT_EQ(host.progressPositions, (std::vector<int>{33, 66}));
}

TEST_F(TirellJob, WaitRequestWithoutImageCompletesAtOnce)
{
    Feed("+UPDS-");
    EXPECT_EQ(host.messages, Frames{"Update complete!"});
    SendTick();
    EXPECT_TRUE(host.frames.empty());
}

TEST_F(TirellJob, CompletionUsesTirellsText)
{
    Load(PatternImage(128));
    EXPECT_STREQ(job.GetCompletionText(), "Update complete!");
    StartTransfer("+UPDF-");
    Feed("+DTNX-");
    EXPECT_EQ(host.messages, Frames{"Update complete!"});
    EXPECT_EQ(job.GetBlocksLeft(), 1);
}
