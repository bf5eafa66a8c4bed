// The frames the updater sends to the device's in-application-programming loader.
// Every frame begins with '*' and ends with '#'; none carries a line ending or a NUL.
// Pure computation: no platform headers, no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

// The image is sent in blocks of this many bytes, one block per data frame.
inline constexpr int IAP_BLOCK_SIZE = 128;
// A data frame: '*', 256 hex digits of one block, 4 hex digits of its checksum, '#'.
inline constexpr int IAP_FRAME_LENGTH = 262;
// Images are cut to this many bytes (0x3800), which makes at most 112 blocks.
inline constexpr int IAP_IMAGE_LIMIT = 14336;
inline constexpr int IAP_MAX_BLOCKS = IAP_IMAGE_LIMIT / IAP_BLOCK_SIZE;
// Fills the last block past the end of an image: the value of erased flash.
inline constexpr std::uint8_t IAP_FILL_BYTE = 0xFF;

// The three constant command frames, sent as text (6 characters each).
inline constexpr char IAP_FRAME_IAP_COMMAND[] = "*IAPK#";       // answers "+IAPC-"
inline constexpr char IAP_FRAME_DOWNLOAD_COMMAND[] = "*DNDA#";  // answers a download start
inline constexpr char IAP_FRAME_WAIT[] = "*WAIT#";              // answers Tirell's "+UPDS-"

using IapDataFrame = std::array<std::uint8_t, IAP_FRAME_LENGTH>;

// The number of blocks an image of `length` bytes is cut into: ceil(length / 128).
constexpr int IapBlockCount(std::size_t length)
{
    return static_cast<int>((length + IAP_BLOCK_SIZE - 1) / IAP_BLOCK_SIZE);
}

// The data frame of block `block` of `image`: its 128 bytes in image order as hex
// digits (high nibble first), then the 16-bit big-endian word sum of those 128 bytes.
// Bytes of the block that lie past the end of `image` are taken as IAP_FILL_BYTE, and
// the checksum covers them too. `block` must be in 0 .. IapBlockCount(image.size()) - 1.
IapDataFrame BuildDataFrame(std::span<const std::uint8_t> image, int block);

// The length frame: '*', the four hex digits of `word` (most significant first), '#'.
std::string BuildLengthFrame(std::uint16_t word);
