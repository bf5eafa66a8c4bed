// The console tools as a technician and a production line use them, each against
// device-sim (or against no device at all): runs that would hang end within the stall
// limit, wrong images are refused before the port is opened, port failures read in
// the platform's words, --json parses, the terminal shows the bar before the success
// text, and device-sim's own command line holds its promises.
#include "E2eSupport.h"
#include "JsonLines.h"

#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>

using namespace e2e;

namespace {

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// An environment variable set for the life of a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_hadOld = true;
            m_old = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (m_hadOld)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_hadOld = false;
    std::string m_old;
};

using ConsoleTools = EndToEnd;

// ---- No silent hang -----------------------------------------------------------------

TEST_F(ConsoleTools, ARunThatStopsMovingEndsAtTheStallLimitNamingWhereAndWhatCameLast)
{
    const std::string image = WriteImage(Pattern(700, 21));  // 6 blocks
    const std::vector<std::string> stall = {"--stall", "1"};

    // The wrong loader: Tirell's loader keeps announcing "+UPDF-", which Solvane does
    // not know. The device talks all the time, so only the stall limit can end it.
    Outcome wrong = Run("tirell", SOLVANE, {"--start", "UPDF"}, image, 5, stall);
    ExpectFailure(wrong, "Update Complete!");
    EXPECT_EQ(wrong.tool.exitStatus, 1);
    EXPECT_LT(wrong.toolSeconds, 4.5);
    EXPECT_TRUE(Contains(wrong.tool.err, "solvane: no progress for 1 s (--stall); stopped at the wait for the "
                                         "loader's start reply"))
        << wrong.tool.err;
    EXPECT_TRUE(Contains(wrong.tool.err, "the device last sent \"")) << wrong.tool.err;
    EXPECT_TRUE(Contains(wrong.tool.err, "+UPDF-\" (")) << wrong.tool.err;

    // Dunmere against Quarrow's loader, whose erase acknowledgement ends in "-".
    // (The loader counts Dunmere's first frame as out of order; that is its own view.)
    Outcome erase = Run("quarrow", DUNMERE, {}, "", 5, stall);
    EXPECT_FALSE(erase.tool.killed);
    EXPECT_EQ(erase.tool.exitStatus, 1);
    EXPECT_EQ(erase.tool.out, "");
    EXPECT_LT(erase.toolSeconds, 4.5);
    EXPECT_TRUE(Contains(erase.tool.err, "stopped at erase frame 1 of 1008 (address 0x0400)")) << erase.tool.err;
    EXPECT_TRUE(Contains(erase.tool.err, "\"*EOK-\"")) << erase.tool.err;

    // A cut acknowledgement that is never repeated: the device falls silent, and the
    // stall limit ends the run before the longer --timeout.
    Outcome cut = Run("solvane", SOLVANE, {"--cut-reply", "3"}, image, 5, stall);
    ExpectFailure(cut, "Update Complete!");
    EXPECT_EQ(cut.tool.exitStatus, 1);
    EXPECT_LT(cut.toolSeconds, 4.5);
    // Replies: "+RECV-", then the acknowledgements of blocks 1 to 3, the third cut.
    EXPECT_TRUE(Contains(cut.tool.err, "stopped at block 4 of 6")) << cut.tool.err;
    EXPECT_TRUE(Contains(cut.tool.err, "+DTOK\" (")) << cut.tool.err;
    // The summary says how far it got.
    EXPECT_TRUE(Contains(cut.tool.err, "solvane: stopped after ")) << cut.tool.err;
    EXPECT_TRUE(Contains(cut.tool.err, ": 3 of 6 blocks, 384 bytes")) << cut.tool.err;

    const std::string flash = WriteFile("flash.img", Pattern(5000, 22));
    Outcome quarrowCut = Run("quarrow", QUARROW, {"--cut-reply", "20"}, flash, 5, stall);
    ExpectFailure(quarrowCut, "Updata success!");
    EXPECT_EQ(quarrowCut.tool.exitStatus, 1);
    EXPECT_TRUE(Contains(quarrowCut.tool.err, "stopped at page 1 of 3, write frame 4 of 16")) << quarrowCut.tool.err;
}

