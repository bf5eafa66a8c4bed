#include "iap/IapFrames.h"

#include "IapTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string FrameText(const IapDataFrame& frame)
{
    return std::string(frame.begin(), frame.end());
}

std::string Repeat(const std::string& s, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += s;
    return out;
}

}  // namespace

TEST(IapFrames, DataFrameOfKnownBlocksCarriesHexDigitsAndWordSum)
{
    const std::vector<std::uint8_t> zeros(128, 0x00);
    EXPECT_EQ(FrameText(BuildDataFrame(zeros, 0)), "*" + std::string(256, '0') + "0000#");

    const std::vector<std::uint8_t> ones(128, 0xFF);
    EXPECT_EQ(FrameText(BuildDataFrame(ones, 0)), "*" + std::string(256, 'F') + "FFC0#");

    std::vector<std::uint8_t> ramp(128);
    for (int i = 0; i < 128; ++i)
        ramp[i] = static_cast<std::uint8_t>(i);
    const std::string rampFrame = FrameText(BuildDataFrame(ramp, 0));
    EXPECT_EQ(rampFrame.substr(0, 7), "*000102");
    EXPECT_EQ(rampFrame.substr(249, 13), "7C7D7E7FD000#");
    EXPECT_EQ(rampFrame, ExpectedDataFrame(ramp, 0));

    std::vector<std::uint8_t> weighted(128, 0x00);
    weighted[0] = 0x01;
    weighted[1] = 0x02;
    EXPECT_EQ(FrameText(BuildDataFrame(weighted, 0)), "*0102" + std::string(252, '0') + "0102#");
}

TEST(IapFrames, DataFrameTakesTheRequestedBlockInImageOrder)
{
    const std::vector<std::uint8_t> image = PatternImage(3 * 128);
    for (int block = 0; block < 3; ++block)
        EXPECT_EQ(FrameText(BuildDataFrame(image, block)), ExpectedDataFrame(image, block)) << block;
    // Letters are upper case only.
    const std::string frame = FrameText(BuildDataFrame(image, 1));
    EXPECT_EQ(frame.find_first_of("abcdef"), std::string::npos);
}

TEST(IapFrames, ShortLastBlockIsFilledWithErasedFlashAndTheSumCoversIt)
{
    // One byte 0x12, then 127 bytes 0xFF: 0x12FF + 63 * 0xFFFF = 0x12C0 (mod 65536).
    const std::vector<std::uint8_t> oneByte = {0x12};
    EXPECT_EQ(FrameText(BuildDataFrame(oneByte, 0)), "*12" + std::string(254, 'F') + "12C0#");

    // 129 bytes: block 1 is byte 128 and 127 bytes of filler.
    const std::vector<std::uint8_t> image = PatternImage(129);
    EXPECT_EQ(FrameText(BuildDataFrame(image, 1)), ExpectedDataFrame(image, 1));
    EXPECT_EQ(FrameText(BuildDataFrame(image, 1)).substr(3, 10), Repeat("FF", 5));
}

TEST(IapFrames, LengthFrameIsTheWordInFourDigitsWithoutTerminator)
{
    EXPECT_EQ(BuildLengthFrame(0), "*0000#");
    EXPECT_EQ(BuildLengthFrame(0xABCD), "*ABCD#");
    EXPECT_EQ(BuildLengthFrame(0x03FF), "*03FF#");
}
