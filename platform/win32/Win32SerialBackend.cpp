// The serial back end over the Win32 communications calls.
//
// A port handle given to the engine points to a Win32Port: the file handle of
// "\\.\COMn" together with the back end's own overlapped records for reads and for
// writes. The comm-event wait uses the engine's record (PortOverlapped, laid out as
// OVERLAPPED), whose event is index 1 of the monitor's wait list. Three separate
// records, because the comm-event wait is normally still pending while the monitor
// reads or writes, and a record must not be reused while its operation runs.
#include "platform/SerialBackend.h"

#include "platform/PortNames.h"

#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

static_assert(sizeof(LineState) == sizeof(DCB), "LineState must have the layout of DCB");
static_assert(offsetof(LineState, EvtChar) == offsetof(DCB, EvtChar), "LineState must have the layout of DCB");
static_assert(offsetof(LineState, XonLim) == offsetof(DCB, XonLim), "LineState must have the layout of DCB");
static_assert(sizeof(PortOverlapped) == sizeof(OVERLAPPED), "PortOverlapped must have the layout of OVERLAPPED");
static_assert(offsetof(PortOverlapped, Offset) == offsetof(OVERLAPPED, Offset), "PortOverlapped must have the layout of OVERLAPPED");
static_assert(offsetof(PortOverlapped, hEvent) == offsetof(OVERLAPPED, hEvent), "PortOverlapped must have the layout of OVERLAPPED");
static_assert(sizeof(CommTimeouts) == sizeof(COMMTIMEOUTS), "CommTimeouts must have the layout of COMMTIMEOUTS");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "the comm-event word is a DWORD");

namespace {

// The error of this thread's last failed call, kept here because the engine may make
// other calls (locks, thread library) between the failure and asking for its text.
thread_local DWORD t_lastError = ERROR_SUCCESS;

// Records the calling thread's current error as the last failure.
void RecordError() { t_lastError = GetLastError(); }

// How long closing a port waits for its comm-event wait to end after the mask was
// cleared. Drivers end it at once; the bound only keeps a broken driver from hanging
// the close.
constexpr DWORD CLOSE_WAIT_MS = 2000;
// How long an aborted write may take to end after its output was purged, before it is
// cancelled outright.
constexpr DWORD ABORT_WAIT_MS = 500;

struct Win32Port {
    // The open "\\.\COMn".
    HANDLE hFile = INVALID_HANDLE_VALUE;
    // Reads only; its event is created with the port.
    OVERLAPPED readOverlapped{};
    // Writes only; its event is created with the port.
    OVERLAPPED writeOverlapped{};
    // The engine's record of the last comm-event wait started on this port.
    OVERLAPPED* commWait = nullptr;
    // A comm-event wait was started and had not completed when last looked at.
    bool commWaitPending = false;
    // The device is gone: a wait ended aborted and the port answers nothing any more.
    bool gone = false;
};

Win32Port* AsPort(PortHandle port) { return static_cast<Win32Port*>(port); }
OVERLAPPED* AsOverlapped(PortOverlapped& overlapped) { return reinterpret_cast<OVERLAPPED*>(&overlapped); }

DCB ToDcb(const LineState& state) {
    DCB dcb;
    std::memcpy(&dcb, &state, sizeof dcb);
    return dcb;
}

void FromDcb(const DCB& dcb, LineState& state) { std::memcpy(static_cast<void*>(&state), &dcb, sizeof dcb); }

// Finishes an overlapped read or write whose call returned `ok`: waits for it when it
// is pending. `moved` gets the count.
PortIo FinishIo(HANDLE file, OVERLAPPED& overlapped, BOOL ok, DWORD& moved) {
    if (ok)
        return PortIo::Done;
    if (GetLastError() != ERROR_IO_PENDING) {
        RecordError();
        return PortIo::FailedStart;
    }
    if (!GetOverlappedResult(file, &overlapped, &moved, TRUE)) {
        RecordError();
        return PortIo::FailedCompletion;
    }
    return PortIo::Done;
}

class Win32SerialBackend final : public SerialBackend {
public:
    EventHandle NewEvent() override {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!event)
            RecordError();
        return event;
    }