TEST_F(ConsoleTools, EndlessWriteRejectionsAreCountedAndEndTheRun)
{
    const std::string image = WriteFile("flash.img", Pattern(5000, 23));  // 3 pages
    // Frame 20 (page 2, frame 5) is rejected for ever.
    Outcome limited = Run("quarrow", QUARROW, {"--wer", "20x1000"}, image, 5, {"--max-rejects", "6"});
    ExpectFailure(limited, "Updata success!");
    EXPECT_EQ(limited.tool.exitStatus, 1);
    EXPECT_TRUE(Contains(limited.tool.err, "quarrow: the device rejected page 2 of 3, write frame 5 of 16 (*WER#) "
                                           "6 times in a row (--max-rejects); giving up"))
        << limited.tool.err;
    // The repeats are shown as they come: 1, 2 and 4 in a row.
    EXPECT_TRUE(Contains(limited.tool.err, "rejected by the device (*WER#), 1 time; sending it again"));
    EXPECT_TRUE(Contains(limited.tool.err, "(*WER#), 4 times in a row; sending it again"));
    EXPECT_EQ(CountOf(limited.tool.err, "sending it again"), 3u) << limited.tool.err;
    // The frame was sent 6 times, the sixth rejection was not answered.
    EXPECT_EQ(limited.report.at("frames received"), std::to_string(17 + 20 + 6));

    // Without a limit on rejections the stall limit still ends it.
    Outcome stalled = Run("quarrow", QUARROW, {"--wer", "20x100000"}, image, 5, {"--max-rejects", "0", "--stall", "1"});
    ExpectFailure(stalled, "Updata success!");
    EXPECT_EQ(stalled.tool.exitStatus, 1);
    EXPECT_LT(stalled.toolSeconds, 4.5);
    EXPECT_TRUE(
        Contains(stalled.tool.err, "no progress for 1 s (--stall); stopped at page 2 of 3, write frame 5 of 16"))
        << stalled.tool.err;
    EXPECT_TRUE(Contains(stalled.tool.err, "*WER#")) << stalled.tool.err;
}

// Before the device's first byte the stall limit does not run: the wait is --timeout's.
TEST_F(ConsoleTools, WhatTheConsoleCountsAndShowsIsWhatTheLogicRecognised)
{
    // "*W" just before the rejection of page 2's write frame 5 (reply 37, after 17
    // erase acknowledgements and 20 write ones): "*W*WER#". The second '*' breaks the
    // reply off and starts nothing, so the logic sees no rejection and sends nothing
    // again; the console counts none and shows none, and the run stalls there.
    const std::string image = WriteFile("flash.img", Pattern(5000, 23));  // 3 pages
    Outcome broken = Run("quarrow", QUARROW, {"--wer", "20x1", "--before-reply", "37:*W"}, image, 5, {"--stall", "1"});
    ExpectFailure(broken, "Updata success!");
    EXPECT_EQ(broken.tool.exitStatus, 1);
    EXPECT_TRUE(Contains(broken.tool.err, "no progress for 1 s (--stall); stopped at page 2 of 3, write frame 5 of 16"))
        << broken.tool.err;
    EXPECT_FALSE(Contains(broken.tool.err, "rejected")) << broken.tool.err;
    EXPECT_FALSE(Contains(broken.tool.err, "sending it again")) << broken.tool.err;
    EXPECT_EQ(broken.report.at("frames received"), std::to_string(17 + 21));

    // "+DTER-" before "+RECV-": the job waits for the receive reply and ignores it, so
    // no data error is shown and the update runs through once.
    const std::string iapImage = WriteImage(Pattern(1000, 5));  // 8 blocks
    Outcome early = Run("solvane", SOLVANE, {"--before-reply", "0:+DTER-"}, iapImage, 2);
    ExpectSuccess(early, "Update Complete!");
    EXPECT_FALSE(Contains(early.tool.err, "data error")) << early.tool.err;
    EXPECT_FALSE(Contains(early.tool.err, "restarts")) << early.tool.err;
    EXPECT_TRUE(Contains(early.tool.err, "s: 8 blocks, 1,024 bytes, ")) << early.tool.err;
}

TEST_F(ConsoleTools, TheWaitForTheFirstReplyKeepsTheTimeoutAndGivesAHint)
{
    Outcome silent = Run("erase", DUNMERE, {"--silent-after", "0"}, "", 4, {"--stall", "0.5"});
    ExpectFailure(silent, "Finish");
    EXPECT_EQ(silent.tool.exitStatus, 3);
    EXPECT_GE(silent.toolSeconds, 4.0);
    EXPECT_TRUE(Contains(silent.tool.err, "dunmere: no reply from the device yet on " + Path("line") +
                                              "; reset the device (or power it on)"))
        << silent.tool.err;
    EXPECT_TRUE(Contains(silent.tool.err, "no reply from the device for 4 s (--timeout)")) << silent.tool.err;
    EXPECT_FALSE(Contains(silent.tool.err, "--stall")) << silent.tool.err;
}

// ---- Images -------------------------------------------------------------------------

