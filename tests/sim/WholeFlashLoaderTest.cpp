#include "sim/WholeFlashLoader.h"

#include "SimTestSupport.h"

#include <gtest/gtest.h>

using namespace sim;
using namespace simtest;

namespace {

using Replies = std::vector<std::string>;

void EraseStage(WholeFlashLoader& loader, RecordingOutput& out)
{
    for (unsigned a = 0; a <= 1024; a += 64) {
        Feed(loader, EraseFrame(a), out);
        ASSERT_EQ(out.Take(), Replies{"*EOK-"}) << a;
    }
}

void WritePage(WholeFlashLoader& loader, RecordingOutput& out, const std::vector<std::uint8_t>& image, unsigned page)
{
    for (unsigned sub = 0; sub < 16; ++sub) {
        Feed(loader, WriteFrame(image, page, sub), out);
        ASSERT_EQ(out.Take(), Replies{"*WOK-"}) << page << "/" << sub;
    }
}

// Bytes that look like frame markers inside the data must not confuse the framing.
std::vector<std::uint8_t> MarkerImage(std::size_t size)
{
    std::vector<std::uint8_t> image = TestImage(size);
    for (std::size_t i = 0; i < size; i += 5)
        image[i] = "+-*#W"[i % 4];
    return image;
}

WholeFlashConfig ExpectImage(const std::vector<std::uint8_t>& image)
{
    WholeFlashConfig config;
    config.expectedImage = image;
    config.hasExpectedImage = true;
    return config;
}

TEST(WholeFlashLoader, TwoPageRunStoresThePagesAsSent)
{
    const auto image = MarkerImage(2 * 2112 - 100);  // second page ends in erased bytes
    WholeFlashLoader loader(ExpectImage(image));
    ASSERT_EQ(loader.ExpectedPages(), 2);
    RecordingOutput out;
    EraseStage(loader, out);
    WritePage(loader, out, image, 0);
    EXPECT_FALSE(loader.Stats().complete);
    WritePage(loader, out, image, 1);
    EXPECT_TRUE(loader.Stats().complete);
    EXPECT_EQ(loader.Stats().errorCount, 0u) << loader.Stats().errors[0];
    EXPECT_EQ(loader.Stats().framesReceived, 17u + 32u);
    EXPECT_EQ(loader.Stats().bytesWritten, 2u * 2112u);
    auto expected = image;
    expected.resize(2 * 2112, 0xFF);
    EXPECT_EQ(loader.FlashImage(), expected);
}

TEST(WholeFlashLoader, PageCountFollowsTheTool)
{
    EXPECT_EQ(WholeFlashPageCount({}), 0);
    EXPECT_EQ(WholeFlashPageCount(TestImage(2112)), 1);
    EXPECT_EQ(WholeFlashPageCount(std::vector<std::uint8_t>(2113, 0x11)), 2);
    auto tail = std::vector<std::uint8_t>(5112, 0x22);
    std::fill(tail.begin() + 2112, tail.end(), 0xFF);
    EXPECT_EQ(WholeFlashPageCount(tail), 1);
    EXPECT_EQ(WholeFlashPageCount(std::vector<std::uint8_t>(2162688 + 10, 0x33)), 1024);
}

TEST(WholeFlashLoader, BadFramesAreRejectedAndTheResendAccepted)
{
    const auto image = TestImage(2112);
    WholeFlashLoader loader(ExpectImage(image));
    RecordingOutput out;
    EraseStage(loader, out);
    std::string bad = WriteFrame(image, 0, 0);
    bad[139] ^= 1;
    Feed(loader, bad, out);
    EXPECT_EQ(out.Take(), Replies{"*WER#"});
    bad = WriteFrame(image, 0, 0);
    bad.back() = '#';
    Feed(loader, bad, out);
    EXPECT_EQ(out.Take(), Replies{"*WER#"});
    EXPECT_EQ(loader.Stats().errorCount, 2u);
    WritePage(loader, out, image, 0);
    EXPECT_TRUE(loader.Stats().complete);
    EXPECT_EQ(loader.FlashImage(), image);
}

TEST(WholeFlashLoader, GivesUpOnAFrameThatNeverComesRight)
{
    const auto image = TestImage(2112);
    WholeFlashLoader loader(ExpectImage(image));
    RecordingOutput out;
    EraseStage(loader, out);
    std::string bad = WriteFrame(image, 0, 0);
    bad[10] ^= 1;
    for (unsigned i = 0; i < WF_MAX_BAD_REPEATS; ++i)
        Feed(loader, bad, out);
    EXPECT_EQ(out.Take().size(), WF_MAX_BAD_REPEATS);
    EXPECT_FALSE(loader.GaveUp());
    Feed(loader, bad, out);
    EXPECT_TRUE(loader.GaveUp());
    Feed(loader, WriteFrame(image, 0, 0), out);
    EXPECT_TRUE(out.Take().empty());
}

TEST(WholeFlashLoader, ChosenFramesAreRejectedManyTimesInARow)
{
    const auto image = TestImage(2 * 2112);
    auto config = ExpectImage(image);
    config.rejectFrames = {{0, 1}, {21, 4}};  // page 0 sub 0 once; page 1 sub 5 four times
    WholeFlashLoader loader(config);
    RecordingOutput out;
    EraseStage(loader, out);
    Feed(loader, WriteFrame(image, 0, 0), out);
    EXPECT_EQ(out.Take(), Replies{"*WER#"});
    WritePage(loader, out, image, 0);
    for (unsigned sub = 0; sub < 5; ++sub)
        Feed(loader, WriteFrame(image, 1, sub), out);
    out.Take();
    for (int i = 0; i < 4; ++i) {
        Feed(loader, WriteFrame(image, 1, 5), out);
        EXPECT_EQ(out.Take(), Replies{"*WER#"}) << i;
    }
    for (unsigned sub = 5; sub < 16; ++sub)
        Feed(loader, WriteFrame(image, 1, sub), out);
    EXPECT_TRUE(loader.Stats().complete);
    EXPECT_EQ(loader.Stats().errorCount, 0u);
    EXPECT_EQ(loader.FlashImage(), image);
}

TEST(WholeFlashLoader, OrderAndEraseRulesAreChecked)
{
    const auto image = TestImage(3 * 2112);
    {
        WholeFlashLoader loader(ExpectImage(image));  // no erase at all
        RecordingOutput out;
        Feed(loader, WriteFrame(image, 0, 0), out);
        EXPECT_EQ(out.Take(), Replies{"*WOK-"});
        EXPECT_EQ(loader.Stats().errorCount, 2u);  // before the erase stage, page not erased
    }
    {
        WholeFlashLoader loader(ExpectImage(image));
        RecordingOutput out;
        Feed(loader, EraseFrame(0) + EraseFrame(128), out);  // skips 64
        EXPECT_EQ(loader.Stats().errorCount, 1u);
    }
    {
        WholeFlashLoader loader(ExpectImage(image));
        RecordingOutput out;
        EraseStage(loader, out);
        Feed(loader, WriteFrame(image, 0, 1), out);  // continuation with no page
        EXPECT_EQ(loader.Stats().errorCount, 1u);
        Feed(loader, WriteFrame(image, 0, 0), out);
        Feed(loader, WriteFrame(image, 2, 0), out);  // page 0 left incomplete, page 1 skipped
        EXPECT_EQ(loader.Stats().errorCount, 3u);
        EXPECT_NE(loader.Stats().errors[1].find("page 0 left with 1 of 16 frames"), std::string::npos);
        EXPECT_NE(loader.Stats().errors[2].find("page 2 out of order (expected 1)"), std::string::npos);
    }
    {
        WholeFlashLoader loader(ExpectImage(image));
        RecordingOutput out;
        EraseStage(loader, out);
        WritePage(loader, out, image, 0);
        EraseStage(loader, out);  // a second run is fine: erase again, then write
        WritePage(loader, out, image, 0);
        EXPECT_EQ(loader.Stats().errorCount, 0u);
        auto other = image;
        other[2112 + 7] ^= 0xFF;
        WritePage(loader, out, other, 1);
        ASSERT_EQ(loader.Stats().errorCount, 1u);
        EXPECT_EQ(loader.Stats().errors[0], "page 1 differs from the image at offset 2119");
        Feed(loader, WriteFrame(image, 1, 0), out);  // page 2 expected, page 1 again
        EXPECT_EQ(loader.Stats().errorCount, 3u);    // out of order, not erased
    }
}

}  // namespace

