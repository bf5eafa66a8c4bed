// SerialPort: the serial-port engine shared by every tool. One object per main
// dialog, and one per console run (ConsoleHost). The user-interface thread opens, closes and queues transmissions; one
// monitor thread per open port does all reading and writing and hands every received
// byte to the owner window as MSG_SERIAL_RX_CHAR, synchronously, in order.
//
// The algorithm lives here once; everything platform-specific goes through
// SerialBackend (platform/SerialBackend.h) and OwnerWindow (platform/OwnerWindow.h).
//
// Reads are batched: the monitor reads every byte that is waiting (up to 256) with one
// call and hands them over in one exchange with the owner's thread, instead of one read
// and one cross-thread message per byte, which costs a thread switch per byte at a full
// line. What the owner sees is unchanged: its handler still runs once per byte, in the
// order received, on its own thread; the monitor waits until the handler of the last
// byte has returned before it reads again; and a transmission queued by the handler of
// a byte is made only after that exchange, as before.
//
// Failures: a failed port call is reported once and the monitor goes on serving the
// port, pausing a little longer after each failure in a row. It gives the port up only
// when the device is gone (the back end says so: a hang-up, a removed adapter), when a
// failure that a vanishing device gives repeats, or after several failures in a row;
// that is reported once, and from then on QueueTransmit answers FALSE until the next
// open. No failure makes the monitor spin or repeat its report. Each failure is reported
// as a value (PortFailureReport): to the port's reporter when one is set, else in the
// "Application Error" box.
#pragma once

#include "platform/OwnerWindow.h"
#include "platform/SerialTypes.h"
#include "serial/PortFailureReport.h"
#include "serial/SerialMessages.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class SerialPort {
public:
    // Sets the port closed, no events, no buffer, m_nTxLength 1; creates no platform
    // object and can't fail. Sets up the port lock (once, for the object's life).
    SerialPort();
    // Stops the monitor (delivering the owner's sends while it waits; a suspended
    // monitor is released first), closes the port and the events, frees the buffers.
    virtual ~SerialPort();

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens COM<portnr> exclusively and configures it: "baud=%d parity=%c data=%d
    // stop=%d", event mask, the five timeouts (1000 ms), event character 'q', RTS on,
    // no flow control; purges both directions. A running monitor is stopped first.
    // FALSE only when the port could not be opened (m_hComm then holds
    // SerialInvalidHandle()); a failed configuration step is reported once (Report) and
    // the open still returns TRUE. Does not start the monitor. UI thread.
    BOOL OpenPort(OwnerWindow* pPortOwner, unsigned portnr, int baud, char parity, int databits, int stopbits,
                  std::uint32_t eventmask, int txbuffersize);
    // Asks the monitor to close the port and end; doesn't wait. UI thread.
    void ClosePort();

    // Starts the monitor thread on the open port. TRUE when it started. UI thread.
    BOOL StartMonitor();
    // Resumes a suspended monitor. Returns TRUE.
    BOOL RestartMonitor();
    // Suspends the monitor: it stops at its next safe point (never holding the lock
    // or inside a hand-over) and serves nothing until resumed or stopped. Returns TRUE.
    BOOL StopMonitor();

    // Puts `text` (without its terminator) into the transmit slot, replacing a
    // transmission that the monitor hasn't begun, and wakes the monitor. FALSE, and
    // nothing is changed, when no port is open (never opened, the open failed, or the
    // monitor has closed it), when the monitor gave the port up, or when the text with
    // its terminator doesn't fit the transmit buffer. Never changes a transmission
    // under way.
    BOOL QueueTransmit(const char* text);
    // As above for `count` bytes (zeros included). FALSE when they don't fit.
    BOOL QueueTransmit(const std::uint8_t* bytes, int count);

    // Reports a failure of `failedCall` with this thread's last recorded error, as the
    // monitor reports its own: by default the box "WARNING:  <call> Failed with the
    // following error: \n<system text>\nPort: <n>\n" (cut to 200 bytes), captioned
    // "Application Error".
    void ReportPortError(const char* failedCall);
    // Sends every failure of this port to `reporter` instead of the box; null restores
    // the box. Set it while no monitor runs (before OpenPort); `reporter` must outlive
    // the port's monitor.
    void SetFailureReporter(PortFailureReporter* reporter);

    // A copy of the line state read and applied at the last open.
    LineState GetLineState() const;
    // The comm-event mask of the last open.
    std::uint32_t GetEventMask() const;
    // The size of the transmit buffer in bytes.
    std::uint32_t GetTxBufferSize() const;

