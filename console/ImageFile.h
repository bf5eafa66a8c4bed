// Reading an image file for the console tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Reads at most `limit` bytes from the start of the file at `path` into `bytes` (the
// tools ignore what lies beyond their image limit, so a huge file is not read whole).
// False with `error` set ("No such file or directory", "is a directory") on failure.
bool ReadImageFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes,
                   std::string& error);
