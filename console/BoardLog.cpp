#include "console/BoardLog.h"

#include "console/Reporter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string JsonOrNull(const std::string& text)
{
    return text.empty() ? std::string("null") : JsonString(text);
}

}  // namespace

std::string AdapterJson(const AdapterIdentity& id)
{
    return "{\"device\":" + JsonOrNull(id.device) + ",\"vendor_id\":" + JsonOrNull(id.vendorId) +
           ",\"product_id\":" + JsonOrNull(id.productId) + ",\"manufacturer\":" + JsonOrNull(id.manufacturer) +
           ",\"product\":" + JsonOrNull(id.product) + ",\"serial\":" + JsonOrNull(id.serial) +
           ",\"usb_path\":" + JsonOrNull(id.usbPath) + "}";
}

std::string AdapterWords(const AdapterIdentity& id)
{
    if (!id.Usb())
        return "-";
    std::string words = id.vendorId + ":" + id.productId;
    if (!id.serial.empty())
        words += " " + id.serial;
    if (!id.usbPath.empty())
        words += " at " + id.usbPath;
    return words;
}

std::string UtcNow()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

std::string FormatBoardRecord(const BoardRecord& r)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    std::string image = "null";
    if (r.imageSize >= 0)
        image = "{\"file\":" + JsonOrNull(r.imageFile) + ",\"size\":" + std::to_string(r.imageSize) +
                ",\"sha256\":" + JsonOrNull(r.imageSha256) + "}";
    return "{\"start\":" + JsonString(r.startUtc) + ",\"end\":" + JsonString(r.endUtc) +
           ",\"tool\":" + JsonString(r.tool) + ",\"version\":" + JsonString(r.version) +
           ",\"host\":" + JsonOrNull(r.host) + ",\"port\":" + JsonString(r.port) +
           ",\"adapter\":" + AdapterJson(r.adapter) + ",\"image\":" + image + ",\"board\":" + std::to_string(r.board) +
           ",\"try\":" + std::to_string(r.attempt) + ",\"tries\":" + std::to_string(r.attempts) +
           ",\"result\":" + JsonString(r.result) + ",\"error\":" + JsonOrNull(r.error) + ",\"seconds\":" + seconds +
           ",\"units\":" + std::to_string(r.units) + ",\"unit\":" + JsonString(r.unitName) +
           ",\"bytes\":" + std::to_string(r.bytes) + ",\"rejections\":" + std::to_string(r.rejections) +
           ",\"data_errors\":" + std::to_string(r.dataErrors) + "}";
}

BoardLog::~BoardLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool BoardLog::Open(const std::string& path, std::string& error)
{
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    m_path = path;
    return true;
}

bool BoardLog::Append(const std::string& line, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const std::string whole = line + "\n";
    // The lock keeps other processes' lines out of this one even where a file
    // system does not make one append atomic.
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    const ssize_t written = ::write(m_fd, whole.data(), whole.size());
    const int writeError = errno;
    const bool synced = written == static_cast<ssize_t>(whole.size()) && ::fdatasync(m_fd) == 0;
    const int syncError = errno;
    ::flock(m_fd, LOCK_UN);
    if (written != static_cast<ssize_t>(whole.size())) {
        error = written < 0 ? std::strerror(writeError) : "the line was written only in part (disk full?)";
        return false;
    }
    if (!synced) {
        error = std::string("the line did not reach the disk: ") + std::strerror(syncError);
        return false;
    }
    return true;
}
