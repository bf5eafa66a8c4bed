#include "console/ImageCheck.h"

namespace {

bool IsHexDigit(std::uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

ImageTextKind DetectImageText(std::span<const std::uint8_t> head)
{
    std::size_t i = 0;
    while (i < head.size() && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n'))
        ++i;
    if (i >= head.size())
        return IMAGE_RAW;

    // The first line, up to its end or the end of what was read.
    std::size_t end = i;
    while (end < head.size() && head[end] != '\r' && head[end] != '\n')
        ++end;
    const std::span<const std::uint8_t> line = head.subspan(i, end - i);

    auto hexFrom = [&line](std::size_t from) {
        for (std::size_t j = from; j < line.size(); ++j)
            if (!IsHexDigit(line[j]))
                return false;
        return true;
    };
    // The shortest records: ":00000001FF" (end of file), "S9030000FC".
    if (line[0] == ':' && line.size() >= 11 && hexFrom(1))
        return IMAGE_INTEL_HEX;
    if (line[0] == 'S' && line.size() >= 10 && line[1] >= '0' && line[1] <= '9' && hexFrom(2))
        return IMAGE_SRECORD;
    return IMAGE_RAW;
}

const char* ImageTextName(ImageTextKind kind)
{
    switch (kind) {
    case IMAGE_INTEL_HEX:
        return "Intel HEX";
    case IMAGE_SRECORD:
        return "S-record";
    case IMAGE_RAW:
        break;
    }
    return "";
}

std::string Thousands(unsigned long long value)
{
    std::string digits = std::to_string(value);
    std::string text;
    const std::size_t n = digits.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0 && (n - k) % 3 == 0)
            text += ',';
        text += digits[k];
    }
    return text;
}
