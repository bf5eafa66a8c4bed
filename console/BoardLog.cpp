#include "console/BoardLog.h"

#include "console/Reporter.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

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
    using namespace std::chrono;
    const auto now = time_point_cast<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
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

bool BoardLog::Open(const std::string& path, std::string& error)
{
    if (!m_file.Open(path, error))
        return false;
    m_path = path;
    return true;
}

bool BoardLog::Append(const std::string& line, std::string& error)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_file.Append(line + "\n", error);
}
