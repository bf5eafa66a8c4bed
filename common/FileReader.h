// Reading the head of a file: the first N bytes of the file whose path is given as
// UTF-8 text. Used by every front end and by UpdateJob to read an image.
//
// Standard C++ only. The path is built as a std::filesystem::path from the UTF-8 text,
// so on Windows the file is opened through the wide-character interface and a path
// with characters outside the system code page (a Chinese folder on an English
// Windows) opens like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// How a read ended; 0 is success.
enum FileReadResult {
    FILE_READ_OK = 0,
    FILE_NOT_FOUND = 1,      // no such file (or a folder on the way is missing)
    FILE_ACCESS_DENIED = 2,  // the file exists but may not be read
    FILE_IS_DIRECTORY = 3,   // the path names a folder
    FILE_OPEN_FAILED = 4,    // it could not be opened for another reason
    FILE_READ_FAILED = 5,    // it opened, but reading it failed
};

struct FileHead {
    FileReadResult result = FILE_READ_OK;
    // The first bytes of the file, at most the limit asked for; empty on failure.
    std::vector<std::uint8_t> bytes;
    // The file holds more bytes than the limit (only the first `limit` were read).
    bool longer = false;
    // The file's whole length in bytes when the file system knows it (a regular
    // file); otherwise the number of bytes seen. Meaningful on success only.
    std::uintmax_t length = 0;
    // On failure: the system's words for the reason ("No such file or directory").
    std::string error;

    bool Ok() const { return result == FILE_READ_OK; }
};

// The path named by UTF-8 text, for the platform's file interfaces.
std::filesystem::path PathFromUtf8(std::string_view utf8Path);

// Reads at most `limit` bytes from the start of the file at `utf8Path`. A file longer
// than `limit` is not read whole (only one byte more, to learn that it is longer).
FileHead ReadFileHead(std::string_view utf8Path, std::size_t limit);

// A short description of a result for messages: "not found", "access denied", ...
const char* FileReadResultName(FileReadResult result);
