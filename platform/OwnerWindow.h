// The owner window as the serial engine and the front ends see it: the window whose
// thread (the user-interface thread) runs every message handler and timer tick.
// Win32: a real window (SendMessage, PostMessage, SetTimer). POSIX: a window of the
// program's own message loop (platform/posix/MessageLoop.h). No platform header here.
//
// Lifetime: an owner window object must outlive every SerialPort that was opened with
// it (declare it before the port). Once the window is destroyed (its Destroy, or the
// platform window is gone), sends to it return 0 at once without running a handler,
// so that a port destroyed afterwards still stops its monitor without waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

// The timer tick message (WM_TIMER): wParam is the timer id, lParam 0.
constexpr unsigned OWNER_MSG_TIMER = 0x0113;

class OwnerWindow {
public:
    virtual ~OwnerWindow() = default;

    // Runs the window's handler for (message, wParam, lParam) on the owner's thread
    // and returns its result once it has returned. From any thread; from the owner's
    // own thread the handler runs directly. A destroyed window returns 0 at once.
    virtual std::intptr_t SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // Hands `count` bytes to the handler in one synchronous exchange: the handler runs
    // once per byte, in order, on the owner's thread, with (message, byte, lParam),
    // each call returning before the next; returns after the last one. Delivery stops
    // early if the window is destroyed meanwhile. The default sends byte by byte.
    virtual void SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count, std::intptr_t lParam);

    // Queues (message, wParam, lParam) for the owner's thread and returns at once; it
    // runs after the handler that is running now has returned. From any thread.
    // FALSE (0) when the window is destroyed.
    virtual bool PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // Starts (or restarts with a new period) window timer `id`: OWNER_MSG_TIMER with
    // wParam = id every `periodMs` milliseconds (1 ms really means 1 ms). Owner's thread.
    virtual bool SetOwnerTimer(unsigned id, unsigned periodMs) = 0;
    // Stops timer `id`; stopping a stopped timer does nothing. Owner's thread.
    virtual void KillOwnerTimer(unsigned id) = 0;

    // On the owner's thread: runs the handlers of messages that other threads are
    // sending to this owner's thread right now (synchronous sends only: posted
    // messages and timer ticks stay queued), waiting up to `maxWaitMs` for one to come.
    // The port's waits for its monitor thread call this in a loop, so that a byte being
    // handed over while the port closes cannot deadlock the two threads.
    virtual void DeliverSentMessages(unsigned maxWaitMs) = 0;
};

inline void OwnerWindow::SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count,
                                        std::intptr_t lParam)
{
    for (std::size_t i = 0; i < count; ++i)
        SendOwnerMessage(message, bytes[i], lParam);
}

// Marks the calling (owner's) thread, while it lives, as running the handler of a
// message that thread `sender` sent and is waiting for. Owner windows put one around
// every handler call of a cross-thread send; the serial engine's debug checks use it
// to catch a wait for the monitor thread made from inside that thread's own hand-over,
// which can never end (the monitor goes on only when the handler has returned).
class HandOverMark {
public:
    explicit HandOverMark(std::thread::id sender);
    ~HandOverMark();
    HandOverMark(const HandOverMark&) = delete;
    HandOverMark& operator=(const HandOverMark&) = delete;

    // True while the calling thread runs a handler for a send from `sender`.
    static bool IsServing(std::thread::id sender);

private:
    // The mark this one replaced (nested hand-overs).
    std::thread::id m_previous;
};
