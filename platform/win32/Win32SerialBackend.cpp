// The serial back end over the Win32 communications calls.
//
// A port handle given to the engine points to a Win32Port: the file handle of
// "\\.\COMn" together with the back end's own overlapped records. Separate records,
// because the waits below are normally still pending while the monitor reads or
// writes, and a record must not be reused while its operation runs.
//
// What wakes the monitor for the port is the engine's event (index 1 of its wait
// list). Two operations of this back end complete onto it:
//   - the data wake: a pending overlapped ReadFile of one byte, issued whenever the
//     mask asks for EV_RXCHAR. A pending read completes as soon as a byte is there,
//     while some drivers complete a comm-event wait only milliseconds after the bytes
//     came (Wine looks for them about every 5 ms, which made every exchange of a
//     tool that waits for a short reply take 5 ms). The byte it read is the first
//     byte of the next drain: GetBytesWaiting counts it and ReadPort returns it
//     first. While the wake runs, no other read is made, so bytes are taken in order.
//     The event character (EV_RXFLAG) is then found in the bytes ReadPort returns, as
//     on POSIX, and added to the event word during the drain.
//   - the comm-event wait (WaitCommEvent) for the events of the mask that the data
//     wake doesn't give (CTS, break, line errors, ring), when there are any.
// StartCommWait starts whichever of them isn't running; WaitForEvents, when it returns
// the port's index, writes into the engine's event word what has completed.
#include "platform/SerialBackend.h"

#include "platform/LowLatency.h"
#include "platform/PortNames.h"
#include "platform/win32/Win32PortClaim.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

static_assert(sizeof(LineState) == sizeof(DCB), "LineState must have the layout of DCB");
static_assert(offsetof(LineState, EvtChar) == offsetof(DCB, EvtChar), "LineState must have the layout of DCB");
static_assert(offsetof(LineState, XonLim) == offsetof(DCB, XonLim), "LineState must have the layout of DCB");
static_assert(sizeof(PortOverlapped) == sizeof(OVERLAPPED), "PortOverlapped must have the layout of OVERLAPPED");
static_assert(offsetof(PortOverlapped, Offset) == offsetof(OVERLAPPED, Offset),
              "PortOverlapped must have the layout of OVERLAPPED");
static_assert(offsetof(PortOverlapped, hEvent) == offsetof(OVERLAPPED, hEvent),
              "PortOverlapped must have the layout of OVERLAPPED");
static_assert(sizeof(CommTimeouts) == sizeof(COMMTIMEOUTS), "CommTimeouts must have the layout of COMMTIMEOUTS");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "the comm-event word is a DWORD");

namespace {

// The error of this thread's last failed call, kept here because the engine may make
// other calls (locks, thread library) between the failure and asking for its text.
thread_local DWORD t_lastError = ERROR_SUCCESS;

// Records the calling thread's current error as the last failure.
void RecordError()
{
    t_lastError = GetLastError();
}

// The port's claim among the suite's programs (platform/win32/Win32PortClaim.h):
// null with ERROR_ACCESS_DENIED recorded, and `refused`, when another program has it.
HANDLE ClaimPort(const std::string& device, bool& refused)
{
    HANDLE claim = ClaimPortByName(device, refused);
    if (refused)
        RecordError();
    return claim;
}

// How long closing a port waits for its comm-event wait or its data wake to end after
// it was told to. Drivers end them at once; the bound only keeps a broken driver from
// hanging the close. Bounds are in milliseconds of the clock, not in calls of Sleep(1),
// which lasts a whole scheduler tick (15.6 ms by default) on Windows.
constexpr DWORD CLOSE_WAIT_MS = 2000;
// How long an aborted write may take to end after its output was purged, before it is
// cancelled outright; and how long it may take after that before it is abandoned.
constexpr DWORD ABORT_WAIT_MS = 500;
constexpr DWORD CANCEL_WAIT_MS = 500;
// A data wake that ends with no byte (its timeouts ran out, or a line error aborted it)
// this soon after it was issued, this many times in a row, is not a quiet line but a
// driver that won't hold a read: the wake is then left off (or, when the reads are
// being aborted, the failure is reported) instead of being issued again and again.
constexpr DWORD EMPTY_WAKE_SOON_MS = 20;
constexpr int EMPTY_WAKES_IN_A_ROW = 16;

// Milliseconds of a clock that wraps after 49.7 days; differences of two readings are
// right across the wrap.
DWORD NowMs()
{
    return GetTickCount();
}

// Whether an error that ended a read or a write means only that its timeouts ran out.
// Windows completes such an operation with STATUS_TIMEOUT, which GetOverlappedResult
// reports as success with the bytes that moved; Wine reports it as a failure with
// ERROR_TIMEOUT. Both mean the same: done, with whatever moved.
bool IsTimeout(DWORD error)
{
    return error == ERROR_TIMEOUT;
}

// The bytes an overlapped operation moved, as its record holds them (also after it
// ended by its timeouts, when GetOverlappedResult may have reported a failure).
DWORD MovedBy(const OVERLAPPED& overlapped)
{
    return static_cast<DWORD>(overlapped.InternalHigh);
}

// CancelIoEx (Vista and later) cancels one operation of any thread; where it is missing,
// CancelIo cancels every operation that the calling thread issued on the handle.
using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
CancelIoExFn CancelIoExFunction()
{
    static const CancelIoExFn function = [] {
        HMODULE kernel = GetModuleHandleA("kernel32.dll");
        return kernel
                   ? reinterpret_cast<CancelIoExFn>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, "CancelIoEx")))
                   : nullptr;
    }();
    return function;
}

