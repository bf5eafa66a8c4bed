// Everything a console run prints, in one place, so that the progress bar on a terminal
// and the lines written around it never garble each other:
//   standard output: the tool's success text, once, as the last line (with --json:
//                    the JSON objects instead, one a line);
//   standard error:  failures and refusals, status lines, progress, the summary and
//                    the --trace listing.
// On a terminal the progress is one bar line redrawn in place (at most every 100 ms);
// otherwise it is a plain line at every tenth of each phase. A failure leaves the bar
// as it was, so that it shows how far the run got.
#pragma once

#include "console/Progress.h"

#include <atomic>
#include <cstdio>
#include <string>

class StationScreen;

class ConsoleReporter {
public:
    // bar: draw a bar redrawn in place (stderr is a terminal) of `width` columns.
    ConsoleReporter(std::FILE* out, std::FILE* err, bool bar, int width);

    // One station of several: every line goes through `screen` (which must outlive
    // the reporter), as station number `station`.
    ConsoleReporter(StationScreen& screen, int station);

    // With --json: progress goes to standard output as JSON objects, whose fixed
    // members `prefix` gives ("\"tool\":\"quarrow\",\"port\":\"/dev/ttyUSB0\"").
    // A bar on a terminal stays on standard error for the person watching.
    void SetJson(const std::string& prefix);
    // While quiet, status lines are not shown (failures still are).
    void SetQuiet(bool quiet) { m_bQuiet = quiet; }
    // The terminal has `width` columns now (SIGWINCH). Any thread.
    void SetWidth(int width) { m_nWidth = width > 20 ? width : 20; }
    bool Json() const { return !m_jsonPrefix.empty(); }

    // A line on standard output: the success text, or a JSON object. False when it
    // could not be written (a closed pipe, a full disk): the run has then failed.
    bool Output(const std::string& text);
    // The last failure text written.
    const std::string& LastFailure() const { return m_lastFailure; }
    // A write to standard output failed at some point.
    bool OutputFailed() const { return m_bOutputFailed; }
    // The errno of the first failed write to standard output.
    int OutputError() const { return m_nOutputError; }
    // A line on standard error: a failure or refusal.
    void Failure(const std::string& text);
    // The tool's status line changed: shown on standard error, once per new text.
    void Status(const std::string& text);
    // A line of the --trace listing, on standard error.
    void Trace(const std::string& line);
    // A new progress reading at time now (seconds).
    void Progress(const ProgressSample& sample, double now);
    // Ends the bar line, leaving the last state drawn, before the program exits.
    void Finish();

    // Seconds between two redraws of the bar.
    static constexpr double BAR_REDRAW_INTERVAL = 0.1;

private:
    // Clears the bar line so that a whole line can be written over it.
    void ClearBar();
    // Draws the bar for the meter's last sample.
    void DrawBar();
    // A line on standard error (through the screen, when there is one).
    void ErrLine(const std::string& text);

    std::FILE* m_pOut;
    std::FILE* m_pErr;
    bool m_bBar;
    std::atomic<int> m_nWidth;
    StationScreen* m_pScreen = nullptr;
    int m_nStation = 0;
    bool m_bQuiet = false;
    ProgressMeter m_meter;
    bool m_bBarShown = false;      // a bar line is on the screen, without its newline
    double m_dLastDraw = -1;       // time of the last redraw
    std::string m_lastDrawnPhase;  // phase of the last bar drawn
    long m_nLastDrawnDone = -1;    // units of the last bar drawn
    std::string m_status;          // the status line last shown
    std::string m_jsonPrefix;      // --json: the fixed members of every object
    bool m_bOutputFailed = false;  // a write to standard output failed
    int m_nOutputError = 0;
    std::string m_lastFailure;
};

// A JSON string literal with its quotes: "a\"b".
std::string JsonString(const std::string& text);
