// Checks of an image file before a tool sends it, so that a wrong file is refused (or
// warned about) before the port is opened. Pure functions; ToolRunner prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// What the first bytes of an image look like.
enum ImageTextKind {
    IMAGE_RAW,        // anything else: sent as it is
    IMAGE_INTEL_HEX,  // lines of ":" and hex digits
    IMAGE_SRECORD,    // lines of "S", a record type digit and hex digits
};

// Looks at the start of a file: Intel HEX and S-record files are text whose first
// line is one record. Leading blanks and line ends are skipped.
ImageTextKind DetectImageText(std::span<const std::uint8_t> head);

// "Intel HEX", "S-record"; "" for IMAGE_RAW.
const char* ImageTextName(ImageTextKind kind);

// 2162688 -> "2,162,688".
std::string Thousands(unsigned long long value);