// Cancels `overlapped`'s operation on `file`, issued by thread `issuer`. False when it
// can't be done from this thread (no CancelIoEx, and another thread issued it).
bool CancelOperation(HANDLE file, OVERLAPPED& overlapped, DWORD issuer)
{
    if (CancelIoExFn cancelEx = CancelIoExFunction())
        return cancelEx(file, &overlapped) || GetLastError() == ERROR_NOT_FOUND;
    if (issuer != GetCurrentThreadId())
        return false;
    return CancelIo(file) != 0;
}

// A write the system holds: its record and its own copy of the data. It lives on the
// heap on its own, so that a write that a wedged driver never completes can be left
// to the system (see AbandonWrite) while the port goes on or goes away.
struct WriteOperation {
    OVERLAPPED overlapped{};
    std::vector<std::uint8_t> data;
};

struct Win32Port {
    // The open "\\.\COMn".
    HANDLE hFile = INVALID_HANDLE_VALUE;
    // The port's claim among this suite's programs (see ClaimPort); null if none.
    HANDLE hClaim = nullptr;
    // The drain's reads; its event is created with the port.
    OVERLAPPED readOverlapped{};
    // Writes only; its event is created with the port. Replaced (and the old one
    // left to the system) when a write is abandoned.
    WriteOperation* write = nullptr;

    // The events the engine asked for (SetEventMask) and the event character.
    DWORD eventMask = 0;
    char eventChar = 0;
    // The read timeouts let a one-byte read wait for its byte (not "return at once").
    bool wakeTimeoutsOk = true;

    // The engine's side, as the last StartCommWait gave it (monitor thread only).
    HANDLE engineEvent = nullptr;
    std::uint32_t* engineWord = nullptr;
    // Events completed and not yet written into the engine's event word.
    DWORD collected = 0;

    // The comm-event wait: its record (event: the engine's) and event word.
    OVERLAPPED commOverlapped{};
    DWORD commEvents = 0;
    bool commWaitPending = false;  // started and not taken in yet

    // The data wake: its record (event: the engine's), the byte it reads, its state.
    OVERLAPPED wakeOverlapped{};
    std::uint8_t wakeByte = 0;
    bool wakePending = false;         // issued and not taken in yet
    bool haveWakeByte = false;        // taken in with a byte that no read has returned yet
    DWORD wakeError = ERROR_SUCCESS;  // it failed so; the next ReadPort reports it
    DWORD wakeIssuedMs = 0;           // when it was issued (NowMs)
    DWORD wakeIssuer = 0;             // the thread that issued it
    int emptyWakes = 0;               // wakes in a row that ended empty soon after they were issued
    DWORD commIssuer = 0;             // the thread that started the comm-event wait

    // The device is gone: a wait ended aborted and the port answers nothing any more.
    bool gone = false;

    // A driver completes the data wake at once with nothing, again and again.
    bool wakeUnheld = false;

