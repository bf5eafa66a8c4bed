// The 7-byte erase frame that both the eraser (Dunmere) and the whole-flash updater
// (Quarrow) send: '+', 'E', the erase address as four upper-case hex digits of its
// low 16 bits, most significant first, and '-'. Pure computation, no I/O.
#pragma once

#include "common/Hex.h"

#include <cstddef>
#include <cstdint>

constexpr std::size_t ERASE_FRAME_LENGTH = 7;

// Writes the erase frame of `address` to out[0..6]. For 64 the bytes are
// 2B 45 30 30 34 30 2D.
inline void BuildEraseFrame(int address, std::uint8_t* out)
{
    char digits[4];
    WriteHex16(static_cast<std::uint16_t>(address & 0xFFFF), digits);
    out[0] = '+';
    out[1] = 'E';
    for (int i = 0; i < 4; ++i)
        out[2 + i] = static_cast<std::uint8_t>(digits[i]);
    out[6] = '-';
}
