// Each console program against device-sim over a pseudo-terminal. device-sim checks
// every frame and writes the flash it ends with; the tests compare that flash with
// the image, and for every fault the device plays they check for a defined end:
// success only when the device confirmed everything, otherwise a failure with a
// message, never a hang (hard time limits) and never a crash (no signal).
#include "Process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace e2e;

namespace {

struct Outcome {
    ProcessResult tool;
    ProcessResult sim;
    std::map<std::string, std::string> report;  // device-sim's "key: value" lines
    std::vector<std::uint8_t> flash;
    std::string frameLog;
};

std::vector<std::uint8_t> Pattern(std::size_t size, unsigned salt)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 2463534242u + salt;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

bool HasLine(const std::string& text, const std::string& line)
{
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (l == line)
            return true;
    return false;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string base = ::testing::TempDir() + "e2e_XXXXXX";
        ASSERT_NE(mkdtemp(base.data()), nullptr);
        m_dir = base;
    }

    void TearDown() override
    {
        const std::string command = "rm -rf '" + m_dir + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", m_dir.c_str());
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    std::string WriteImage(const std::vector<std::uint8_t>& bytes)
    {
        const std::string path = Path("image.bin");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // Runs device-sim (loader, extra arguments) and the tool against it. An empty image
    // path runs the tool without one (Dunmere).
    Outcome Run(const std::string& loader, const std::string& tool, const std::vector<std::string>& simArgs,
                const std::string& image = "", int toolTimeoutSeconds = 1)
    {
        Outcome outcome;
        const std::string link = Path("line");
        std::vector<std::string> simArgv = {DEVICE_SIM, "--loader", loader, "--baud", "0", "--link", link,
                                            "--flash", Path("flash.bin"), "--log", Path("frames.log"),
                                            "--max-time", "60"};
        if (loader == "solvane" || loader == "tirell") {
            simArgv.insert(simArgv.end(), {"--announce", "100"});
            if (!image.empty())
                simArgv.insert(simArgv.end(), {"--expect", image});
        }
        if (loader == "quarrow" && !image.empty())
            simArgv.insert(simArgv.end(), {"--expect", image});
        simArgv.insert(simArgv.end(), simArgs.begin(), simArgs.end());

        Process sim(simArgv, Path("sim"));
        EXPECT_TRUE(sim.Started());
        // device-sim prints the line once the link is in place.
        for (int i = 0; i < 500 && sim.OutputSoFar().find("line: ") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        struct stat st{};
        EXPECT_EQ(lstat(link.c_str(), &st), 0) << "device-sim did not come up";

        std::vector<std::string> toolArgv = {tool, "--port", link, "--timeout", std::to_string(toolTimeoutSeconds)};
        if (!image.empty())
            toolArgv.push_back(image);
        Process toolProcess(toolArgv, Path("tool"));
        EXPECT_TRUE(toolProcess.Started());
        outcome.tool = toolProcess.Wait(30000);

        // The device ends when the tool closes the line; one that never saw the tool
        // is asked to stop.
        outcome.sim = sim.Wait(3000, /*terminateFirst=*/true);
        std::istringstream report(outcome.sim.out);
        std::string line;
        while (std::getline(report, line)) {
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos && line.rfind("error: ", 0) != 0)
                outcome.report[line.substr(0, colon)] = line.substr(colon + 2);
        }
        const std::string flash = ReadText(Path("flash.bin"));
        outcome.flash.assign(flash.begin(), flash.end());
        outcome.frameLog = ReadText(Path("frames.log"));
        return outcome;
    }

    static void ExpectSuccess(const Outcome& o, const std::string& successText)
    {
        EXPECT_FALSE(o.tool.killed) << "the tool hung";
        EXPECT_FALSE(o.tool.signalled) << "the tool crashed";
        EXPECT_EQ(o.tool.exitStatus, 0) << o.tool.err;
        EXPECT_TRUE(HasLine(o.tool.out, successText)) << o.tool.out;
        EXPECT_EQ(o.sim.exitStatus, 0) << o.sim.out << o.sim.err;
        EXPECT_EQ(o.report.count("all checked") ? o.report.at("all checked") : "", "yes");
    }

    // A defined failure: non-zero exit with a message, no success text, no hang or crash;
    // the device found nothing wrong in what the tool did send.
    static void ExpectFailure(const Outcome& o, const std::string& successText)
    {
        EXPECT_FALSE(o.tool.killed) << "the tool hung";
        EXPECT_FALSE(o.tool.signalled) << "the tool crashed";
        EXPECT_GT(o.tool.exitStatus, 0);
        EXPECT_FALSE(o.tool.err.empty());
        EXPECT_FALSE(HasLine(o.tool.out, successText)) << o.tool.out;
        EXPECT_EQ(o.report.count("errors") ? o.report.at("errors") : "", "0") << o.sim.out;
    }

    std::string m_dir;
};

// ---- Dunmere ----------------------------------------------------------------------

TEST_F(EndToEnd, DunmereErasesEveryAddressInOrder)
{
    const Outcome o = Run("erase", DUNMERE, {});
    ExpectSuccess(o, "Finish");
    std::string expected;
    for (unsigned a = 1024; a <= 65472; a += 64) {
        char line[16];
        std::snprintf(line, sizeof line, "E %04X\n", a);
        expected += line;
    }
    EXPECT_EQ(o.frameLog, expected);
    EXPECT_EQ(o.report.at("frames received"), "1008");
    ASSERT_EQ(o.flash.size(), 65536u);
    for (std::size_t i = 0; i < o.flash.size(); ++i)
        ASSERT_EQ(o.flash[i], i < 1024 ? 0x00 : 0xFF) << i;
}

TEST_F(EndToEnd, DunmereIgnoresNoiseBetweenReplies)
{
    ExpectSuccess(Run("erase", DUNMERE, {"--noise", "6", "--seed", "3"}), "Finish");
}

TEST_F(EndToEnd, DunmereFailsCleanlyOnEveryDeviceFault)
{
    const std::vector<std::vector<std::string>> faults = {
        {"--cut-reply", "1007"},   // the last acknowledgement cut short
        {"--cut-reply", "10"},
        {"--silent-after", "500"},
        {"--vanish-after", "20"},
        {"--delay", "3000"},       // slower than --timeout
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault[0] + " " + fault[1]);
        ExpectFailure(Run("erase", DUNMERE, fault), "Finish");
    }
}

// ---- Solvane and Tirell -------------------------------------------------------------

// The flash of an IAP run: the image in whole blocks, the last one filled with 0xFF.
std::vector<std::uint8_t> Blocks(std::vector<std::uint8_t> image)
{
    image.resize((image.size() + 127) / 128 * 128, 0xFF);
    return image;
}

TEST_F(EndToEnd, SolvaneWritesEveryBlockWithTheFiller)
{
    const auto image = Pattern(1000, 1);  // 8 blocks, the last one 104 bytes
    const Outcome o = Run("solvane", SOLVANE, {}, WriteImage(image));
    ExpectSuccess(o, "Update Complete!");
    EXPECT_EQ(o.flash, Blocks(image));

    const auto full = Pattern(1024, 2);
    const Outcome download = Run("solvane", SOLVANE, {"--start", "UPDS", "--ack", "DTNX"}, WriteImage(full));
    ExpectSuccess(download, "Update Complete!");
    EXPECT_EQ(download.flash, full);
}

TEST_F(EndToEnd, SolvaneStartsOverAfterDataErrorsAndSurvivesNoiseAndASlowDevice)
{
    const auto image = Pattern(900, 3);
    const Outcome o = Run("solvane", SOLVANE, {"--dter", "0,3", "--noise", "5", "--delay", "20"}, WriteImage(image));
    ExpectSuccess(o, "Update Complete!");
    EXPECT_EQ(o.flash, Blocks(image));
    EXPECT_GT(std::stoul(o.report.at("frames received")), 2u + 8u);  // blocks were sent again
}

TEST_F(EndToEnd, SolvaneFailsCleanlyOnEveryDeviceFault)
{
    const auto image = WriteImage(Pattern(700, 4));  // 6 blocks: replies RECV, then 6 DTOK
    const std::vector<std::vector<std::string>> faults = {
        {"--cut-reply", "6"},  // the last acknowledgement cut short
        {"--cut-reply", "0"},  // "+RECV" without its "-"
        {"--dter", "2", "--no-restart"},
        {"--silent-after", "4"},
        {"--vanish-after", "4"},
        {"--delay", "3000"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault[0] + " " + fault[1]);
        ExpectFailure(Run("solvane", SOLVANE, fault, image), "Update Complete!");
    }
}

TEST_F(EndToEnd, TirellAnswersWaitRequestsAndWritesEveryBlock)
{
    const auto image = Pattern(1300, 5);  // 11 blocks
    const Outcome o = Run("tirell", TIRELL, {"--start", "UPDF", "--wait-before", "0,5,10", "--dter", "7"},
                          WriteImage(image));
    ExpectSuccess(o, "Update complete!");
    EXPECT_EQ(o.flash, Blocks(image));
    EXPECT_NE(o.frameLog.find("*WAIT#"), std::string::npos);
}

TEST_F(EndToEnd, TirellFailsCleanlyOnEveryDeviceFault)
{
    const auto image = WriteImage(Pattern(300, 6));  // 3 blocks
    const std::vector<std::vector<std::string>> faults = {
        {"--cut-reply", "3"},
        {"--silent-after", "3"},
        {"--vanish-after", "2"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault[0] + " " + fault[1]);
        ExpectFailure(Run("tirell", TIRELL, fault, image), "Update complete!");
    }
}

// ---- Quarrow ------------------------------------------------------------------------

// 5,000 bytes of data, then 3,000 bytes of 0xFF that the tool does not send: 3 pages.
std::vector<std::uint8_t> QuarrowImage(unsigned salt)
{
    auto image = Pattern(8000, salt);
    std::fill(image.begin() + 5000, image.end(), 0xFF);
    image[4999] = 0x5A;
    return image;
}

std::vector<std::uint8_t> Pages(std::vector<std::uint8_t> image, std::size_t pages)
{
    image.resize(pages * 2112, 0xFF);
    return image;
}

TEST_F(EndToEnd, QuarrowWritesEveryPage)
{
    const auto image = QuarrowImage(7);
    const Outcome o = Run("quarrow", QUARROW, {}, WriteImage(image));
    ExpectSuccess(o, "Updata success!");
    EXPECT_EQ(o.flash, Pages(image, 3));
    EXPECT_EQ(o.report.at("frames received"), std::to_string(17 + 3 * 16));
}

TEST_F(EndToEnd, QuarrowResendsRejectedFramesAndIgnoresNoise)
{
    const auto image = QuarrowImage(8);
    // Page 0's start frame once, frame 5 twenty times in a row, the last frame once.
    const Outcome o = Run("quarrow", QUARROW, {"--wer", "0,5x20,47", "--noise", "4"}, WriteImage(image));
    ExpectSuccess(o, "Updata success!");
    EXPECT_EQ(o.flash, Pages(image, 3));
    EXPECT_EQ(o.report.at("frames received"), std::to_string(17 + 3 * 16 + 22));
}

TEST_F(EndToEnd, QuarrowFailsCleanlyOnEveryDeviceFault)
{
    const auto image = WriteImage(QuarrowImage(9));  // 17 + 48 replies
    const std::vector<std::vector<std::string>> faults = {
        {"--cut-reply", "64"},  // the last acknowledgement cut short
        {"--cut-reply", "5"},   // an erase acknowledgement
        {"--silent-after", "30"},
        {"--vanish-after", "30"},
        {"--delay", "3000"},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault[0] + " " + fault[1]);
        ExpectFailure(Run("quarrow", QUARROW, fault, image), "Updata success!");
    }
}

