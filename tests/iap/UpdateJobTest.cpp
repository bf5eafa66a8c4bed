#include "iap/UpdateJob.h"

#include "IapTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Frames = std::vector<std::string>;

class SolvaneJob : public JobTest {};

}  // namespace

TEST_F(SolvaneJob, WholeThreeBlockUpdate)
{
    const std::vector<std::uint8_t> image = PatternImage(300);
    Load(image);
    ASSERT_EQ(job.GetTotalBlocks(), 3);
    EXPECT_EQ(host.timers[TIMER_SEND], 1u);
    EXPECT_EQ(host.timers[TIMER_PROGRESS], 1u);

    // The start reply takes effect at its fourth letter; the '-' raises the request.
    Feed("+IAPC");
    EXPECT_EQ(job.GetStep(), STEP_COMMAND);
    EXPECT_EQ(job.GetPhase(), PHASE_STARTED);
    EXPECT_EQ(job.GetBlocksLeft(), 3);
    EXPECT_FALSE(job.IsSendRequested());
    Feed("-");
    EXPECT_TRUE(job.IsSendRequested());
    EXPECT_TRUE(host.frames.empty());

    // The command frame on the next send tick, the length frame on timer 1's tick.
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{"*IAPK#"});
    ASSERT_TRUE(host.TimerRunning(TIMER_LENGTH_FRAME));
    EXPECT_EQ(host.timers[TIMER_LENGTH_FRAME], 20u);
    SendTick();
    EXPECT_TRUE(host.frames.empty());
    Tick(TIMER_LENGTH_FRAME);
    EXPECT_EQ(host.TakeFrames(), Frames{"*0000#"});
    EXPECT_FALSE(host.TimerRunning(TIMER_LENGTH_FRAME));
    EXPECT_TRUE(host.progressPositions.empty()) << "the bar moves only after data frames";

    Feed("+RECV-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 0)});
    Feed("+DTOK-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 1)});
    Feed("+DTNX-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 2)});
    EXPECT_EQ(host.progressPositions, (std::vector<int>{33, 66, 100}));

    // Ticks keep arriving while the message is open; nothing may go out.
    int leftWhileOpen = -1;
    host.onMessage = [&](const std::string&) {
        leftWhileOpen = job.GetBlocksLeft();
        for (int i = 0; i < 3; ++i) {
            job.OnTimerTick(TIMER_SEND);
            job.OnTimerTick(TIMER_PROGRESS);
        }
    };
    Feed("+DTOK-");
    EXPECT_EQ(host.messages, Frames{"Update Complete!"});
    EXPECT_EQ(leftWhileOpen, 0);
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(job.GetBlocksLeft(), 3);
    EXPECT_EQ(job.GetStep(), STEP_IDLE);
    EXPECT_EQ(job.GetPhase(), PHASE_TRANSFER) << "the phase is never reset";
    EXPECT_FALSE(job.IsUpdating());

    // The device can run the same update again from block 0.
    host.onMessage = nullptr;
    StartTransfer();
    EXPECT_EQ(host.TakeFrames(), (Frames{"*IAPK#", "*0000#", ExpectedDataFrame(image, 0)}));
    EXPECT_EQ(host.progressPositions.back(), 33);
    EXPECT_TRUE(job.IsUpdating());
}

TEST_F(SolvaneJob, PlusRestartsAReplyAndOtherBytesAreDropped)
{
    Load(PatternImage(256));
    Feed("\r\n+IA+");
    Feed("+IAPC-");
    EXPECT_EQ(job.GetStep(), STEP_COMMAND);
    EXPECT_TRUE(job.IsSendRequested());

    // Lower case, noise inside a reply, and unknown replies do nothing.
    RecordingHost quiet;
    UpdateJob other(quiet, VARIANT_SOLVANE);
    ASSERT_EQ(other.LoadImage(PatternImage(256)), LOAD_OK);
    for (const char* noise : {"+iapc-", "+IAXC-", "+IA\nPC-", "+ABCD-", "IAPC-", "+UPDF-"}) {
        for (const char* c = noise; *c; ++c)
            other.ParseReplyByte(static_cast<std::uint8_t>(*c));
        EXPECT_EQ(other.GetStep(), STEP_IDLE) << noise;
        EXPECT_EQ(other.GetPhase(), PHASE_NONE) << noise;
        EXPECT_FALSE(other.IsSendRequested()) << noise;
    }
}

TEST_F(SolvaneJob, StartReplyWithoutItsDashKeepsEffectsButSendsNothing)
{
    const std::vector<std::uint8_t> image = PatternImage(200);
    Load(image);
    Feed("+IAPCx");
    EXPECT_EQ(job.GetStep(), STEP_COMMAND);
    EXPECT_EQ(job.GetPhase(), PHASE_STARTED);
    EXPECT_EQ(job.GetBlocksLeft(), 2);
    EXPECT_FALSE(job.IsSendRequested());
    SendTick();
    EXPECT_TRUE(host.frames.empty());

    // "+RECV-" is accepted now, and block 0 goes out without any command frame.
    Feed("+RECV-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 0)});
}

TEST_F(SolvaneJob, UpdateBegunWhileTheCompletionMessageIsOpenIsNotDisturbed)
{
    // A front end that keeps delivering bytes while its message is open: the device
    // starts the next update and block 0 is acknowledged before the message closes.
    const std::vector<std::uint8_t> image = PatternImage(300);
    Load(image);
    StartTransfer();
    Feed("+DTOK-");
    SendTick();
    Feed("+DTOK-");
    SendTick();
    host.TakeFrames();
    host.onMessage = [&](const std::string&) {
        host.onMessage = nullptr;
        StartTransfer();
        Feed("+DTOK-");
    };
    Feed("+DTOK-");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(job.GetBlocksLeft(), 2);
    SendTick();
    EXPECT_EQ(host.TakeFrames(),
              (Frames{"*IAPK#", "*0000#", ExpectedDataFrame(image, 0), ExpectedDataFrame(image, 1)}));
}

TEST_F(SolvaneJob, RepliesOutsideTheirPhaseAreIgnored)
{
    const std::vector<std::uint8_t> image = PatternImage(300);
    Load(image);
    Feed("+RECV-+DTOK-+DTER-");
    EXPECT_EQ(job.GetPhase(), PHASE_NONE);
    EXPECT_FALSE(job.IsSendRequested());

    Feed("+IAPC-");
    SendTick();
    Tick(TIMER_LENGTH_FRAME);
    host.TakeFrames();
    Feed("+DTOK-");
    EXPECT_EQ(job.GetBlocksLeft(), 3) << "no acknowledgement before +RECV-";
    SendTick();
    EXPECT_TRUE(host.frames.empty());

    Feed("+RECV-");
    SendTick();
    Feed("+RECV-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 0)}) << "a second +RECV- is ignored";
}

TEST_F(SolvaneJob, DataErrorWaitsAndTheNextAcknowledgementMovesOn)
{
    const std::vector<std::uint8_t> image = PatternImage(400);
    Load(image);
    StartTransfer();
    host.TakeFrames();

    Feed("+DTER-");
    EXPECT_EQ(job.GetStep(), STEP_DATA_ERROR);
    SendTick();
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(job.GetBlocksLeft(), 4);

    Feed("+DTOK-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 1)});
}

TEST_F(SolvaneJob, StrayAcknowledgementAfterCompletionSendsBlockOneAndBarStaysFull)
{
    const std::vector<std::uint8_t> image = PatternImage(300);
    Load(image);
    StartTransfer();
    Feed("+DTOK-");
    SendTick();
    Feed("+DTOK-");
    SendTick();
    Feed("+DTOK-");
    ASSERT_EQ(host.messages.size(), 1u);
    host.TakeFrames();

    Feed("+DTOK-");
    EXPECT_EQ(job.GetBlocksLeft(), 2);
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 1)});
    // The sent count is now past the total; the bar stops at its upper end.
    EXPECT_EQ(host.progressPositions.back(), 100);
}

TEST_F(SolvaneJob, AcknowledgementsBeyondTheLastBlockAreIgnored)
{
    const std::vector<std::uint8_t> image = PatternImage(256);
    Load(image);
    StartTransfer();
    Feed("+DTOK-");
    host.TakeFrames();

    // The acknowledgement of block 1 loses its '-', so the request for block 1 is
    // still pending; further acknowledgements have no block left to count.
    Feed("+DTOK");
    EXPECT_EQ(job.GetBlocksLeft(), 0);
    Feed("+DTOK-+DTNX-+DTOK");
    EXPECT_EQ(job.GetBlocksLeft(), 0);
    EXPECT_TRUE(host.messages.empty());

    // The pending request finds block 2 of 2, outside the image: nothing is sent.
    SendTick();
    EXPECT_TRUE(host.frames.empty());

    // A new start reply runs a clean update.
    StartTransfer();
    EXPECT_EQ(host.TakeFrames(), (Frames{"*IAPK#", "*0000#", ExpectedDataFrame(image, 0)}));
}

TEST_F(SolvaneJob, NewImageDuringAnUpdateResetsBothCounters)
{
    Load(PatternImage(640, 3));
    StartTransfer();
    Feed("+DTOK-");
    SendTick();
    Feed("+DTOK-");
    SendTick();
    host.TakeFrames();

    const std::vector<std::uint8_t> fresh = PatternImage(300, 11);
    Load(fresh);
    EXPECT_EQ(job.GetTotalBlocks(), 3);
    EXPECT_EQ(job.GetBlocksLeft(), 3);
    EXPECT_EQ(job.GetPhase(), PHASE_TRANSFER);

    Feed("+DTOK-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(fresh, 1)});
}

TEST_F(SolvaneJob, NothingIsSentWhileThePortIsClosed)
{
    const std::vector<std::uint8_t> image = PatternImage(300);
    Load(image);
    job.SetPortOpen(false);
    Feed("+IAPC-");
    SendTick();
    EXPECT_TRUE(host.frames.empty());
    EXPECT_FALSE(host.TimerRunning(TIMER_LENGTH_FRAME));
    EXPECT_EQ(job.GetStep(), STEP_COMMAND) << "fields stay as they were";

    // The request was used up: reopening the port sends nothing until the next reply.
    job.SetPortOpen(true);
    SendTick();
    EXPECT_TRUE(host.frames.empty());

    // A port failure between the command frame and timer 1 keeps the length frame in.
    Feed("+IAPC-");
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{"*IAPK#"});
    job.SetPortOpen(false);
    Tick(TIMER_LENGTH_FRAME);
    EXPECT_FALSE(host.TimerRunning(TIMER_LENGTH_FRAME));
    Feed("+RECV-");
    SendTick();
    EXPECT_TRUE(host.frames.empty());
    EXPECT_TRUE(host.progressPositions.empty());
}

TEST_F(SolvaneJob, StartReplyWithoutAnImageCompletesAtOnce)
{
    Feed("+IAPC-");
    EXPECT_EQ(host.messages, Frames{"Update Complete!"});
    Feed("+RECV-");
    SendTick();
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(job.GetProgressPosition(), 0);
}

TEST_F(SolvaneJob, ProgressIsTheRangeWidthTimesTheShareSent)
{
    host.rangeLower = 10;
    host.rangeUpper = 110;
    job.Initialise();
    Load(PatternImage(300));
    StartTransfer();
    Feed("+DTOK-");
    SendTick();
    Feed("+DTOK-");
    SendTick();
    // (upper - lower) x sent / total, the same formula as Quarrow's bar.
    EXPECT_EQ(host.progressPositions, (std::vector<int>{33, 66, 100}));
}

// Loading files: sizes, raw bytes, failures.

TEST_F(SolvaneJob, FilesAreCutToTheLimitAndSentInWholeBlocks)
{
    struct Case {
        std::size_t fileLength;
        int blocks;
    };
    for (const Case c : {Case{1, 1}, Case{128, 1}, Case{129, 2}, Case{14336, 112}, Case{20000, 112}}) {
        SCOPED_TRACE(c.fileLength);
        RecordingHost fileHost;
        UpdateJob fileJob(fileHost, VARIANT_SOLVANE);
        fileJob.Initialise();
        fileJob.SetPortOpen(true);
        const std::vector<std::uint8_t> content = PatternImage(c.fileLength, 13);
        TempFile file("size_" + std::to_string(c.fileLength) + ".bin", content);
        ASSERT_EQ(fileJob.LoadImageFile(file.Path()), LOAD_OK);
        EXPECT_EQ(fileJob.GetTotalBlocks(), c.blocks);
        EXPECT_EQ(fileJob.GetBlocksLeft(), c.blocks);
        EXPECT_EQ(fileJob.GetImageLength(), std::min<std::size_t>(c.fileLength, 14336));
        EXPECT_TRUE(fileHost.messages.empty());

        auto feed = [&](std::string_view s) {
            for (char ch : s)
                fileJob.ParseReplyByte(static_cast<std::uint8_t>(ch));
            fileJob.OnTimerTick(TIMER_SEND);
            if (fileHost.TimerRunning(TIMER_LENGTH_FRAME))
                fileJob.OnTimerTick(TIMER_LENGTH_FRAME);
            fileJob.OnTimerTick(TIMER_PROGRESS);
        };
        feed("+IAPC-");
        feed("+RECV-");
        for (int block = 1; block < c.blocks; ++block)
            feed("+DTOK-");
        const std::vector<std::uint8_t> used(content.begin(),
                                             content.begin() + static_cast<std::ptrdiff_t>(fileJob.GetImageLength()));
        Frames expected = {"*IAPK#", "*0000#"};
        for (int block = 0; block < c.blocks; ++block)
            expected.push_back(ExpectedDataFrame(used, block));
        EXPECT_EQ(fileHost.frames, expected);
        EXPECT_EQ(fileHost.progressPositions.back(), 100);
        feed("+DTOK-");
        EXPECT_EQ(fileHost.messages, Frames{"Update Complete!"});
    }
}

TEST_F(SolvaneJob, HexFileIsSentAsItsCharacters)
{
    TempFile file("image.hex", std::string_view(":1000000012AB\r\n"));
    ASSERT_EQ(job.LoadImageFile(file.Path()), LOAD_OK);
    EXPECT_EQ(job.GetImageLength(), 15u);
    StartTransfer();
    const Frames frames = host.TakeFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2].substr(0, 33), "*3A31"
                                       "30303030303030"
                                       "31324142"
                                       "0D0A"
                                       "FF");
}

