// The emulated line's timing, the adapter's hold and the reply faults.
#include "sim/AdapterHold.h"
#include "sim/LineClock.h"
#include "sim/ReplyShaper.h"
#include "sim/SimCli.h"

#include <gtest/gtest.h>

using namespace sim;

namespace {

TEST(LineClock, BytesReadTogetherArriveOneByteTimeApart)
{
    LineClock clock(115200);
    const std::int64_t t = clock.ByteNs();
    EXPECT_EQ(t, 86805);  // 10 bits at 115200 bit/s
    // A 7-byte frame written at once and read at time 1,000,000.
    std::int64_t last = 0;
    for (int i = 0; i < 7; ++i)
        last = clock.Receive(1'000'000);
    EXPECT_EQ(last, 1'000'000 + 7 * t);
    // The line was idle meanwhile: the next byte starts when it is read.
    EXPECT_EQ(clock.Receive(5'000'000), 5'000'000 + t);
    // Read early (while the line still carries the one before): it queues behind it.
    EXPECT_EQ(clock.Receive(5'000'000), 5'000'000 + 2 * t);
}

TEST(LineClock, RepliesWaitForTheLineToBeFree)
{
    LineClock clock(19200);
    const std::int64_t t = clock.ByteNs();
    EXPECT_EQ(clock.Transmit(1000, 6), 1000);
    EXPECT_EQ(clock.TxFree(), 1000 + 6 * t);
    EXPECT_EQ(clock.Transmit(2000, 6), 1000 + 6 * t);  // behind the first
    EXPECT_EQ(clock.Transmit(10'000'000'000, 1), 10'000'000'000);

    LineClock off(0);
    EXPECT_EQ(off.Receive(42), 42);
    EXPECT_EQ(off.Transmit(42, 262), 42);
    EXPECT_EQ(off.TxFree(), 42);
}

constexpr std::int64_t MS = 1'000'000;

// The release times of bytes arriving at `arrivals`, as the line reads them: a byte
// whose batch fills later is released with it.
std::vector<std::int64_t> Released(AdapterHold& hold, const std::vector<std::int64_t>& arrivals,
                                   std::vector<std::int64_t> released = {})
{
    for (const std::int64_t arrival : arrivals) {
        const AdapterHold::Placed placed = hold.Add(arrival);
        released.push_back(placed.release);
        for (std::size_t j = released.size() - placed.batched; j < released.size(); ++j)
            released[j] = placed.release;
    }
    return released;
}

// Arrival times of `count` bytes, one `byteNs` apart, the first at `first`.
std::vector<std::int64_t> Arrivals(std::int64_t first, std::size_t count, std::int64_t byteNs)
{
    std::vector<std::int64_t> times;
    for (std::size_t i = 0; i < count; ++i)
        times.push_back(first + static_cast<std::int64_t>(i) * byteNs);
    return times;
}

TEST(AdapterHold, AShortReplyIsHeldItsLatencyFromItsFirstByte)
{
    const std::int64_t t = LineClock(115200).ByteNs();
    AdapterHold hold(16);
    // A 5-byte acknowledgement: every byte goes to the host 16 ms after the first came.
    const auto released = Released(hold, Arrivals(100 * MS, 5, t));
    EXPECT_EQ(released, std::vector<std::int64_t>(5, 116 * MS));
    // The next reply, after the release, waits again from its own first byte, not
    // from the end of the last batch.
    const auto next = Released(hold, Arrivals(117 * MS, 5, t));
    EXPECT_EQ(next, std::vector<std::int64_t>(5, 133 * MS));
    // A byte that comes just as its batch is released is in the next one.
    AdapterHold edge(10);
    EXPECT_EQ(Released(edge, {0, 10 * MS}), (std::vector<std::int64_t>{10 * MS, 20 * MS}));
}

TEST(AdapterHold, SixtyTwoBytesAreReleasedAtOnce)
{
    // Bytes all there at once (no wire time): a full batch does not wait; what is left
    // over starts a batch that waits its time.
    AdapterHold hold(16);
    const auto released = Released(hold, std::vector<std::int64_t>(140, 5 * MS));
    for (std::size_t i = 0; i < 124; ++i)
        ASSERT_EQ(released[i], 5 * MS) << i;
    for (std::size_t i = 124; i < 140; ++i)
        ASSERT_EQ(released[i], 21 * MS) << i;

    // On a slow line the 62nd byte comes before the timer runs out: the batch goes
    // with it, the bytes before it too.
    const std::int64_t t = LineClock(115200).ByteNs();
    AdapterHold fast(16);
    const auto frame = Released(fast, Arrivals(0, 63, t));
    for (std::size_t i = 0; i < 62; ++i)
        ASSERT_EQ(frame[i], 61 * t) << i;
    EXPECT_EQ(frame[62], 62 * t + 16 * MS);

    // At 9600 baud (1.04 ms a byte) 62 bytes take 64.6 ms: the timer releases them,
    // 16 ms after the first byte of each batch (bytes 0-15, 16-31, 32-47, 48-61).
    const std::int64_t slow = LineClock(9600).ByteNs();
    AdapterHold timer(16);
    const auto batches = Released(timer, Arrivals(0, 62, slow));
    EXPECT_EQ(batches[0], 16 * MS);
    EXPECT_EQ(batches[15], 16 * MS);
    EXPECT_EQ(batches[16], 16 * slow + 16 * MS);
    EXPECT_EQ(batches[32], 32 * slow + 16 * MS);
    EXPECT_EQ(batches[61], 48 * slow + 16 * MS);
}

TEST(AdapterHold, ASecondReplyWithinTheWindowJoinsTheBatch)
{
    AdapterHold hold(20);
    // "+UPDS-" and, 2 ms after it, the acknowledgement: one batch, released 20 ms after
    // the first byte of the first.
    const auto released = Released(hold, Arrivals(0, 6, 0));
    const auto both = Released(hold, Arrivals(2 * MS, 6, 0), released);
    EXPECT_EQ(both, std::vector<std::int64_t>(12, 20 * MS));
}

TEST(AdapterHold, NoLatencyIsAPassThrough)
{
    const std::int64_t t = LineClock(19200).ByteNs();
    AdapterHold hold(0);
    const auto arrivals = Arrivals(7 * MS, 200, t);
    EXPECT_EQ(Released(hold, arrivals), arrivals);
    AdapterHold together(0);
    EXPECT_EQ(Released(together, std::vector<std::int64_t>(100, 3)), std::vector<std::int64_t>(100, 3));
}

TEST(ReplyShaper, NoiseIsSeededBoundedAndNeverAMarker)
{
    FaultPlan plan;
    plan.noiseMax = 9;
    plan.seed = 7;
    ReplyShaper a(plan), b(plan);
    bool sawNoise = false;
    for (int i = 0; i < 200; ++i) {
        const std::string shaped = a.Shape("*WOK-", 1);
        ASSERT_EQ(shaped, b.Shape("*WOK-", 1));
        ASSERT_GE(shaped.size(), 5u);
        ASSERT_LE(shaped.size(), 5u + 9u);
        ASSERT_EQ(shaped.substr(shaped.size() - 5), "*WOK-");
        for (std::size_t j = 0; j + 5 < shaped.size(); ++j)
            ASSERT_FALSE(ReplyShaper::IsMarker(static_cast<std::uint8_t>(shaped[j])));
        sawNoise = sawNoise || shaped.size() > 5;
    }
    EXPECT_TRUE(sawNoise);
    plan.seed = 8;
    ReplyShaper c(plan);
    std::string fromA, fromC;
    for (int i = 0; i < 20; ++i) {
        fromA += a.Shape("x", 1);
        fromC += c.Shape("x", 1);
    }
    EXPECT_NE(fromA, fromC);
}

TEST(ReplyShaper, CutReplyAndSilence)
{
    FaultPlan plan;
    plan.cutReply = 1;
    plan.silentAfter = 3;
    ReplyShaper shaper(plan);
    EXPECT_EQ(shaper.Shape("+IAPC-", 0), "+IAPC-");
    EXPECT_EQ(shaper.Shape("+RECV-", 2), "+RECV");  // all but the last byte
    EXPECT_EQ(shaper.Shape("+DTOK-", 3), "+DTOK-");
    EXPECT_EQ(shaper.Shape("+DTOK-", 4), "");  // the 4th frame gets no answer
    EXPECT_EQ(shaper.Shape("+IAPC-", 4), "");
    EXPECT_TRUE(shaper.Silent());
    EXPECT_EQ(shaper.RepliesShaped(), 5);

    plan = {};
    plan.cutReply = 0;
    plan.cutLength = 2;
    ReplyShaper two(plan);
    EXPECT_EQ(two.Shape("*EOK#", 1), "*E");
}

TEST(ReplyShaper, SlowRepliesAreCountedAsCutRepliesAre)
{
    FaultPlan plan;
    plan.replyDelayMs = 10;
    plan.slowReplyMs = {{1, 3000}, {3, 50}};
    ReplyShaper shaper(plan);
    // Announcements are not replies: they neither count nor wait for the slow reply.
    shaper.Shape("+IAPC-", 0, false);
    EXPECT_EQ(shaper.DelayMs(), 10u);
    shaper.Shape("+RECV-", 2);
    EXPECT_EQ(shaper.DelayMs(), 10u);
    shaper.Shape("+IAPC-", 2, false);
    EXPECT_EQ(shaper.DelayMs(), 10u);
    EXPECT_EQ(shaper.Shape("+DTOK-", 3), "+DTOK-");  // late, but whole
    EXPECT_EQ(shaper.DelayMs(), 3010u);
    shaper.Shape("+DTOK-", 4);
    EXPECT_EQ(shaper.DelayMs(), 10u);
    shaper.Shape("+DTOK-", 5);
    EXPECT_EQ(shaper.DelayMs(), 60u);
}

TEST(SimCommandLine, OptionsAndDefaults)
{
    SimCommandLine cli;
    std::string error;
    ASSERT_TRUE(ParseSimCommandLine({"--loader", "quarrow", "--link", "/tmp/x", "--wer", "3x5,10-11", "--silent-after",
                                     "40", "--noise", "3", "--seed", "99"},
                                    cli, error))
        << error;
    EXPECT_EQ(cli.options.loader, LoaderKind::WholeFlash);
    EXPECT_EQ(cli.options.baud, 115200u);
    ASSERT_EQ(cli.options.faults.rejectFrames.size(), 3u);
    EXPECT_EQ(cli.options.faults.rejectFrames[0].frame, 3);
    EXPECT_EQ(cli.options.faults.rejectFrames[0].times, 5u);
    EXPECT_EQ(cli.options.faults.rejectFrames[2].frame, 11);
    EXPECT_EQ(cli.options.faults.rejectFrames[2].times, 1u);
    EXPECT_EQ(cli.options.faults.silentAfter, 40);
    EXPECT_EQ(cli.options.faults.seed, 99u);
    EXPECT_EQ(cli.options.eraseAck, "*EOK-");
    SimCommandLine hash;
    ASSERT_TRUE(ParseSimCommandLine({"--loader", "quarrow", "--erase-ack", "*EOK#"}, hash, error)) << error;
    EXPECT_EQ(hash.options.eraseAck, "*EOK#");

    SimCommandLine iap;
    ASSERT_TRUE(ParseSimCommandLine(
        {"--loader", "tirell", "--baud", "0", "--dter", "1,4-6", "--no-restart", "--cut-reply", "3:2"}, iap, error));
    EXPECT_EQ(iap.options.baud, 0u);
    EXPECT_EQ(iap.options.faults.errorBlocks, (std::vector<long>{1, 4, 5, 6}));
    EXPECT_FALSE(iap.options.faults.restartAfterError);
    EXPECT_EQ(iap.options.faults.cutReply, 3);
    EXPECT_EQ(iap.options.faults.cutLength, 2u);
    SimCommandLine solvane;
    ASSERT_TRUE(ParseSimCommandLine({"--loader", "solvane"}, solvane, error));
    EXPECT_EQ(solvane.options.baud, 19200u);
    EXPECT_EQ(solvane.options.quietFirstMs, 0u);
    EXPECT_EQ(solvane.options.adapterLatencyMs, 0u);
    EXPECT_TRUE(solvane.options.faults.slowReplyMs.empty());

    SimCommandLine slow;
    ASSERT_TRUE(ParseSimCommandLine({"--loader", "solvane", "--quiet-first", "6000", "--slow-reply", "0,3-4:3000",
                                     "--slow-reply", "7:50", "--delay", "5"},
                                    slow, error))
        << error;
    EXPECT_EQ(slow.options.quietFirstMs, 6000u);
    EXPECT_EQ(slow.options.faults.slowReplyMs, (std::map<long, unsigned>{{0, 3000}, {3, 3000}, {4, 3000}, {7, 50}}));
    EXPECT_EQ(slow.options.faults.replyDelayMs, 5u);

    SimCommandLine before;
    ASSERT_TRUE(ParseSimCommandLine({"--loader", "quarrow", "--before-reply", "4:*W", "--before-reply", "9:a:b"},
                                    before, error))
        << error;
    EXPECT_EQ(before.options.faults.beforeReply, (std::map<long, std::string>{{4, "*W"}, {9, "a:b"}}));

    SimCommandLine adapter;
    ASSERT_TRUE(ParseSimCommandLine({"--loader", "erase", "--adapter-latency", "1000", "--link", "/tmp/a", "--link",
                                     "/tmp/b", "--boards", "2", "--leave", "100"},
                                    adapter, error))
        << error;
    EXPECT_EQ(adapter.options.adapterLatencyMs, 1000u);
}

TEST(SimCommandLine, VersionAndFlashLength)
{
    SimCommandLine cli;
    std::string error;
    ASSERT_TRUE(ParseSimCommandLine({"--version", "--bogus"}, cli, error));
    EXPECT_TRUE(cli.version);
    EXPECT_EQ(SimVersionText().rfind("device-sim ", 0), 0u);

    SimCommandLine flash;
    ASSERT_TRUE(ParseSimCommandLine(
        {"--loader", "tirell", "--flash", "f.bin", "--flash-length", "300", "--no-restart", "--wait-before", "1"},
        flash, error))
        << error;
    EXPECT_EQ(flash.options.flashLength, 300);
}

// A misspelled option is unknown wherever it stands, also last, where it has no value.
TEST(SimCommandLine, AMisspelledOptionIsUnknownEvenAtTheEnd)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--loader", "erase", "--blcks"},
          std::vector<std::string>{"--loader", "erase", "--blcks", "3"}, std::vector<std::string>{"--blcks"}}) {
        SimCommandLine cli;
        std::string error;
        EXPECT_FALSE(ParseSimCommandLine(args, cli, error));
        EXPECT_EQ(error, "unknown option --blcks");
    }
    SimCommandLine cli;
    std::string error;
    EXPECT_FALSE(ParseSimCommandLine({"--loader", "erase", "--boards"}, cli, error));
    EXPECT_EQ(error, "--boards needs a value");
}