TEST_F(ConsoleTools, ImagesTooLargeEmptyOrUnreadableAreRefusedBeforeThePortIsOpened)
{
    // The port does not exist: a refusal of the image must come first, and alone.
    const std::string port = Path("no-port");
    struct Case {
        const char* tool;
        std::vector<std::uint8_t> image;
        std::string message;
    };
    std::vector<std::uint8_t> allErased(3000, 0xFF);
    const std::vector<Case> cases = {
        {SOLVANE, Pattern(20000, 1), "is 20,000 bytes, larger than the 14,336 bytes solvane takes; use --cut"},
        {TIRELL, Pattern(14337, 1), "is 14,337 bytes, larger than the 14,336 bytes tirell takes"},
        {QUARROW, Pattern(2162689, 1), "is 2,162,689 bytes, larger than the 2,162,688 bytes quarrow takes"},
        {SOLVANE, {}, "is empty: there is nothing to send"},
        {QUARROW, allErased, "holds no data to write (it is empty, or all its 3,000 bytes are 0xFF)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " " + c.message);
        const std::string image = WriteFile("refused.bin", c.image);
        const ProcessResult r = RunAlone({c.tool, "--port", port, "--timeout", "1", image});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_TRUE(Contains(r.err, image + " " + c.message)) << r.err;
        EXPECT_FALSE(Contains(r.err, port)) << "the port was tried: " << r.err;
        EXPECT_EQ(r.out, "");
    }

    const ProcessResult missing = RunAlone({QUARROW, "--port", port, Path("missing.bin")});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_TRUE(Contains(missing.err, "quarrow: " + Path("missing.bin") + ": No such file or directory"))
        << missing.err;
    EXPECT_FALSE(Contains(missing.err, port));
    const ProcessResult folder = RunAlone({SOLVANE, "--port", port, m_dir});
    EXPECT_EQ(folder.exitStatus, 1);
    EXPECT_TRUE(Contains(folder.err, "solvane: " + m_dir + ": Is a directory")) << folder.err;

    // An empty name is a mistake of the command line, also with --simulate (which
    // would otherwise send its built-in image).
    for (const char* tool : {SOLVANE, QUARROW}) {
        const ProcessResult empty = RunAlone({tool, "--simulate", "--timeout", "1", ""});
        EXPECT_EQ(empty.exitStatus, 2) << empty.err;
        EXPECT_TRUE(Contains(empty.err, "empty name")) << empty.err;
    }
}

TEST_F(ConsoleTools, ALargeImageIsCutOnlyWhenAskedAndTextImagesAreSentRawWithAWarning)
{
    const auto large = Pattern(20000, 2);
    const std::string image = WriteImage(large);
    // device-sim takes the first 14,336 bytes of what it expects, as the tool does.
    Outcome cut = Run("solvane", SOLVANE, {}, image, 2, {"--cut"});
    ExpectSuccess(cut, "Update Complete!");
    EXPECT_EQ(cut.flash, std::vector<std::uint8_t>(large.begin(), large.begin() + 14336));
    EXPECT_TRUE(Contains(cut.tool.err, "solvane: warning: only the first 14,336 of the 20,000 bytes of " + image +
                                           " are sent (--cut)"))
        << cut.tool.err;

    const std::string hexText = ":10000000000102030405060708090A0B0C0D0E0F78\r\n:00000001FF\r\n";
    const std::string hex = WriteFile("image.hex", std::vector<std::uint8_t>(hexText.begin(), hexText.end()));
    Outcome raw = Run("tirell", TIRELL, {"--start", "UPDF"}, hex, 2);
    ExpectSuccess(raw, "Update complete!");
    std::vector<std::uint8_t> sent(hexText.begin(), hexText.end());
    sent.resize(128, 0xFF);
    EXPECT_EQ(raw.flash, sent) << "the characters are the image";
    EXPECT_TRUE(Contains(raw.tool.err, "tirell: warning: " + hex +
                                           " looks like Intel HEX text; it is sent as raw "
                                           "bytes"))
        << raw.tool.err;

    const std::string srecText =
        "S00F000068656C6C6F202020202000003C\nS11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\n";
    std::vector<std::uint8_t> srecBytes(srecText.begin(), srecText.end());
    const std::string srec = WriteFile("image.srec", srecBytes);
    Outcome s = Run("quarrow", QUARROW, {}, srec, 2);
    ExpectSuccess(s, "Updata success!");
    EXPECT_TRUE(Contains(s.tool.err, "looks like S-record text")) << s.tool.err;
    EXPECT_FALSE(Contains(Run("solvane", SOLVANE, {}, WriteImage(Pattern(300, 3)), 2).tool.err, "warning"));
}

// ---- Messages -----------------------------------------------------------------------

TEST_F(ConsoleTools, PortFailuresReadTheSameInEveryToolInThePlatformsWords)
{
    const std::string image = WriteImage(Pattern(300, 4));
    const std::string regular = WriteFile("regular-file", {1, 2, 3});
    const std::string missing = Path("ttyUSB9");
    const std::vector<std::pair<std::string, std::vector<std::string>>> tools = {{"dunmere", {DUNMERE}},
                                                                                 {"solvane", {SOLVANE, image}},
                                                                                 {"tirell", {TIRELL, image}},
                                                                                 {"quarrow", {QUARROW, image}}};
    for (const auto& [name, argv] : tools) {
        SCOPED_TRACE(name);
        auto run = [&](const std::string& port) {
            std::vector<std::string> args = {argv[0], "--port", port, "--timeout", "1"};
            args.insert(args.end(), argv.begin() + 1, argv.end());
            ProcessResult r = RunAlone(args);
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_FALSE(Contains(r.err, "Port: ")) << r.err;
            return r.err;
        };
        EXPECT_TRUE(Contains(run(missing), name + ": " + missing +
                                               ": No such file or directory (is the adapter "
                                               "plugged in?"));
        EXPECT_TRUE(Contains(run("/dev/null"), name + ": /dev/null: not a serial port\n"));
        EXPECT_TRUE(Contains(run(regular), name + ": " + regular + ": not a serial port\n"));
        {
            ScopedEnv com("SUITE_COM8", missing);
            EXPECT_TRUE(Contains(run("COM8"), name + ": COM8 (" + missing + ", from $SUITE_COM8): No such file"));
        }
        {
            ScopedEnv com("SUITE_COM7", "");
            unsetenv("SUITE_COM7");
            EXPECT_TRUE(Contains(run("COM7"), name + ": COM7 (/dev/ttyS6, the default for COM7; set SUITE_COM7 to "
                                                     "choose another device): "));
        }
    }
}

TEST_F(ConsoleTools, ABusyPortSaysItIsInUse)
{
    // A device-sim line held the way the tools hold a port: open and locked.
    const std::string link = Path("line");
    Process sim({DEVICE_SIM, "--loader", "erase", "--baud", "0", "--link", link, "--max-time", "20"}, Path("sim"));
    WaitForLink(sim, link);
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const ProcessResult r = RunAlone({DUNMERE, "--port", link, "--timeout", "1"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(Contains(r.err, "dunmere: " + link + ": in use by another program")) << r.err;
    close(fd);
    sim.Terminate();
    sim.Wait(3000);
}

TEST_F(ConsoleTools, OutputKeepsTheSuccessTextAloneOnStandardOutputWithASummary)
{
    const std::string image = WriteImage(Pattern(1000, 5));  // 8 blocks
    Outcome o = Run("solvane", SOLVANE, {"--dter", "2"}, image, 2);
    ExpectSuccess(o, "Update Complete!");
    EXPECT_EQ(o.tool.out, "Update Complete!\n");
    EXPECT_TRUE(Contains(o.tool.err, "Open serial success!\n")) << o.tool.err;
    // "+DTER-" for the third block: the restart is announced.
    EXPECT_TRUE(Contains(o.tool.err, "solvane: block 3 of 8 (answered +DTER-): the device reported a data error "
                                     "(+DTER-); the update restarts from the first block when the loader starts "
                                     "again"))
        << o.tool.err;
    EXPECT_TRUE(Contains(o.tool.err, "solvane: done in ")) << o.tool.err;
    EXPECT_TRUE(Contains(o.tool.err, "s: 8 blocks, 1,024 bytes, ")) << o.tool.err;
    EXPECT_TRUE(Contains(o.tool.err, " kB/s\n")) << o.tool.err;
    for (const char* other : {" B/s", "MB/s", "blocks/s", "frames/s"})
        EXPECT_FALSE(Contains(o.tool.err, other)) << "one unit for rates: " << other;

    // Quarrow shows "Updata success!" in its status line too: it still appears once.
    Outcome q = Run("quarrow", QUARROW, {}, WriteFile("flash.img", Pattern(3000, 6)), 2);
    ExpectSuccess(q, "Updata success!");
    EXPECT_EQ(q.tool.out, "Updata success!\n");
    EXPECT_FALSE(Contains(q.tool.err, "Updata success!")) << q.tool.err;

    // Dunmere's port text is a status line, not output.
    Outcome d = Run("erase", DUNMERE, {}, "", 2);
    EXPECT_EQ(d.tool.out, "Finish\n");
    EXPECT_TRUE(Contains(d.tool.err, "Serial port ready!\n")) << d.tool.err;
    EXPECT_TRUE(Contains(d.tool.err, "dunmere: done in ")) << d.tool.err;
    EXPECT_TRUE(Contains(d.tool.err, "s: 1008 frames, 64,512 bytes, ")) << d.tool.err;
}

TEST_F(ConsoleTools, AFailedWriteToStandardOutputIsAFailure)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full on this system";
    Process tool({DUNMERE, "--simulate", "--timeout", "5"}, Path("full"), "/dev/full");
    const ProcessResult r = tool.Wait(20000);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "dunmere: cannot write to standard output: No space left on device")) << r.err;
}