TEST_F(SolvaneJob, FailedLoadsKeepThePreviousImageAndSayWhy)
{
    const std::vector<std::uint8_t> image = PatternImage(300);
    Load(image);
    StartTransfer();
    Feed("+DTOK-");
    host.TakeFrames();

    const std::string missing = ::testing::TempDir() + "iap_test_no_such_file.bin";
    EXPECT_EQ(job.LoadImageFile(missing), LOAD_OPEN_FAILED);
    EXPECT_NE(job.LoadImageFile(::testing::TempDir()), LOAD_OK) << "a folder is no image";
    TempFile empty("empty.bin", std::string_view());
    EXPECT_EQ(job.LoadImageFile(empty.Path()), LOAD_EMPTY);

    ASSERT_EQ(host.messages.size(), 3u);
    EXPECT_EQ(host.messages[0], "Can't open the file: " + missing);
    EXPECT_EQ(host.messages[1].rfind("Can't ", 0), 0u) << host.messages[1];
    EXPECT_EQ(host.messages[2], "The file is empty, there is nothing to update: " + empty.Path());
    EXPECT_EQ(job.GetTotalBlocks(), 3);
    EXPECT_EQ(job.GetBlocksLeft(), 2);

    // The update goes on with the previous image.
    SendTick();
    EXPECT_EQ(host.TakeFrames(), Frames{ExpectedDataFrame(image, 1)});
}

TEST_F(SolvaneJob, EmptyFileWithoutPreviousImageLeavesNoBlocks)
{
    TempFile empty("empty_first.bin", std::string_view());
    EXPECT_EQ(job.LoadImageFile(empty.Path()), LOAD_EMPTY);
    EXPECT_FALSE(job.HasImage());
    EXPECT_EQ(job.LoadImage({}), LOAD_EMPTY);
    Feed("+IAPC-+RECV-");
    SendTick();
    EXPECT_TRUE(host.frames.empty());
    EXPECT_EQ(job.GetProgressPosition(), 0);
}
