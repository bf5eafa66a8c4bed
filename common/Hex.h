// Hex digits and the 16-bit word sum shared by every frame format of the suite.
// Pure computation: no platform headers, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

// A 4-bit value as one upper-case ASCII hex digit: 0..9 -> '0'..'9', 10..15 -> 'A'..'F'.
// Only the low four bits of the argument are used.
char NibbleToHex(unsigned nibble);

// Writes the four hex digits of a 16-bit value, most significant first, to out[0..3].
void WriteHex16(std::uint16_t value, char* out);

// The value of an upper-case hex digit; -1 for any other byte (lower case included,
// which no part of the suite sends).
int HexDigitValue(std::uint8_t c);

// Four upper-case hex digits, most significant first; -1 if any of them is not one.
long ParseHex16(const std::uint8_t* digits);

// The 16-bit word sum of both checksums: the bytes taken as big-endian 16-bit words
// (a byte at an even offset weighs 256, the next one 1), added with wrap-around from 0,
// no complement. An odd trailing byte counts as the high byte of a last word.
std::uint16_t WordSum16(const std::uint8_t* data, std::size_t length);
