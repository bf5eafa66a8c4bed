#include "console/DemoImage.h"

std::vector<std::uint8_t> MakeDemoImage(std::size_t length, std::uint32_t seed)
{
    std::vector<std::uint8_t> image(length);
    std::uint32_t state = seed ? seed : 1;
    for (std::size_t i = 0; i < length; ++i) {
        // xorshift32: cheap, and every seed gives a different, repeatable image.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image[i] = static_cast<std::uint8_t>(state >> 24);
    }
    if (length > 0 && image[length - 1] == 0xFF)
        image[length - 1] = 0x5A;
    return image;
}
