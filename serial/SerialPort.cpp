// The serial-port engine. The whole algorithm is here, once, for every platform; the
// platform's calls go through SerialBackend and the owner's through OwnerWindow.
//
// Threads: the user-interface thread runs OpenPort, ClosePort, StartMonitor,
// QueueTransmit and the destructor; the monitor thread runs MonitorThread,
// DrainReceived and TransmitPending. They meet at the byte hand-over (a synchronous
// send to the owner, made without any lock held) and at the transmit slot.
#include "serial/SerialPort.h"

#include "platform/Diagnostics.h"
#include "platform/SerialBackend.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

// Timeouts applied at open, in ms: every field.
constexpr std::uint32_t PORT_TIMEOUT_MS = 1000;
// The event character: every received 'q' raises SERIAL_EV_RXFLAG.
constexpr char EVENT_CHAR = 'q';
// Size of the error text; longer texts are cut.
constexpr std::size_t ERROR_TEXT_SIZE = 200;
// Size of the port-name and settings texts.
constexpr std::size_t NAME_TEXT_SIZE = 50;
// Bytes read from the port with one call and handed to the owner in one exchange.
constexpr std::uint32_t READ_CHUNK = 256;
// Comm waits completing at once with nothing to read that the monitor restarts
// before it looks at its events again.
constexpr int IMMEDIATE_WAITS_IN_A_ROW = 64;
// How long the user-interface thread waits for sends per round while it waits for
// the monitor to end.
constexpr unsigned STOP_POLL_MS = 1;
// Failures of port calls in a row (no byte read and no frame written in between) after
// which the device counts as gone.
constexpr int FAILURES_IN_A_ROW = 5;
// After the n-th failure in a row the monitor waits n times this before it tries the
// port again (serving the stop event and transmissions meanwhile).
constexpr unsigned RETRY_PAUSE_MS = 20;
// The longest pause between two tries of a wait on the events that keeps failing.
constexpr int FAILED_WAIT_PAUSE_MAX_MS = 50;

bool IsUsable(PortHandle handle)
{
    return handle != nullptr && handle != SerialInvalidHandle();
}

}  // namespace

// A failed port call, taken down at once: the thread's last error changes with the next
// call, and the report waits until the port lock is released. A null `call`: no failure.
struct SerialPort::PortError : PortFailureReport {
    static PortError Take(SerialBackend& backend, PortHandle handle, const char* call)
    {
        PortError error;
        error.call = call;
        error.code = backend.LastErrorCode();
        error.text = backend.LastErrorText();
        error.kind = backend.LastFailureKind(handle);
        return error;
    }
};

// Failures in a row, and the verdict on each: report it? give the port up?
class SerialPort::FailureRow {
public:
    struct Verdict {
        bool report;  // report it: the first failure of a row, and the one that ends it
        bool giveUp;  // the device is gone
    };

    Verdict Add(PortFailure kind)
    {
        ++m_count;
        const bool giveUp = kind == PortFailure::Gone || (kind == PortFailure::Suspect && m_lastSuspect) ||
                            m_count >= FAILURES_IN_A_ROW;
        m_lastSuspect = kind == PortFailure::Suspect;
        return {m_count == 1 || giveUp, giveUp};
    }
    // A byte was read or a frame written: the port works.
    void Success()
    {
        m_count = 0;
        m_lastSuspect = false;
    }
    // Failures since the last success.
    int Count() const { return m_count; }

private:
    int m_count = 0;             // failures since the last success
    bool m_lastSuspect = false;  // the last of them was one that a vanishing device gives
};

SerialPort::SerialPort()
    : m_nTxLength(1),
      m_hComm(nullptr),
      m_pMonitorThread(nullptr),
      m_bMonitorAlive(FALSE),
      m_hTxEvent(nullptr),
      m_hStopEvent(nullptr),
      m_waitHandles{nullptr, nullptr, nullptr},
      m_overlapped(),
      m_timeouts(),
      m_lineState(),
      m_pOwnerWnd(nullptr),
      m_nPortNumber(0),
      m_pFailureReporter(nullptr),
      m_pTxBuffer(nullptr),
      m_dwEventMask(0),
      m_nTxBufferSize(0),
      m_pWriteBuffer(nullptr),
      m_bSuspended(false),
      m_bStopRequested(false),
      m_bPortFailed(false),
      m_bOutputCut(false)
{
}

