#include "console/ConsoleHost.h"

#include "console/CommandLine.h"
#include "platform/OwnerWindow.h"
#include "serial/SerialMessages.h"

#include <cstdio>
#include <cstring>

namespace {

// How many of the device's last bytes a stall message shows.
constexpr std::size_t RECENT_BYTES = 24;
// Seconds without a first byte before the hint to reset the device is shown.
constexpr double FIRST_REPLY_HINT_SECONDS = 3.0;

// Bytes as text: printable ASCII as is, others as \xNN.
std::string Printable(const std::string& bytes)
{
    std::string text;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
            text += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        }
    }
    return text;
}

}  // namespace

ConsoleHost::ConsoleHost(const char* program, ConsoleReporter& reporter, bool trace, double timeoutSeconds)
    : m_pProgram(program),
      m_reporter(reporter),
      m_idle(timeoutSeconds),
      m_start(std::chrono::steady_clock::now()),
      m_window(m_loop, [this](unsigned m, std::uintptr_t w, std::intptr_t l) { return OnMessage(m, w, l); })
{
    if (trace)
        m_pTrace = std::make_unique<TraceLog>([this](const std::string& line) { m_reporter.Trace(line); });
    // A port that fails (a vanished adapter, a line that hangs up) is never served
    // again; without this the run would wait for ever for bytes that cannot come.
    m_port.SetFailureReporter(this);
}

ConsoleHost::~ConsoleHost()
{
    // From here on bytes the monitor still hands over are dropped (m_bFinished).
    m_bFinished = true;
}

void ConsoleHost::ReportPortFailure(const PortFailureReport& failure)
{
    // The engine words its box for Windows ("... Failed with the following error ...
    // Port: 1"); here the failure is told in the system's own words, with the device's
    // path, and a hint when it looks like the device went away.
    std::string reason = failure.text.empty() ? std::string("the serial port failed") : failure.text;
    if (failure.kind != PortFailure::Transient)
        reason += " \u2014 device unplugged?";
    {
        std::lock_guard<std::mutex> lock(m_portErrorLock);
        if (!m_portError.empty())
            return;  // the run ends on the first one
        m_portError =
            std::string(m_pProgram) + ": " + (m_portName.empty() ? "serial port" : m_portName) + ": " + reason;
    }
    m_window.PostOwnerMessage(CONSOLE_MSG_PORT_FAILED, 0, 0);
}

double ConsoleHost::Now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

bool ConsoleHost::OpenPort(unsigned portnr, const ToolLine& line)
{
    if (!m_port.OpenPort(&m_window, portnr, line.baud, TOOL_LINE_PARITY, TOOL_LINE_DATA_BITS, TOOL_LINE_STOP_BITS,
                         TOOL_LINE_EVENT_MASK, line.pickTxBuffer))
        return false;
    m_port.StartMonitor();  // as in every tool, its result is not looked at
    return true;
}

int ConsoleHost::Run()
{
    if (m_bFinished)
        return m_nExitStatus;
    m_dRunStart = Now();
    m_idle.Restart(m_dRunStart);
    m_window.SetOwnerTimer(CONSOLE_TIMER_ID, CONSOLE_TIMER_PERIOD_MS);
    ReportProgress(false);
    m_loop.Run();
    m_window.KillOwnerTimer(CONSOLE_TIMER_ID);
    if (m_pTrace)
        m_pTrace->Flush();
    m_reporter.Finish();
    return m_nExitStatus;
}

double ConsoleHost::RunSeconds() const
{
    if (m_dRunStart < 0)
        return 0;
    return (m_dRunEnd >= 0 ? m_dRunEnd : Now()) - m_dRunStart;
}

std::string ConsoleHost::LastReceived() const
{
    if (m_recent.empty())
        return "nothing";
    char ago[48];
    std::snprintf(ago, sizeof ago, " (%.1f s ago)", Now() - m_dLastByte);
    return "\"" + Printable(m_recent) + "\"" + ago;
}

