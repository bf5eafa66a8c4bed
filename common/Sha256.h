// SHA-256 of a byte string, for the board records (the image a board was given).
// Written here rather than taken from a crypto library: the console tools are built
// for Windows too, and no such library is packaged for the cross-compilers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    // Adds `length` bytes to the message.
    void Update(const std::uint8_t* data, std::size_t length);
    // The digest of everything added; the object is then spent.
    std::array<std::uint8_t, 32> Final();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer{};
    std::size_t m_nBuffered = 0;
    std::uint64_t m_nLength = 0;  // bytes added
};

// The digest of `length` bytes as 64 lower-case hex digits.
std::string Sha256Hex(const std::uint8_t* data, std::size_t length);