SerialPort::~SerialPort()
{
    assert(!(m_pMonitorThread && HandOverMark::IsServing(m_pMonitorThread->get_id())) &&
           "a port destroyed from inside its own byte hand-over waits for ever for its monitor");
    SerialBackend& backend = ActiveSerialBackend();
    // Stop the monitor; with none running this is one setting of the stop event.
    StopAndWaitForMonitor();
    // A port opened without a monitor (or a failed open) is closed here.
    PortHandle handle = m_hComm.exchange(nullptr);
    if (IsUsable(handle))
        backend.ClosePort(handle);
    // The events, in this order.
    for (EventHandle* event : {&m_hStopEvent, &m_overlapped.hEvent, &m_hTxEvent}) {
        if (*event) {
            backend.DeleteEvent(*event);
            *event = nullptr;
        }
    }
    DebugTrace("Thread ended\n");
    delete[] m_pTxBuffer;
    delete[] m_pWriteBuffer;
}

BOOL SerialPort::OpenPort(OwnerWindow* pPortOwner, unsigned portnr, int baud, char parity, int databits, int stopbits,
                          std::uint32_t eventmask, int txbuffersize)
{
    assert(portnr >= 1 && "OpenPort: port numbers start at 1");
    assert(pPortOwner != nullptr && "OpenPort: the owner window must not be null");
    assert(!(m_pMonitorThread && HandOverMark::IsServing(m_pMonitorThread->get_id())) &&
           "OpenPort from inside the port's own byte hand-over waits for ever for its monitor");
    SerialBackend& backend = ActiveSerialBackend();

    // No monitor may run while the port is reopened. The wait delivers the old
    // monitor's sends, so a byte being handed over cannot block it.
    const bool monitorWasRunning = m_bMonitorAlive.load();
    StopAndWaitForMonitor();  // also collects a monitor thread that has ended by itself
    if (monitorWasRunning)
        DebugTrace("Thread ended\n");

    // Events: reset the ones that exist, create the others.
    for (EventHandle* event : {&m_overlapped.hEvent, &m_hTxEvent, &m_hStopEvent}) {
        if (*event)
            backend.ClearEvent(*event);
        else
            *event = backend.NewEvent();
    }
    if (!m_overlapped.hEvent || !m_hTxEvent || !m_hStopEvent)
        return FALSE;  // no events, no monitor: the port can't be served
    {
        std::lock_guard<std::mutex> lock(m_suspendLock);
        m_bSuspended = false;
        m_bStopRequested = false;
    }
    m_bPortFailed.store(false);
    m_bOutputCut = false;

    // The wait list, in its fixed order.
    m_waitHandles[0] = m_hStopEvent;
    m_waitHandles[1] = m_overlapped.hEvent;
    m_waitHandles[2] = m_hTxEvent;

    // Owner, transmit slot and the settings of this open.
    m_pOwnerWnd = pPortOwner;
    const std::uint32_t bufferSize = static_cast<std::uint32_t>(std::max(txbuffersize, 0));
    {
        std::lock_guard<std::mutex> lock(m_txSlotLock);
        delete[] m_pTxBuffer;
        delete[] m_pWriteBuffer;
        m_pTxBuffer = new std::uint8_t[bufferSize];
        m_pWriteBuffer = new std::uint8_t[bufferSize];
        m_nTxBufferSize = bufferSize;
    }
    m_nPortNumber = portnr;
    m_dwEventMask = eventmask;

    char portName[NAME_TEXT_SIZE];
    char settings[NAME_TEXT_SIZE];
    PortError failure;
    {
        std::lock_guard<std::recursive_mutex> portLock(m_csPortLock);

        // Close the previous port; a failed open left nothing to close.
        PortHandle previous = m_hComm.exchange(nullptr);
        if (IsUsable(previous))
            backend.ClosePort(previous);

        std::snprintf(portName, sizeof portName, "COM%u", portnr);
        std::snprintf(settings, sizeof settings, "baud=%d parity=%c data=%d stop=%d", baud, parity, databits, stopbits);

        PortHandle handle = backend.OpenPort(portName);
        m_hComm.store(handle);
        if (handle == SerialInvalidHandle() || handle == nullptr) {
            m_hComm.store(SerialInvalidHandle());
            return FALSE;
        }

        // The configuration chain: the first failing step is reported and ends it; the
        // open goes on with the purge and succeeds.
        const char* failedCall = nullptr;
        m_timeouts.ReadIntervalTimeout = PORT_TIMEOUT_MS;
        m_timeouts.ReadTotalTimeoutMultiplier = PORT_TIMEOUT_MS;
        m_timeouts.ReadTotalTimeoutConstant = PORT_TIMEOUT_MS;
        m_timeouts.WriteTotalTimeoutMultiplier = PORT_TIMEOUT_MS;
        m_timeouts.WriteTotalTimeoutConstant = PORT_TIMEOUT_MS;
        if (!backend.SetTimeouts(handle, m_timeouts)) {
            failedCall = "SetCommTimeouts()";
        } else if (!backend.SetEventMask(handle, eventmask)) {
            failedCall = "SetCommMask()";
        } else if (!backend.GetLineState(handle, m_lineState)) {
            failedCall = "GetCommState()";
        } else {
            m_lineState.EvtChar = EVENT_CHAR;
            m_lineState.fRtsControl = SERIAL_RTS_CONTROL_ENABLE;
            // Also turns XON/XOFF and hardware flow control off, whatever the port held.
            if (!backend.BuildLineState(settings, m_lineState))
                failedCall = "BuildCommDCB()";
            else if (!backend.SetLineState(handle, m_lineState))
                failedCall = "SetCommState()";
        }
        if (failedCall)
            failure = PortError::Take(backend, handle, failedCall);

        backend.Purge(handle, SERIAL_PURGE_ALL);  // a purge that fails leaves old bytes; nothing to report
    }
    // The box waits for the user: never with the port lock held.
    if (failure.call)
        Report(failure);
    DebugTrace("Initialisation for communicationport %u completed.\nUse Startmonitor to communicate.\n", portnr);
    return TRUE;
}