// ---- On a terminal ------------------------------------------------------------------

TEST_F(ConsoleTools, OnATerminalTheFinishedBarComesBeforeTheSuccessTextWhichIsLast)
{
    ScopedEnv term("TERM", "xterm");
    const TerminalResult t = RunOnTerminal({SOLVANE, "--simulate", "--timeout", "10"}, 30000);
    ASSERT_FALSE(t.killed);
    EXPECT_EQ(t.exitStatus, 0) << t.output;
    const std::size_t success = t.output.rfind("Update Complete!");
    ASSERT_NE(success, std::string::npos) << t.output;
    EXPECT_EQ(CountOf(t.output, "Update Complete!"), 1u);
    const std::size_t finishedBar = t.output.rfind("100% 24/24 blocks");
    ASSERT_NE(finishedBar, std::string::npos) << t.output;
    EXPECT_LT(finishedBar, success);
    EXPECT_LT(t.output.rfind("solvane: done in "), success);
    // Nothing but the line end follows the success text.
    EXPECT_EQ(t.output.substr(success), "Update Complete!\r\n");
}

// The terminal made narrower in the middle of a run: the bar follows its width at
// once instead of wrapping onto the next line at every redraw.
TEST_F(ConsoleTools, TheBarFollowsTheTerminalsWidth)
{
    ScopedEnv term("TERM", "xterm");
    const TerminalResult t = RunOnTerminal({QUARROW, "--simulate", "--timeout", "10"}, 30000, 100, 2000, 50);
    ASSERT_FALSE(t.killed);
    EXPECT_EQ(t.exitStatus, 0) << t.output;
    ASSERT_NE(t.resizedAt, std::string::npos);
    std::size_t wide = 0;
    for (std::size_t at = t.output.find("\r\033[K"); at != std::string::npos && at < t.resizedAt;
         at = t.output.find("\r\033[K", at + 1))
        wide = std::max(wide, t.output.find_first_of("\r\n", at + 4) - (at + 4));
    EXPECT_GT(wide, 60u) << "the bar was never drawn wide";
    // After the first redraw that follows the resize, no bar is wider than 49 columns.
    std::size_t at = t.output.find("\r\033[K", t.resizedAt);
    ASSERT_NE(at, std::string::npos);
    int bars = 0;
    for (at = t.output.find("\r\033[K", at + 1); at != std::string::npos; at = t.output.find("\r\033[K", at + 1)) {
        const std::size_t length = t.output.find_first_of("\r\n", at + 4) - (at + 4);
        EXPECT_LE(length, 49u) << t.output.substr(at + 4, length);
        ++bars;
    }
    EXPECT_GT(bars, 3);
}