private:
    // A failed port call as the monitor took it down (SerialPort.cpp).
    struct PortError;
    // The monitor's count of failures in a row (SerialPort.cpp).
    class FailureRow;

    // The monitor thread: waits on stop / port event / transmission (served in that
    // order) until the stop event, then closes the port and ends.
    static void MonitorThread(SerialPort* port);
    // Reads every waiting byte and hands it to the owner. Returns the failure that
    // ended it, if any (reported by the caller, once the lock is free).
    static PortError DrainReceived(SerialPort* port, FailureRow& row);
    // Purges the port and writes the transmit slot's content; a stop ends a write that
    // is held up. Returns the failure of the write, if any.
    static PortError TransmitPending(SerialPort* port, FailureRow& row);
    // Monitor thread: counts `error` in `row`, reports it (Report) if it is the first of
    // the row or ends it, and gives the port up when the row says so. FALSE once given up.
    bool HandleFailure(const PortError& error, FailureRow& row);
    // Hands `failure` (its port number filled in here) to the reporter, or shows its box.
    void Report(PortFailureReport failure);
    // Sets the stop event and releases a suspended monitor so that it can see it.
    void RequestStop();
    // Asks a running monitor to stop and waits for it to end, delivering the owner's
    // sends meanwhile; then joins the thread.
    void StopAndWaitForMonitor();
    // Monitor thread: blocks here while suspended (unless a stop was requested).
    void SuspendPoint();

    // Bytes of the transmit slot that the next transmission sends. 1 until the first
    // QueueTransmit; written under m_txSlotLock.
    std::uint32_t m_nTxLength;

public:
    // The open port: null when closed (set null by the monitor when it ends),
    // SerialInvalidHandle() after a failed open. Read by the dialogs on the UI thread
    // while the monitor may clear it, hence atomic.
    std::atomic<PortHandle> m_hComm;

private:
    // The monitor thread; owned here and joined once the monitor has ended (set by
    // StartMonitor, null when no monitor thread exists).
    std::thread* m_pMonitorThread;
    // Held around the handle work of OpenPort, each status query, read and write, and
    // each transmission from the purge to the end of the write; never during a
    // hand-over to the owner. Recursive. Set up once, by the constructor.
    std::recursive_mutex m_csPortLock;
    // TRUE from StartMonitor until the monitor thread's last act; polled by the UI
    // thread while it waits, hence atomic.
    std::atomic<BOOL> m_bMonitorAlive;
    // Set while a transmission waits in the slot (by QueueTransmit; cleared by the
    // monitor when it takes the slot's content). Manual reset.
    EventHandle m_hTxEvent;
    // Set to ask the monitor to close the port and end. Manual reset.
    EventHandle m_hStopEvent;
    // The monitor's wait list: [0] m_hStopEvent, [1] m_overlapped.hEvent, [2] m_hTxEvent.
    EventHandle m_waitHandles[3];
    // The record of the comm-event wait; its event is index 1 of the wait list.
    PortOverlapped m_overlapped;
    // The timeouts applied at open: all five 1000 ms.
    CommTimeouts m_timeouts;
    // The line state read from the port at open, adjusted and applied.
    LineState m_lineState;
    // The owner of the last open (not owned); every engine message goes to it.
    OwnerWindow* m_pOwnerWnd;
    // The n of COMn of the last open: lParam of every message, shown in error texts.
    unsigned m_nPortNumber;
    // Where failures go (not owned); null: the "Application Error" box.
    std::atomic<PortFailureReporter*> m_pFailureReporter;
    // The transmit slot, m_nTxBufferSize bytes (owned; replaced by every open).
    std::uint8_t* m_pTxBuffer;
    // The comm-event mask of the last open.
    std::uint32_t m_dwEventMask;
    // Size of m_pTxBuffer and m_pWriteBuffer in bytes.
    std::uint32_t m_nTxBufferSize;

    // The monitor's own copy of the transmission under way, so that QueueTransmit can
    // refill the slot meanwhile without changing bytes being written (owned).
    std::uint8_t* m_pWriteBuffer;
    // Guards m_pTxBuffer, m_nTxLength and the setting/clearing of m_hTxEvent: held
    // only for copying, never during a write.
    std::mutex m_txSlotLock;
    // Suspension of the monitor (StopMonitor/RestartMonitor) and stop requests.
    std::mutex m_suspendLock;
    // Signalled when m_bSuspended clears or a stop is requested.
    std::condition_variable m_suspendChanged;
    // TRUE between StopMonitor and RestartMonitor (guarded by m_suspendLock).
    bool m_bSuspended;
    // A stop was requested since the last open (guarded by m_suspendLock).
    bool m_bStopRequested;
    // The monitor gave the port up (the device is gone); cleared by OpenPort.
    std::atomic<bool> m_bPortFailed;
    // The last transmission ended short (failed, cut by its timeout or a stop): what is
    // left of it in the driver's output is discarded before the next one. Cleared by
    // OpenPort; otherwise the monitor thread's.
    bool m_bOutputCut;
};