void SerialPort::ClosePort()
{
    RequestStop();
}

void SerialPort::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(m_suspendLock);
        m_bStopRequested = true;
    }
    m_suspendChanged.notify_all();
    if (m_hStopEvent)
        ActiveSerialBackend().SignalEvent(m_hStopEvent);
}

void SerialPort::StopAndWaitForMonitor()
{
    RequestStop();
    while (m_bMonitorAlive.load()) {
        RequestStop();
        if (m_pOwnerWnd)
            m_pOwnerWnd->DeliverSentMessages(STOP_POLL_MS);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(STOP_POLL_MS));
    }
    if (m_pMonitorThread) {
        m_pMonitorThread->join();  // it has cleared m_bMonitorAlive as its last act
        delete m_pMonitorThread;
        m_pMonitorThread = nullptr;
    }
}

BOOL SerialPort::StartMonitor()
{
    // At most one monitor per port, and only on a port that is open.
    if (m_bMonitorAlive.load() || !IsUsable(m_hComm.load()) || !m_hStopEvent)
        return FALSE;
    if (m_pMonitorThread) {  // the previous monitor has ended: collect it
        m_pMonitorThread->join();
        delete m_pMonitorThread;
        m_pMonitorThread = nullptr;
    }
    // The monitor's first purge, done here before the thread starts: input that
    // arrives once StartMonitor has returned is then always delivered, never
    // discarded by a purge that a slow-starting thread makes later.
    {
        std::lock_guard<std::recursive_mutex> lock(m_csPortLock);
        ActiveSerialBackend().Purge(m_hComm.load(), SERIAL_PURGE_ALL);
    }
    // Alive from here, not from the thread's first step: a stop requested before the
    // thread got going must still wait for it.
    m_bMonitorAlive.store(TRUE);
    try {
        m_pMonitorThread = new std::thread(MonitorThread, this);
    } catch (...) {
        m_pMonitorThread = nullptr;
        m_bMonitorAlive.store(FALSE);
        return FALSE;
    }
    DebugTrace("Thread started\n");
    return TRUE;
}