// --repeat on a terminal: Enter says that the next board is in place.
TEST_F(ConsoleTools, OnATerminalEnterStartsTheNextBoard)
{
    ScopedEnv term("TERM", "xterm");
    const std::string link = Path("line");
    Process sim({DEVICE_SIM, "--loader", "erase", "--baud", "0", "--link", link, "--boards", "2", "--max-time", "30"},
                Path("sim"));
    WaitForLink(sim, link);
    const TerminalResult t = RunOnTerminal({DUNMERE, "--port", link, "--count", "2", "--timeout", "5"}, 30000, 100, -1,
                                           0, {{"press Enter when it is in place", "\n"}});
    const ProcessResult s = sim.Wait(5000, true);
    ASSERT_FALSE(t.killed) << t.output;
    EXPECT_EQ(t.exitStatus, 0) << t.output;
    EXPECT_EQ(CountOf(t.output, "Finish"), 2u) << t.output;
    EXPECT_TRUE(Contains(t.output, "dunmere: 2 boards: 2 done, 0 failed")) << t.output;
    EXPECT_EQ(CountOf(s.out, "all checked: yes"), 2u) << s.out;
}

// --json on a terminal: the objects go to standard output, and the person watching
// still sees the bar on standard error.
TEST_F(ConsoleTools, JsonOnATerminalStillShowsTheBar)
{
    ScopedEnv term("TERM", "xterm");
    const TerminalResult t = RunOnTerminal({SOLVANE, "--simulate", "--json", "--timeout", "10"}, 30000);
    ASSERT_FALSE(t.killed);
    EXPECT_EQ(t.exitStatus, 0) << t.output;
    EXPECT_TRUE(Contains(t.output, "\r\033[Ksending [")) << t.output;
    EXPECT_TRUE(Contains(t.output, "{\"event\":\"result\"")) << t.output;
    EXPECT_TRUE(Contains(t.output, "\"status\":\"success\"")) << t.output;
}

