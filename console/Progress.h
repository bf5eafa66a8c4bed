// Progress of a console run: what the tool has done so far, the rate and the time
// left, and how to show them — as a bar redrawn in place on a terminal, or as a few
// plain lines (one per tenth of the job) when the output goes to a file or a pipe.
// Pure formatting and arithmetic; the caller supplies the clock.
#pragma once

#include <string>

// One reading of a tool's progress, taken from its logic's accessors.
struct ProgressSample {
    std::string phase;     // what the tool is doing: "erasing", "writing"; empty = nothing yet
    long done = 0;         // units finished in this phase
    long total = 0;        // units in the phase; 0 while unknown
    long unitBytes = 0;    // data bytes a unit carries (for the rate); 0 = no rate shown
    std::string unitName;  // plural name of a unit: "blocks", "frames"
};

// Whole percent of a sample, 0 to 100, rounded down; 0 while the total is unknown.
int ProgressPercent(const ProgressSample& sample);

// The rate in kB/s (1,000 bytes a second), always this one unit: "0.9 kB/s",
// "11.3 kB/s"; "--" for units that carry no data bytes.
std::string FormatRate(double unitsPerSecond, long unitBytes);

// "0:07", "12:30", "1:02:03"; "--:--" for a negative (unknown) time.
std::string FormatDuration(double seconds);

// Follows the samples of a run: estimates the rate from the start of the current phase
// and decides when a plain progress line is due.
class ProgressMeter {
public:
    // Takes the sample read at time now (seconds, any fixed origin). Returns true when a
    // plain line is due: at the first sample of a phase, each time another tenth of the
    // phase is finished, and never twice for the same tenth.
    bool Update(const ProgressSample& sample, double now);

    const ProgressSample& Last() const { return m_last; }
    // Units per second since the phase began; 0 until a unit is finished.
    double UnitsPerSecond() const;
    // Seconds to finish the phase at the present rate; negative while unknown.
    double SecondsLeft() const;

private:
    ProgressSample m_last;
    bool m_bHaveSample = false;
    long m_nPhaseStartDone = 0;
    double m_dPhaseStartTime = 0;
    double m_dNow = 0;
    int m_nLastTenth = -1;  // last tenth reported in a plain line
};

// The bar line for a terminal, exactly `width` columns or fewer:
// "writing [=========>          ]  47% 180/384 frames 11.3 kB/s 0:04 left"
std::string FormatProgressBar(const ProgressMeter& meter, int width);

// A plain progress line: "writing: 50% (192/384 frames, 11.3 kB/s, 0:04 left)".
std::string FormatProgressLine(const ProgressMeter& meter);
