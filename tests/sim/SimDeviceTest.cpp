// The simulated device on a real pseudo-terminal, with the test as the tool.
#include "sim/SimDevice.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace sim;
using namespace simtest;

namespace {

using Clock = std::chrono::steady_clock;

// The tool's end of the line.
class ToolEnd {
public:
    explicit ToolEnd(const std::string& path)
    {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd >= 0) {
            termios tio{};
            tcgetattr(m_fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~ToolEnd() { Close(); }
    bool IsOpen() const { return m_fd >= 0; }
    // Drops what came before, as the tools do on opening the port.
    void DropReceived() { tcflush(m_fd, TCIFLUSH); }
    void Close()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }
    void Write(const std::string& bytes)
    {
        ASSERT_EQ(write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `count` bytes have come, the line hangs up, or `timeoutMs` passes.
    // `hungUp` tells which of the last two ended it.
    std::string Read(std::size_t count, int timeoutMs, bool* hungUp = nullptr)
    {
        std::string got;
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char buffer[512];
            const ssize_t n = read(m_fd, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) {
                if (hungUp)
                    *hungUp = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    // What one read gives once bytes are there (up to `timeoutMs`): the bytes the
    // device wrote together.
    std::string ReadOnce(int timeoutMs)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return "";
        char buffer[512];
        const ssize_t n = read(m_fd, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int m_fd = -1;
};

std::string TempPath(const char* name)
{
    return ::testing::TempDir() + "sim_" + name + "_" + std::to_string(getpid());
}

std::vector<std::uint8_t> ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(SimDevice, EraseChainOverThePseudoTerminal)
{
    SimOptions options;
    options.loader = LoaderKind::Erase;
    options.flashPath = TempPath("erase.bin");
    options.logPath = TempPath("erase.log");
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    ASSERT_TRUE(tool.IsOpen());
    for (unsigned a = 1024; a <= 65472; a += 64) {
        tool.Write(EraseFrame(a));
        ASSERT_EQ(tool.Read(5, 2000), "*EOK#") << a;
    }
    tool.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
    device.Stop();
    const SimReport report = device.Report();
    EXPECT_TRUE(report.AllChecked());
    EXPECT_TRUE(report.lineClosedByTool);
    EXPECT_EQ(report.framesReceived, 1008u);
    EXPECT_EQ(report.wireBytesIn, 1008u * 7);
    EXPECT_EQ(report.wireBytesOut, 1008u * 5);
    const auto flash = ReadAll(options.flashPath);
    ASSERT_EQ(flash.size(), 65536u);
    EXPECT_EQ(flash[1023], 0x00);
    EXPECT_EQ(flash[1024], 0xFF);
    const auto log = ReadAll(options.logPath);
    EXPECT_EQ(std::string(log.begin(), log.begin() + 14), "E 0400\nE 0440\n");
    std::remove(options.flashPath.c_str());
    std::remove(options.logPath.c_str());
}

TEST(SimDevice, IapLoaderAnnouncesUntilAnsweredThenTakesTheImage)
{
    const auto image = TestImage(200);
    SimOptions options;
    options.loader = LoaderKind::IapTirell;
    options.startReply = "UPDF";
    options.announceMs = 40;
    options.expectedImage = image;
    options.hasExpectedImage = true;
    options.waitBeforeBlocks = {1};
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    const auto begin = Clock::now();
    // Three announcements, one every 40 ms (the first may predate the open).
    EXPECT_EQ(tool.Read(18, 1000), "+UPDF-+UPDF-+UPDF-");
    EXPECT_GE(Clock::now() - begin, std::chrono::milliseconds(60));
    tool.Write("*DNDA#");
    tool.Write("*0000#");
    EXPECT_EQ(tool.Read(6, 1000), "+RECV-");
    tool.Write(IapDataFrame(image, 0));
    EXPECT_EQ(tool.Read(6, 1000), "+DTOK-");
    tool.Write(IapDataFrame(image, 1));
    EXPECT_EQ(tool.Read(6, 1000), "+UPDS-");
    tool.Write("*WAIT#");
    EXPECT_EQ(tool.Read(6, 1000), "+DTOK-");
    // The finished device keeps the line open for the tool to close it.
    EXPECT_EQ(tool.Read(1, 100), "");
    tool.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
    const SimReport report = device.Report();
    EXPECT_TRUE(report.AllChecked());
    EXPECT_EQ(report.framesReceived, 5u);
    EXPECT_EQ(report.wireBytesIn, 6u + 6 + 262 + 262 + 6);
    EXPECT_EQ(report.wireBytesOut, 5u * 6);  // from the announcement answered
}

TEST(SimDevice, EmulatedLineTakesTheWireTimeBothWays)
{
    SimOptions options;
    options.loader = LoaderKind::Erase;
    options.baud = 9600;  // 1.0417 ms a byte
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    for (unsigned a = 1024; a < 1024 + 10 * 64; a += 64) {
        const auto sent = Clock::now();
        tool.Write(EraseFrame(a));
        ASSERT_EQ(tool.Read(5, 1000), "*EOK#");
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
        // 7 bytes in, 5 bytes out. How little the device adds on top is the tools
        // benchmark's business (a timed upper bound here would fail on a busy machine).
        EXPECT_GE(took, 12 * 1041);
    }
    tool.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
}

// Behind a played adapter a reply reaches the tool its latency after its first byte
// came off the wire, all of it at once (the bytes after the first are held with it),
// and the report's time counts the hold.
TEST(SimDevice, AdapterLatencyHoldsEveryReplyAfterItsWireTime)
{
    SimOptions options;
    options.loader = LoaderKind::Erase;
    options.baud = 9600;  // 1.0417 ms a byte
    options.adapterLatencyMs = 40;
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    // 7 bytes in, the reply's first byte out, then the hold.
    const auto held = std::chrono::microseconds(8 * 1041 + 40'000);
    for (unsigned a = 1024; a < 1024 + 5 * 64; a += 64) {
        const auto sent = Clock::now();
        tool.Write(EraseFrame(a));
        EXPECT_EQ(tool.ReadOnce(2000), "*EOK#") << "the reply came in pieces";
        EXPECT_GE(Clock::now() - sent, held);
    }
    tool.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
    const SimReport report = device.Report();
    EXPECT_EQ(report.adapterLatencyMs, 40u);
    EXPECT_GE(report.elapsedSeconds, 5 * std::chrono::duration<double>(held).count());
    EXPECT_NE(FormatReport(report).find("\nadapter latency: 40 ms\n"), std::string::npos);
}

TEST(SimDevice, SlowDeviceDelaysEveryReply)
{
    SimOptions options;
    options.loader = LoaderKind::Erase;
    options.faults.replyDelayMs = 30;
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    const auto sent = Clock::now();
    tool.Write(EraseFrame(1024));
    EXPECT_EQ(tool.Read(5, 1000), "*EOK#");
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(30));
}

TEST(SimDevice, SlowReplyIsLateAloneAndTheRunGoesOn)
{
    SimOptions options;
    options.loader = LoaderKind::Erase;
    options.faults.slowReplyMs = {{1, 400}};
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    tool.Write(EraseFrame(1024));
    EXPECT_EQ(tool.Read(5, 1000), "*EOK#");
    const auto sent = Clock::now();
    tool.Write(EraseFrame(1088));
    EXPECT_EQ(tool.Read(5, 200), "");  // still thinking
    EXPECT_EQ(tool.Read(5, 2000), "*EOK#");
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(400));
    for (unsigned a = 1152; a <= 65472; a += 64) {
        tool.Write(EraseFrame(a));
        ASSERT_EQ(tool.Read(5, 1000), "*EOK#") << a;
    }
    tool.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
    EXPECT_TRUE(device.Report().AllChecked());
}

// The loader announces itself only its quiet time after the tool has opened the line,
// however long the line stood unopened before, and then as usual.
TEST(SimDevice, QuietFirstCountsFromTheToolsOpening)
{
    SimOptions options;
    options.loader = LoaderKind::IapSolvane;
    options.announceMs = 40;
    options.quietFirstMs = 300;
    options.expectedImage = TestImage(100);
    options.hasExpectedImage = true;
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    usleep(400'000);
    ToolEnd tool(device.SlavePath());
    const auto opened = Clock::now();
    EXPECT_EQ(tool.Read(6, 2000), "+IAPC-");
    EXPECT_GE(Clock::now() - opened, std::chrono::milliseconds(300));
    EXPECT_EQ(tool.Read(6, 1000), "+IAPC-");  // the next one a period later
    tool.Write("*IAPK#");
    tool.Write("*0000#");
    EXPECT_EQ(tool.Read(6, 1000), "+RECV-");
    tool.Write(IapDataFrame(options.expectedImage, 0));
    EXPECT_EQ(tool.Read(6, 1000), "+DTOK-");
    tool.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
    EXPECT_TRUE(device.Report().AllChecked());
}

TEST(SimDevice, SilentDeviceAnswersNothingMore)
{
    SimOptions options;
    options.loader = LoaderKind::WholeFlash;
    options.faults.silentAfter = 2;
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    tool.Write(EraseFrame(0));
    EXPECT_EQ(tool.Read(5, 1000), "*EOK-");
    tool.Write(EraseFrame(64));
    EXPECT_EQ(tool.Read(5, 1000), "*EOK-");
    tool.Write(EraseFrame(128));
    EXPECT_EQ(tool.Read(5, 200), "");
    tool.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
    const SimReport report = device.Report();
    EXPECT_FALSE(report.complete);
    EXPECT_EQ(report.framesReceived, 3u);
    EXPECT_EQ(report.errorCount, 0u);
}

TEST(SimDevice, VanishingDeviceHangsUpTheLine)
{
    SimOptions options;
    options.loader = LoaderKind::Erase;
    options.faults.vanishAfter = 1;
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd tool(device.SlavePath());
    tool.Write(EraseFrame(1024));
    bool hungUp = false;
    EXPECT_EQ(tool.Read(5, 1000, &hungUp), "*EOK#");
    EXPECT_EQ(tool.Read(1, 1000, &hungUp), "");
    EXPECT_TRUE(hungUp);
    ASSERT_TRUE(device.WaitFinished(1000));
    EXPECT_TRUE(device.Report().vanished);
}

// The IAP loader's exchange up to "+RECV-", as the tool makes it. The loader may
// announce itself once more before it has read the answer (its timer and the answer
// cross on a loaded machine): such a start reply is skipped, as the tool skips it.
void StartIapTransfer(ToolEnd& tool)
{
    EXPECT_EQ(tool.Read(6, 2000), "+IAPC-");
    tool.Write("*IAPK#");
    tool.Write("*0000#");
    std::string reply = tool.Read(6, 1000);
    for (int i = 0; i < 3 && reply == "+IAPC-"; ++i)
        reply = tool.Read(6, 1000);
    EXPECT_EQ(reply, "+RECV-");
}

// A run whose tool could not have seen its end is never complete: the reply that
// ended the transfer was dropped by a silent device, or cut short.
TEST(SimDevice, ARunWhoseLastReplyDidNotReachTheToolIsIncomplete)
{
    const auto image = TestImage(200);
    for (const bool counted : {false, true}) {
        for (const bool cut : {false, true}) {
            SimOptions options;
            options.loader = LoaderKind::IapSolvane;
            options.announceMs = 50;
            options.expectedImage = image;
            options.hasExpectedImage = counted;
            if (cut)
                options.faults.cutReply = 2;  // +RECV-, +DTOK-, then the last +DTOK-
            else
                options.faults.silentAfter = 3;  // the command, the length, block 0
            SimDevice device(options);
            std::string error;
            ASSERT_TRUE(device.Start(error)) << error;
            ToolEnd tool(device.SlavePath());
            StartIapTransfer(tool);
            tool.Write(IapDataFrame(image, 0));
            EXPECT_EQ(tool.Read(6, 1000), "+DTOK-");
            tool.Write(IapDataFrame(image, 1));
            EXPECT_NE(tool.Read(6, 300), "+DTOK-");
            tool.Close();
            ASSERT_TRUE(device.WaitFinished(3000));
            const SimReport report = device.Report();
            EXPECT_FALSE(report.complete) << "counted " << counted << ", cut " << cut;
            EXPECT_EQ(report.errorCount, 0u);
            EXPECT_NE(report.note.find("did not reach the tool"), std::string::npos) << report.note;
            EXPECT_NE(FormatReport(report).find("\nnote: "), std::string::npos);
        }
    }
}

// A tool that opens the line and closes it again without a byte ends the run by
// itself: once every opening has been closed, not at the first closing (a second
// program that tried the line and found it in use).
TEST(SimDevice, AToolThatLeavesBeforeItsFirstByteEndsTheRun)
{
    SimOptions options;
    options.loader = LoaderKind::IapSolvane;
    options.announceMs = 50;
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    ToolEnd first(device.SlavePath());
    ToolEnd second(device.SlavePath());
    first.Close();
    EXPECT_FALSE(device.WaitFinished(300)) << "the second opening still holds the line";
    second.Close();
    ASSERT_TRUE(device.WaitFinished(2000));
    const SimReport report = device.Report();
    EXPECT_TRUE(report.closedBeforeFirstByte);
    EXPECT_TRUE(report.lineClosedByTool);
    EXPECT_FALSE(report.complete);
    EXPECT_NE(FormatReport(report).find("ended by: the tool closed the line before its first byte\n"),
              std::string::npos);
    // A normal report says nothing of it.
    EXPECT_EQ(FormatReport(SimReport{}).find("ended by"), std::string::npos);
}

// Board after board on one line: each board has a new flash, its own report and
// files, and the IAP loader announces itself again.
TEST(SimDevice, NextBoardStartsAFreshLoaderOnTheSameLine)
{
    const auto image = TestImage(200);
    SimOptions options;
    options.loader = LoaderKind::IapSolvane;
    options.announceMs = 50;
    options.expectedImage = image;
    options.hasExpectedImage = true;
    options.flashPath = TempPath("board1.bin");
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    EXPECT_FALSE(device.NextBoard(error)) << "the first board still plays";
    const std::string line = device.SlavePath();
    {
        ToolEnd tool(line);
        StartIapTransfer(tool);
        tool.Write(IapDataFrame(image, 0));
        EXPECT_EQ(tool.Read(6, 1000), "+DTOK-");
        tool.Write(IapDataFrame(image, 1));
        EXPECT_EQ(tool.Read(6, 1000), "+DTOK-");
    }
    ASSERT_TRUE(device.WaitFinished(3000));
    EXPECT_TRUE(device.Report().AllChecked());
    EXPECT_EQ(device.Board(), 1);
    const std::string secondFlash = TempPath("board2.bin");
    ASSERT_TRUE(device.NextBoard(error)) << error;
    device.SetFilePaths(secondFlash, "");
    EXPECT_EQ(device.Board(), 2);
    EXPECT_EQ(device.SlavePath(), line);
    EXPECT_EQ(ReadAll(options.flashPath).size(), 256u) << "the first board wrote its flash";
    EXPECT_FALSE(device.Report().complete);
    EXPECT_EQ(device.Report().framesReceived, 0u);

    // The second board stops after one block: only its own report says so.
    {
        ToolEnd tool(line);
        StartIapTransfer(tool);
        tool.Write(IapDataFrame(image, 0));
        EXPECT_EQ(tool.Read(6, 1000), "+DTOK-");
    }
    ASSERT_TRUE(device.WaitFinished(3000));
    const SimReport report = device.Report();
    EXPECT_FALSE(report.complete);
    EXPECT_EQ(report.framesReceived, 3u);
    EXPECT_EQ(report.bytesWritten, 128u);
    device.Stop();
    EXPECT_EQ(ReadAll(secondFlash).size(), 128u) << "a new flash, not the first board's";
    std::remove(options.flashPath.c_str());
    std::remove(secondFlash.c_str());
}

// A tool that keeps the line open from one board to the next hears the next board's
// loader announce itself; it may also close the line between boards.
TEST(SimDevice, TheNextBoardAnnouncesItselfToAToolThatKeptTheLine)
{
    const auto image = TestImage(100);
    SimOptions options;
    options.loader = LoaderKind::IapSolvane;
    options.announceMs = 50;
    options.expectedImage = image;
    options.hasExpectedImage = true;
    SimDevice device(options);
    std::string error;
    ASSERT_TRUE(device.Start(error)) << error;
    {
        ToolEnd kept(device.SlavePath());
        StartIapTransfer(kept);
        kept.Write(IapDataFrame(image, 0));
        EXPECT_EQ(kept.Read(6, 1000), "+DTOK-");
        ASSERT_TRUE(device.WaitFinished(4000)) << "a complete board ends after its linger";
        EXPECT_TRUE(device.Report().AllChecked());
        ASSERT_TRUE(device.NextBoard(error)) << error;
        EXPECT_EQ(kept.Read(6, 1000), "+IAPC-");
    }
    // Closed between boards: not a tool that went away before its first byte.
    EXPECT_FALSE(device.WaitFinished(300));
    ToolEnd next(device.SlavePath());
    next.DropReceived();  // the announcements made while nobody listened
    StartIapTransfer(next);
    next.Write(IapDataFrame(image, 0));
    EXPECT_EQ(next.Read(6, 1000), "+DTOK-");
    next.Close();
    ASSERT_TRUE(device.WaitFinished(3000));
    EXPECT_TRUE(device.Report().AllChecked());
    EXPECT_FALSE(device.Report().closedBeforeFirstByte);
}

TEST(SimDevice, StopEndsAnIdleDeviceAndStartTwiceFails)
{
    SimOptions options;
    options.loader = LoaderKind::IapSolvane;
    options.ackReply = "NOPE";
    SimDevice bad(options);
    std::string error;
    EXPECT_FALSE(bad.Start(error));
    EXPECT_NE(error.find("NOPE"), std::string::npos);

    options.ackReply = "DTOK";
    SimDevice device(options);
    ASSERT_TRUE(device.Start(error)) << error;
    EXPECT_FALSE(device.Start(error));
    EXPECT_FALSE(device.WaitFinished(50));
    device.Stop();
    device.Stop();
    EXPECT_FALSE(device.Report().complete);

    options.devicePath = "/nonexistent/ttyUSB9";
    SimDevice missing(options);
    EXPECT_FALSE(missing.Start(error));
    EXPECT_NE(error.find("/nonexistent/ttyUSB9"), std::string::npos);
}

}  // namespace