    void SignalEvent(EventHandle event) override { SetEvent(event); }
    void ClearEvent(EventHandle event) override { ResetEvent(event); }
    void DeleteEvent(EventHandle event) override { CloseHandle(event); }

    PortHandle OpenPort(const char* name) override {
        std::string device = DeviceName(name);
        HANDLE file = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            RecordError();
            return SerialInvalidHandle();
        }
        // A name that the system maps to a device which is gone (Wine maps COMn to a
        // path and opens it even when nothing is there) gives a handle on which every
        // port call fails: that is a port that doesn't exist, not a configuration fault.
        DCB probe{};
        probe.DCBlength = sizeof probe;
        if (!GetCommState(file, &probe)) {
            RecordError();
            CloseHandle(file);
            return SerialInvalidHandle();
        }
        auto* port = new Win32Port;
        port->hFile = file;
        port->readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        port->writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!port->readOverlapped.hEvent || !port->writeOverlapped.hEvent) {
            RecordError();
            ClosePort(port);
            return SerialInvalidHandle();
        }
        return port;
    }

    bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) override {
        COMMTIMEOUTS native{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                            timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                            timeouts.WriteTotalTimeoutConstant};
        return Check(SetCommTimeouts(AsPort(port)->hFile, &native));
    }

    bool SetEventMask(PortHandle port, std::uint32_t mask) override {
        return Check(SetCommMask(AsPort(port)->hFile, mask));
    }

    bool GetLineState(PortHandle port, LineState& state) override {
        DCB dcb = ToDcb(state);
        dcb.DCBlength = sizeof dcb;
        if (!Check(GetCommState(AsPort(port)->hFile, &dcb)))
            return false;
        FromDcb(dcb, state);
        return true;
    }

    bool BuildLineState(const char* settings, LineState& state) override {
        DCB dcb = ToDcb(state);
        dcb.DCBlength = sizeof dcb;
        if (!Check(BuildCommDCBA(settings, &dcb)))
            return false;
        // A text that names no flow control leaves none, as Windows' own BuildCommDCBA
        // does; some implementations (Wine) keep what the record held.
        if (!NamesFlowControl(settings)) {
            dcb.fOutX = FALSE;
            dcb.fInX = FALSE;
            dcb.fOutxCtsFlow = FALSE;
            dcb.fOutxDsrFlow = FALSE;
            dcb.fDsrSensitivity = FALSE;
            if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
                dcb.fRtsControl = RTS_CONTROL_ENABLE;
            if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
                dcb.fDtrControl = DTR_CONTROL_ENABLE;
        }
        FromDcb(dcb, state);
        return true;
    }

    bool SetLineState(PortHandle port, const LineState& state) override {
        DCB dcb = ToDcb(state);
        dcb.DCBlength = sizeof dcb;
        return Check(SetCommState(AsPort(port)->hFile, &dcb));
    }

    bool Purge(PortHandle port, std::uint32_t flags) override {
        return Check(PurgeComm(AsPort(port)->hFile, flags));
    }

    CommWaitStart StartCommWait(PortHandle port, std::uint32_t* eventWord, PortOverlapped& overlapped) override {
        Win32Port* p = AsPort(port);
        OVERLAPPED* record = AsOverlapped(overlapped);
        // One wait at a time per record: while the last one still runs, it stays the
        // wait (starting another on the same record would corrupt it).
        if (p->commWaitPending && p->commWait == record) {
            if (WaitForSingleObject(record->hEvent, 0) == WAIT_TIMEOUT)
                return CommWaitStart::Pending;
            p->commWaitPending = false;
            // The last wait has completed. One that ended with an error instead of an
            // event means the port is gone (a removed adapter, a hung-up line): every
            // new wait would end the same way at once, so this is the wait failing.
            DWORD unused = 0;
            if (!GetOverlappedResult(p->hFile, record, &unused, FALSE)) {
                RecordError();
                // Nothing here aborts a running wait, but a device that went away does
                // (Wine, on a line that hung up): if the port no longer answers a status
                // query either, it is gone, and the query's error says why.
                DWORD errors = 0;
                COMSTAT status{};
                if (t_lastError == ERROR_OPERATION_ABORTED && !ClearCommError(p->hFile, &errors, &status)) {
                    RecordError();
                    p->gone = true;
                }
                return CommWaitStart::Failed;
            }
        }
        p->commWaitPending = false;
        p->commWait = record;
        ResetEvent(record->hEvent);
        *eventWord = 0;
        if (WaitCommEvent(p->hFile, reinterpret_cast<DWORD*>(eventWord), record)) {
            SetEvent(record->hEvent);  // the contract: a completed wait leaves its event set
            return CommWaitStart::Completed;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            p->commWaitPending = true;
            return CommWaitStart::Pending;
        }
        if (error == ERROR_INVALID_PARAMETER)  // some drivers: a wait is already under way
            return CommWaitStart::Pending;
        RecordError();
        return CommWaitStart::Failed;
    }

    int WaitForEvents(const EventHandle* handles, unsigned count, unsigned timeoutMs) override {
        static_assert(SERIAL_WAIT_INFINITE == INFINITE, "no timeout means INFINITE");
        HANDLE native[3];
        if (count == 0 || count > 3)
            return SERIAL_WAIT_FAILED;
        for (unsigned i = 0; i < count; ++i)
            native[i] = handles[i];
        DWORD result = WaitForMultipleObjects(count, native, FALSE, timeoutMs);
        if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count)
            return static_cast<int>(result - WAIT_OBJECT_0);
        if (result == WAIT_TIMEOUT)
            return SERIAL_WAIT_TIMEOUT;
        RecordError();
        return SERIAL_WAIT_FAILED;
    }

    bool GetBytesWaiting(PortHandle port, std::uint32_t& waiting) override {
        DWORD errors = 0;
        COMSTAT status{};
        if (!Check(ClearCommError(AsPort(port)->hFile, &errors, &status)))
            return false;
        waiting = status.cbInQue;
        return true;
    }

    PortIo ReadPort(PortHandle port, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got) override {
        Win32Port* p = AsPort(port);
        p->readOverlapped.Offset = p->readOverlapped.OffsetHigh = 0;
        DWORD moved = 0;
        BOOL ok = ReadFile(p->hFile, buffer, capacity, &moved, &p->readOverlapped);
        PortIo result = FinishIo(p->hFile, p->readOverlapped, ok, moved);
        got = result == PortIo::Done ? moved : 0;
        if (result == PortIo::Done && got == 0 && capacity > 0) {
            // Bytes showed as waiting and the read got none: a failure of its own, with
            // an error of its own (the thread's last error would be a stale one).
            t_lastError = ERROR_READ_FAULT;
            return PortIo::FailedStart;
        }
        return result;
    }

    PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                     EventHandle abortEvent) override {
        Win32Port* p = AsPort(port);
        sent = 0;
        p->writeOverlapped.Offset = p->writeOverlapped.OffsetHigh = 0;
        DWORD moved = 0;
        if (WriteFile(p->hFile, data, count, &moved, &p->writeOverlapped)) {
            sent = moved;
            return PortIo::Done;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            RecordError();
            return PortIo::FailedStart;
        }
        // The write runs. Wait for it, or for the abort event: a write held up by the
        // line may otherwise take its whole timeout (1000 ms a byte).
        bool aborted = false;
        if (abortEvent) {
            HANDLE waits[2] = {p->writeOverlapped.hEvent, abortEvent};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                // End the write now. Its record and data stay in the system's hands
                // until it has completed, so wait for that, cancelling it if the purge
                // didn't end it.
                aborted = true;
                PurgeComm(p->hFile, PURGE_TXABORT | PURGE_TXCLEAR);
                if (WaitForSingleObject(p->writeOverlapped.hEvent, ABORT_WAIT_MS) == WAIT_TIMEOUT)
                    CancelIo(p->hFile);
            }
        }
        if (!GetOverlappedResult(p->hFile, &p->writeOverlapped, &moved, TRUE)) {
            if (aborted)
                return PortIo::Aborted;
            RecordError();
            return PortIo::FailedCompletion;
        }
        sent = moved;
        return aborted ? PortIo::Aborted : PortIo::Done;
    }

    void ClosePort(PortHandle port) override {
        Win32Port* p = AsPort(port);
        if (p->hFile != INVALID_HANDLE_VALUE) {
            // End a comm-event wait still under way before the handle goes: its
            // completion writes into the engine's event word and record, which must
            // not happen once the monitor has moved on. A zero mask ends it.
            if (p->commWaitPending && p->commWait &&
                WaitForSingleObject(p->commWait->hEvent, 0) == WAIT_TIMEOUT) {
                SetCommMask(p->hFile, 0);
                WaitForSingleObject(p->commWait->hEvent, CLOSE_WAIT_MS);
            }
            CloseHandle(p->hFile);
        }
        if (p->readOverlapped.hEvent)
            CloseHandle(p->readOverlapped.hEvent);
        if (p->writeOverlapped.hEvent)
            CloseHandle(p->writeOverlapped.hEvent);
        delete p;
    }

    PortFailure LastFailureKind(PortHandle port) override {
        if (port && port != SerialInvalidHandle() && AsPort(port)->gone)
            return PortFailure::Gone;
        switch (t_lastError) {
        case ERROR_ACCESS_DENIED:         // the driver's answer once the device was unplugged
        case ERROR_BAD_COMMAND:           // "the device does not recognize the command"
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_INVALID_HANDLE:
            return PortFailure::Gone;
        case ERROR_GEN_FAILURE:           // a device not functioning: a glitch or the end
        case ERROR_NOT_READY:
            return PortFailure::Suspect;
        default:
            return PortFailure::Transient;
        }
    }

    std::string LastErrorText() override {
        char* text = nullptr;
        DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                      t_lastError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<char*>(&text), 0, nullptr);
        std::string result;
        if (length && text) {
            result.assign(text, length);
            while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
                result.pop_back();
        } else {
            char fallback[32];
            std::snprintf(fallback, sizeof fallback, "error %lu", static_cast<unsigned long>(t_lastError));
            result = fallback;
        }
        if (text)
            LocalFree(text);
        return result;
    }

private:
    // Whether a settings text names any flow-control key ("xon=", "octs=", "rts=", ...).
    static bool NamesFlowControl(const char* settings) {
        for (const char* key : {"xon=", "odsr=", "octs=", "idsr=", "dtr=", "rts="}) {
            for (const char* at = std::strstr(settings, key); at; at = std::strstr(at + 1, key)) {
                if (at == settings || at[-1] == ' ')
                    return true;
            }
        }
        return false;
    }

    // Passes a call's result through, recording the error when it failed.
    static bool Check(BOOL ok) {
        if (!ok)
            RecordError();
        return ok != 0;
    }

    // The device a "COMn" name opens: the override if one is set, else "\\.\COMn"
    // (the form that also reaches COM10 and above). Other names are used as given.
    static std::string DeviceName(const char* name) {
        unsigned portnr = ParseComName(name);
        if (portnr == 0)
            return name;
        if (auto device = PortDeviceOverride(portnr))
            return *device;
        return "\\\\.\\COM" + std::to_string(portnr);
    }
};

}  // namespace

SerialBackend& PlatformSerialBackend() {
    static Win32SerialBackend backend;
    return backend;
}
