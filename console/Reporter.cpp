#include "console/Reporter.h"

#include "console/StationScreen.h"

#include <cerrno>

ConsoleReporter::ConsoleReporter(std::FILE* out, std::FILE* err, bool bar, int width)
    : m_pOut(out),
      m_pErr(err),
      m_bBar(bar),
      m_nWidth(width > 20 ? width : 20)
{
}

ConsoleReporter::ConsoleReporter(StationScreen& screen, int station)
    : m_pOut(nullptr),
      m_pErr(nullptr),
      m_bBar(screen.Live()),
      m_nWidth(80),
      m_pScreen(&screen),
      m_nStation(station)
{
}

void ConsoleReporter::ErrLine(const std::string& text)
{
    if (m_pScreen) {
        m_pScreen->Line(m_nStation, text);
        return;
    }
    ClearBar();
    std::fprintf(m_pErr, "%s\n", text.c_str());
    std::fflush(m_pErr);
}

void ConsoleReporter::ClearBar()
{
    if (m_pScreen || !m_bBarShown)
        return;
    std::fputs("\r\033[K", m_pErr);
    std::fflush(m_pErr);
    m_bBarShown = false;
}

void ConsoleReporter::DrawBar()
{
    if (m_pScreen) {
        const bool now = m_meter.Last().phase != m_lastDrawnPhase ||
                         (m_meter.Last().total > 0 && m_meter.Last().done >= m_meter.Last().total);
        m_pScreen->Bar(m_nStation, FormatProgressBar(m_meter, m_pScreen->BarWidth(m_nStation)), now);
        m_lastDrawnPhase = m_meter.Last().phase;
        m_nLastDrawnDone = m_meter.Last().done;
        return;
    }
    // One column short of the width, so the cursor never wraps to the next line.
    std::string line = FormatProgressBar(m_meter, m_nWidth - 1);
    std::fputs("\r\033[K", m_pErr);
    std::fputs(line.c_str(), m_pErr);
    std::fflush(m_pErr);
    m_bBarShown = true;
    m_lastDrawnPhase = m_meter.Last().phase;
    m_nLastDrawnDone = m_meter.Last().done;
}

std::string JsonString(const std::string& text)
{
    std::string json = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            json += escape;
        } else {
            json += c;  // UTF-8 passes through
        }
    }
    return json + "\"";
}

void ConsoleReporter::SetJson(const std::string& prefix)
{
    m_jsonPrefix = prefix;
}

bool ConsoleReporter::Output(const std::string& text)
{
    if (m_pScreen) {
        const bool ok = m_pScreen->Out(text);
        if (!ok && !m_bOutputFailed) {
            m_bOutputFailed = true;
            m_nOutputError = m_pScreen->OutputError();
        }
        return ok;
    }
    ClearBar();
    std::fprintf(m_pOut, "%s\n", text.c_str());
    bool ok = std::fflush(m_pOut) == 0 && !std::ferror(m_pOut);
    if (!ok && !m_bOutputFailed) {
        m_bOutputFailed = true;
        m_nOutputError = errno;
    }
    if (m_nLastDrawnDone >= 0 && m_bBar)
        DrawBar();
    return ok;
}

void ConsoleReporter::Failure(const std::string& text)
{
    m_lastFailure = text;
    if (m_pScreen) {
        m_pScreen->Line(m_nStation, text);
        return;
    }
    // The bar stays as it was, on a line of its own, showing how far the run got.
    if (m_bBarShown) {
        std::fputs("\n", m_pErr);
        m_bBarShown = false;
    }
    std::fprintf(m_pErr, "%s\n", text.c_str());
    std::fflush(m_pErr);
}

void ConsoleReporter::Status(const std::string& text)
{
    if (text == m_status || text.empty() || m_bQuiet)
        return;
    m_status = text;
    if (m_pScreen) {
        m_pScreen->Line(m_nStation, text);
        return;
    }
    ClearBar();
    std::fprintf(m_pErr, "%s\n", text.c_str());
    std::fflush(m_pErr);
    if (m_nLastDrawnDone >= 0 && m_bBar)
        DrawBar();
}

void ConsoleReporter::Trace(const std::string& line)
{
    if (m_pScreen) {
        m_pScreen->Line(m_nStation, line);
        return;
    }
    ClearBar();
    std::fprintf(m_pErr, "%s\n", line.c_str());
    // The bar is redrawn by the next progress reading; redrawing it after every trace
    // line would double the output of a traced run.
}

void ConsoleReporter::Progress(const ProgressSample& sample, double now)
{
    // A tool moves to its next phase only once the last one is finished, often on the
    // same tick as its last unit: show that phase complete before the next begins.
    const ProgressSample& last = m_meter.Last();
    if (!sample.phase.empty() && !last.phase.empty() && sample.phase != last.phase && last.total > 0 &&
        last.done < last.total) {
        ProgressSample finished = last;
        finished.done = finished.total;
        Progress(finished, now);
    }

    bool lineDue = m_meter.Update(sample, now);
    if (sample.phase.empty())
        return;
    if (Json()) {
        if (lineDue) {
            const ProgressSample& s = m_meter.Last();
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f", now);
            Output("{\"event\":\"progress\"," + m_jsonPrefix + ",\"phase\":" + JsonString(s.phase) +
                   ",\"done\":" + std::to_string(s.done) + ",\"total\":" + std::to_string(s.total) +
                   ",\"unit\":" + JsonString(s.unitName) + ",\"percent\":" + std::to_string(ProgressPercent(s)) +
                   ",\"seconds\":" + seconds + "}");
        }
        if (!m_bBar)
            return;
    }
    if (!m_bBar) {
        if (lineDue)
            ErrLine(FormatProgressLine(m_meter));
        return;
    }
    bool changed = sample.phase != m_lastDrawnPhase || sample.done != m_nLastDrawnDone;
    bool phaseEnd = sample.total > 0 && sample.done >= sample.total;
    if (!m_bBarShown ||
        (changed && (phaseEnd || sample.phase != m_lastDrawnPhase || now - m_dLastDraw >= BAR_REDRAW_INTERVAL)) ||
        now - m_dLastDraw >= 1.0) {
        // A new phase keeps the finished bar of the one before on its own line.
        if (!m_pScreen && m_bBarShown && sample.phase != m_lastDrawnPhase) {
            std::fputs("\n", m_pErr);
            m_bBarShown = false;
        }
        DrawBar();
        m_dLastDraw = now;
    }
}

void ConsoleReporter::Finish()
{
    if (m_pScreen) {
        // The station's line stays in the block with its last state.
        m_nLastDrawnDone = -1;
        return;
    }
    if (m_bBarShown) {
        std::fputs("\n", m_pErr);
        std::fflush(m_pErr);
        m_bBarShown = false;
    }
    m_nLastDrawnDone = -1;
}