    bool WakeActive() const { return (eventMask & EV_RXCHAR) && wakeTimeoutsOk && !wakeUnheld; }
    // The mask the driver's comm-event wait serves: what the data wake doesn't give.
    DWORD DriverMask() const
    {
        return WakeActive() ? eventMask & ~static_cast<DWORD>(EV_RXCHAR | EV_RXFLAG) : eventMask;
    }
    // Something waits to be written into the engine's event word.
    bool Ready() const { return collected || haveWakeByte || wakeError != ERROR_SUCCESS; }
};

// The port whose wait this thread started last: a monitor thread serves one port, and
// WaitForEvents learns from it which index of its list is that port's. It is used only
// while the port is still open (a port closed by another thread leaves it behind).
thread_local Win32Port* t_armedPort = nullptr;
std::mutex g_openPortsLock;
std::vector<Win32Port*> g_openPorts;

bool IsOpen(Win32Port* p)
{
    std::lock_guard<std::mutex> lock(g_openPortsLock);
    return std::find(g_openPorts.begin(), g_openPorts.end(), p) != g_openPorts.end();
}

// A read timeout this short (or "return at once") would end the data wake at once,
// again and again: the wake is then left off and the comm-event wait serves EV_RXCHAR.
constexpr DWORD MIN_WAKE_READ_TIMEOUT_MS = 100;
// How long a data wake may take to take in a byte that is already waiting.
constexpr DWORD WAKE_SETTLE_MS = 100;

Win32Port* AsPort(PortHandle port)
{
    return static_cast<Win32Port*>(port);
}
OVERLAPPED* AsOverlapped(PortOverlapped& overlapped)
{
    return reinterpret_cast<OVERLAPPED*>(&overlapped);
}

DCB ToDcb(const LineState& state)
{
    DCB dcb;
    std::memcpy(&dcb, &state, sizeof dcb);
    return dcb;
}

void FromDcb(const DCB& dcb, LineState& state)
{
    std::memcpy(static_cast<void*>(&state), &dcb, sizeof dcb);
}

// Waits for an overlapped read or write that is pending to end; `moved` gets the
// count. One that ended by its timeouts is done, with the bytes that moved before they
// ran out (a short write is still seen as short).
PortIo AwaitIo(HANDLE file, OVERLAPPED& overlapped, DWORD& moved)
{
    if (GetOverlappedResult(file, &overlapped, &moved, TRUE))
        return PortIo::Done;
    if (IsTimeout(GetLastError())) {
        moved = MovedBy(overlapped);
        return PortIo::Done;
    }
    RecordError();
    return PortIo::FailedCompletion;
}

// Finishes an overlapped read or write whose call returned `ok`: waits for it when it
// is pending (AwaitIo). `moved` gets the count.
PortIo FinishIo(HANDLE file, OVERLAPPED& overlapped, BOOL ok, DWORD& moved)
{
    if (ok)
        return PortIo::Done;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        return AwaitIo(file, overlapped, moved);
    if (IsTimeout(error))
        return PortIo::Done;
    RecordError();
    return PortIo::FailedStart;
}

// Clears the line's error state and reads how many bytes the driver holds
// (ClearCommError); false when the port doesn't answer.
bool QueryInput(HANDLE file, DWORD& queued)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(file, &errors, &status))
        return false;
    queued = status.cbInQue;
    return true;
}

// Whether an overlapped operation has ended (the record, not its event, which the
// port's two waits share).
bool Ended(const OVERLAPPED& overlapped)
{
    return HasOverlappedIoCompleted(&overlapped);
}

// A data wake ended without a byte: normally it is simply issued again. When that keeps
// happening at once, the driver doesn't hold the read: a run of aborts is reported as a
// failure of the read; a run of empty completions turns the wake off, and the comm-event
// wait serves received bytes instead.
void WakeEndedEmpty(Win32Port* p, bool aborted)
{
    if (NowMs() - p->wakeIssuedMs >= EMPTY_WAKE_SOON_MS) {
        p->emptyWakes = 0;
        return;
    }
    if (++p->emptyWakes < EMPTY_WAKES_IN_A_ROW)
        return;
    p->emptyWakes = 0;
    if (aborted) {
        p->wakeError = ERROR_OPERATION_ABORTED;
    } else {
        p->wakeUnheld = true;
        SetCommMask(p->hFile, p->DriverMask());
    }
}

