#include "console/ImageFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

bool ReadImageFile(const std::string& path, std::size_t limit, std::vector<std::uint8_t>& bytes,
                   std::string& error)
{
    bytes.clear();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error = "is a directory";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    std::uint8_t chunk[65536];
    while (bytes.size() < limit) {
        std::size_t want = std::min(sizeof chunk, limit - bytes.size());
        std::size_t got = std::fread(chunk, 1, want, file);
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < want)
            break;
    }
    bool failed = std::ferror(file) != 0;
    int readErrno = errno;
    std::fclose(file);
    if (failed) {
        error = std::strerror(readErrno);
        bytes.clear();
        return false;
    }
    return true;
}
