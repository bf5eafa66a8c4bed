#include "sim/IapLoader.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

#include <cctype>

using namespace sim;
using namespace simtest;

namespace {

using Replies = std::vector<std::string>;

IapLoaderConfig Config(std::size_t imageSize, IapVariant variant = IapVariant::Solvane)
{
    IapLoaderConfig config;
    config.variant = variant;
    config.expectedImage = TestImage(imageSize);
    return config;
}

// Announce, answer with the command and length frames, and check "+RECV-".
void Handshake(IapLoader& loader, RecordingOutput& out, const std::string& command = "*IAPK#")
{
    ASSERT_TRUE(loader.WantsAnnounce());
    loader.Announce(out);
    out.Take();
    Feed(loader, command, out);
    ASSERT_TRUE(out.Take().empty());
    Feed(loader, "*0000#", out);
    ASSERT_EQ(out.Take(), Replies{"+RECV-"});
}

TEST(IapLoader, WholeUpdateStoresEveryBlockWithTheFiller)
{
    const auto image = TestImage(300);  // 3 blocks, the last one short
    IapLoader loader(Config(300));
    RecordingOutput out;
    loader.Announce(out);
    EXPECT_EQ(out.Take(), Replies{"+IAPC-"});
    EXPECT_FALSE(loader.ExchangeStarted());
    Handshake(loader, out);
    EXPECT_TRUE(loader.ExchangeStarted());
    EXPECT_FALSE(loader.WantsAnnounce());
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_FALSE(loader.Stats().complete);
        Feed(loader, IapDataFrame(image, k), out);
        EXPECT_EQ(out.Take(), Replies{"+DTOK-"}) << k;
    }
    EXPECT_TRUE(loader.Stats().complete);
    EXPECT_EQ(loader.Stats().errorCount, 0u);
    EXPECT_EQ(loader.Stats().framesReceived, 5u);
    EXPECT_EQ(loader.Stats().bytesWritten, 384u);
    auto expected = image;
    expected.resize(384, 0xFF);
    EXPECT_EQ(loader.FlashImage(), expected);

    Feed(loader, IapDataFrame(image, 0), out);  // nothing more is expected
    EXPECT_EQ(loader.Stats().errorCount, 1u);
}

TEST(IapLoader, DownloadStartWantsTheDownloadCommand)
{
    auto config = Config(128);
    config.startReply = "UPDS";
    IapLoader loader(config);
    RecordingOutput out;
    loader.Announce(out);
    EXPECT_EQ(out.Take(), Replies{"+UPDS-"});
    Feed(loader, "*IAPK#", out);  // answers the wrong start reply
    EXPECT_EQ(loader.Stats().errorCount, 1u);
    EXPECT_TRUE(loader.WantsAnnounce());
    Feed(loader, "*DNDA#*0000#", out);
    EXPECT_EQ(out.Take(), Replies{"+RECV-"});
}

TEST(IapLoader, BadFramesAreAnsweredWithErrorAndTheLoaderStartsOver)
{
    const auto image = TestImage(256);
    IapLoader loader(Config(256));
    RecordingOutput out;
    Handshake(loader, out);
    Feed(loader, IapDataFrame(image, 0), out);
    out.Take();

    std::string bad = IapDataFrame(image, 1);
    bad[260] = bad[260] == '0' ? '1' : '0';  // checksum off by one digit
    Feed(loader, bad, out);
    EXPECT_EQ(out.Take(), Replies{"+DTER-"});
    EXPECT_EQ(loader.Stats().errorCount, 1u);
    EXPECT_NE(loader.Stats().errors[0].find("block 1: checksum"), std::string::npos);
    EXPECT_TRUE(loader.WantsAnnounce());
    EXPECT_EQ(loader.BlocksReceived(), 0);

    std::string lower = IapDataFrame(image, 0);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    lower.front() = '*';
    Handshake(loader, out);
    bool sawLetter = lower.find_first_of("abcdef") != std::string::npos;
    ASSERT_TRUE(sawLetter);
    Feed(loader, lower, out);
    EXPECT_EQ(out.Take(), Replies{"+DTER-"});
    EXPECT_EQ(loader.Stats().errorCount, 2u);

    Handshake(loader, out);
    Feed(loader, IapDataFrame(image, 0) + IapDataFrame(image, 1), out);
    EXPECT_EQ(out.Take(), (Replies{"+DTOK-", "+DTOK-"}));
    EXPECT_TRUE(loader.Stats().complete);
}