BOOL SerialPort::RestartMonitor()
{
    DebugTrace("Thread resumed\n");
    {
        std::lock_guard<std::mutex> lock(m_suspendLock);
        m_bSuspended = false;
    }
    m_suspendChanged.notify_all();
    return TRUE;
}

BOOL SerialPort::StopMonitor()
{
    DebugTrace("Thread suspended\n");
    std::lock_guard<std::mutex> lock(m_suspendLock);
    m_bSuspended = true;
    return TRUE;
}

void SerialPort::SuspendPoint()
{
    std::unique_lock<std::mutex> lock(m_suspendLock);
    m_suspendChanged.wait(lock, [this] { return !m_bSuspended || m_bStopRequested; });
}

void SerialPort::MonitorThread(SerialPort* port)
{
    SerialBackend& backend = ActiveSerialBackend();
    port->m_bMonitorAlive.store(TRUE);
    // The handle can't change while the monitor runs: OpenPort waits for it to end.
    const PortHandle handle = port->m_hComm.load();
    // (StartMonitor purged the port just before this thread started.)

    // The event word of the comm wait, one variable for the thread's life: a wait
    // still under way writes into it when it completes.
    std::uint32_t eventWord = 0;
    // Failures of port calls since the port last worked.
    FailureRow row;
    // False once the port was given up: the monitor then serves only the stop event.
    bool serving = true;
    // Set after a failure: how long to wait before the port is tried again.
    unsigned pauseMs = 0;
    // Failed waits on the events in a row.
    int failedWaits = 0;
    const EventHandle stopAndTx[2] = {port->m_hStopEvent, port->m_hTxEvent};

    for (;;) {
        PortError error;
        int index;
        if (!serving) {
            index = backend.WaitForEvents(port->m_waitHandles, 1, SERIAL_WAIT_INFINITE);  // the stop alone
        } else if (pauseMs > 0) {
            // After a failure: let the port settle, still serving a stop and
            // transmissions, then arm it again.
            index = backend.WaitForEvents(stopAndTx, 2, pauseMs);
            pauseMs = 0;
            if (index == SERIAL_WAIT_TIMEOUT)
                continue;
            if (index == 1)
                index = 2;
        } else {
            // Start waiting for a comm event. A wait that completes at once with no
            // byte waiting is started again, a bounded number of times, so that the
            // stop event is still looked at if the port keeps completing waits at once.
            for (int immediate = 0;; ++immediate) {
                const CommWaitStart start = backend.StartCommWait(handle, &eventWord, port->m_overlapped);
                if (start == CommWaitStart::Completed) {
                    std::uint32_t waiting = 0;
                    backend.GetBytesWaiting(handle, waiting);
                    if (waiting == 0 && immediate < IMMEDIATE_WAITS_IN_A_ROW)
                        continue;
                } else if (start == CommWaitStart::Failed) {
                    error = PortError::Take(backend, handle, "WaitCommEvent()");
                }
                break;
            }
            if (error.call) {
                serving = port->HandleFailure(error, row);
                pauseMs = RETRY_PAUSE_MS * static_cast<unsigned>(row.Count());
                continue;
            }
            // Wait for stop, port event or transmission, lowest index first.
            index = backend.WaitForEvents(port->m_waitHandles, 3, SERIAL_WAIT_INFINITE);
        }
        port->SuspendPoint();
        if (index >= 0)
            failedWaits = 0;

        switch (index) {
        case 0: {
            std::unique_lock<std::recursive_mutex> lock(port->m_csPortLock);
            PortHandle open = port->m_hComm.exchange(nullptr);
            if (IsUsable(open))
                backend.ClosePort(open);
            lock.unlock();
            port->m_bMonitorAlive.store(FALSE);  // last touch of `port`
            return;
        }
        case 1: {
            std::uint32_t events = eventWord;
            if (events & SERIAL_EV_RXCHAR)
                error = DrainReceived(port, row);
            events |= eventWord;  // a back end may have added the event character meanwhile
            static const struct {
                std::uint32_t event;
                unsigned message;
            } NOTIFIED[] = {
                {SERIAL_EV_CTS, MSG_SERIAL_CTS},           {SERIAL_EV_BREAK, MSG_SERIAL_BREAK},
                {SERIAL_EV_ERR, MSG_SERIAL_LINE_ERROR},    {SERIAL_EV_RING, MSG_SERIAL_RING},
                {SERIAL_EV_RXFLAG, MSG_SERIAL_EVENT_CHAR},
            };
            for (const auto& n : NOTIFIED) {
                if (events & n.event)
                    port->m_pOwnerWnd->SendOwnerMessage(n.message, 0, port->m_nPortNumber);
            }
            break;
        }
        case 2:
            if (serving) {
                error = TransmitPending(port, row);
            } else {
                std::lock_guard<std::mutex> lock(port->m_txSlotLock);
                backend.ClearEvent(port->m_hTxEvent);  // dropped: the port is no longer served
            }
            break;
        default:
            // The wait failed: try again, pausing longer each time it fails again.
            ++failedWaits;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(failedWaits, FAILED_WAIT_PAUSE_MAX_MS)));
            break;
        }
        if (error.call) {
            serving = port->HandleFailure(error, row);
            pauseMs = RETRY_PAUSE_MS * static_cast<unsigned>(row.Count());
        }
        // Then wait again.
    }
}

