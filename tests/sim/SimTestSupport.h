// Frames as the tools send them, built here from the byte layouts (with the shared
// hex helpers), and a LoaderOutput that records replies.
#pragma once

#include "common/Hex.h"
#include "sim/LoaderModel.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

struct RecordingOutput : sim::LoaderOutput {
    std::vector<std::string> replies;
    void Reply(std::string_view bytes) override { replies.emplace_back(bytes); }
    // Replies since the last call.
    std::vector<std::string> Take()
    {
        std::vector<std::string> taken;
        taken.swap(replies);
        return taken;
    }
};

inline void Feed(sim::LoaderModel& model, std::string_view bytes, sim::LoaderOutput& out)
{
    for (const char c : bytes)
        model.OnByte(static_cast<std::uint8_t>(c), out);
}

inline std::string Hex4(unsigned value)
{
    char digits[5] = {};
    WriteHex16(static_cast<std::uint16_t>(value), digits);
    return digits;
}

inline std::string EraseFrame(unsigned address)
{
    return "+E" + Hex4(address) + "-";
}

// IAP data frame of 128 bytes starting at image[offset], 0xFF past the end.
inline std::string IapDataFrame(const std::vector<std::uint8_t>& image, std::size_t block)
{
    std::uint8_t data[128];
    for (std::size_t j = 0; j < 128; ++j) {
        const std::size_t at = block * 128 + j;
        data[j] = at < image.size() ? image[at] : 0xFF;
    }
    std::string frame = "*";
    for (const std::uint8_t b : data) {
        frame += NibbleToHex(b >> 4);
        frame += NibbleToHex(b);
    }
    return frame + Hex4(WordSum16(data, 128)) + "#";
}

// Whole-flash write frame: sub-frame `sub` of page `page` of `image` (0xFF past its end).
inline std::string WriteFrame(const std::vector<std::uint8_t>& image, unsigned page, unsigned sub)
{
    std::uint8_t data[132];
    for (std::size_t j = 0; j < 132; ++j) {
        const std::size_t at = page * 2112 + sub * 132 + j;
        data[j] = at < image.size() ? image[at] : 0xFF;
    }
    std::string frame = sub == 0 ? "+W" + Hex4(page) : std::string("+N");
    frame.append(reinterpret_cast<const char*>(data), 132);
    const std::uint16_t sum = WordSum16(data, 132);
    frame += static_cast<char>(sum >> 8);
    frame += static_cast<char>(sum & 0xFF);
    return frame + "-";
}

// Deterministic test image of `size` bytes.
inline std::vector<std::uint8_t> TestImage(std::size_t size, unsigned salt = 0)
{
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>((i * 31 + salt * 7 + (i >> 8)) & 0xFF);
    return image;
}

}  // namespace simtest
