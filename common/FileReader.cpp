#include "common/FileReader.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>

namespace {

std::string ErrcText(std::errc code)
{
    return std::make_error_code(code).message();
}

// A failed open, classified by the errno the C library left behind.
FileHead OpenFailure(int error)
{
    FileHead head;
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        head.result = FILE_NOT_FOUND;
        break;
    case EACCES:
    case EPERM:
        head.result = FILE_ACCESS_DENIED;
        break;
    case EISDIR:
        head.result = FILE_IS_DIRECTORY;
        break;
    default:
        head.result = FILE_OPEN_FAILED;
        break;
    }
    head.error = error != 0 ? std::generic_category().message(error) : std::string("cannot be opened");
    return head;
}

}  // namespace

std::filesystem::path PathFromUtf8(std::string_view utf8Path)
{
    std::u8string text(utf8Path.size(), u8'\0');
    std::transform(utf8Path.begin(), utf8Path.end(), text.begin(), [](char c) { return static_cast<char8_t>(c); });
    return std::filesystem::path(text);
}

FileHead ReadFileHead(std::string_view utf8Path, std::size_t limit)
{
    FileHead head;
    if (utf8Path.empty()) {
        head.result = FILE_NOT_FOUND;
        head.error = ErrcText(std::errc::no_such_file_or_directory);
        return head;
    }
    const std::filesystem::path path = PathFromUtf8(utf8Path);

    // What the file system says before opening: a folder is no file, and a missing
    // file should be named as missing whatever the open call would have said.
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        head.result = FILE_NOT_FOUND;
        head.error = ErrcText(std::errc::no_such_file_or_directory);
        return head;
    }
    if (status.type() == std::filesystem::file_type::directory) {
        head.result = FILE_IS_DIRECTORY;
        head.error = ErrcText(std::errc::is_a_directory);
        return head;
    }
    const bool regular = status.type() == std::filesystem::file_type::regular;
    std::uintmax_t size = 0;
    if (regular) {
        size = std::filesystem::file_size(path, ec);
        if (ec)
            size = 0;
    }

    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open())
        return OpenFailure(errno);

    // Read in chunks, so that a limit far above the file's size costs nothing.
    constexpr std::size_t CHUNK = 64 * 1024;
    head.bytes.reserve(regular ? static_cast<std::size_t>(std::min<std::uintmax_t>(size, limit)) : 0);
    while (head.bytes.size() < limit) {
        const std::size_t want = std::min(CHUNK, limit - head.bytes.size());
        const std::size_t old = head.bytes.size();
        head.bytes.resize(old + want);
        errno = 0;
        file.read(reinterpret_cast<char*>(head.bytes.data() + old), static_cast<std::streamsize>(want));
        const auto got = static_cast<std::size_t>(file.gcount());
        head.bytes.resize(old + got);
        if (file.bad() || (file.fail() && !file.eof())) {
            const int error = errno;
            head = FileHead{};
            head.result = FILE_READ_FAILED;
            head.error = error != 0 ? std::generic_category().message(error) : std::string("read error");
            return head;
        }
        if (got < want)
            break;
    }
    if (head.bytes.size() == limit && file.good())
        head.longer = file.peek() != std::ifstream::traits_type::eof();
    head.length = regular && size >= head.bytes.size() ? size : head.bytes.size();
    return head;
}

const char* FileReadResultName(FileReadResult result)
{
    switch (result) {
    case FILE_READ_OK:
        return "read";
    case FILE_NOT_FOUND:
        return "not found";
    case FILE_ACCESS_DENIED:
        return "access denied";
    case FILE_IS_DIRECTORY:
        return "is a directory";
    case FILE_OPEN_FAILED:
        return "cannot be opened";
    case FILE_READ_FAILED:
        return "read failed";
    }
    return "unknown";
}
