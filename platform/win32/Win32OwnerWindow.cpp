#include "platform/win32/Win32OwnerWindow.h"

#include <mmsystem.h>

#include <cassert>
#include <thread>

// A batch of received bytes on its way to the owner's thread; lives on the sender's
// stack for the duration of the synchronous exchange.
struct ByteBatch {
    unsigned message;           // the message each byte is handed over with
    const std::uint8_t* bytes;  // the bytes, in order
    std::size_t count;          // how many
    std::intptr_t lParam;       // lParam of each message
    std::thread::id sender;     // the thread waiting for the exchange to end
};

namespace {

const char* const HELPER_CLASS = "SerialSuiteOwnerWindow";

// The helper's message for a batch: registered, so that it can't collide with any
// message number of a tool.
UINT BatchMessage()
{
    static const UINT message = RegisterWindowMessageA("SerialSuiteOwnerBytes");
    return message;
}

// The helper's message for a fast timer's tick: wParam the id, lParam the timer's
// serial number.
UINT FastTickMessage()
{
    static const UINT message = RegisterWindowMessageA("SerialSuiteOwnerFastTick");
    return message;
}

bool RegisterHelperClass(WNDPROC procedure)
{
    static const bool registered = [procedure] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = HELPER_CLASS;
        return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

}  // namespace

Win32OwnerWindow::Win32OwnerWindow(HWND window)
    : m_ownerThreadId(GetCurrentThreadId())
{
    assert(window && "Win32OwnerWindow needs a window");
    m_hTarget = window;
    m_hHelper = CreateHiddenWindow();
}

Win32OwnerWindow::Win32OwnerWindow(Handler handler)
    : m_handler(std::move(handler)),
      m_ownerThreadId(GetCurrentThreadId())
{
    assert(m_handler && "Win32OwnerWindow needs a handler");
    m_hHelper = CreateHiddenWindow();
    m_hTarget = m_hHelper.load();
}

Win32OwnerWindow::~Win32OwnerWindow()
{
    Destroy();
}

HWND Win32OwnerWindow::CreateHiddenWindow()
{
    if (!RegisterHelperClass(&Win32OwnerWindow::WindowProc))
        return nullptr;
    HWND window =
        CreateWindowExA(0, HELPER_CLASS, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (window)
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return window;
}

void Win32OwnerWindow::Destroy()
{
    assert(GetCurrentThreadId() == m_ownerThreadId && "Destroy belongs to the owner's thread");
    StopFastTimers();
    m_hTarget = nullptr;
    if (HWND helper = m_hHelper.exchange(nullptr)) {
        SetWindowLongPtrA(helper, GWLP_USERDATA, 0);
        DestroyWindow(helper);  // also ends the timers of a window created with a handler
    }
}

LRESULT CALLBACK Win32OwnerWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<Win32OwnerWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == BatchMessage() && window == self->m_hHelper.load()) {
        self->DeliverBatch(*reinterpret_cast<const ByteBatch*>(lParam));
        return 0;
    }
    if (message == FastTickMessage()) {
        self->DeliverFastTick(static_cast<unsigned>(wParam), static_cast<std::uintptr_t>(lParam));
        return 0;
    }
    if (self->m_handler && window == self->m_hTarget.load() && (message == WM_TIMER || message >= WM_USER))
        return self->m_handler(message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

void Win32OwnerWindow::DeliverBatch(const ByteBatch& batch)
{
    HandOverMark mark(batch.sender);
    for (std::size_t i = 0; i < batch.count; ++i) {
        HWND target = m_hTarget.load();
        if (!target || !IsWindow(target))
            return;  // the owner went away: the rest of the batch has nobody to go to
        SendMessageA(target, batch.message, batch.bytes[i], batch.lParam);
    }
}

std::intptr_t Win32OwnerWindow::SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    HWND target = m_hTarget.load();
    if (!target)
        return 0;
    return SendMessageA(target, message, wParam, lParam);
}

void Win32OwnerWindow::SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count,
                                      std::intptr_t lParam)
{
    if (count == 0 || !m_hTarget.load())
        return;
    HWND helper = m_hHelper.load();
    if (!helper) {
        // No helper window (it couldn't be created): one cross-thread send per byte.
        OwnerWindow::SendOwnerBytes(message, bytes, count, lParam);
        return;
    }
    ByteBatch batch{message, bytes, count, lParam, std::this_thread::get_id()};
    SendMessageA(helper, BatchMessage(), 0, reinterpret_cast<LPARAM>(&batch));
}