TEST_F(ConsoleTools, ABarLeftByAFailureStaysOnTheScreen)
{
    ScopedEnv term("TERM", "xterm");
    const std::string link = Path("line");
    const std::string image = WriteImage(Pattern(3000, 8));
    Process sim({DEVICE_SIM, "--loader", "solvane", "--baud", "19200", "--link", link, "--announce", "100",
                 "--vanish-after", "12", "--max-time", "30"},
                Path("sim"));
    WaitForLink(sim, link);
    const TerminalResult t = RunOnTerminal({SOLVANE, "--port", link, "--timeout", "5", image}, 30000);
    sim.Wait(5000, true);
    EXPECT_EQ(t.exitStatus, 1) << t.output;
    const std::size_t failure = t.output.find("solvane: " + link + ": Input/output error");
    ASSERT_NE(failure, std::string::npos) << t.output;
    // The last bar drawn is still there, ended by a line end, right above the failure.
    const std::size_t bar = t.output.rfind("\r\033[Ksending [", failure);
    ASSERT_NE(bar, std::string::npos) << t.output;
    const std::string between = t.output.substr(bar, failure - bar);
    EXPECT_EQ(CountOf(between, "\033[K"), 1u) << "the bar was cleared: " << between;
    EXPECT_TRUE(Contains(between, " blocks")) << between;
}

TEST_F(ConsoleTools, ADumbTerminalGetsNoEscapeSequences)
{
    for (const char* value : {"dumb", ""}) {
        ScopedEnv term("TERM", value);
        if (!*value)
            unsetenv("TERM");
        const TerminalResult t = RunOnTerminal({TIRELL, "--simulate", "--timeout", "10"}, 30000);
        EXPECT_EQ(t.exitStatus, 0) << t.output;
        EXPECT_FALSE(Contains(t.output, "\033")) << t.output;
        EXPECT_TRUE(Contains(t.output, "sending: 100% (24/24 blocks")) << t.output;
    }
}

// ---- --json -------------------------------------------------------------------------

TEST_F(ConsoleTools, JsonLinesParseAndTheResultMatchesTheDevicesReport)
{
    struct Case {
        const char* loader;
        const char* tool;
        std::string image;
        const char* unit;
        const char* count;
    };
    const std::vector<Case> cases = {
        {"erase", DUNMERE, "", "frames", "1008"},
        {"solvane", SOLVANE, WriteFile("iap.bin", Pattern(1000, 9)), "blocks", "8"},
        {"quarrow", QUARROW, WriteFile("flash.img", Pattern(5000, 10)), "pages", "3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        Outcome o = Run(c.loader, c.tool, {}, c.image, 2, {"--json"});
        EXPECT_EQ(o.tool.exitStatus, 0) << o.tool.err;
        EXPECT_EQ(o.report.at("all checked"), "yes");
        const auto objects = JsonLines(o.tool.out);
        ASSERT_GE(objects.size(), 2u);
        for (std::size_t k = 0; k + 1 < objects.size(); ++k) {
            EXPECT_EQ(objects[k].at("event"), "progress");
            EXPECT_EQ(objects[k].at("port"), Path("line"));
        }
        const auto& result = objects.back();
        EXPECT_EQ(result.at("event"), "result");
        EXPECT_EQ(result.at("status"), "success");
        EXPECT_EQ(result.at("exit"), "0");
        EXPECT_EQ(result.at("error"), "null");
        EXPECT_EQ(result.at(c.unit), c.count);
        EXPECT_EQ(result.at("bytes"), o.report.at("bytes written"));
        EXPECT_GT(std::stod(result.at("seconds")), 0.0);
        EXPECT_FALSE(Contains(o.tool.out, "\n\n"));
    }

    // A failure is a result too, with its error text.
    Outcome failed = Run("solvane", SOLVANE, {"--vanish-after", "3"}, WriteImage(Pattern(1000, 11)), 2, {"--json"});
    const auto objects = JsonLines(failed.tool.out);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back().at("status"), "failure");
    EXPECT_EQ(objects.back().at("exit"), "1");
    EXPECT_TRUE(Contains(objects.back().at("error"), "Input/output error")) << failed.tool.out;
    EXPECT_EQ(objects.back().at("blocks"), "1");  // the device vanished after acknowledging block 1

    const ProcessResult refused = RunAlone({QUARROW, "--json", "--port", Path("none"), Path("none.bin")});
    const auto refusal = JsonLines(refused.out);
    ASSERT_EQ(refusal.size(), 1u) << refused.out;
    EXPECT_EQ(refusal[0].at("status"), "failure");
    EXPECT_TRUE(Contains(refusal[0].at("error"), "No such file or directory"));
}