TEST(SimCommandLine, BadCommandLines)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--loader", "modem"},
        {"--loader", "erase", "--baud", "fast"},
        {"--loader", "erase", "--baud"},
        {"--loader", "erase", "--dter", "5-2"},
        {"--loader", "erase", "--wer", "3x0"},
        {"--loader", "erase", "--silent-after", "-1"},
        {"--loader", "erase", "--port", "/dev/ttyS0", "--link", "/tmp/l"},
        {"--loader", "erase", "stray"},
        // Values the loader would refuse only when the run starts.
        {"--loader", "solvane", "--start", "UPDF"},
        {"--loader", "tirell", "--ack", "DTXX"},
        {"--loader", "erase", "--seed", "-1"},
        {"--loader", "erase", "--max-time", "nan"},
        // Options that do not apply to the loader.
        {"--loader", "erase", "--wer", "3"},
        {"--loader", "erase", "--expect", "image.bin"},
        {"--loader", "quarrow", "--dter", "1"},
        {"--loader", "quarrow", "--blocks", "3"},
        {"--loader", "solvane", "--wait-before", "2"},
        {"--loader", "solvane", "--pages", "2"},
        {"--loader", "tirell", "--no-restart", "--wer", "1"},
        {"--loader", "erase", "--flash-length", "100"},  // without --flash
        {"--loader", "quarrow", "--erase-ack", "*EOK"},  // not an acknowledgement
        {"--loader", "quarrow", "--erase-ack", "+EOK-"},
        {"--loader", "erase", "--erase-ack", "*EOK#"},
        {"--loader", "erase", "--slow-reply", "5"},  // no delay
        {"--loader", "erase", "--slow-reply", "5:"},
        {"--loader", "erase", "--slow-reply", ":300"},  // no replies
        {"--loader", "erase", "--slow-reply", "5:-1"},
        {"--loader", "erase", "--before-reply", "5"},  // no text
        {"--loader", "erase", "--before-reply", "5:"},
        {"--loader", "erase", "--before-reply", "-1:x"},
        {"--loader", "erase", "--quiet-first", "5000"},  // the erase loader never speaks first
        {"--loader", "quarrow", "--quiet-first", "5000"},
        {"--loader", "solvane", "--quiet-first", "soon"},
        // The jig: boards, the away time, several links.
        {"--loader", "erase", "--boards", "0"},
        {"--loader", "erase", "--link", "/tmp/l", "--leave", "100"},  // one board: never leaves
        {"--loader", "erase", "--boards", "2", "--leave", "100"},     // no link to come back on
        {"--loader", "erase", "--link", "/tmp/l", "--boards", "2", "--leave", "-5"},
        {"--loader", "erase", "--link", "/tmp/a", "--link", "/tmp/a"},
        // The adapter: pseudo-terminals only, up to a second.
        {"--loader", "erase", "--adapter-latency", "1001"},
        {"--loader", "erase", "--adapter-latency", "-1"},
        {"--loader", "erase", "--adapter-latency", "16ms"},
        {"--loader", "erase", "--port", "/dev/ttyS0", "--adapter-latency", "16"},
    };
    for (const auto& args : bad) {
        SimCommandLine cli;
        std::string error;
        EXPECT_FALSE(ParseSimCommandLine(args, cli, error)) << (args.empty() ? "" : args.back());
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