TEST(IapLoader, ChosenBlocksGetAnErrorOnceThenTheRunCompletes)
{
    const auto image = TestImage(3 * 128);
    auto config = Config(image.size());
    config.errorBlocks = {1};
    config.ackReply = "DTNX";
    IapLoader loader(config);
    RecordingOutput out;
    Handshake(loader, out);
    Feed(loader, IapDataFrame(image, 0) + IapDataFrame(image, 1), out);
    EXPECT_EQ(out.Take(), (Replies{"+DTNX-", "+DTER-"}));
    EXPECT_EQ(loader.Stats().errorCount, 0u);  // the device's doing, not the tool's

    Handshake(loader, out);
    for (std::size_t k = 0; k < 3; ++k)
        Feed(loader, IapDataFrame(image, k), out);
    EXPECT_EQ(out.Take(), (Replies{"+DTNX-", "+DTNX-", "+DTNX-"}));
    EXPECT_TRUE(loader.Stats().complete);
    EXPECT_EQ(loader.Stats().errorCount, 0u);
}

TEST(IapLoader, WithoutRestartTheLoaderWaitsAfterAnError)
{
    const auto image = TestImage(256);
    auto config = Config(image.size());
    config.errorBlocks = {0};
    config.restartAfterError = false;
    IapLoader loader(config);
    RecordingOutput out;
    Handshake(loader, out);
    Feed(loader, IapDataFrame(image, 0), out);
    EXPECT_EQ(out.Take(), Replies{"+DTER-"});
    EXPECT_FALSE(loader.WantsAnnounce());
    EXPECT_EQ(loader.GetState(), IapLoader::State::Receiving);
    EXPECT_EQ(loader.BlocksReceived(), 0);
}

TEST(IapLoader, TirellLoaderAsksForWaitFrames)
{
    const auto image = TestImage(3 * 128);
    auto config = Config(image.size(), IapVariant::Tirell);
    config.startReply = "UPDF";
    config.waitBeforeBlocks = {0, 2};
    ASSERT_EQ(CheckIapConfig(config), "");
    IapLoader loader(config);
    RecordingOutput out;
    Feed(loader, "*WAIT#", out);  // not asked for
    EXPECT_EQ(loader.Stats().errorCount, 1u);
    Handshake(loader, out, "*DNDA#");
    Feed(loader, IapDataFrame(image, 0), out);
    EXPECT_EQ(out.Take(), Replies{"+UPDS-"});
    Feed(loader, IapDataFrame(image, 1), out);  // must wait first
    EXPECT_EQ(loader.Stats().errorCount, 2u);
    Feed(loader, "*WAIT#", out);
    EXPECT_EQ(out.Take(), Replies{"+DTOK-"});
    Feed(loader, IapDataFrame(image, 1) + IapDataFrame(image, 2), out);
    EXPECT_EQ(out.Take(), (Replies{"+DTOK-", "+UPDS-"}));
    EXPECT_FALSE(loader.Stats().complete);
    Feed(loader, "*WAIT#", out);
    EXPECT_EQ(out.Take(), Replies{"+DTOK-"});
    EXPECT_TRUE(loader.Stats().complete);
}

TEST(IapLoader, ChecksDataAgainstTheImageButNotTheFiller)
{
    const auto image = TestImage(130);
    IapLoader loader(Config(130));
    RecordingOutput out;
    Handshake(loader, out);
    Feed(loader, IapDataFrame(image, 0), out);
    auto other = image;
    other.resize(256, 0x00);  // a different filler is the tool's choice
    Feed(loader, IapDataFrame(other, 1), out);
    EXPECT_EQ(loader.Stats().errorCount, 0u);
    EXPECT_TRUE(loader.Stats().complete);

    IapLoader second(Config(130));
    Handshake(second, out);
    other[5] ^= 0x40;
    Feed(second, IapDataFrame(other, 0), out);
    EXPECT_EQ(out.Take(), Replies{"+DTOK-"});  // checksum fine: the device cannot tell
    ASSERT_EQ(second.Stats().errorCount, 1u);
    EXPECT_EQ(second.Stats().errors[0], "block 0 differs from the image at offset 5");
}

