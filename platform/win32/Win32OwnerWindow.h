// The owner window on Win32: the serial engine's messages, posts and timers go to a
// real window through SendMessageA, PostMessageA and SetTimer.
//
// Two forms:
//   - Win32OwnerWindow(hwnd): an existing window of the calling thread, such as a
//     tool's dialog; its own window procedure handles the messages.
//   - Win32OwnerWindow(handler): a hidden message-only window of the calling thread
//     whose procedure is `handler` (tests, programs without a dialog).
// Either way the object keeps a hidden message-only helper window on the owner's
// thread. SendOwnerBytes sends the whole batch of bytes to the helper in one
// cross-thread exchange, and the helper hands the bytes to the owner window one by
// one on the owner's thread (a same-thread SendMessageA, that is a direct call of
// the window procedure). One thread switch per batch instead of per byte.
//
// Timers: SetTimer rounds periods below 10 ms up to 10 ms or more (a 1 ms timer
// ticks 64 to 100 times a second). Shorter periods run on a high-resolution waitable
// timer on a thread of their own where the system has one, else on a 1 ms multimedia
// timer; each tick is posted to the helper, which hands it to the window as WM_TIMER.
// At most one tick of a timer is queued at a time (a late owner gets one tick, not a
// pile), and since they are posted messages they keep coming while a message box or
// the file-open dialog runs its own message loop.
#pragma once

#include "platform/OwnerWindow.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class Win32OwnerWindow : public OwnerWindow {
public:
    // The procedure of a window created with a handler: (message, wParam, lParam) ->
    // result. It sees the messages from WM_USER up and the timer ticks, which come as
    // OWNER_MSG_TIMER (WM_TIMER) with wParam = the id; the window's own system
    // messages get the default handling.
    using Handler = std::function<std::intptr_t(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)>;

    // Sends to `window`, which belongs to the calling thread and must outlive this
    // object or be destroyed after Destroy().
    explicit Win32OwnerWindow(HWND window);
    // Creates a hidden message-only window on the calling thread that runs `handler`.
    explicit Win32OwnerWindow(Handler handler);
    // Destroy().
    ~Win32OwnerWindow() override;
    Win32OwnerWindow(const Win32OwnerWindow&) = delete;
    Win32OwnerWindow& operator=(const Win32OwnerWindow&) = delete;

    // From now on sends return 0 without running a handler and posts fail; stops the
    // timers of a window created with a handler and destroys the helper and that
    // window. Owner's thread.
    void Destroy();
    // The window that handles the messages (null once destroyed or if creating it
    // failed).
    HWND Handle() const { return m_hTarget.load(); }

    std::intptr_t SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count, std::intptr_t lParam) override;
    bool PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    // Periods below FAST_TIMER_LIMIT_MS run on a fast timer (see above).
    bool SetOwnerTimer(unsigned id, unsigned periodMs) override;
    void KillOwnerTimer(unsigned id) override;

    // Periods below this many milliseconds don't go to SetTimer.
    static constexpr unsigned FAST_TIMER_LIMIT_MS = 10;
    // The source of fast ticks on this system: "waitable" (high-resolution waitable
    // timer) or "multimedia".
    static const char* FastTimerSource();
    // Fast timers started from now on use the multimedia timer even where a
    // high-resolution waitable timer exists (older systems have only the former; the
    // tests run both).
    static void PreferMultimediaTimers(bool prefer);
    void DeliverSentMessages(unsigned maxWaitMs) override;

private:
    // The procedure of the helper window and of a window created with a handler.
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // Creates a message-only window of this object's class on the calling thread.
    HWND CreateHiddenWindow();
    // Hands a batch to the target window byte by byte (on the owner's thread).
    void DeliverBatch(const struct ByteBatch& batch);

    // The window that handles the messages; cleared by Destroy (read from any thread).
    std::atomic<HWND> m_hTarget{nullptr};
    // The helper that receives byte batches; the target itself when created with a
    // handler; null if it couldn't be created (bytes then go one send each) and once
    // destroyed. Read by the monitor thread while the owner's thread may clear it.
    std::atomic<HWND> m_hHelper{nullptr};
    // The procedure of a window created with a handler (empty for an existing window).
    Handler m_handler;
    // The owner's thread.
    DWORD m_ownerThreadId = 0;

    // Timers with periods below FAST_TIMER_LIMIT_MS, by id (owner's thread only).
    std::map<unsigned, std::unique_ptr<class FastTimer>> m_fastTimers;
    // Stops every fast timer; their queued ticks are dropped on arrival.
    void StopFastTimers();
    // A fast timer's tick reached the helper: hands it to the window if the timer that
    // posted it still runs.
    void DeliverFastTick(unsigned id, std::uintptr_t serial);
};