// ---- --list-ports -------------------------------------------------------------------

TEST_F(ConsoleTools, ListPortsShowsTheSerialDevicesUnderTheSystemRoot)
{
    const std::string root = Path("root");
    const std::string usb = root + "/sys/devices/pci0000:00/usb1/1-2";
    const std::string command = "mkdir -p " + usb + "/1-2:1.0/ttyUSB0 " + root + "/sys/class/tty/ttyUSB0 " + root +
                                "/sys/class/tty/tty0 " + root + "/dev && " + "printf '0403\\n' > " + usb +
                                "/idVendor && printf '6001\\n' > " + usb + "/idProduct && printf 'FTDI\\n' > " + usb +
                                "/manufacturer && printf 'FT232R USB UART\\n' > " + usb +
                                "/product && printf "
                                "'A50285BI\\n' > " +
                                usb +
                                "/serial && ln -s ../../../devices/pci0000:00/usb1/1-2/"
                                "1-2:1.0/ttyUSB0 " +
                                root + "/sys/class/tty/ttyUSB0/device";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ScopedEnv system("SUITE_SYSTEM_ROOT", root);
    const ProcessResult text = RunAlone({QUARROW, "--list-ports"});
    EXPECT_EQ(text.exitStatus, 0) << text.err;
    EXPECT_TRUE(Contains(text.out, "/dev/ttyUSB0  USB 0403:6001  FTDI FT232R USB UART  serial A50285BI  at 1-2  names "
                                   "usb:0403:6001:A50285BI usb-path:1-2\n"))
        << text.out;
    EXPECT_FALSE(Contains(text.out, "tty0")) << text.out;
    EXPECT_EQ(text.err, "");

    const ProcessResult json = RunAlone({SOLVANE, "--list-ports", "--json"});
    const auto ports = JsonLines(json.out);
    ASSERT_EQ(ports.size(), 1u) << json.out;
    EXPECT_EQ(ports[0].at("vendor_id"), "0403");
    EXPECT_EQ(ports[0].at("serial"), "A50285BI");
    EXPECT_EQ(ports[0].at("usb_path"), "1-2");
    EXPECT_EQ(ports[0].at("names"), "usb:0403:6001:A50285BI\nusb-path:1-2");
    EXPECT_EQ(ports[0].at("system_console"), "false");

    // --doctor on the adapter, by its name: no node yet, then one whose adapter holds
    // replies for 16 ms, then 1 ms.
    const ProcessResult absent = RunAlone({QUARROW, "--doctor", "--port", "usb-path:1-2"});
    EXPECT_EQ(absent.exitStatus, 1) << absent.out;
    EXPECT_TRUE(Contains(absent.out, "problem: ")) << absent.out;
    std::ofstream(root + "/dev/ttyUSB0") << "";
    std::ofstream(usb + "/1-2:1.0/ttyUSB0/latency_timer") << "16\n";
    const ProcessResult slow = RunAlone({QUARROW, "--doctor", "--port", "usb-path:1-2"});
    EXPECT_EQ(slow.exitStatus, 1) << slow.out;
    EXPECT_TRUE(Contains(slow.out, "usb-path:1-2 is " + root + "/dev/ttyUSB0")) << slow.out;
    EXPECT_TRUE(Contains(slow.out, "warning: the latency timer of " + root + "/dev/ttyUSB0 is 16 ms")) << slow.out;
    EXPECT_TRUE(Contains(slow.out, "ok: no other process has")) << slow.out;
    std::ofstream(usb + "/1-2:1.0/ttyUSB0/latency_timer") << "1\n";
    const ProcessResult fine = RunAlone({QUARROW, "--doctor", "--port", "usb-path:1-2"});
    EXPECT_EQ(fine.exitStatus, 0) << fine.out;
    EXPECT_TRUE(Contains(fine.out, "ok: latency timer 1 ms")) << fine.out;
    std::remove((root + "/dev/ttyUSB0").c_str());

    // A second adapter with the same serial number: both listed, and a warning.
    const std::string clone = root + "/sys/devices/pci0000:00/usb1/1-3";
    const std::string more = "mkdir -p " + clone + "/1-3:1.0/ttyUSB1 " + root + "/sys/class/tty/ttyUSB1 && " +
                             "printf '0403\\n' > " + clone + "/idVendor && printf '6001\\n' > " + clone +
                             "/idProduct && printf 'A50285BI\\n' > " + clone +
                             "/serial && ln -s ../../../devices/pci0000:00/usb1/1-3/1-3:1.0/ttyUSB1 " + root +
                             "/sys/class/tty/ttyUSB1/device";
    ASSERT_EQ(std::system(more.c_str()), 0);
    const ProcessResult shared = RunAlone({DUNMERE, "--list-ports"});
    EXPECT_EQ(shared.exitStatus, 0) << shared.err;
    EXPECT_EQ(CountOf(shared.out, "\n"), 2u) << shared.out;
    EXPECT_EQ(CountOf(shared.err, "warning: "), 1u) << shared.err;
    EXPECT_TRUE(Contains(shared.err, "/dev/ttyUSB0 (usb-path:1-2)")) << shared.err;
    EXPECT_TRUE(Contains(shared.err, "/dev/ttyUSB1 (usb-path:1-3)")) << shared.err;
}

