// Built-in images for --simulate runs without an IMAGE argument: deterministic
// pseudo-random bytes, so a run can be repeated and its result compared. The last
// byte is never 0xFF, so a whole-flash image keeps every page it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Sizes of the built-in images: the in-application-programming tools get 3,000 bytes
// (23 whole blocks and a short last one, so the filler is exercised); the whole-flash
// tool gets 16 pages of 2,112 bytes.
constexpr std::size_t DEMO_IAP_IMAGE_LENGTH = 3000;
constexpr std::size_t DEMO_FLASH_IMAGE_LENGTH = 16 * 2112;

std::vector<std::uint8_t> MakeDemoImage(std::size_t length, std::uint32_t seed);