void ConsoleHost::Finish(int status)
{
    if (m_bFinished)
        return;
    m_bFinished = true;
    m_dRunEnd = Now();
    m_nExitStatus = status;
    m_loop.Quit(status);
}

void ConsoleHost::Interrupt(int signal)
{
    m_window.PostOwnerMessage(CONSOLE_MSG_INTERRUPT, static_cast<std::uintptr_t>(signal), 0);
}

std::string ConsoleHost::InterruptedText() const
{
    std::string text = std::string(m_pProgram) + ": interrupted at " + (m_pTool ? m_pTool->Position() : "the start");
    if (m_tally.Unit() == UNIT_NONE && !m_tally.IsCompleted())
        return text + "; nothing was sent to the device";
    return text + (m_bImageTool ? "; the device holds a partial image" : "; the device's flash is partly erased");
}

void ConsoleHost::Fail(const std::string& text, int status, RunEnd end)
{
    if (m_bFinished)
        return;
    if (m_pTrace)
        m_pTrace->Flush();
    m_nEnd = end;
    m_failureText = text;
    m_reporter.Failure(text);
    Finish(status);
}

void ConsoleHost::ReportProgress(bool complete)
{
    if (!m_pTool)
        return;
    ProgressSample sample = m_pTool->Progress();
    if (!sample.phase.empty())
        m_lastActive = sample;
    else if (complete)
        sample = m_lastActive;  // a tool may leave its job as it reports the end of it
    if (complete && sample.total > 0)
        sample.done = sample.total;
    m_reporter.Progress(sample, Now());
}

std::intptr_t ConsoleHost::OnMessage(unsigned message, std::uintptr_t wParam, std::intptr_t)
{
    if (m_bFinished || !m_pTool)
        return 0;
    if (message == CONSOLE_MSG_PORT_FAILED) {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(m_portErrorLock);
            text = m_portError;
        }
        m_bPortLost = true;
        Fail(text, EXIT_STATUS_FAILURE);
    } else if (message == CONSOLE_MSG_INTERRUPT) {
        const int signal = static_cast<int>(wParam);
        Fail(InterruptedText(), 128 + signal, RUN_END_INTERRUPTED);
    } else if (message == MSG_SERIAL_RX_CHAR) {
        auto byte = static_cast<std::uint8_t>(wParam & 0xFF);
        double now = Now();
        m_idle.Restart(now);
        if (!m_bDeviceHeard) {
            // The stall clock starts with the device's first byte.
            m_bDeviceHeard = true;
            m_dLastMove = now;
        }
        m_dLastByte = now;
        m_recent += static_cast<char>(byte);
        if (m_recent.size() > RECENT_BYTES)
            m_recent.erase(0, m_recent.size() - RECENT_BYTES);
        if (m_pTrace)
            m_pTrace->OnReceived(byte, now);
        m_pTool->OnByte(byte);
    } else if (message == OWNER_MSG_TIMER) {
        if (wParam == CONSOLE_TIMER_ID)
            OnHousekeeping();
        else
            m_pTool->OnTimer(static_cast<unsigned>(wParam));
    } else {
        // The engine's other line events (break, CTS, ring, event character) mean
        // nothing to the tools; everything else is the tool's own posted message.
        bool lineEvent = message > MSG_SERIAL_BASE && message <= MSG_SERIAL_EVENT_CHAR;
        if (!lineEvent)
            m_pTool->OnPosted(message);
    }
    return 0;
}

void ConsoleHost::OnHousekeeping()
{
    double now = Now();
    if (m_pTrace)
        m_pTrace->FlushIfQuiet(now);
    ReportProgress(false);
    if (m_idle.Expired(now)) {
        char text[200];
        std::snprintf(text, sizeof text, "%s: no reply from the device for %g s (--timeout); giving up at %s",
                      m_pProgram, m_idle.Limit(), m_pTool->Position().c_str());
        Fail(text, EXIT_STATUS_TIMEOUT, RUN_END_TIMEOUT);
        return;
    }
    CheckProgress(now);
}

