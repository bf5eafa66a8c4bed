// Everything platform-specific that the serial engine needs, behind one interface.
// platform/win32/ implements it over the Win32 communications calls, platform/posix/
// over termios and poll; the engine (serial/SerialPort.cpp) calls nothing else.
//
// Error reporting: a call that fails records the platform's error for the calling
// thread; LastErrorCode() and LastErrorText() then return the system's code and text
// for it, until the next failing call on that thread.
#pragma once

#include "platform/SerialTypes.h"

#include <cstdint>
#include <string>

// Result of starting the comm-event wait.
enum class CommWaitStart {
    Completed,  // an event was already there: the event word holds it, the event is set
    Pending,    // the wait runs (also: a wait was already pending); the event is set on completion
    Failed,     // the wait could not be started (error recorded)
};

// Result of a read or a write.
enum class PortIo {
    Done,              // finished; the count says how many bytes moved
    FailedStart,       // the call itself failed (Win32: ReadFile/WriteFile)
    FailedCompletion,  // the call was pending and waiting for it failed (GetOverlappedResult)
    Aborted,           // a write ended early because its abort event was set (no error)
};

// What WaitForEvents returns when the wait itself failed, and when its timeout ran out.
constexpr int SERIAL_WAIT_FAILED = -1;
constexpr int SERIAL_WAIT_TIMEOUT = -2;
// WaitForEvents' timeout for "no timeout".
constexpr unsigned SERIAL_WAIT_INFINITE = 0xFFFFFFFFu;

class SerialBackend {
public:
    virtual ~SerialBackend() = default;

    // --- events: unnamed, manual reset -------------------------------------------
    // Creates an event, initially clear; null on failure.
    virtual EventHandle NewEvent() = 0;
    // Sets the event (it stays set until cleared). Any thread.
    virtual void SignalEvent(EventHandle event) = 0;
    // Clears the event. Any thread.
    virtual void ClearEvent(EventHandle event) = 0;
    // Destroys the event; `event` must not be null.
    virtual void DeleteEvent(EventHandle event) = 0;

    // --- the port --------------------------------------------------------------
    // Opens port `name` ("COMn", resolved through PortNames.h) exclusively for reading
    // and writing: another program holding it makes the open fail. Returns the port,
    // or SerialInvalidHandle() when the port does not exist or is held (error recorded).
    virtual PortHandle OpenPort(const char* name) = 0;
    // Applies the five timeouts (SetCommTimeouts). False on failure.
    virtual bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) = 0;
    // Sets the comm-event mask (SetCommMask). False on failure.
    virtual bool SetEventMask(PortHandle port, std::uint32_t mask) = 0;
    // Reads the current line state (GetCommState). False on failure.
    virtual bool GetLineState(PortHandle port, LineState& state) = 0;
    // Applies a settings text "baud=%d parity=%c data=%d stop=%d" to `state`
    // (BuildCommDCBA); fields the text does not name are kept. False on a bad text.
    virtual bool BuildLineState(const char* settings, LineState& state) = 0;
    // Makes `state` the line's state (SetCommState): rate, data bits, parity, stop
    // bits, flow control, RTS and the event character. False on failure.
    virtual bool SetLineState(PortHandle port, const LineState& state) = 0;
    // Discards the driver's buffers and aborts pending I/O as `flags` say
    // (SERIAL_PURGE_*; PurgeComm). False on failure.
    virtual bool Purge(PortHandle port, std::uint32_t flags) = 0;
    // Starts waiting for the next comm event of the mask (WaitCommEvent, or a back
    // end's own way of learning of received bytes). `eventWord` must stay valid for the
    // life of the monitor thread: the events are in it, and `overlapped.hEvent` is set,
    // by the time WaitForEvents returns that event's index. A back end may also add
    // SERIAL_EV_RXFLAG to it while ReadPort returns the event character (POSIX does:
    // it has no driver-side event character), so the engine reads the word again after
    // draining. Starting the wait clears the event.
    virtual CommWaitStart StartCommWait(PortHandle port, std::uint32_t* eventWord, PortOverlapped& overlapped) = 0;
    // Waits until one of `handles[0..count)` is set and returns the lowest index that
    // is set; SERIAL_WAIT_TIMEOUT when none was set within `timeoutMs`
    // (SERIAL_WAIT_INFINITE: no timeout), SERIAL_WAIT_FAILED on failure. The event of a
    // pending comm wait (StartCommWait) becomes set when the port has an event; a port
    // that already has one counts as set, so received bytes are served before a higher
    // index (a waiting transmission), as the system's own wait does. count <= 3.
    virtual int WaitForEvents(const EventHandle* handles, unsigned count, unsigned timeoutMs) = 0;
    // Clears the line-error state and reports the bytes waiting in the receive buffer
    // (ClearCommError). False on failure. A line that hung up reports at least 1 so
    // that the following read reveals the failure.
    virtual bool GetBytesWaiting(PortHandle port, std::uint32_t& waiting) = 0;
    // Reads up to `capacity` bytes that are already waiting; `got` is the count read.
    // A read that gets nothing although bytes showed as waiting is a failed read
    // (FailedStart, with an error recorded for it).
    virtual PortIo ReadPort(PortHandle port, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got) = 0;
    // Writes `count` bytes and waits until the driver took them or the write timeout
    // ran out; `sent` is the count written. A write that can't go on (flow control, a
    // wedged adapter) waits without using the CPU, and ends at once with Aborted when
    // `abortEvent` (if not null) becomes set; the bytes not yet sent are dropped.
    virtual PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                             EventHandle abortEvent) = 0;
    // Closes the port; `port` is neither null nor SerialInvalidHandle().
    virtual void ClosePort(PortHandle port) = 0;

    // What this thread's last recorded error, from a call on `port`, says about the
    // device (PortFailure).
    virtual PortFailure LastFailureKind(PortHandle port) = 0;
    // The system's code for this thread's last recorded error (GetLastError's value;
    // errno on POSIX).
    virtual std::uint32_t LastErrorCode() = 0;
    // The system's text for this thread's last recorded error (FormatMessageA with
    // the user's default language; strerror on POSIX), without a trailing newline.
    virtual std::string LastErrorText() = 0;
};

// The back end in use: the one installed with SetSerialBackendOverride, else the
// platform's own (PlatformSerialBackend).
SerialBackend& ActiveSerialBackend();
// Installs `backend` for every port operation from now on (tests wrap the platform's
// back end to make chosen calls fail); null restores the platform's own. Install it
// only while no monitor thread runs.
void SetSerialBackendOverride(SerialBackend* backend);
// The platform's own back end, defined once per platform (win32/ or posix/).
SerialBackend& PlatformSerialBackend();