bool Win32OwnerWindow::PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    HWND target = m_hTarget.load();
    return target && PostMessageA(target, message, wParam, lParam) != 0;
}

// A timer with a period below FAST_TIMER_LIMIT_MS. Its ticks come from a
// high-resolution waitable timer on a thread of its own, or from a multimedia timer's
// callback, and are posted to the helper window, at most one at a time.
class FastTimer {
public:
    FastTimer(HWND helper, unsigned id, unsigned periodMs);
    ~FastTimer();
    FastTimer(const FastTimer&) = delete;
    FastTimer& operator=(const FastTimer&) = delete;

    // The timer runs.
    bool Running() const { return m_thread.joinable() || m_nMultimediaId != 0; }
    // Identifies this timer's ticks among those of earlier timers with the same id.
    std::uintptr_t Serial() const { return m_nSerial; }
    // The owner takes the queued tick: the next one may be posted.
    void TickTaken() { m_bTickQueued.store(false); }

    // The high-resolution waitable timer (null where the system has none).
    static HANDLE CreateHighResolutionTimer();

private:
    // Posts a tick unless one is still queued. Timer thread or multimedia callback.
    void Tick();
    static void CALLBACK MultimediaTick(UINT, UINT, DWORD_PTR self, DWORD_PTR, DWORD_PTR);

    const HWND m_hHelper;
    const unsigned m_nId;
    const std::uintptr_t m_nSerial;
    std::atomic<bool> m_bTickQueued{false};
    HANDLE m_hTimer = nullptr;      // waitable timer
    HANDLE m_hStopEvent = nullptr;  // ends the timer thread
    std::thread m_thread;           // waits on the waitable timer
    UINT m_nMultimediaId = 0;       // multimedia timer, when there is no waitable one
    UINT m_nPeriodMs = 0;           // the timer resolution asked for (timeBeginPeriod)
};

namespace {
std::atomic<std::uintptr_t> g_nextFastTimerSerial{1};
std::atomic<bool> g_bPreferMultimedia{false};
}  // namespace

HANDLE FastTimer::CreateHighResolutionTimer()
{
    // CreateWaitableTimerExW with CREATE_WAITABLE_TIMER_HIGH_RESOLUTION exists from
    // Windows 10 version 1803 on; looked up at run time so that older systems start.
    using CreateFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD);
    constexpr DWORD HIGH_RESOLUTION = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
    static const auto create = reinterpret_cast<CreateFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateWaitableTimerExW")));
    if (!create)
        return nullptr;
    return create(nullptr, nullptr, HIGH_RESOLUTION, TIMER_ALL_ACCESS);
}

