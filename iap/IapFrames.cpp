#include "iap/IapFrames.h"

#include "common/Hex.h"

#include <algorithm>
#include <cassert>

IapDataFrame BuildDataFrame(std::span<const std::uint8_t> image, int block)
{
    assert(block >= 0 && block < IapBlockCount(image.size()) && "BuildDataFrame: block outside the image");

    // Copy the block, filling past the image's end, so the checksum covers the filler.
    std::array<std::uint8_t, IAP_BLOCK_SIZE> bytes;
    bytes.fill(IAP_FILL_BYTE);
    const std::size_t start = static_cast<std::size_t>(block < 0 ? 0 : block) * IAP_BLOCK_SIZE;
    if (start < image.size()) {
        const std::size_t count = std::min<std::size_t>(IAP_BLOCK_SIZE, image.size() - start);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(start), count, bytes.begin());
    }

    IapDataFrame frame;
    frame[0] = '*';
    for (int j = 0; j < IAP_BLOCK_SIZE; ++j) {
        frame[1 + 2 * j] = static_cast<std::uint8_t>(NibbleToHex(bytes[j] >> 4));
        frame[2 + 2 * j] = static_cast<std::uint8_t>(NibbleToHex(bytes[j] & 0x0F));
    }
    char digits[4];
    WriteHex16(WordSum16(bytes.data(), bytes.size()), digits);
    std::copy_n(digits, 4, frame.begin() + 1 + 2 * IAP_BLOCK_SIZE);
    frame[IAP_FRAME_LENGTH - 1] = '#';
    return frame;
}

std::string BuildLengthFrame(std::uint16_t word)
{
    char digits[4];
    WriteHex16(word, digits);
    std::string frame = "*";
    frame.append(digits, 4);
    frame.push_back('#');
    return frame;
}
