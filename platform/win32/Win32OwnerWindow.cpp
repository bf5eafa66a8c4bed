#include "platform/win32/Win32OwnerWindow.h"

#include <cassert>

// A batch of received bytes on its way to the owner's thread; lives on the sender's
// stack for the duration of the synchronous exchange.
struct ByteBatch {
    unsigned message;          // the message each byte is handed over with
    const std::uint8_t* bytes; // the bytes, in order
    std::size_t count;         // how many
    std::intptr_t lParam;      // lParam of each message
    std::thread::id sender;    // the thread waiting for the exchange to end
};

namespace {

const char* const HELPER_CLASS = "SerialSuiteOwnerWindow";

// The helper's message for a batch: registered, so that it can't collide with any
// message number of a tool.
UINT BatchMessage() {
    static const UINT message = RegisterWindowMessageA("SerialSuiteOwnerBytes");
    return message;
}

bool RegisterHelperClass(WNDPROC procedure) {
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

Win32OwnerWindow::Win32OwnerWindow(HWND window) : m_ownerThreadId(GetCurrentThreadId()) {
    assert(window && "Win32OwnerWindow needs a window");
    m_hTarget = window;
    m_hHelper = CreateHiddenWindow();
}

Win32OwnerWindow::Win32OwnerWindow(Handler handler)
    : m_handler(std::move(handler)), m_ownerThreadId(GetCurrentThreadId()) {
    assert(m_handler && "Win32OwnerWindow needs a handler");
    m_hHelper = CreateHiddenWindow();
    m_hTarget = m_hHelper.load();
}

Win32OwnerWindow::~Win32OwnerWindow() { Destroy(); }

HWND Win32OwnerWindow::CreateHiddenWindow() {
    if (!RegisterHelperClass(&Win32OwnerWindow::WindowProc))
        return nullptr;
    HWND window = CreateWindowExA(0, HELPER_CLASS, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (window)
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return window;
}

void Win32OwnerWindow::Destroy() {
    assert(GetCurrentThreadId() == m_ownerThreadId && "Destroy belongs to the owner's thread");
    m_hTarget = nullptr;
    if (HWND helper = m_hHelper.exchange(nullptr)) {
        SetWindowLongPtrA(helper, GWLP_USERDATA, 0);
        DestroyWindow(helper);  // also ends the timers of a window created with a handler
    }
}

LRESULT CALLBACK Win32OwnerWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Win32OwnerWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == BatchMessage() && window == self->m_hHelper.load()) {
        self->DeliverBatch(*reinterpret_cast<const ByteBatch*>(lParam));
        return 0;
    }
    if (self->m_handler && window == self->m_hTarget.load() && (message == WM_TIMER || message >= WM_USER))
        return self->m_handler(message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

void Win32OwnerWindow::DeliverBatch(const ByteBatch& batch) {
    HandOverMark mark(batch.sender);
    for (std::size_t i = 0; i < batch.count; ++i) {
        HWND target = m_hTarget.load();
        if (!target || !IsWindow(target))
            return;  // the owner went away: the rest of the batch has nobody to go to
        SendMessageA(target, batch.message, batch.bytes[i], batch.lParam);
    }
}

std::intptr_t Win32OwnerWindow::SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    HWND target = m_hTarget.load();
    if (!target)
        return 0;
    return SendMessageA(target, message, wParam, lParam);
}

void Win32OwnerWindow::SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count,
                                      std::intptr_t lParam) {
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

bool Win32OwnerWindow::PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    HWND target = m_hTarget.load();
    return target && PostMessageA(target, message, wParam, lParam) != 0;
}

bool Win32OwnerWindow::SetOwnerTimer(unsigned id, unsigned periodMs) {
    HWND target = m_hTarget.load();
    return target && SetTimer(target, id, periodMs, nullptr) != 0;
}

void Win32OwnerWindow::KillOwnerTimer(unsigned id) {
    if (HWND target = m_hTarget.load())
        KillTimer(target, id);
}

void Win32OwnerWindow::DeliverSentMessages(unsigned maxWaitMs) {
    // PeekMessage runs the handlers of messages that other threads are sending to this
    // thread; with PM_QS_SENDMESSAGE and PM_NOREMOVE it takes nothing from the queue,
    // so posted messages and timer ticks stay for the message loop.
    MSG pending;
    PeekMessageA(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    if (MsgWaitForMultipleObjectsEx(0, nullptr, maxWaitMs, QS_SENDMESSAGE, 0) == WAIT_OBJECT_0)
        PeekMessageA(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}
