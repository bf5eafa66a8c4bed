#include "sim/EraseLoader.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

using namespace sim;
using namespace simtest;

namespace {

TEST(EraseLoader, WholeChainIsAnsweredAndErasesAboveTheLoader)
{
    EraseLoader loader;
    RecordingOutput out;
    for (unsigned a = 1024; a <= 65472; a += 64) {
        ASSERT_FALSE(loader.Stats().complete) << a;
        Feed(loader, EraseFrame(a), out);
        ASSERT_EQ(out.Take(), std::vector<std::string>{"*EOK#"}) << a;
    }
    EXPECT_TRUE(loader.Stats().complete);
    EXPECT_EQ(loader.Stats().framesReceived, 1008u);
    EXPECT_EQ(loader.Stats().errorCount, 0u);
    const auto flash = loader.FlashImage();
    ASSERT_EQ(flash.size(), 65536u);
    for (std::size_t i = 0; i < flash.size(); ++i)
        ASSERT_EQ(flash[i], i < 1024 ? 0x00 : 0xFF) << i;
    EXPECT_EQ(loader.FrameLog().front(), "E 0400");
    EXPECT_EQ(loader.FrameLog().back(), "E FFC0");
}

TEST(EraseLoader, OrderFaultsAreFoundButStillAnswered)
{
    EraseLoader loader;
    RecordingOutput out;
    Feed(loader, EraseFrame(1024) + EraseFrame(1152), out);  // skips 0440
    EXPECT_EQ(out.Take().size(), 2u);
    EXPECT_EQ(loader.Stats().errorCount, 1u);
    EXPECT_NE(loader.Stats().errors[0].find("0480 out of order (expected 0440)"), std::string::npos);

    Feed(loader, EraseFrame(512), out);        // the loader's own area
    EXPECT_EQ(loader.Stats().errorCount, 3u);  // out of order, and in the loader's area
    EXPECT_EQ(loader.FlashImage()[512], 0x00);
}

TEST(EraseLoader, ErasePressedAgainRestartsTheChainWithoutError)
{
    EraseLoader loader;
    RecordingOutput out;
    for (unsigned a = 1024; a < 4096; a += 64)
        Feed(loader, EraseFrame(a), out);
    for (unsigned a = 1024; a <= 65472; a += 64)
        Feed(loader, EraseFrame(a), out);
    EXPECT_EQ(loader.Stats().errorCount, 0u);
    EXPECT_TRUE(loader.Stats().complete);
    // A frame after the chain's end is the tool's fault.
    Feed(loader, EraseFrame(1024), out);
    EXPECT_EQ(loader.Stats().errorCount, 1u);
}

TEST(EraseLoader, MalformedFramesAndStrayBytes)
{
    EraseLoader loader;
    RecordingOutput out;
    Feed(loader, "+E04a0-", out);  // lower-case digit: not answered
    Feed(loader, "+E0400#", out);  // wrong end
    EXPECT_TRUE(out.Take().empty());
    EXPECT_EQ(loader.Stats().errorCount, 2u);
    Feed(loader, "\r\n\r\n", out);  // one run of stray bytes, one error
    EXPECT_EQ(loader.Stats().errorCount, 3u);
    Feed(loader, "+X+E0400-", out);  // unknown type, then a good frame right after
    EXPECT_EQ(out.Take(), std::vector<std::string>{"*EOK#"});
    EXPECT_EQ(loader.Stats().errorCount, 4u);
    EXPECT_EQ(loader.ExpectedAddress(), 1088);
}

}  // namespace