// Takes in the port's waits that have ended, without waiting: the events of a comm-
// event wait, the byte or the failure of the data wake. A comm-event wait that ended
// with an error is left as it is, for StartCommWait to report.
void Collect(Win32Port* p)
{
    DWORD moved = 0;
    if (p->commWaitPending && Ended(p->commOverlapped) &&
        GetOverlappedResult(p->hFile, &p->commOverlapped, &moved, FALSE)) {
        p->commWaitPending = false;
        p->collected |= p->commEvents & p->eventMask;
    }
    if (p->wakePending && Ended(p->wakeOverlapped)) {
        p->wakePending = false;
        if (GetOverlappedResult(p->hFile, &p->wakeOverlapped, &moved, FALSE)) {
            // None: its timeouts ran out (Windows); it is issued again.
            p->haveWakeByte = moved == 1;
            if (p->haveWakeByte)
                p->emptyWakes = 0;
            else
                WakeEndedEmpty(p, false);
            return;
        }
        const DWORD error = GetLastError();
        DWORD queued = 0;
        if (IsTimeout(error)) {
            // Its timeouts ran out (Wine says so with an error): a quiet line, no byte yet.
            p->haveWakeByte = MovedBy(p->wakeOverlapped) == 1;
            if (!p->haveWakeByte)
                WakeEndedEmpty(p, false);
        } else if (!QueryInput(p->hFile, queued)) {
            // A port that no longer answers a status query either is gone (Wine, on a
            // line that hung up); the read that the drain makes next reports it.
            p->wakeError = error;
            p->gone = true;
        } else if (error == ERROR_OPERATION_ABORTED) {
            // A line error (framing, break) on a port that aborts reads on errors: the
            // status query has just cleared it, and the wake goes on.
            WakeEndedEmpty(p, true);
        } else {
            p->wakeError = error;  // the drain's next read reports it
        }
    }
}

// Issues the data wake when the port wants one and none runs or waits to be read.
void ArmWake(Win32Port* p)
{
    if (!p->WakeActive() || p->wakePending || p->haveWakeByte || p->wakeError != ERROR_SUCCESS || !p->engineEvent)
        return;
    p->wakeOverlapped = OVERLAPPED{};
    p->wakeOverlapped.hEvent = p->engineEvent;
    p->wakeIssuedMs = NowMs();
    p->wakeIssuer = GetCurrentThreadId();
    DWORD moved = 0;
    if (ReadFile(p->hFile, &p->wakeByte, 1, &moved, &p->wakeOverlapped)) {
        p->haveWakeByte = moved == 1;
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        p->wakePending = true;
    else if (!IsTimeout(error))
        p->wakeError = error;
}

// Waits, for a bounded time, until an operation that was told to end has ended: its
// record and buffer must not go away while the system may still write into them.
// Polls: the record's event may be shared with another operation of the port.
bool AwaitEnd(const OVERLAPPED& overlapped, DWORD boundMs = CLOSE_WAIT_MS)
{
    const DWORD start = NowMs();
    while (!Ended(overlapped)) {
        if (NowMs() - start >= boundMs)
            return false;
        Sleep(1);
    }
    return true;
}

// Ends the port's waits that still run (close, or the engine's event changed). False
// when one of them could not be ended: the system may still write into its record.
bool EndWaits(Win32Port* p)
{
    bool ended = true;
    if (p->commWaitPending && !Ended(p->commOverlapped)) {
        SetCommMask(p->hFile, 0);  // ends a running comm-event wait
        if (!AwaitEnd(p->commOverlapped) && CancelOperation(p->hFile, p->commOverlapped, p->commIssuer))
            AwaitEnd(p->commOverlapped);
        ended = Ended(p->commOverlapped);
        SetCommMask(p->hFile, p->DriverMask());
    }
    p->commWaitPending = !ended;
    if (p->wakePending && !Ended(p->wakeOverlapped)) {
        if (CancelOperation(p->hFile, p->wakeOverlapped, p->wakeIssuer))
            AwaitEnd(p->wakeOverlapped);
    }
    if (p->wakePending && Ended(p->wakeOverlapped)) {
        DWORD moved = 0;
        p->haveWakeByte = GetOverlappedResult(p->hFile, &p->wakeOverlapped, &moved, FALSE) && moved == 1;
        p->wakePending = false;
    }
    return ended && !p->wakePending;
}

// A write record with its event; null when the event can't be made.
WriteOperation* NewWriteOperation()
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return nullptr;
    auto* write = new WriteOperation;
    write->overlapped.hEvent = event;
    return write;
}

