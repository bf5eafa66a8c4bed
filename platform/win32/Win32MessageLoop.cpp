#include "platform/win32/Win32MessageLoop.h"

#include "platform/win32/Win32OwnerWindow.h"

#include <windows.h>

#include <cassert>
#include <utility>

MessageLoop::MessageLoop()
    : m_threadId(GetCurrentThreadId())
{
    // A thread has a message queue once it calls a function of user32 that needs one;
    // PeekMessage makes it now, so that a Quit posted from another thread before Run
    // is not lost.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

bool MessageLoop::IsLoopThread() const
{
    return GetCurrentThreadId() == m_threadId;
}

int MessageLoop::Run()
{
    assert(IsLoopThread() && "MessageLoop::Run on another thread");
    MSG msg;
    while (!m_bQuit.load()) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    m_bQuit = false;
    return m_nExitCode.load();
}

void MessageLoop::Quit(int exitCode)
{
    m_nExitCode = exitCode;
    m_bQuit = true;
    // Wakes GetMessage; the flag ends the loop (a WM_QUIT of its own would also end
    // a message box's loop if one ran).
    PostThreadMessageA(m_threadId, WM_NULL, 0, 0);
}

LoopWindow::LoopWindow(MessageLoop& loop, Handler handler)
    : m_window(std::make_unique<Win32OwnerWindow>(std::move(handler)))
{
    (void)loop;
    assert(loop.IsLoopThread() && "a LoopWindow is made on its loop's thread");
}

LoopWindow::~LoopWindow() = default;

std::intptr_t LoopWindow::SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return m_window->SendOwnerMessage(message, wParam, lParam);
}

void LoopWindow::SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count, std::intptr_t lParam)
{
    m_window->SendOwnerBytes(message, bytes, count, lParam);
}

bool LoopWindow::PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return m_window->PostOwnerMessage(message, wParam, lParam);
}

bool LoopWindow::SetOwnerTimer(unsigned id, unsigned periodMs)
{
    return m_window->SetOwnerTimer(id, periodMs);
}

void LoopWindow::KillOwnerTimer(unsigned id)
{
    m_window->KillOwnerTimer(id);
}

void LoopWindow::DeliverSentMessages(unsigned maxWaitMs)
{
    m_window->DeliverSentMessages(maxWaitMs);
}
