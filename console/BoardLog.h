// --log FILE: one JSON line per board (per try of a board), appended when it ends.
// Each line is written with one append under an exclusive lock of the file and
// flushed to the disk before the station goes on, so that stations of one process and
// of several processes can share a file without their lines mixing, and a power cut
// loses at most the board in progress.
#pragma once

#include "console/System.h"

#include <cstdint>
#include <mutex>
#include <string>

// The adapter behind a station's port, as sysfs tells it (all empty when it is not a
// USB adapter, or not known).
struct AdapterIdentity {
    std::string device;        // the device opened: "/dev/ttyUSB0"
    std::string vendorId;      // "0403"
    std::string productId;     // "6001"
    std::string manufacturer;  // "FTDI"
    std::string product;       // "FT232R USB UART"
    std::string serial;        // "A50285BI"
    std::string usbPath;       // "1-1.4"
    bool Usb() const { return !vendorId.empty(); }
};

// The identity as JSON: {"device":...,"vendor_id":...} (null members when unknown).
std::string AdapterJson(const AdapterIdentity& identity);
// The identity in words for the summary: "0403:6001 A50285BI at 1-1.4", or "-".
std::string AdapterWords(const AdapterIdentity& identity);

// What one board's run did, for its record.
struct BoardRecord {
    std::string startUtc;  // "2026-12-09T12:00:00.123Z"
    std::string endUtc;
    std::string tool;  // "quarrow"
    std::string version;
    std::string host;
    std::string port;  // the station's port as named: "usb-path:1-1.4"
    AdapterIdentity adapter;
    std::string imageFile;  // empty: no image (dunmere), or the built-in one
    long long imageSize = -1;
    std::string imageSha256;
    std::string result;  // "success", "failure", "timeout", "stall", "interrupted"
    std::string error;   // the failure's text; empty on success
    double seconds = 0;
    long units = 0;  // units acknowledged
    std::string unitName;
    long bytes = 0;  // data bytes acknowledged
    long rejections = 0;
    long dataErrors = 0;
    long board = 1;  // the station's board number, from 1
    long attempt = 1;
    long attempts = 1;  // tries the board may have (1 + --retries)
};

// The record as one line of JSON, without the newline.
std::string FormatBoardRecord(const BoardRecord& record);

// The UTC time now, to the millisecond: "2026-12-09T12:00:00.123Z".
std::string UtcNow();

class BoardLog {
public:
    BoardLog() = default;
    BoardLog(const BoardLog&) = delete;
    BoardLog& operator=(const BoardLog&) = delete;

    // Opens (creates) `path` for appending. False with `error` set when it cannot be.
    bool Open(const std::string& path, std::string& error);
    // Appends `line` and a newline in one write, flushed to the disk. False with
    // `error` set when the line could not be written whole.
    bool Append(const std::string& line, std::string& error);

private:
    std::mutex m_lock;
    AppendFile m_file;
    std::string m_path;
};
