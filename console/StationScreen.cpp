#include "console/StationScreen.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

// Seconds between two redraws of the progress lines.
constexpr double BLOCK_REDRAW_INTERVAL = 0.1;

// `text` cut to `columns` characters (UTF-8 sequences counted as one).
std::string Fit(const std::string& text, int columns)
{
    int seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (seen == columns)
            return text.substr(0, i);
        ++seen;
    }
    return text;
}

}  // namespace

StationScreen::StationScreen(std::FILE* out, std::FILE* err, bool live, int width)
    : m_pOut(out),
      m_pErr(err),
      m_bLive(live),
      m_nWidth(std::max(width, 20))
{
}

double StationScreen::Clock() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int StationScreen::Add(const std::string& label)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_stations.push_back({label, ""});
    return static_cast<int>(m_stations.size()) - 1;
}

void StationScreen::ClearBlock()
{
    if (m_nDrawn == 0)
        return;
    // Up to the first progress line, and everything from there down cleared.
    std::fprintf(m_pErr, "\033[%dA\r\033[J", m_nDrawn);
    m_nDrawn = 0;
}

void StationScreen::DrawBlock()
{
    if (!m_bLive || m_bFinished)
        return;
    ClearBlock();
    for (const Station& station : m_stations) {
        // One column short of the width, so that the cursor never wraps.
        std::fprintf(m_pErr, "\033[K%s\n", Fit(station.label + "  " + station.bar, m_nWidth - 1).c_str());
        ++m_nDrawn;
    }
    std::fflush(m_pErr);
    m_dLastDraw = Clock();
}

void StationScreen::Line(int station, const std::string& text)
{
    Line(m_stations[station].label + ": " + text);
}

void StationScreen::Line(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    ClearBlock();
    std::fprintf(m_pErr, "%s\n", text.c_str());
    if (m_bLive && !m_bFinished)
        DrawBlock();
    else
        std::fflush(m_pErr);
}

bool StationScreen::Out(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_lock);
    // Standard output may be the same terminal: the progress lines make way for it.
    ClearBlock();
    std::fprintf(m_pOut, "%s\n", text.c_str());
    const bool ok = std::fflush(m_pOut) == 0 && !std::ferror(m_pOut);
    if (!ok && !m_bOutputFailed) {
        m_bOutputFailed = true;
        m_nOutputError = errno;
    }
    if (m_bLive && !m_bFinished)
        DrawBlock();
    return ok;
}

void StationScreen::Bar(int station, const std::string& text, bool now)
{
    if (!m_bLive)
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_stations[station].bar = text;
    if (now || Clock() - m_dLastDraw >= BLOCK_REDRAW_INTERVAL)
        DrawBlock();
}

void StationScreen::EndBar(int station, const std::string& result)
{
    if (!m_bLive)
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    // The result goes first, so that a line cut to the width still shows it.
    m_stations[station].bar = "[" + result + "] " + m_stations[station].bar;
    DrawBlock();
}

void StationScreen::SetWidth(int width)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const bool narrower = width < m_nWidth;
    m_nWidth = std::max(width, 20);
    if (narrower && m_nDrawn > 0) {
        // The terminal may have wrapped the old, longer lines: start the block afresh
        // below them rather than draw over what cannot be found again.
        std::fputs("\n", m_pErr);
        m_nDrawn = 0;
    }
    DrawBlock();
}

int StationScreen::BarWidth(int station) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return std::max(10, m_nWidth - 3 - static_cast<int>(m_stations[station].label.size()));
}

void StationScreen::Finish()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bLive && !m_bFinished)
        DrawBlock();
    m_bFinished = true;
    m_nDrawn = 0;
    std::fflush(m_pErr);
}

bool StationScreen::OutputFailed() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_bOutputFailed;
}

int StationScreen::OutputError() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nOutputError;
}