void ConsoleHost::CheckProgress(double now)
{
    if (!m_bDeviceHeard) {
        if (!m_bHintShown && !m_waitingText.empty()) {
            m_bHintShown = true;
            m_reporter.Status(m_waitingText);
        }
        if (!m_bHintShown && now - m_dRunStart >= FIRST_REPLY_HINT_SECONDS) {
            m_bHintShown = true;
            m_reporter.Status(std::string(m_pProgram) + ": no reply from the device yet on " + m_portName +
                              "; reset the device (or power it on) to start its loader. Still waiting" +
                              (m_idle.Limit() > 0 ? "." : " (--timeout sets a limit)."));
        }
        return;
    }
    if (m_dStallLimit > 0 && now - m_dLastMove >= m_dStallLimit) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", m_dStallLimit);
        Fail(std::string(m_pProgram) + ": no progress for " + limit + " s (--stall); stopped at " +
                 m_pTool->Position() + "; the device last sent " + LastReceived(),
             EXIT_STATUS_FAILURE, RUN_END_STALL);
    }
}

void ConsoleHost::SendBytes(const std::uint8_t* data, std::size_t length)
{
    if (m_bFinished)
        return;
    if (m_pTrace)
        m_pTrace->OnSent(data, length, Now());
    if (!m_port.QueueTransmit(data, static_cast<int>(length)))
        Fail(std::string(m_pProgram) + ": the serial port did not take a frame of " + std::to_string(length) + " bytes",
             EXIT_STATUS_FAILURE);
}

void ConsoleHost::SendText(const char* text)
{
    if (m_bFinished)
        return;
    if (m_pTrace)
        m_pTrace->OnSent(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text), Now());
    if (!m_port.QueueTransmit(text))
        Fail(std::string(m_pProgram) + ": the serial port did not take the frame " + text, EXIT_STATUS_FAILURE);
}

void ConsoleHost::StartTimer(unsigned id, unsigned periodMs)
{
    m_window.SetOwnerTimer(id, periodMs);
}

void ConsoleHost::StopTimer(unsigned id)
{
    m_window.KillOwnerTimer(id);
}

void ConsoleHost::ShowMessage(const char* text)
{
    if (m_bFinished)
        return;
    if (m_bFailureScope) {
        m_reporter.Failure(text);
        return;
    }
    m_reporter.Status(text);
}

void ConsoleHost::SetStatusText(const char* text)
{
    // After the run has ended (the logic's COMPLETED), nothing more is shown: the
    // success text appears once, on standard output, at the end.
    if (m_bFinished)
        return;
    // Progress first, so that a status that ends a phase follows its last figures.
    ReportProgress(false);
    m_reporter.Status(text);
}

void ConsoleHost::SetProgressText(const char* text)
{
    // The bar and the progress lines are drawn from the tool's own counters, which
    // carry the same figure at a finer grain; the text is kept for the record.
    m_progressText = text;
}

void ConsoleHost::SetProgressPos(int pos)
{
    m_nProgressPos = pos;
}

void ConsoleHost::GetProgressRange(int& lower, int& upper)
{
    // The range every tool's bar has: the platform's default.
    lower = 0;
    upper = 100;
}

void ConsoleHost::PostToSelf(unsigned message)
{
    m_window.PostOwnerMessage(message, 0, 0);
}

void ConsoleHost::OnToolEvent(const ToolEvent& event)
{
    if (m_bFinished || !m_pTool)
        return;
    m_tally.Apply(event);
    if (RunTally::MovesTheRun(event.kind))
        m_dLastMove = Now();
    m_pTool->OnEvent(event);
    if (event.kind != TOOL_EVENT_COMPLETED || m_bFinished)
        return;
    // The logic shows its success text next; the run ends here, with status 0.
    if (m_pTrace)
        m_pTrace->Flush();
    ReportProgress(true);
    m_reporter.Finish();                     // the finished bar stays above the success text
    m_successText = m_pTool->SuccessText();  // printed by the caller, after the summary
    m_nEnd = RUN_END_SUCCESS;
    Finish(EXIT_STATUS_SUCCESS);
}
