#include "console/Trace.h"

#include "common/Hex.h"

#include <cstdio>

std::string FormatTraceLine(double seconds, TraceDirection direction, const std::uint8_t* data, std::size_t length)
{
    char head[64];
    std::snprintf(head, sizeof head, "[%11.6f] %s %4zu ", seconds, direction == TRACE_SENT ? ">>" : "<<", length);
    std::string line = head;
    std::string text;
    line.reserve(line.size() + length * 4 + 4);
    for (std::size_t i = 0; i < length; ++i) {
        line += ' ';
        line += NibbleToHex(data[i] >> 4);
        line += NibbleToHex(data[i]);
        text += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
    }
    line += "  |" + text + "|";
    return line;
}

void TraceLog::OnSent(const std::uint8_t* data, std::size_t length, double now)
{
    Flush();
    m_sink(FormatTraceLine(now, TRACE_SENT, data, length));
}

void TraceLog::OnReceived(std::uint8_t byte, double now)
{
    if (!m_pending.empty() && now - m_dLastByte >= QUIET_GAP)
        Flush();
    if (m_pending.empty())
        m_dPendingStart = now;
    m_pending.push_back(byte);
    m_dLastByte = now;
}

void TraceLog::FlushIfQuiet(double now)
{
    if (!m_pending.empty() && now - m_dLastByte >= QUIET_GAP)
        Flush();
}

void TraceLog::Flush()
{
    if (m_pending.empty())
        return;
    m_sink(FormatTraceLine(m_dPendingStart, TRACE_RECEIVED, m_pending.data(), m_pending.size()));
    m_pending.clear();
}