TEST(IapLoader, HandshakeOddities)
{
    IapLoader loader(Config(128));
    RecordingOutput out;
    Feed(loader, "*0000#", out);  // length before the command
    EXPECT_EQ(loader.Stats().errorCount, 1u);
    EXPECT_TRUE(out.Take().empty());
    // Two announcements answered: the second command frame and length frame start again.
    Feed(loader, "*IAPK#*0000#*IAPK#*0000#", out);
    EXPECT_EQ(out.Take(), (Replies{"+RECV-", "+RECV-"}));
    EXPECT_EQ(loader.Stats().errorCount, 1u);
    // A frame cut short by the next one, and a frame of odd length.
    Feed(loader, "*00*XYZ#", out);
    EXPECT_EQ(loader.Stats().errorCount, 3u);

    IapLoader other(Config(128));
    Feed(other, "*IAPK#*0010#", out);  // the tool never says the length
    EXPECT_EQ(out.Take(), Replies{"+RECV-"});
    EXPECT_EQ(other.Stats().errorCount, 1u);
}

TEST(IapLoader, ConfigurationChecks)
{
    IapLoaderConfig config;
    config.variant = IapVariant::Tirell;
    config.startReply = "UPDS";  // a wait request in Tirell, not a start reply
    EXPECT_NE(CheckIapConfig(config), "");
    config.startReply = "UPDF";
    EXPECT_EQ(CheckIapConfig(config), "");
    config.variant = IapVariant::Solvane;
    EXPECT_NE(CheckIapConfig(config), "");
    config.startReply = "IAPC";
    config.waitBeforeBlocks = {1};
    EXPECT_NE(CheckIapConfig(config), "");
}

}  // namespace

namespace {

// Told nothing of the image, the loader judges the run when the tool closes the line:
// complete only if the last block acknowledged is recognisably the image's last.
TEST(IapLoader, WithoutAnImageSizeOnlyARecognisableEndIsComplete)
{
    const auto image = TestImage(300);
    IapLoader loader(IapLoaderConfig{});
    RecordingOutput out;
    Handshake(loader, out);
    loader.OnLineClosed();
    EXPECT_FALSE(loader.Stats().complete) << "no block arrived";
    for (std::size_t k = 0; k < 3; ++k)
        Feed(loader, IapDataFrame(image, k), out);
    EXPECT_FALSE(loader.Stats().complete);
    loader.OnLineClosed();
    EXPECT_TRUE(loader.Stats().complete) << "block 2 ends in the filler";
    EXPECT_EQ(loader.Stats().bytesWritten, 384u);

    // A run that stopped after a block ending in data looks like a finished one of
    // whole blocks: not complete, and the note says why.
    const auto whole = TestImage(384);
    ASSERT_NE(whole.back(), 0xFF);
    IapLoader stopped(IapLoaderConfig{});
    Handshake(stopped, out);
    for (std::size_t k = 0; k < 3; ++k)
        Feed(stopped, IapDataFrame(whole, k), out);
    EXPECT_EQ(out.Take().back(), "+DTOK-");
    stopped.OnLineClosed();
    EXPECT_FALSE(stopped.Stats().complete);
    EXPECT_NE(stopped.Stats().note.find("block 2"), std::string::npos) << stopped.Stats().note;

    // The 112th block is the last the tool ever sends, whatever it holds.
    const auto full = TestImage(14336);
    IapLoader longest(IapLoaderConfig{});
    Handshake(longest, out);
    for (std::size_t k = 0; k < 112; ++k)
        Feed(longest, IapDataFrame(full, k), out);
    longest.OnLineClosed();
    EXPECT_TRUE(longest.Stats().complete);

    // A frame begun after the last acknowledgement: the tool stopped in the middle.
    IapLoader cut(IapLoaderConfig{});
    Handshake(cut, out);
    for (std::size_t k = 0; k < 3; ++k)
        Feed(cut, IapDataFrame(image, k), out);
    Feed(cut, IapDataFrame(image, 3).substr(0, 100), out);
    cut.OnLineClosed();
    EXPECT_FALSE(cut.Stats().complete);
    EXPECT_NE(cut.Stats().note.find("middle of a frame"), std::string::npos) << cut.Stats().note;

    // A block that was answered "+DTER-" last is no finished transfer.
    IapLoaderConfig errorConfig;
    errorConfig.errorBlocks = {1};
    errorConfig.restartAfterError = false;
    IapLoader failed(errorConfig);
    Handshake(failed, out);
    Feed(failed, IapDataFrame(image, 0), out);
    Feed(failed, IapDataFrame(image, 1), out);
    EXPECT_EQ(out.Take().back(), "+DTER-");
    failed.OnLineClosed();
    EXPECT_FALSE(failed.Stats().complete);

    // With a block count the close changes nothing.
    IapLoader counted(Config(300));
    Handshake(counted, out);
    Feed(counted, IapDataFrame(image, 0), out);
    counted.OnLineClosed();
    EXPECT_FALSE(counted.Stats().complete);
}

}  // namespace