// ---- No device ----------------------------------------------------------------------

// With no --timeout at all, a line that hangs up still ends the run at once: the port
// failed and nothing more can come.
TEST_F(EndToEnd, VanishedDeviceEndsTheRunWithoutTimeout)
{
    const std::string image = WriteImage(Pattern(300, 11));
    const Outcome erase = Run("erase", DUNMERE, {"--vanish-after", "5"}, "", 0);
    ExpectFailure(erase, "Finish");
    // In the platform's words, with the device's path and the program's name.
    EXPECT_NE(erase.tool.err.find(std::string("dunmere: ") + Path("line") + ": Input/output error"), std::string::npos)
        << erase.tool.err;
    EXPECT_EQ(erase.tool.err.find("Port: "), std::string::npos) << erase.tool.err;
    ExpectFailure(Run("solvane", SOLVANE, {"--vanish-after", "2"}, image, 0), "Update Complete!");
    ExpectFailure(Run("quarrow", QUARROW, {"--vanish-after", "20"}, WriteImage(QuarrowImage(12)), 0),
                  "Updata success!");
}

TEST_F(EndToEnd, ToolsFailCleanlyWithNoDevice)
{
    const std::string image = WriteImage(Pattern(256, 10));
    const std::vector<std::vector<std::string>> runs = {
        {DUNMERE, "--port", Path("nothing"), "--timeout", "1"},
        {SOLVANE, "--port", Path("nothing"), "--timeout", "1", image},
        {TIRELL, "--port", Path("nothing"), "--timeout", "1", image},
        {QUARROW, "--port", Path("nothing"), "--timeout", "1", image},
    };
    for (const auto& argv : runs) {
        SCOPED_TRACE(argv[0]);
        Process tool(argv, Path("tool"));
        const ProcessResult r = tool.Wait(10000);
        EXPECT_FALSE(r.killed);
        EXPECT_FALSE(r.signalled);
        EXPECT_GT(r.exitStatus, 0);
        EXPECT_NE(r.err.find("nothing"), std::string::npos) << r.err;
    }
}

}  // namespace