FastTimer::FastTimer(HWND helper, unsigned id, unsigned periodMs)
    : m_hHelper(helper),
      m_nId(id),
      m_nSerial(g_nextFastTimerSerial++)
{
    if (periodMs == 0)
        periodMs = 1;
    m_hTimer = g_bPreferMultimedia.load() ? nullptr : CreateHighResolutionTimer();
    if (m_hTimer) {
        m_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(periodMs) * 10000;  // relative, in 100 ns
        if (m_hStopEvent && SetWaitableTimer(m_hTimer, &due, static_cast<LONG>(periodMs), nullptr, nullptr, FALSE)) {
            m_thread = std::thread([this] {
                HANDLE waits[2] = {m_hStopEvent, m_hTimer};
                while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
                    Tick();
            });
            return;
        }
        CloseHandle(m_hTimer);
        m_hTimer = nullptr;
    }
    // The fallback: a multimedia timer at 1 ms resolution.
    if (timeBeginPeriod(1) == TIMERR_NOERROR)
        m_nPeriodMs = 1;
    m_nMultimediaId = timeSetEvent(periodMs, 0, &FastTimer::MultimediaTick, reinterpret_cast<DWORD_PTR>(this),
                                   TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
}

FastTimer::~FastTimer()
{
    if (m_thread.joinable()) {
        SetEvent(m_hStopEvent);
        m_thread.join();
    }
    if (m_hTimer) {
        CancelWaitableTimer(m_hTimer);
        CloseHandle(m_hTimer);
    }
    if (m_hStopEvent)
        CloseHandle(m_hStopEvent);
    if (m_nMultimediaId)
        timeKillEvent(m_nMultimediaId);  // TIME_KILL_SYNCHRONOUS: no callback runs after this
    if (m_nPeriodMs)
        timeEndPeriod(m_nPeriodMs);
}

void FastTimer::Tick()
{
    if (!m_bTickQueued.exchange(true))
        if (!PostMessageA(m_hHelper, FastTickMessage(), m_nId, static_cast<LPARAM>(m_nSerial)))
            m_bTickQueued.store(false);  // queue full: try again next time
}

void CALLBACK FastTimer::MultimediaTick(UINT, UINT, DWORD_PTR self, DWORD_PTR, DWORD_PTR)
{
    reinterpret_cast<FastTimer*>(self)->Tick();
}

const char* Win32OwnerWindow::FastTimerSource()
{
    static const bool waitable = [] {
        HANDLE timer = FastTimer::CreateHighResolutionTimer();
        if (timer)
            CloseHandle(timer);
        return timer != nullptr;
    }();
    return waitable && !g_bPreferMultimedia.load() ? "waitable" : "multimedia";
}

void Win32OwnerWindow::PreferMultimediaTimers(bool prefer)
{
    g_bPreferMultimedia.store(prefer);
}

bool Win32OwnerWindow::SetOwnerTimer(unsigned id, unsigned periodMs)
{
    HWND target = m_hTarget.load();
    HWND helper = m_hHelper;
    if (!target)
        return false;
    if (periodMs >= FAST_TIMER_LIMIT_MS || !helper) {
        m_fastTimers.erase(id);
        return SetTimer(target, id, periodMs, nullptr) != 0;
    }
    KillTimer(target, id);
    m_fastTimers.erase(id);  // before the new one starts: one tick source per id
    auto timer = std::make_unique<FastTimer>(helper, id, periodMs);
    if (!timer->Running())
        return SetTimer(target, id, periodMs, nullptr) != 0;  // the platform's best, then
    m_fastTimers[id] = std::move(timer);
    return true;
}

void Win32OwnerWindow::KillOwnerTimer(unsigned id)
{
    m_fastTimers.erase(id);
    if (HWND target = m_hTarget.load())
        KillTimer(target, id);
}

void Win32OwnerWindow::StopFastTimers()
{
    m_fastTimers.clear();
}

void Win32OwnerWindow::DeliverFastTick(unsigned id, std::uintptr_t serial)
{
    auto found = m_fastTimers.find(id);
    if (found == m_fastTimers.end() || found->second->Serial() != serial)
        return;  // the timer was stopped or replaced after this tick was posted
    found->second->TickTaken();
    if (HWND target = m_hTarget.load())
        SendMessageA(target, WM_TIMER, id, 0);  // same thread: a direct call
}

void Win32OwnerWindow::DeliverSentMessages(unsigned maxWaitMs)
{
    // PeekMessage runs the handlers of messages that other threads are sending to this
    // thread; with PM_QS_SENDMESSAGE and PM_NOREMOVE it takes nothing from the queue,
    // so posted messages and timer ticks stay for the message loop.
    MSG pending;
    PeekMessageA(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (MsgWaitForMultipleObjectsEx(0, nullptr, maxWaitMs, QS_SENDMESSAGE, 0) == WAIT_OBJECT_0)
        PeekMessageA(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}
