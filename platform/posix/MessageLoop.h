// A small message loop for POSIX programs with the guarantees the serial engine and
// the tools rely on from a Win32 window:
//   - a send from any thread returns only after the window's handler ran on the
//     loop's thread (from the loop's own thread the handler runs directly);
//   - posted messages run later, after the handler running now has returned;
//   - window timers by id and period in ms; 1 ms really ticks every millisecond (the
//     next tick is due one period after the previous due time; a late loop gets one
//     tick, not a burst);
//   - nested (modal) loops, during which sends, posts and timers keep being served;
//   - file descriptors watched for input (WatchReadable; no program watches one today,
//     the loop's own test does).
//
// Usage:
//     MessageLoop loop;                                  // bound to this thread
//     LoopWindow wnd(loop, [&](unsigned msg, std::uintptr_t w, std::intptr_t l) {...; return 0;});
//     wnd.SetOwnerTimer(2, 1);                           // OWNER_MSG_TIMER, wParam 2, every 1 ms
//     loop.Run();                                        // until loop.Quit(code)
//   Tests: loop.RunUntil([&]{ return done; }, 2s);  loop.RunFor(100ms);
#pragma once

#include "platform/OwnerWindow.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class LoopWindow;

class MessageLoop {
public:
    // Creates the loop and binds it to the calling thread (its "UI thread").
    MessageLoop();
    // Completes sends still waiting with result 0 and drops everything queued.
    ~MessageLoop();
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // Serves messages, timers and watched input until Quit; returns Quit's code.
    int Run();
    // Ends the innermost Run (and every RunModal/RunUntil inside it). Any thread.
    void Quit(int exitCode = 0);
    // Serves until `done()` is true (checked after every message or tick and at
    // least every millisecond) or `timeout` has passed; returns done(). Loop thread.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Serves for `duration`. Loop thread.
    void RunFor(std::chrono::milliseconds duration);
    // A nested modal loop: serves everything (timers keep ticking) until EndModal is
    // called from a handler; returns EndModal's result. Loop thread.
    int RunModal();
    // Ends the innermost RunModal with `result`. Loop thread.
    void EndModal(int result);

    // Calls `onReadable` on the loop thread whenever `fd` has input. Loop thread.
    void WatchReadable(int fd, std::function<void()> onReadable);
    // Stops watching `fd`. Loop thread.
    void UnwatchReadable(int fd);

    // Runs the handlers of sends from other threads that are waiting now, waiting up
    // to `maxWaitMs` for one to come; nothing else. Loop thread.
    void DeliverSentMessages(unsigned maxWaitMs);
    // True on the thread the loop is bound to.
    bool IsLoopThread() const;

    struct State;  // internal

private:
    friend class LoopWindow;
    // Shared with LoopWindow and the threads that send to it.
    std::shared_ptr<State> m_state;
};

// A window of a MessageLoop: its handler runs on the loop thread for every message
// sent or posted to it and every tick of its timers (OWNER_MSG_TIMER, wParam = id).
class LoopWindow : public OwnerWindow {
public:
    // The window's message handler: (message, wParam, lParam) -> result.
    using Handler = std::function<std::intptr_t(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)>;

    // Creates the window on `loop` (which must outlive it). Loop thread.
    LoopWindow(MessageLoop& loop, Handler handler);
    // Destroy().
    ~LoopWindow() override;
    // Destroys the window: its timers stop, its posted messages are dropped, sends
    // waiting for it and later sends return 0 without running the handler. Loop thread.
    void Destroy();

    std::intptr_t SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    // One exchange with the loop thread for all `count` bytes (see OwnerWindow).
    void SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count, std::intptr_t lParam) override;
    bool PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool SetOwnerTimer(unsigned id, unsigned periodMs) override;
    void KillOwnerTimer(unsigned id) override;
    void DeliverSentMessages(unsigned maxWaitMs) override;

    // The loop this window belongs to.
    MessageLoop& Loop() { return m_loop; }

    struct Record;  // internal

private:
    // The loop that runs this window's handler.
    MessageLoop& m_loop;
    // The window as the loop knows it; shared with senders on other threads.
    std::shared_ptr<Record> m_record;
};
