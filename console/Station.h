// One station of a console run: a port, and the boards it runs one after another
// (--repeat), each board tried again on failure (--retries). Every board gets its own
// host, logic and (with --simulate) simulated device; the port is opened for it and
// closed after it. A station runs on a thread of its own, so that one that fails or
// stalls never holds up the others.
#pragma once

#include "console/BoardLog.h"
#include "console/CommandLine.h"
#include "console/ToolRunner.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace sim {
class SimulatedBackend;
}

class StationScreen;

// Enter on the terminal: "the next board is in place". One reading thread counts the
// lines; a waiting station wakes when the count moves on.
class EnterKey {
public:
    // Starts reading standard input when it is a terminal.
    void Start();
    bool Available() const { return m_bStarted; }
    // The lines read so far.
    long Presses() const { return m_nPresses.load(); }

private:
    bool m_bStarted = false;
    std::atomic<long> m_nPresses{0};
};

// What every station of a run shares.
struct RunContext {
    const ToolTraits* traits = nullptr;
    const CommandLine* cl = nullptr;
    const ProgramFactory* factory = nullptr;
    StationScreen* screen = nullptr;  // null: one station, writing straight to the terminal
    bool bar = false;                 // single station: a progress bar on standard error
    BoardLog* log = nullptr;          // --log; null without
    std::string imageFile;            // as named on the command line; empty: built in or none
    long long imageSize = -1;         // -1: the tool takes no image
    std::string imageSha256;
    std::string hostName;
    std::string systemRoot;  // SUITE_SYSTEM_ROOT, for usb: names
    EnterKey* enter = nullptr;
    // --simulate: the back end whose simulated devices the stations' ports are (the
    // back end in use while the stations run); null without.
    sim::SimulatedBackend* simulated = nullptr;
    std::atomic<int> interrupted{0};  // the signal that ended the run; 0: none
    std::atomic<bool> logFailed{false};
};

// What a station did over the run.
struct StationTotals {
    long boards = 0;     // boards ended (each counted once, whatever its tries)
    long succeeded = 0;  // of which succeeded
    double seconds = 0;  // their time, added up
    long long bytes = 0;
    std::string lastResult;  // "success", "failure", ...
    std::string lastError;
    int lastStatus = EXIT_STATUS_SUCCESS;  // the last board's exit status
    bool interrupted = false;              // a board was interrupted
    AdapterIdentity adapter;
};

class Station {
public:
    Station(RunContext& context, int number, std::string portName);
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Runs the station's boards; on the station's thread.
    void Run();
    // Ends the board running now (and the station) as interrupted. Any thread.
    void Interrupt(int signal);
    // The terminal has `width` columns now. Any thread.
    void SetWidth(int width);

    const std::string& Name() const { return m_name; }
    const StationTotals& Totals() const { return m_totals; }

private:
    // How one try of a board ended.
    struct Outcome {
        int status = EXIT_STATUS_FAILURE;
        RunEnd end = RUN_END_NONE;
        bool openFailed = false;  // the port could not be opened or named: the station ends
        bool left = false;        // the port went away before the device said a word
        bool lost = false;        // the port went away during the run
    };

    // One try of board `board`; `waiting`: the station waits for the next board's
    // loader to speak (no reset hint, no --timeout).
    Outcome RunBoard(long board, long attempt, bool waiting);
    // Waits until the next board is there. False when the run is to end.
    bool WaitForNextBoard();
    // Waits until the port is there again after it went away. False on interrupt.
    bool WaitForPort();
    // The port is there now (its device node, or its usb: name resolves).
    bool PortPresent(std::uint64_t* identity) const;
    // A line of the station's own (not of a board's run).
    void Say(const std::string& text);
    bool Stopping() const { return m_context.interrupted.load() != 0; }

    RunContext& m_context;
    int m_nNumber;
    int m_nScreenLine = 0;
    std::string m_name;
    std::uint64_t m_lastDevice = 0;
    bool m_bLatencyUnknown = true;  // the adapter's latency timer has not been looked at since it came  // the port's
                                    // device when the last board ended
    StationTotals m_totals;

    std::mutex m_lock;                       // guards the two below
    ConsoleHost* m_pHost = nullptr;          // the board's host while it runs
    ConsoleReporter* m_pReporter = nullptr;  // the board's reporter while it runs
    std::condition_variable m_wake;          // an interrupt ends a wait
};