// ---- device-sim ---------------------------------------------------------------------

TEST_F(ConsoleTools, DeviceSimHoldsItsCommandLinesPromises)
{
    const std::string link = Path("line");
    // A second device-sim on the same link is refused while the first one runs.
    Process first({DEVICE_SIM, "--loader", "erase", "--link", link, "--max-time", "20"}, Path("first"));
    WaitForLink(first, link);
    Process second({DEVICE_SIM, "--loader", "erase", "--link", link, "--max-time", "20"}, Path("second"));
    const ProcessResult refused = second.Wait(5000);
    EXPECT_EQ(refused.exitStatus, 3);
    EXPECT_TRUE(Contains(refused.err, "in use by another device-sim")) << refused.err;
    struct stat st {};
    EXPECT_EQ(lstat(link.c_str(), &st), 0) << "the first device-sim's link was taken away";
    first.Terminate();
    first.Wait(3000);

    // A flash file that cannot be written fails before the run, not after it.
    Process unwritable({DEVICE_SIM, "--loader", "erase", "--flash", Path("no-folder/flash.bin")}, Path("unwritable"));
    const ProcessResult u = unwritable.Wait(5000);
    EXPECT_EQ(u.exitStatus, 3);
    EXPECT_FALSE(Contains(u.out, "line: "));
    EXPECT_TRUE(Contains(u.err, "cannot write the flash file")) << u.err;

    // Bad values and options that do not apply: the documented status 64.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--loader", "solvane", "--start", "UPDF"},
                                                 std::vector<std::string>{"--loader", "erase", "--wer", "1"},
                                                 std::vector<std::string>{"--loader", "quarrow", "--baud", "-5"}}) {
        std::vector<std::string> argv = {DEVICE_SIM};
        argv.insert(argv.end(), args.begin(), args.end());
        Process bad(argv, Path("bad"));
        EXPECT_EQ(bad.Wait(5000).exitStatus, 64) << args[2];
    }
    Process version({DEVICE_SIM, "--version"}, Path("version"));
    const ProcessResult v = version.Wait(5000);
    EXPECT_EQ(v.exitStatus, 0);
    EXPECT_EQ(v.out.rfind("device-sim ", 0), 0u);
}

TEST_F(ConsoleTools, DeviceSimReportsACompleteRunWithoutBeingToldTheImage)
{
    const auto bytes = Pattern(1000, 12);
    const std::string image = WriteImage(bytes);
    Outcome o = Run("solvane", SOLVANE, {"--flash-length", "1000"}, image, 2, {}, /*simExpects=*/false);
    ExpectSuccess(o, "Update Complete!");
    EXPECT_EQ(o.report.at("result"), "complete");
    EXPECT_GT(std::stod(o.report.at("elapsed")), 0.0);
    // 8 data frames of 262 bytes and the two 6-byte frames before them.
    EXPECT_EQ(o.report.at("wire bytes in"), std::to_string(8 * 262 + 12));
    EXPECT_EQ(o.flash, bytes) << "--flash-length gives the image's own length";

    const auto flashBytes = Pattern(5000, 13);
    Outcome q = Run("quarrow", QUARROW, {"--flash-length", "5000"}, WriteFile("flash.img", flashBytes), 2, {}, false);
    ExpectSuccess(q, "Updata success!");
    EXPECT_EQ(q.flash, flashBytes);
    EXPECT_EQ(q.report.at("wire bytes in"), std::to_string(17 * 7 + 3 * (141 + 15 * 137)));
}

}  // namespace