// Leaves a write that won't end to the system: its record, event and data are never
// freed (the system may still write the record and read the data when the driver
// finally completes it, or never), and the port gets a new record for its next write.
void AbandonWrite(Win32Port* p)
{
    p->write = NewWriteOperation();
}

class Win32SerialBackend final : public SerialBackend {
public:
    EventHandle NewEvent() override
    {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!event)
            RecordError();
        return event;
    }

    void SignalEvent(EventHandle event) override { SetEvent(event); }
    void ClearEvent(EventHandle event) override { ResetEvent(event); }
    void DeleteEvent(EventHandle event) override { CloseHandle(event); }

    PortHandle OpenPort(const char* name) override
    {
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
        bool refused = false;
        HANDLE claim = ClaimPort(device, refused);
        if (refused) {
            CloseHandle(file);
            return SerialInvalidHandle();
        }
        auto* port = new Win32Port;
        port->hFile = file;
        port->hClaim = claim;
        port->readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        port->write = NewWriteOperation();
        if (!port->readOverlapped.hEvent || !port->write) {
            RecordError();
            ClosePort(port);
            return SerialInvalidHandle();
        }
        std::lock_guard<std::mutex> lock(g_openPortsLock);
        g_openPorts.push_back(port);
        return port;
    }

    bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) override
    {
        Win32Port* p = AsPort(port);
        COMMTIMEOUTS native{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                            timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                            timeouts.WriteTotalTimeoutConstant};
        if (!Check(SetCommTimeouts(p->hFile, &native)))
            return false;
        // A one-byte read waits up to multiplier + constant ms; 0 and 0 wait for ever
        // unless the interval says "return at once".
        const unsigned long long total =
            static_cast<unsigned long long>(native.ReadTotalTimeoutMultiplier) + native.ReadTotalTimeoutConstant;
        const DWORD before = p->DriverMask();
        p->wakeTimeoutsOk = total == 0 ? native.ReadIntervalTimeout != MAXDWORD : total >= MIN_WAKE_READ_TIMEOUT_MS;
        if (p->DriverMask() != before && p->eventMask != 0)
            return Check(SetCommMask(p->hFile, p->DriverMask()));
        return true;
    }

    bool SetEventMask(PortHandle port, std::uint32_t mask) override
    {
        Win32Port* p = AsPort(port);
        const DWORD before = p->eventMask;
        p->eventMask = mask;
        if (!Check(SetCommMask(p->hFile, p->DriverMask()))) {
            p->eventMask = before;
            return false;
        }
        return true;
    }

    bool GetLineState(PortHandle port, LineState& state) override
    {
        DCB dcb = ToDcb(state);
        dcb.DCBlength = sizeof dcb;
        if (!Check(GetCommState(AsPort(port)->hFile, &dcb)))
            return false;
        FromDcb(dcb, state);
        return true;
    }

    bool BuildLineState(const char* settings, LineState& state) override
    {
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
        // A port that another program (or a driver default) left aborting every read
        // and write after a line error until the error is cleared: that would make a
        // framing error or a break end the pending reads with a failure.
        dcb.fAbortOnError = FALSE;
        FromDcb(dcb, state);
        return true;
    }

    bool SetLineState(PortHandle port, const LineState& state) override
    {
        DCB dcb = ToDcb(state);
        dcb.DCBlength = sizeof dcb;
        if (!Check(SetCommState(AsPort(port)->hFile, &dcb)))
            return false;
        AsPort(port)->eventChar = state.EvtChar;
        return true;
    }

    bool Purge(PortHandle port, std::uint32_t flags) override
    {
        Win32Port* p = AsPort(port);
        if (flags & PURGE_RXCLEAR) {
            // The data wake's byte is input like any other: discarded with it.
            Collect(p);
            p->haveWakeByte = false;
        }
        // The engine's own reads never stay pending, so an abort of the reads would
        // only end the data wake, which must go on waiting for the next byte.
        if (p->WakeActive())
            flags &= ~static_cast<std::uint32_t>(PURGE_RXABORT);
        return flags == 0 || Check(PurgeComm(p->hFile, flags));
    }

    CommWaitStart StartCommWait(PortHandle port, std::uint32_t* eventWord, PortOverlapped& overlapped) override
    {
        Win32Port* p = AsPort(port);
        HANDLE event = AsOverlapped(overlapped)->hEvent;
        t_armedPort = p;
        p->engineWord = eventWord;
        if (p->engineEvent != event) {
            // Waits still running complete onto the old event: end them first. One that
            // won't end keeps its record, which can't be issued again meanwhile.
            if (!EndWaits(p)) {
                t_lastError = ERROR_OPERATION_ABORTED;
                return CommWaitStart::Failed;
            }
            p->engineEvent = event;
        }
        // Clear the event first, then look at the records: a wait that ends after the
        // clear sets it again. With the data wake alone the call is saved (on some
        // systems each call costs the monitor tens of microseconds): a wake still
        // running has not set the event, issuing a new one clears it (the system clears
        // a read's event as it starts it), and a wake that has something sets it again
        // below anyway.
        *eventWord = 0;
        if (!p->WakeActive() || p->DriverMask() != 0 || p->commWaitPending)
            ResetEvent(event);
        Collect(p);
        if (p->commWaitPending && Ended(p->commOverlapped)) {
            // The last comm-event wait ended with an error instead of an event: the port
            // is gone (a removed adapter, a hung-up line) and every new wait would end
            // the same way at once, so this is the wait failing.
            p->commWaitPending = false;
            DWORD unused = 0;
            GetOverlappedResult(p->hFile, &p->commOverlapped, &unused, FALSE);
            RecordError();
            // Nothing here aborts a running wait, but a device that went away does
            // (Wine, on a line that hung up): if the port no longer answers a status
            // query either, it is gone, and the query's error says why.
            DWORD queued = 0;
            if (t_lastError == ERROR_OPERATION_ABORTED && !QueryInput(p->hFile, queued)) {
                RecordError();
                p->gone = true;
            }
            return CommWaitStart::Failed;
        }
        if (p->DriverMask() != 0 && !p->commWaitPending) {
            p->commOverlapped = OVERLAPPED{};
            p->commOverlapped.hEvent = event;
            p->commEvents = 0;
            p->commIssuer = GetCurrentThreadId();
            if (WaitCommEvent(p->hFile, &p->commEvents, &p->commOverlapped)) {
                p->collected |= p->commEvents & p->eventMask;
            } else {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_PENDING) {
                    p->commWaitPending = true;
                } else if (error != ERROR_INVALID_PARAMETER) {  // some drivers: a wait is already under way
                    RecordError();
                    return CommWaitStart::Failed;
                }
            }
        }
        ArmWake(p);
        // Bytes that are there already must win over a transmission waiting beside
        // them, as with the system's own wait. Some systems (Wine) complete even a read
        // of bytes that are there later, through their own machinery: wait for that.
        DWORD queued = 0;
        if (p->wakePending && QueryInput(p->hFile, queued) && queued > 0) {
            WaitForSingleObject(event, WAKE_SETTLE_MS);
            Collect(p);
        }
        // What is there already is handed over by the wait that follows, at once.
        if (p->Ready())
            SetEvent(event);
        return CommWaitStart::Pending;
    }

    int WaitForEvents(const EventHandle* handles, unsigned count, unsigned timeoutMs) override
    {
        static_assert(SERIAL_WAIT_INFINITE == INFINITE, "no timeout means INFINITE");
        HANDLE native[3];
        if (count == 0 || count > 3)
            return SERIAL_WAIT_FAILED;
        for (unsigned i = 0; i < count; ++i)
            native[i] = handles[i];
        DWORD result = WaitForMultipleObjects(count, native, FALSE, timeoutMs);
        if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
            const unsigned index = result - WAIT_OBJECT_0;
            Win32Port* p = t_armedPort;
            if (p && !IsOpen(p))
                p = t_armedPort = nullptr;
            if (p && p->engineEvent && native[index] == p->engineEvent && p->engineWord) {
                // The port's index: hand over what has completed. Bytes show as
                // EV_RXCHAR, and so does a failed data wake, which the drain's read
                // then reports.
                Collect(p);
                DWORD events = p->collected;
                p->collected = 0;
                if (p->haveWakeByte || p->wakeError != ERROR_SUCCESS)
                    events |= EV_RXCHAR;
                *p->engineWord = events;
            }
            return static_cast<int>(index);
        }
        if (result == WAIT_TIMEOUT)
            return SERIAL_WAIT_TIMEOUT;
        RecordError();
        return SERIAL_WAIT_FAILED;
    }

    bool GetBytesWaiting(PortHandle port, std::uint32_t& waiting) override
    {
        Win32Port* p = AsPort(port);
        Collect(p);
        DWORD queued = 0;
        if (!Check(QueryInput(p->hFile, queued)))
            return false;
        // While the data wake runs, the driver's bytes go to it first; reading them
        // beside it could take them out of order.
        waiting = p->wakePending ? 0 : queued;
        if (p->haveWakeByte)
            ++waiting;
        if (p->wakeError != ERROR_SUCCESS && waiting == 0)
            waiting = 1;  // the read that follows reports the failure
        return true;
    }

    PortIo ReadPort(PortHandle port, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got) override
    {
        Win32Port* p = AsPort(port);
        got = 0;
        if (capacity == 0)
            return PortIo::Done;
        Collect(p);
        if (!p->haveWakeByte && p->wakeError != ERROR_SUCCESS) {
            t_lastError = p->wakeError;
            p->wakeError = ERROR_SUCCESS;
            return PortIo::FailedCompletion;
        }
        PortIo result = PortIo::Done;
        if (p->haveWakeByte) {
            // The data wake's byte comes first, and alone: the bytes behind it are
            // usually still arriving, and the next round of the drain reads them
            // (reading them now would only delay handing this one over).
            p->haveWakeByte = false;
            buffer[0] = p->wakeByte;
            got = 1;
        } else if (p->wakePending) {
            // Nothing counted as waiting while the wake runs: the engine never asks.
            t_lastError = ERROR_READ_FAULT;
            return PortIo::FailedStart;
        } else {
            result = ReadDriver(p, buffer, capacity, got);
        }
        // The event character, found in the bytes themselves while the data wake
        // serves: it shows in the event word that the engine reads after its drain.
        if (got > 0 && (p->eventMask & EV_RXFLAG) && p->WakeActive() && p->engineWord &&
            std::memchr(buffer, p->eventChar, got))
            *p->engineWord |= EV_RXFLAG;
        return result;
    }

    PortIo WritePort(PortHandle port, const std::uint8_t* data, std::uint32_t count, std::uint32_t& sent,
                     EventHandle abortEvent) override
    {
        Win32Port* p = AsPort(port);
        sent = 0;
        WriteOperation* write = p->write;
        if (!write) {  // the last write was abandoned and no record could be made since
            t_lastError = ERROR_NOT_ENOUGH_MEMORY;
            return PortIo::FailedStart;
        }
        // The system reads the data until the write has ended: from the operation's own
        // copy, which outlives the engine's buffer if the write is abandoned.
        write->data.assign(data, data + count);
        OVERLAPPED& overlapped = write->overlapped;
        overlapped.Offset = overlapped.OffsetHigh = 0;
        DWORD moved = 0;
        BOOL ok = WriteFile(p->hFile, write->data.data(), count, &moved, &overlapped);
        if (ok || GetLastError() != ERROR_IO_PENDING) {
            const PortIo result = FinishIo(p->hFile, overlapped, ok, moved);
            sent = result == PortIo::Done ? moved : 0;
            return result;
        }
        // The write runs. Wait for it, or for the abort event: a write held up by the
        // line may otherwise take its whole timeout (1000 ms a byte).
        if (abortEvent) {
            HANDLE waits[2] = {overlapped.hEvent, abortEvent};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                // End the write now: purge its output, cancel it if the purge didn't end
                // it, and if even that doesn't end it (a wedged adapter), leave it to
                // the system rather than hold the monitor.
                PurgeComm(p->hFile, PURGE_TXABORT | PURGE_TXCLEAR);
                if (WaitForSingleObject(overlapped.hEvent, ABORT_WAIT_MS) == WAIT_TIMEOUT &&
                    (!CancelOperation(p->hFile, overlapped, GetCurrentThreadId()) ||
                     WaitForSingleObject(overlapped.hEvent, CANCEL_WAIT_MS) == WAIT_TIMEOUT)) {
                    AbandonWrite(p);
                    return PortIo::Aborted;
                }
                if (GetOverlappedResult(p->hFile, &overlapped, &moved, FALSE) || IsTimeout(GetLastError()))
                    sent = MovedBy(overlapped);
                return PortIo::Aborted;
            }
        }
        const PortIo result = AwaitIo(p->hFile, overlapped, moved);
        sent = result == PortIo::Done ? moved : 0;
        return result;
    }

    void ClosePort(PortHandle port) override
    {
        Win32Port* p = AsPort(port);
        if (t_armedPort == p)
            t_armedPort = nullptr;
        {
            std::lock_guard<std::mutex> lock(g_openPortsLock);
            g_openPorts.erase(std::remove(g_openPorts.begin(), g_openPorts.end(), p), g_openPorts.end());
        }
        bool waitsEnded = true;
        if (p->hFile != INVALID_HANDLE_VALUE) {
            // End the waits still under way before the handle goes: their completion
            // writes into records and buffers that go with the port.
            waitsEnded = EndWaits(p);
            CloseHandle(p->hFile);
        }
        if (p->hClaim)
            CloseHandle(p->hClaim);
        if (p->readOverlapped.hEvent)
            CloseHandle(p->readOverlapped.hEvent);
        if (p->write) {
            CloseHandle(p->write->overlapped.hEvent);
            delete p->write;
        }
        // A wait that a broken driver would not end may still complete into the port's
        // records (and the wake's byte): the port is then left allocated, a few hundred
        // bytes, rather than freed under the system.
        if (waitsEnded)
            delete p;
    }

    PortFailure LastFailureKind(PortHandle port) override
    {
        if (port && port != SerialInvalidHandle() && AsPort(port)->gone)
            return PortFailure::Gone;
        switch (t_lastError) {
        case ERROR_ACCESS_DENIED:  // the driver's answer once the device was unplugged
        case ERROR_BAD_COMMAND:    // "the device does not recognize the command"
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_INVALID_HANDLE:
            return PortFailure::Gone;
        case ERROR_GEN_FAILURE:  // a device not functioning: a glitch or the end
        case ERROR_NOT_READY:
            return PortFailure::Suspect;
        default:
            return PortFailure::Transient;
        }
    }

    std::uint32_t LastErrorCode() override { return t_lastError; }

    std::string LastErrorText() override
    {
        char* text = nullptr;
        DWORD length =
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, t_lastError,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
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
    // Reads up to `capacity` bytes from the driver; a read that gets nothing
    // although bytes showed as waiting is a failed read.
    static PortIo ReadDriver(Win32Port* p, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t& got)
    {
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

    // Whether a settings text names any flow-control key ("xon=", "octs=", "rts=", ...).
    static bool NamesFlowControl(const char* settings)
    {
        for (const char* key : {"xon=", "odsr=", "octs=", "idsr=", "dtr=", "rts="}) {
            for (const char* at = std::strstr(settings, key); at; at = std::strstr(at + 1, key)) {
                if (at == settings || at[-1] == ' ')
                    return true;
            }
        }
        return false;
    }

    // Passes a call's result through, recording the error when it failed.
    static bool Check(BOOL ok)
    {
        if (!ok)
            RecordError();
        return ok != 0;
    }

    // The device a "COMn" name opens: the override if one is set, else "\\.\COMn"
    // (the form that also reaches COM10 and above). Other names are used as given.
    static std::string DeviceName(const char* name)
    {
        unsigned portnr = ParseComName(name);
        if (portnr == 0)
            return name;
        if (auto device = PortDeviceOverride(portnr))
            return *device;
        return "\\\\.\\COM" + std::to_string(portnr);
    }
};

}  // namespace

SerialBackend& PlatformSerialBackend()
{
    static Win32SerialBackend backend;
    return backend;
}

// Windows drivers have no low-latency flag to ask for: their receive timing is the
// engine's read timeouts.
LowLatencyState QueryLowLatency(const std::string&)
{
    return LowLatencyState::NotApplicable;
}
