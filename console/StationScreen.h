// The terminal that several stations of one run share. Every line a station writes
// goes through here, under one lock, so that lines of different stations never mix:
//   - plain: each line prefixed with the station's label ("/dev/ttyUSB0: ..."),
//     progress as plain lines (one at every tenth of a phase);
//   - live (standard error is a terminal): one progress line per station at the
//     bottom, redrawn in place, with every other line written above them.
// Standard output carries whole lines only (JSON objects, the final table).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class StationScreen {
public:
    // live: keep one line per station redrawn in place on `err`, `width` columns.
    StationScreen(std::FILE* out, std::FILE* err, bool live, int width);

    // Adds a station before the run; returns its number (0, 1, ...).
    int Add(const std::string& label);
    const std::string& Label(int station) const { return m_stations[station].label; }
    bool Live() const { return m_bLive; }

    // A line on standard error, prefixed with the station's label.
    void Line(int station, const std::string& text);
    // A line on standard error as it is (no prefix).
    void Line(const std::string& text);
    // A line on standard output. False when it could not be written.
    bool Out(const std::string& text);
    // Live: the station's progress line is now `text` (redrawn at most every 100 ms
    // for all stations together, at once when `now`).
    void Bar(int station, const std::string& text, bool now);
    // Live: the station's board has ended: its progress line keeps its last state and
    // says how the board ended ("success", "stall", ...).
    void EndBar(int station, const std::string& result);
    // The terminal has `width` columns now (SIGWINCH). Any thread.
    void SetWidth(int width);
    // Columns a station's bar may take (the width less its label).
    int BarWidth(int station) const;
    // Leaves the progress lines on the screen as they are; later lines go below them.
    void Finish();

    // A write to standard output failed; its errno.
    bool OutputFailed() const;
    int OutputError() const;

private:
    struct Station {
        std::string label;
        std::string bar;  // live: its progress line, without the label
    };
    // With the lock held: clears the progress lines, leaving the cursor where the
    // first of them was.
    void ClearBlock();
    // With the lock held: draws every station's progress line.
    void DrawBlock();
    double Clock() const;

    std::FILE* m_pOut;
    std::FILE* m_pErr;
    bool m_bLive;
    mutable std::mutex m_lock;
    int m_nWidth;
    std::vector<Station> m_stations;
    int m_nDrawn = 0;          // progress lines on the screen below the cursor's line
    double m_dLastDraw = -1;   // when the block was last drawn
    bool m_bFinished = false;  // Finish was called: no more drawing
    bool m_bOutputFailed = false;
    int m_nOutputError = 0;
};
