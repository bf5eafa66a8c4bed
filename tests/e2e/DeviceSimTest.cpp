// device-sim as a production jig, against the real console tools: boards one after
// another on one line, a board that leaves and comes back on a new pseudo-terminal,
// several links in one process, and a device-sim that ends by itself when the tool
// goes away before its first frame; a played adapter's latency, which every reply
// waits. Also engine_bench's command line.
#include "E2eSupport.h"

#include <climits>
#include <fcntl.h>
#include <poll.h>

using namespace e2e;

namespace {

using DeviceSimJig = EndToEnd;
using Clock = std::chrono::steady_clock;

std::string LinkTarget(const std::string& link)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool LinkExists(const std::string& link)
{
    struct stat st {};
    return lstat(link.c_str(), &st) == 0;
}

// Waits up to `limitMs` for the link to be there (or gone); true if it came to be so.
bool WaitForLinkState(const std::string& link, bool present, int limitMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (LinkExists(link) != present) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::vector<std::uint8_t> Head(const std::vector<std::uint8_t>& bytes, std::size_t size)
{
    return {bytes.begin(), bytes.begin() + static_cast<long>(std::min(size, bytes.size()))};
}

ProcessResult RunSolvane(const std::string& link, const std::string& image, const std::string& logBase)
{
    Process tool({SOLVANE, "--port", link, "--timeout", "5", image}, logBase);
    return tool.Wait(30000);
}

// Two boards, two runs of the tool, each its own process; without being told the
// image, each board's run is judged by its recognisable end. Each board starts with a
// new flash and writes its own file.
TEST_F(DeviceSimJig, SolvanePlaysTwoBoardsInARow)
{
    const std::string link = Path("line");
    const auto first = Pattern(1000, 21);
    const auto second = Pattern(600, 22);
    Process sim({DEVICE_SIM, "--loader", "solvane", "--baud", "0", "--announce", "100", "--link", link, "--boards", "2",
                 "--flash", Path("flash.bin"), "--max-time", "60"},
                Path("sim"));
    WaitForLink(sim, link);

    const ProcessResult one = RunSolvane(link, WriteFile("first.bin", first), Path("tool1"));
    EXPECT_EQ(one.exitStatus, 0) << one.err;
    const ProcessResult two = RunSolvane(link, WriteFile("second.bin", second), Path("tool2"));
    EXPECT_EQ(two.exitStatus, 0) << two.err;

    const ProcessResult r = sim.Wait(5000);
    EXPECT_FALSE(r.killed) << "device-sim did not end after its last board";
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_TRUE(HasLine(r.out, "board 1: result: complete")) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 2: result: complete")) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 1: bytes written: 1024")) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 2: bytes written: 640")) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 2: all checked: yes")) << r.out;
    EXPECT_EQ(CountOf(r.out, "line: "), 1u) << "the same line for both boards: " << r.out;

    const std::string flash1 = ReadText(Path("flash.bin.1"));
    const std::string flash2 = ReadText(Path("flash.bin.2"));
    ASSERT_EQ(flash1.size(), 1024u);
    ASSERT_EQ(flash2.size(), 640u) << "the second board's flash holds only its own blocks";
    EXPECT_EQ(Head(std::vector<std::uint8_t>(flash1.begin(), flash1.end()), 1000), first);
    EXPECT_EQ(Head(std::vector<std::uint8_t>(flash2.begin(), flash2.end()), 600), second);
}

// Between boards the board leaves: the line hangs up under whoever holds it, the link
// goes, and after the away time a new pseudo-terminal comes behind the link.
TEST_F(DeviceSimJig, ABoardThatLeavesComesBackOnANewPseudoTerminal)
{
    const std::string link = Path("line");
    const auto bytes = Pattern(1000, 23);
    const std::string image = WriteImage(bytes);
    Process sim({DEVICE_SIM, "--loader", "solvane", "--baud", "0", "--announce", "100", "--link", link, "--boards", "2",
                 "--leave", "300", "--expect", image, "--max-time", "60"},
                Path("sim"));
    WaitForLink(sim, link);
    const std::string oldLine = LinkTarget(link);
    ASSERT_FALSE(oldLine.empty());

    // Held open through the first board, as an adapter's line is held: the board ends
    // when it is complete, and the holder sees the hangup when it leaves.
    const int held = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    const ProcessResult one = RunSolvane(link, image, Path("tool1"));
    EXPECT_EQ(one.exitStatus, 0) << one.err;
    pollfd p{held, POLLIN, 0};
    bool hungUp = false;
    for (int i = 0; i < 100 && !hungUp; ++i) {
        char buffer[256];
        if (poll(&p, 1, 100) > 0 && ((p.revents & POLLHUP) != 0 || read(held, buffer, sizeof buffer) <= 0))
            hungUp = true;
    }
    EXPECT_TRUE(hungUp) << "the line did not hang up when the board left";
    const auto left = Clock::now();
    EXPECT_TRUE(WaitForLinkState(link, false, 250)) << "the link stayed while the board was away";
    ASSERT_TRUE(WaitForLinkState(link, true, 3000)) << "the board did not come back";
    EXPECT_GE(Clock::now() - left, std::chrono::milliseconds(200));
    const std::string newLine = LinkTarget(link);
    EXPECT_NE(newLine, oldLine) << "the old pseudo-terminal is still held here, so a new one has another name";
    close(held);

    const ProcessResult two = RunSolvane(link, image, Path("tool2"));
    EXPECT_EQ(two.exitStatus, 0) << two.err;
    const ProcessResult r = sim.Wait(10000);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_TRUE(HasLine(r.out, "line: " + oldLine)) << r.out;
    EXPECT_TRUE(HasLine(r.out, "line: " + newLine)) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 1: all checked: yes")) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 2: all checked: yes")) << r.out;
    EXPECT_FALSE(LinkExists(link)) << "the link outlived device-sim";
}

