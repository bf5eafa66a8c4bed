// The console's side of ToolHost: one host serves any tool's logic. It owns the
// window of the program's message loop and the serial port, routes received bytes,
// timer ticks and posted messages to the tool, sends the tool's frames, and turns the
// tool's texts into lines on the terminal (ConsoleReporter). Its own housekeeping
// timer samples the progress, ends trace replies and watches --timeout.
//
// What happened in the run the host learns from the logic's ToolEvents alone (kept in
// a RunTally, and handed on to the tool for its own lines): it never looks at the
// device's bytes or at the texts for that. A message box has no meaning in a console:
// ShowMessage prints the text as a status line and returns. The logic's COMPLETED
// ends the run with status 0 (the caller prints the tool's success text, last; the
// logic's own showing of it is then not printed); texts shown inside a FailureScope
// (a refused start, an unreadable image) are failures.
//
// No silent hang: before the device's first byte the run waits (for --timeout, if
// given, with a hint after a few seconds); once the device has answered, a run the
// logic reports no progress of (no run or stage begun, no unit acknowledged) for the
// stall limit fails, naming where it stopped and what the device last sent.
#pragma once

#include "common/ToolHost.h"
#include "common/ToolLine.h"
#include "console/IdleTimeout.h"
#include "console/Progress.h"
#include "console/Reporter.h"
#include "console/RunTally.h"
#include "console/Trace.h"
#include "platform/ProgramLoop.h"
#include "serial/SerialPort.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// What a run has done, for the summary line and the --json result.
struct RunFigures {
    long done = 0;   // units the device acknowledged (blocks, pages, frames)
    long total = 0;  // units in the run; 0 while unknown
    long bytes = 0;  // data bytes the device acknowledged
};

// What the host needs from a tool's console wiring: where its inputs go and how far
// it has come. Everything is called on the loop thread.
class ConsoleTool {
public:
    virtual ~ConsoleTool() = default;
    // One byte received from the device.
    virtual void OnByte(std::uint8_t byte) = 0;
    // One tick of a timer the tool's logic started.
    virtual void OnTimer(unsigned id) = 0;
    // A message the tool's logic posted to itself.
    virtual void OnPosted(unsigned message) { (void)message; }
    // What the tool's logic decided, after the host's tally has taken it.
    virtual void OnEvent(const ToolEvent& event) { (void)event; }
    // The tool's progress, read from its logic.
    virtual ProgressSample Progress() const = 0;
    // The text the caller prints at the end of a successful run: "Finish", ...
    virtual const char* SuccessText() const = 0;
    // Where the run stands, in words: "block 5 of 24", for the messages of a run that
    // stalls or times out.
    virtual std::string Position() const = 0;
    // What the device has acknowledged so far.
    virtual RunFigures Figures() const = 0;
};

// The id of the host's own housekeeping timer; tools use small ids (1 to 4).
constexpr unsigned CONSOLE_TIMER_ID = 0x7C00;
constexpr unsigned CONSOLE_TIMER_PERIOD_MS = 10;
// Posted when the engine reports a port failure (from whichever thread's call failed):
// the serial port failed, and a console run cannot go on without it. WM_USER+12, clear of
// the engine's messages and of the tools' own.
constexpr unsigned CONSOLE_MSG_PORT_FAILED = 0x40C;
// Posted by Interrupt (from the thread that took SIGINT or SIGTERM): the run ends,
// saying where it stopped. wParam: the signal's number.
constexpr unsigned CONSOLE_MSG_INTERRUPT = 0x40D;

// How a run ended, for the records and the summary.
enum RunEnd {
    RUN_END_NONE,         // still running, or never ran
    RUN_END_SUCCESS,      // the device confirmed the whole job
    RUN_END_FAILURE,      // the port, the image or the device failed or refused
    RUN_END_TIMEOUT,      // no byte from the device within --timeout
    RUN_END_STALL,        // no progress within --stall once the device had answered
    RUN_END_INTERRUPTED,  // SIGINT or SIGTERM
};

class ConsoleHost : public ToolHost, private PortFailureReporter {
public:
    // `reporter` must outlive the host. With `trace`, every frame and reply is listed.
    // timeoutSeconds 0: wait for the device for ever.
    // `program` prefixes the host's own failure texts ("quarrow: ...").
    ConsoleHost(const char* program, ConsoleReporter& reporter, bool trace, double timeoutSeconds);
    ~ConsoleHost() override;
    ConsoleHost(const ConsoleHost&) = delete;
    ConsoleHost& operator=(const ConsoleHost&) = delete;

    // The tool whose logic this host serves; set once, before OpenPort.
    void SetTool(ConsoleTool* tool) { m_pTool = tool; }

    // Opens COM<portnr> with the tool's line (its speed, 8N1, the tools' event mask,
    // the transmit buffer of a picked port) and starts its monitor. False when the
    // port could not be opened.
    bool OpenPort(unsigned portnr, const ToolLine& line);

    // The port as the user named it, for messages ("/dev/ttyUSB0").
    void SetPortName(const std::string& name) { m_portName = name; }
    // Once the device has answered, no progress for this long ends the run; 0: never.
    void SetStallLimit(double seconds) { m_dStallLimit = seconds > 0 ? seconds : 0; }

    // Serves the port, the timers and the tool until the run ends; returns the exit
    // status: 0 once the tool showed its success text (not printed: see
    // SuccessMessage), else the status given to Fail (3 on timeout).
    int Run();