bool SerialPort::HandleFailure(const PortError& error, FailureRow& row)
{
    const FailureRow::Verdict verdict = row.Add(error.kind);
    if (verdict.giveUp) {
        // Before the box, so that the owner learns it from QueueTransmit at once; a
        // transmission still waiting is dropped.
        m_bPortFailed.store(true);
        std::lock_guard<std::mutex> lock(m_txSlotLock);
        ActiveSerialBackend().ClearEvent(m_hTxEvent);
    }
    if (verdict.report) {
        PortFailureReport failure = error;
        failure.givenUp = verdict.giveUp;
        Report(std::move(failure));
    }
    return !verdict.giveUp;
}

SerialPort::PortError SerialPort::DrainReceived(SerialPort* port, FailureRow& row)
{
    SerialBackend& backend = ActiveSerialBackend();
    const PortHandle handle = port->m_hComm.load();
    std::uint8_t bytes[READ_CHUNK];
    for (;;) {
        port->SuspendPoint();
        // How many bytes wait (line errors are cleared and dropped).
        std::uint32_t waiting = 0;
        std::uint32_t got = 0;
        {
            std::lock_guard<std::recursive_mutex> lock(port->m_csPortLock);
            if (!backend.GetBytesWaiting(handle, waiting))
                return PortError::Take(backend, handle, "ClearCommError()");
            if (waiting == 0)
                return {};
            // Read what is waiting (the read ends when it has those bytes).
            const PortIo io = backend.ReadPort(handle, bytes, std::min(waiting, READ_CHUNK), got);
            if (io == PortIo::FailedCompletion)
                return PortError::Take(backend, handle, "GetOverlappedResults() in ReadFile()");
            if (io != PortIo::Done || got == 0)
                return PortError::Take(backend, handle, "ReadFile()");
        }
        row.Success();
        // Hand the bytes over: one handler call per byte, in order, on the owner's
        // thread; nothing more is read until the last call has returned.
        port->m_pOwnerWnd->SendOwnerBytes(MSG_SERIAL_RX_CHAR, bytes, got, port->m_nPortNumber);
    }
}

