// Each console program against device-sim over a pseudo-terminal. device-sim checks
// every frame and writes the flash it ends with; the tests compare that flash with
// the image, and for every fault the device plays they check for a defined end:
// success only when the device confirmed everything, otherwise a failure with a
// message, never a hang (hard time limits) and never a crash (no signal).
#include "E2eSupport.h"

using namespace e2e;

namespace {

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
        {"--cut-reply", "1007"},  // the last acknowledgement cut short
        {"--cut-reply", "10"},    {"--silent-after", "500"},
        {"--vanish-after", "20"}, {"--delay", "3000"},  // slower than --timeout
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
    const Outcome o =
        Run("tirell", TIRELL, {"--start", "UPDF", "--wait-before", "0,5,10", "--dter", "7"}, WriteImage(image));
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

TEST_F(EndToEnd, QuarrowWritesPageZeroAfterEraseAcksEndingInHash)
{
    // A device that ends its erase acknowledgements with '#' and rejects page 0's first
    // frame: the rejection must be answered with that frame again, not taken as its
    // acknowledgement (page 0 would then never be written).
    const auto image = QuarrowImage(9);
    const Outcome o = Run("quarrow", QUARROW, {"--erase-ack", "*EOK#", "--wer", "0"}, WriteImage(image));
    ExpectSuccess(o, "Updata success!");
    EXPECT_EQ(o.flash, Pages(image, 3));
    EXPECT_EQ(o.report.at("frames received"), std::to_string(17 + 3 * 16 + 1));
}

TEST_F(EndToEnd, QuarrowFailsCleanlyOnEveryDeviceFault)
{
    const auto image = WriteImage(QuarrowImage(9));  // 17 + 48 replies
    const std::vector<std::vector<std::string>> faults = {
        {"--cut-reply", "64"},  // the last acknowledgement cut short
        {"--cut-reply", "5"},   // an erase acknowledgement
        {"--silent-after", "30"}, {"--vanish-after", "30"}, {"--delay", "3000"},
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