    // The success text of a run that succeeded; empty otherwise.
    const std::string& SuccessMessage() const { return m_successText; }
    // The failure text that ended the run; empty if none.
    const std::string& FailureText() const { return m_failureText; }
    // Seconds from the start of Run to its end (or to now while it runs).
    double RunSeconds() const;
    // The last bytes the device sent, as printable text (\xNN for the others), and how long ago.
    std::string LastReceived() const;

    // Ends the run with a failure: `text` on standard error, then exit status `status`.
    void Fail(const std::string& text, int status, RunEnd end = RUN_END_FAILURE);
    // Asks the run to end as interrupted by `signal`: it stops where it is, saying so
    // (see InterruptedText). Any thread; nothing happens once the run has ended.
    void Interrupt(int signal);
    // What an interrupted run says: where it stopped and what the device holds now.
    std::string InterruptedText() const;
    // The tool writes an image (else it erases): for InterruptedText.
    void SetImageTool(bool imageTool) { m_bImageTool = imageTool; }
    // How the run ended; RUN_END_NONE while it runs.
    RunEnd End() const { return m_nEnd; }
    // A byte came from the device during the run.
    bool DeviceHeard() const { return m_bDeviceHeard; }
    // The run ended because the port failed (a vanished adapter, a hangup).
    bool PortLost() const { return m_bPortLost; }
    // Instead of the hint to reset the device when it has not answered after a few
    // seconds, the run says `text` at once (a station waiting for its next board).
    void SetWaitingText(const std::string& text) { m_waitingText = text; }

    // While a FailureScope lives, texts the tool shows are failures (standard error).
    class FailureScope {
    public:
        explicit FailureScope(ConsoleHost& host)
            : m_host(host),
              m_bPrevious(host.m_bFailureScope)
        {
            host.m_bFailureScope = true;
        }
        ~FailureScope() { m_host.m_bFailureScope = m_bPrevious; }
        FailureScope(const FailureScope&) = delete;
        FailureScope& operator=(const FailureScope&) = delete;

    private:
        ConsoleHost& m_host;
        bool m_bPrevious;
    };

    ConsoleReporter& Reporter() { return m_reporter; }
    const char* Program() const { return m_pProgram; }
    // Seconds since the host was made.
    double Now() const;

    // ToolHost
    void SendBytes(const std::uint8_t* data, std::size_t length) override;
    void SendText(const char* text) override;
    void StartTimer(unsigned id, unsigned periodMs) override;
    void StopTimer(unsigned id) override;
    void ShowMessage(const char* text) override;
    void SetStatusText(const char* text) override;
    void SetProgressText(const char* text) override;
    void SetProgressPos(int pos) override;
    void GetProgressRange(int& lower, int& upper) override;
    void PostToSelf(unsigned message) override;
    void OnToolEvent(const ToolEvent& event) override;

    // What the logic has reported of the run so far.
    const RunTally& Tally() const { return m_tally; }

    // The last texts and position the tool set (for the final report and for tests).
    const std::string& ProgressText() const { return m_progressText; }
    int ProgressPos() const { return m_nProgressPos; }

private:
    // The window's handler: every message of the loop, on the loop thread.
    std::intptr_t OnMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    // The housekeeping tick: progress, trace, timeout.
    void OnHousekeeping();
    // Ends the run with `status` once the handler now running has returned.
    void Finish(int status);
    // Shows the tool's progress now (at the end: as complete when `complete`).
    void ReportProgress(bool complete);
    // A failure of the port, as the engine took it down: keeps its line and asks the
    // loop thread to end the run.
    void ReportPortFailure(const PortFailureReport& failure) override;
    // The stall rule and the first-reply hint, on every housekeeping tick.
    void CheckProgress(double now);

    const char* m_pProgram;
    ConsoleReporter& m_reporter;
    std::unique_ptr<TraceLog> m_pTrace;  // null without --trace
    IdleTimeout m_idle;
    std::chrono::steady_clock::time_point m_start;
    ConsoleTool* m_pTool = nullptr;
    bool m_bFailureScope = false;  // texts shown now are failures
    bool m_bFinished = false;      // the run has ended: ignore what still comes
    RunEnd m_nEnd = RUN_END_NONE;
    bool m_bPortLost = false;
    bool m_bImageTool = true;
    std::string m_waitingText;
    int m_nExitStatus = 0;
    std::string m_progressText;
    int m_nProgressPos = 0;
    ProgressSample m_lastActive;  // the last reading that had a phase
    std::mutex m_portErrorLock;   // guards m_portError (monitor thread writes it)
    std::string m_portError;      // the first port failure's text, not yet shown
    std::string m_portName;
    std::string m_successText;
    std::string m_failureText;
    double m_dStallLimit = 0;
    double m_dRunStart = -1;      // when Run began
    double m_dRunEnd = -1;        // when the run ended
    bool m_bDeviceHeard = false;  // a byte came from the device
    bool m_bHintShown = false;    // the "no reply yet" hint was shown
    double m_dLastByte = 0;       // when the last byte came
    std::string m_recent;         // the last bytes received (at most RECENT_BYTES)
    RunTally m_tally;             // what the logic has reported
    double m_dLastMove = 0;       // when the logic last reported progress

    // Destroyed in reverse order: the port (stopping its monitor, the last to report a
    // failure) before the window, the window before the loop, and all of them before
    // the members above.
    MessageLoop m_loop;
    LoopWindow m_window;
    SerialPort m_port;
};