SerialPort::PortError SerialPort::TransmitPending(SerialPort* port, FailureRow& row)
{
    SerialBackend& backend = ActiveSerialBackend();
    // Take the slot's content; the event is cleared in the same step, so a
    // QueueTransmit after this point sets it again for its own content.
    std::uint32_t length;
    {
        std::lock_guard<std::mutex> lock(port->m_txSlotLock);
        backend.ClearEvent(port->m_hTxEvent);
        length = port->m_nTxLength;
        std::memcpy(port->m_pWriteBuffer, port->m_pTxBuffer, length);
    }
    std::uint32_t sent = 0;
    PortIo io;
    PortError error;
    {
        std::lock_guard<std::recursive_mutex> lock(port->m_csPortLock);
        const PortHandle handle = port->m_hComm.load();
        // The write's overlapped record belongs to the back end, which clears it.
        // Discard unread input before the new frame, and aborts pending I/O. Output is
        // discarded only after a transmission that ended short: the driver may still
        // be sending the last frame that was written whole (a UART's FIFO, a USB
        // adapter's buffer, a pseudo-terminal's reader that hasn't read it yet), and
        // clearing it would cut that frame.
        backend.Purge(handle, port->m_bOutputCut ? SERIAL_PURGE_ALL : SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR);
        // A write held up by the line ends as soon as a stop is asked for.
        io = backend.WritePort(handle, port->m_pWriteBuffer, length, sent, port->m_hStopEvent);
        if (io == PortIo::FailedStart)
            error = PortError::Take(backend, handle, "WriteFile()");
        port->m_bOutputCut = !(io == PortIo::Done && sent == length);
    }
    if (io == PortIo::Done && sent == length)
        row.Success();
    if (sent != length && io != PortIo::Aborted)
        DebugTrace("WARNING: WriteFile() error.. Bytes Sent: %u; Message Length: %u\n", sent, length);
    return error;
}

BOOL SerialPort::QueueTransmit(const char* text)
{
    assert(m_hComm.load() != nullptr && "m_hComm != 0");
    if (!text || !IsUsable(m_hComm.load()) || m_bPortFailed.load())
        return FALSE;
    const std::size_t length = std::strlen(text);
    std::lock_guard<std::mutex> lock(m_txSlotLock);
    if (!m_pTxBuffer || !m_hTxEvent || length + 1 > m_nTxBufferSize)
        return FALSE;
    std::memcpy(m_pTxBuffer, text, length + 1);
    m_nTxLength = static_cast<std::uint32_t>(length);
    ActiveSerialBackend().SignalEvent(m_hTxEvent);
    return TRUE;
}

BOOL SerialPort::QueueTransmit(const std::uint8_t* bytes, int count)
{
    assert(m_hComm.load() != nullptr && "m_hComm != 0");
    if (count < 0 || (count > 0 && !bytes) || !IsUsable(m_hComm.load()) || m_bPortFailed.load())
        return FALSE;
    std::lock_guard<std::mutex> lock(m_txSlotLock);
    if (!m_pTxBuffer || !m_hTxEvent || static_cast<std::uint32_t>(count) > m_nTxBufferSize)
        return FALSE;
    if (count > 0)
        std::memcpy(m_pTxBuffer, bytes, static_cast<std::size_t>(count));
    m_nTxLength = static_cast<std::uint32_t>(count);
    ActiveSerialBackend().SignalEvent(m_hTxEvent);
    return TRUE;
}

void SerialPort::ReportPortError(const char* failedCall)
{
    SerialBackend& backend = ActiveSerialBackend();
    Report(PortError::Take(backend, m_hComm.load(), failedCall));
}

void SerialPort::SetFailureReporter(PortFailureReporter* reporter)
{
    m_pFailureReporter.store(reporter);
}

void SerialPort::Report(PortFailureReport failure)
{
    failure.portNumber = m_nPortNumber;
    if (PortFailureReporter* reporter = m_pFailureReporter.load())
        reporter->ReportPortFailure(failure);
    else
        ShowErrorBox(PortFailureBoxText(failure).c_str(), "Application Error");
}

std::string PortFailureBoxText(const PortFailureReport& failure)
{
    char text[ERROR_TEXT_SIZE];
    // snprintf cuts a long system text at the buffer's end.
    std::snprintf(text, sizeof text, "WARNING:  %s Failed with the following error: \n%s\nPort: %u\n",
                  failure.call ? failure.call : "", failure.text.c_str(), failure.portNumber);
    return text;
}

LineState SerialPort::GetLineState() const
{
    return m_lineState;
}

std::uint32_t SerialPort::GetEventMask() const
{
    return m_dwEventMask;
}

std::uint32_t SerialPort::GetTxBufferSize() const
{
    return m_nTxBufferSize;
}
