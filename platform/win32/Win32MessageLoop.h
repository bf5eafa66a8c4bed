// The message loop of a Windows program without a dialog (the console tools): the
// thread's own Win32 message queue, served by GetMessage, with one window of its own
// whose procedure is a handler. It offers what the console host uses of the POSIX
// loop (platform/posix/MessageLoop.h) under the same names, so that the host is
// written once:
//     MessageLoop loop;                                  // bound to this thread
//     LoopWindow wnd(loop, [&](unsigned msg, std::uintptr_t w, std::intptr_t l) {...; return 0;});
//     loop.Run();                                        // until loop.Quit(code)
// The window is a Win32OwnerWindow made with a handler: sends, posts and timers
// (fast ones included) behave as they do under the dialog programs. No Windows
// header here: the programs that include this see none of its macros.
#pragma once

#include "platform/OwnerWindow.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class MessageLoop {
public:
    // Binds the loop to the calling thread (its messages are this thread's).
    MessageLoop();
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // Serves this thread's messages until Quit; returns Quit's code.
    int Run();
    // Ends Run with `exitCode`. Any thread.
    void Quit(int exitCode = 0);
    // True on the thread the loop is bound to.
    bool IsLoopThread() const;

private:
    unsigned long m_threadId;
    std::atomic<bool> m_bQuit{false};
    std::atomic<int> m_nExitCode{0};
};

// A window of a MessageLoop: its handler runs on the loop's thread for every message
// sent or posted to it and every tick of its timers (OWNER_MSG_TIMER, wParam = id).
// Made on the loop's thread.
class LoopWindow : public OwnerWindow {
public:
    using Handler = std::function<std::intptr_t(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)>;
    LoopWindow(MessageLoop& loop, Handler handler);
    ~LoopWindow() override;
    LoopWindow(const LoopWindow&) = delete;
    LoopWindow& operator=(const LoopWindow&) = delete;

    std::intptr_t SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count, std::intptr_t lParam) override;
    bool PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool SetOwnerTimer(unsigned id, unsigned periodMs) override;
    void KillOwnerTimer(unsigned id) override;
    void DeliverSentMessages(unsigned maxWaitMs) override;

private:
    std::unique_ptr<OwnerWindow> m_window;  // a Win32OwnerWindow
};