// A tool that gives up before its first frame (the loader has not spoken yet) closes
// the line: device-sim ends by itself, and with it the boards still to come.
TEST_F(DeviceSimJig, DeviceSimEndsWhenTheToolLeavesBeforeItsFirstFrame)
{
    const std::string link = Path("line");
    const std::string image = WriteImage(Pattern(1000, 24));
    Process sim({DEVICE_SIM, "--loader", "solvane", "--baud", "0", "--link", link, "--boards", "3", "--quiet-first",
                 "20000", "--max-time", "60"},
                Path("sim"));
    WaitForLink(sim, link);
    Process tool({SOLVANE, "--port", link, "--timeout", "1", image}, Path("tool"));
    const ProcessResult t = tool.Wait(15000);
    EXPECT_NE(t.exitStatus, 0) << "the loader never spoke: " << t.out;
    const ProcessResult r = sim.Wait(5000);
    EXPECT_FALSE(r.killed) << "device-sim went on announcing to nobody";
    EXPECT_FALSE(r.signalled);
    EXPECT_EQ(r.exitStatus, 2) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 1: ended by: the tool closed the line before its first byte")) << r.out;
    EXPECT_TRUE(HasLine(r.out, "board 1: result: incomplete")) << r.out;
    EXPECT_FALSE(Contains(r.out, "board 2:")) << r.out;
}

// Two links, two independent devices in one process: each tool gets a whole run, and
// each report line says whose it is.
TEST_F(DeviceSimJig, EachLinkIsADeviceOfItsOwn)
{
    const std::string a = Path("a");
    const std::string b = Path("b");
    Process sim({DEVICE_SIM, "--loader", "erase", "--baud", "0", "--link", a, "--link", b, "--max-time", "60"},
                Path("sim"));
    for (int i = 0; i < 500 && CountOf(sim.OutputSoFar(), "line: ") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(LinkExists(a) && LinkExists(b));
    EXPECT_NE(LinkTarget(a), LinkTarget(b));
    Process toolA({DUNMERE, "--port", a, "--timeout", "5"}, Path("toolA"));
    Process toolB({DUNMERE, "--port", b, "--timeout", "5"}, Path("toolB"));
    EXPECT_EQ(toolA.Wait(30000).exitStatus, 0);
    EXPECT_EQ(toolB.Wait(30000).exitStatus, 0);
    const ProcessResult r = sim.Wait(5000);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    for (const std::string& link : {a, b}) {
        EXPECT_TRUE(HasLine(r.out, link + ": result: complete")) << r.out;
        EXPECT_TRUE(HasLine(r.out, link + ": frames received: 1008")) << r.out;
        EXPECT_TRUE(Contains(r.out, link + ": line: /dev/")) << r.out;
    }
}

// Behind a played adapter every reply waits the adapter's latency before the tool
// gets it, even with the line itself not emulated: a one-page Quarrow run (17 erase
// frames, 16 write frames, each answered) takes at least 33 holds. Lower bounds only.
TEST_F(DeviceSimJig, QuarrowBehindAnAdapterWaitsItsLatencyForEveryReply)
{
    auto bytes = Pattern(2112, 25);
    bytes.back() = 0x5A;  // not 0xFF: the page is sent whole
    const std::string image = WriteImage(bytes);
    const Outcome o = Run("quarrow", QUARROW, {"--adapter-latency", "20"}, image, 5);
    ExpectSuccess(o, "Updata success!");
    EXPECT_EQ(o.report.at("replies sent"), "33");
    EXPECT_EQ(o.report.count("adapter latency") ? o.report.at("adapter latency") : "", "20 ms") << o.sim.out;
    EXPECT_GE(o.toolSeconds, 33 * 0.020);
    EXPECT_GE(std::stod(o.report.at("elapsed")), 33 * 0.020) << "device-sim's time leaves the hold out";

    Process help({DEVICE_SIM, "--help"}, Path("help"));
    const ProcessResult h = help.Wait(5000);
    EXPECT_EQ(h.exitStatus, 0);
    EXPECT_TRUE(Contains(h.out, "--adapter-latency MS")) << h.out;
}

TEST(EngineBench, HelpIsUsageAndUnknownArgumentsAreRefused)
{
    const std::string base = ::testing::TempDir() + "engine_bench_" + std::to_string(getpid());
    Process help({ENGINE_BENCH, "--help"}, base + "_help");
    const ProcessResult h = help.Wait(5000);
    EXPECT_FALSE(h.killed) << "--help ran the benchmark";
    EXPECT_EQ(h.exitStatus, 0);
    EXPECT_EQ(h.out.rfind("Usage: engine_bench", 0), 0u) << h.out;
    for (const char* bad : {"--bogus", "0", "fast"}) {
        Process wrong({ENGINE_BENCH, bad}, base + "_bad");
        const ProcessResult w = wrong.Wait(5000);
        EXPECT_FALSE(w.killed) << bad;
        EXPECT_EQ(w.exitStatus, 64) << bad;
        EXPECT_TRUE(Contains(w.err, "Usage: engine_bench")) << w.err;
    }
    for (const char* suffix : {"_help.out", "_help.err", "_bad.out", "_bad.err"})
        std::remove((base + suffix).c_str());
}

}  // namespace
