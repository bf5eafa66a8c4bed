#include "common/Hex.h"

char NibbleToHex(unsigned nibble)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    return DIGITS[nibble & 0x0Fu];
}

void WriteHex16(std::uint16_t value, char* out)
{
    out[0] = NibbleToHex(value >> 12);
    out[1] = NibbleToHex(value >> 8);
    out[2] = NibbleToHex(value >> 4);
    out[3] = NibbleToHex(value);
}

int HexDigitValue(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

long ParseHex16(const std::uint8_t* digits)
{
    long value = 0;
    for (int i = 0; i < 4; ++i) {
        const int v = HexDigitValue(digits[i]);
        if (v < 0)
            return -1;
        value = value * 16 + v;
    }
    return value;
}

std::uint16_t WordSum16(const std::uint8_t* data, std::size_t length)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum += (i % 2 == 0) ? 256u * data[i] : data[i];
    return static_cast<std::uint16_t>(sum & 0xFFFFu);
}
