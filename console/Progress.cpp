#include "console/Progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

int ProgressPercent(const ProgressSample& sample)
{
    if (sample.total <= 0)
        return 0;
    long done = std::clamp(sample.done, 0L, sample.total);
    return static_cast<int>(done * 100 / sample.total);
}

std::string FormatRate(double unitsPerSecond, long unitBytes)
{
    // One unit everywhere, so that figures of different tools and phases compare.
    if (unitBytes <= 0)
        return "--";
    char text[48];
    std::snprintf(text, sizeof text, "%.1f kB/s", unitsPerSecond * static_cast<double>(unitBytes) / 1000);
    return text;
}

std::string FormatDuration(double seconds)
{
    if (seconds < 0 || !std::isfinite(seconds))
        return "--:--";
    long total = std::lround(seconds);
    long h = total / 3600, m = total / 60 % 60, s = total % 60;
    char text[32];
    if (h > 0)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", h, m, s);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", m, s);
    return text;
}

bool ProgressMeter::Update(const ProgressSample& sample, double now)
{
    bool newPhase =
        !m_bHaveSample || sample.phase != m_last.phase || sample.total != m_last.total || sample.done < m_last.done;
    if (newPhase) {
        m_nPhaseStartDone = sample.done;
        m_dPhaseStartTime = now;
        m_nLastTenth = -1;
    }
    m_last = sample;
    m_bHaveSample = true;
    m_dNow = now;

    if (sample.phase.empty())
        return false;
    int tenth = ProgressPercent(sample) / 10;
    if (tenth == m_nLastTenth)
        return false;
    m_nLastTenth = tenth;
    return true;
}

double ProgressMeter::UnitsPerSecond() const
{
    long units = m_last.done - m_nPhaseStartDone;
    double elapsed = m_dNow - m_dPhaseStartTime;
    if (units <= 0 || elapsed <= 0)
        return 0;
    return static_cast<double>(units) / elapsed;
}

double ProgressMeter::SecondsLeft() const
{
    double rate = UnitsPerSecond();
    if (rate <= 0 || m_last.total <= 0)
        return -1;
    long left = std::max(0L, m_last.total - m_last.done);
    return static_cast<double>(left) / rate;
}

namespace {

// "180/384 frames 11.3 kB/s 0:04 left", the figures shared by both forms.
std::string Figures(const ProgressMeter& meter, const char* separator)
{
    const ProgressSample& s = meter.Last();
    std::string text = std::to_string(s.done) + "/" + std::to_string(s.total) + " " + s.unitName;
    double rate = meter.UnitsPerSecond();
    text += separator;
    text += rate > 0 ? FormatRate(rate, s.unitBytes) : std::string("--");
    text += separator;
    text += s.done >= s.total && s.total > 0 ? std::string("done") : FormatDuration(meter.SecondsLeft()) + " left";
    return text;
}

}  // namespace

std::string FormatProgressBar(const ProgressMeter& meter, int width)
{
    const ProgressSample& s = meter.Last();
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", ProgressPercent(s));
    std::string tail = std::string(" ") + percent + " " + Figures(meter, " ");
    std::string head = s.phase + " [";

    // The bar takes what is left of the line, but never fewer than 10 cells; on a very
    // narrow terminal the figures are dropped instead of wrapping the line.
    int cells = width - static_cast<int>(head.size() + tail.size()) - 1;
    if (cells < 10) {
        tail = std::string(" ") + percent;
        cells = std::max(10, width - static_cast<int>(head.size() + tail.size()) - 1);
    }
    int filled =
        s.total > 0 ? static_cast<int>(static_cast<long long>(cells) * std::clamp(s.done, 0L, s.total) / s.total) : 0;
    std::string bar(static_cast<std::size_t>(filled), '=');
    if (filled < cells) {
        bar += '>';
        bar.append(static_cast<std::size_t>(cells - filled - 1), ' ');
    }
    std::string line = head + bar + "]" + tail;
    if (static_cast<int>(line.size()) > width && width > 0)
        line.resize(static_cast<std::size_t>(width));
    return line;
}

std::string FormatProgressLine(const ProgressMeter& meter)
{
    const ProgressSample& s = meter.Last();
    return s.phase + ": " + std::to_string(ProgressPercent(s)) + "% (" + Figures(meter, ", ") + ")";
}
