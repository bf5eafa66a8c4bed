// The --trace listing: every frame sent and every reply received, one line each, with
// the time since the run began, the length, the bytes in hex and their printable
// characters. Received bytes arrive one at a time; a reply is the run of bytes that
// came in between two frames sent or before a pause on the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum TraceDirection {
    TRACE_SENT,      // host to device: ">>"
    TRACE_RECEIVED,  // device to host: "<<"
};

// "[   1.234567] >>   7  2B 45 30 34 30 30 2D  |+E0400-|"
std::string FormatTraceLine(double seconds, TraceDirection direction, const std::uint8_t* data, std::size_t length);

// Collects received bytes into replies and hands every finished line to a sink.
class TraceLog {
public:
    // A received run ends when the line has been quiet this long (seconds).
    static constexpr double QUIET_GAP = 0.002;

    explicit TraceLog(std::function<void(const std::string&)> sink)
        : m_sink(std::move(sink))
    {
    }

    // A frame handed to the port at time now: ends the pending reply first, so the
    // lines keep the order of events on the line.
    void OnSent(const std::uint8_t* data, std::size_t length, double now);
    // One received byte at time now.
    void OnReceived(std::uint8_t byte, double now);
    // Ends the pending reply when nothing has arrived for QUIET_GAP.
    void FlushIfQuiet(double now);
    // Ends the pending reply at once (at exit).
    void Flush();

private:
    std::function<void(const std::string&)> m_sink;
    std::vector<std::uint8_t> m_pending;  // bytes of the reply being received
    double m_dPendingStart = 0;           // time of its first byte
    double m_dLastByte = 0;               // time of its last byte
};