namespace {

// Told nothing of the image, the loader judges the run when the tool closes the line:
// complete only on a whole page that is recognisably the image's last.
TEST(WholeFlashLoader, WithoutAnImageSizeOnlyARecognisableEndIsComplete)
{
    const auto image = MarkerImage(2 * 2112 - 100);  // page 1 ends in erased flash
    RecordingOutput out;

    WholeFlashLoader whole{WholeFlashConfig{}};
    EraseStage(whole, out);
    whole.OnLineClosed();
    EXPECT_FALSE(whole.Stats().complete) << "no page written";
    WritePage(whole, out, image, 0);
    WritePage(whole, out, image, 1);
    whole.OnLineClosed();
    EXPECT_TRUE(whole.Stats().complete);

    // Stopped in the middle of a page: not complete.
    WholeFlashLoader partial{WholeFlashConfig{}};
    EraseStage(partial, out);
    WritePage(partial, out, image, 0);
    Feed(partial, WriteFrame(image, 1, 0), out);
    partial.OnLineClosed();
    EXPECT_FALSE(partial.Stats().complete);
    out.Take();

    // A run that stopped after a page ending in data looks like a finished one of
    // whole pages; a blank page is never the tool's last.
    const auto pages = MarkerImage(2 * 2112);
    ASSERT_NE(pages.back(), 0xFF);
    WholeFlashLoader stopped{WholeFlashConfig{}};
    EraseStage(stopped, out);
    WritePage(stopped, out, pages, 0);
    WritePage(stopped, out, pages, 1);
    stopped.OnLineClosed();
    EXPECT_FALSE(stopped.Stats().complete);
    EXPECT_NE(stopped.Stats().note.find("page 1"), std::string::npos) << stopped.Stats().note;
    WholeFlashLoader blank{WholeFlashConfig{}};
    EraseStage(blank, out);
    WritePage(blank, out, image, 0);
    WritePage(blank, out, std::vector<std::uint8_t>(), 1);
    blank.OnLineClosed();
    EXPECT_FALSE(blank.Stats().complete);
    EXPECT_NE(blank.Stats().note.find("blank"), std::string::npos) << blank.Stats().note;
}

}  // namespace
