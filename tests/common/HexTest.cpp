#include "common/EraseFrame.h"
#include "common/Hex.h"

#include <gtest/gtest.h>

#include <vector>

TEST(Hex, DigitsAreUpperCaseAndMostSignificantFirst)
{
    std::string all;
    for (unsigned v = 0; v < 16; ++v)
        all.push_back(NibbleToHex(v));
    EXPECT_EQ(all, "0123456789ABCDEF");

    char digits[4];
    WriteHex16(0x03FF, digits);
    EXPECT_EQ(std::string(digits, 4), "03FF");
    WriteHex16(65472, digits);
    EXPECT_EQ(std::string(digits, 4), "FFC0");
}

TEST(Hex, WordSumWeighsEvenBytesHighAndWraps)
{
    std::vector<std::uint8_t> block(128, 0);
    block[0] = 0x01;
    block[1] = 0x02;
    EXPECT_EQ(WordSum16(block.data(), block.size()), 0x0102);

    std::vector<std::uint8_t> ramp(128);
    for (int i = 0; i < 128; ++i)
        ramp[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(WordSum16(ramp.data(), ramp.size()), 0xD000);

    std::vector<std::uint8_t> ones(132, 0xFF);
    EXPECT_EQ(WordSum16(ones.data(), ones.size()), 0xFFBE);
    std::vector<std::uint8_t> ff128(128, 0xFF);
    EXPECT_EQ(WordSum16(ff128.data(), ff128.size()), 0xFFC0);
}

TEST(Hex, DecodingTakesOnlyUpperCaseDigits)
{
    const std::uint8_t good[] = {'0', '3', 'F', 'F'};
    EXPECT_EQ(ParseHex16(good), 0x03FF);
    const std::uint8_t lower[] = {'f', 'f', 'c', '0'};
    EXPECT_EQ(ParseHex16(lower), -1);
    const std::uint8_t junk[] = {'0', '0', '4', '-'};
    EXPECT_EQ(ParseHex16(junk), -1);
    EXPECT_EQ(HexDigitValue('A'), 10);
    EXPECT_EQ(HexDigitValue('G'), -1);
}

TEST(EraseFrame, CarriesTheAddressAsFourUpperCaseHexDigits)
{
    auto frame = [](int address) {
        std::uint8_t bytes[ERASE_FRAME_LENGTH];
        BuildEraseFrame(address, bytes);
        return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
    };
    EXPECT_EQ(frame(0), std::string("\x2B\x45\x30\x30\x30\x30\x2D"));
    EXPECT_EQ(frame(64), std::string("\x2B\x45\x30\x30\x34\x30\x2D"));
    EXPECT_EQ(frame(1024), "+E0400-");
    EXPECT_EQ(frame(65472), "+EFFC0-");
    EXPECT_EQ(frame(65536), "+E0000-") << "only the low 16 bits are sent";
}
