// The Win32 platform layer on its own: the owner window's hand-over guarantees
// (the engine relies on them for ordering and for not deadlocking), and the serial
// back end's handling of the comm-event wait beside reads and writes. Runs under Wine
// with the ports of tests/wine/run.sh.
#include "LineFixture.h"

#include "platform/SerialBackend.h"
#include "platform/win32/Win32OwnerWindow.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned MSG_TEST = WM_USER + 7;
constexpr unsigned MSG_POSTED = WM_USER + 11;

// Runs the calling thread's messages until `done()` or `timeout`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s)
{
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        MsgWaitForMultipleObjectsEx(0, nullptr, 2, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    return true;
}

// One handled message and the thread it ran on.
struct Seen {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    DWORD thread;
};

class OwnerWindowTest : public ::testing::Test {
protected:
    Win32OwnerWindow window{[this](unsigned message, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t {
        seen.push_back({message, wParam, lParam, GetCurrentThreadId()});
        if (onMessage)
            onMessage(message, wParam);
        return static_cast<std::intptr_t>(wParam) * 2;
    }};
    std::vector<Seen> seen;  // touched only on the owner's (the test's) thread
    std::function<void(unsigned, std::uintptr_t)> onMessage;
    const DWORD ownerThread = GetCurrentThreadId();
};

TEST_F(OwnerWindowTest, SendFromAnotherThreadRunsOnTheOwnersThreadAndReturnsTheResult)
{
    std::atomic<std::intptr_t> result{-1};
    std::thread sender([&] { result = window.SendOwnerMessage(MSG_TEST, 21, 5); });
    ASSERT_TRUE(PumpUntil([&] { return result != -1; }));
    sender.join();
    EXPECT_EQ(result, 42);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].thread, ownerThread);
    EXPECT_EQ(seen[0].lParam, 5);
}

TEST_F(OwnerWindowTest, ByteBatchIsHandledOncePerByteInOrderBeforeTheSenderGoesOn)
{
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 600; ++i)
        bytes.push_back(static_cast<std::uint8_t>(i * 7));
    std::atomic<bool> returned{false};
    std::size_t handledWhenReturned = 0;
    std::thread sender([&] {
        window.SendOwnerBytes(MSG_TEST, bytes.data(), bytes.size(), 3);
        returned = true;
    });
    ASSERT_TRUE(PumpUntil([&] {
        if (returned && handledWhenReturned == 0)
            handledWhenReturned = seen.size();
        return returned.load();
    }));
    sender.join();
    EXPECT_EQ(handledWhenReturned, bytes.size());  // all handled before the send returned
    ASSERT_EQ(seen.size(), bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(seen[i].message, MSG_TEST);
        EXPECT_EQ(seen[i].wParam, bytes[i]) << i;
        EXPECT_EQ(seen[i].lParam, 3);
        EXPECT_EQ(seen[i].thread, ownerThread);
    }
}

TEST_F(OwnerWindowTest, PostedMessageRunsAfterTheHandlerThatPostedIt)
{
    std::vector<std::string> order;
    onMessage = [&](unsigned message, std::uintptr_t) {
        if (message == MSG_TEST) {
            EXPECT_TRUE(window.PostOwnerMessage(MSG_POSTED, 0, 0));
            order.push_back("handler end");
        } else if (message == MSG_POSTED) {
            order.push_back("posted");
        }
    };
    window.SendOwnerMessage(MSG_TEST, 1, 0);  // from the owner's thread: a direct call
    ASSERT_TRUE(PumpUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"handler end", "posted"}));
}

TEST_F(OwnerWindowTest, WaitingForSendsServesThemAndLeavesPostedMessagesQueued)
{
    ASSERT_TRUE(window.PostOwnerMessage(MSG_POSTED, 9, 0));
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        window.SendOwnerMessage(MSG_TEST, 1, 0);
        sent = true;
    });
    const auto deadline = Clock::now() + 5s;
    while (!sent && Clock::now() < deadline)
        window.DeliverSentMessages(1);
    sender.join();
    ASSERT_TRUE(sent);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].message, MSG_TEST);
    ASSERT_TRUE(PumpUntil([&] { return seen.size() == 2; }));  // the post is still there
    EXPECT_EQ(seen[1].message, MSG_POSTED);
}

TEST_F(OwnerWindowTest, TimerTicksWithItsIdUntilKilled)
{
    ASSERT_TRUE(window.SetOwnerTimer(4, 1));
    ASSERT_TRUE(PumpUntil([&] { return seen.size() >= 3; }));
    window.KillOwnerTimer(4);
    for (const Seen& s : seen) {
        EXPECT_EQ(s.message, OWNER_MSG_TIMER);
        EXPECT_EQ(s.wParam, 4u);
    }
    const std::size_t ticks = seen.size();
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))  // a tick already queued
        DispatchMessageA(&message);
    const std::size_t afterKill = seen.size();
    PumpUntil([] { return false; }, 100ms);
    EXPECT_EQ(seen.size(), afterKill);
    EXPECT_GE(afterKill, ticks);
}

TEST_F(OwnerWindowTest, DestroyedWindowRunsNothingAndABatchStopsWithIt)
{
    const std::uint8_t bytes[] = {1, 2, 3, 4};
    onMessage = [&](unsigned, std::uintptr_t wParam) {
        if (wParam == 2)
            window.Destroy();
    };
    window.SendOwnerBytes(MSG_TEST, bytes, sizeof bytes, 0);
    ASSERT_EQ(seen.size(), 2u);  // nothing after the window went away

    std::atomic<bool> done{false};
    std::intptr_t result = -1;
    bool posted = true;
    std::thread sender([&] {
        result = window.SendOwnerMessage(MSG_TEST, 5, 0);  // returns at once, unpumped
        window.SendOwnerBytes(MSG_TEST, bytes, sizeof bytes, 0);
        posted = window.PostOwnerMessage(MSG_POSTED, 0, 0);
        done = true;
    });
    sender.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(posted);
    EXPECT_EQ(seen.size(), 2u);
}

// A window with a procedure of its own, as a tool's dialog has.
LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == MSG_TEST) {
        auto* received = reinterpret_cast<std::string*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        received->push_back(static_cast<char>(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST(OwnerWindowOfAnExistingWindow, BytesReachTheWindowsOwnProcedureInOrder)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "SerialSuiteTestDialog";
    RegisterClassA(&windowClass);
    HWND dialog = CreateWindowExA(0, "SerialSuiteTestDialog", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(dialog, nullptr);
    std::string received;
    SetWindowLongPtrA(dialog, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&received));
    {
        Win32OwnerWindow owner(dialog);
        EXPECT_EQ(owner.Handle(), dialog);
        const std::string text = "+IAPC-";
        std::atomic<bool> returned{false};
        std::thread sender([&] {
            owner.SendOwnerBytes(MSG_TEST, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 1);
            returned = true;
        });
        ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
        sender.join();
        EXPECT_EQ(received, text);
    }
    EXPECT_TRUE(IsWindow(dialog));  // the dialog is not the owner object's to destroy
    DestroyWindow(dialog);
}

// The back end on a real line: the port's waits (the data wake, the comm-event wait)
// use records of their own, so a write while a wait is pending leaves it intact; bytes
// come out in order, the wake's byte first; a purge of the input discards the wake's
// byte too; and closing ends a pending wait before the handle goes.
class Win32BackendTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        line = TestLine::Create(8);
        ASSERT_TRUE(line);
        port = backend.OpenPort("COM8");
        ASSERT_NE(port, SerialInvalidHandle());
        ASSERT_TRUE(backend.SetEventMask(port, SERIAL_EV_RXCHAR));
        ASSERT_TRUE(backend.Purge(port, SERIAL_PURGE_ALL));  // what an earlier test left
        overlapped.hEvent = backend.NewEvent();
        ASSERT_NE(overlapped.hEvent, nullptr);
    }
    void TearDown() override
    {
        if (port && port != SerialInvalidHandle())
            backend.ClosePort(port);
        if (overlapped.hEvent)
            backend.DeleteEvent(overlapped.hEvent);
    }

    // Reads what is waiting the way the engine's drain does: until nothing is left.
    std::string Drain()
    {
        std::string bytes;
        for (;;) {
            std::uint32_t waiting = 0;
            if (!backend.GetBytesWaiting(port, waiting) || waiting == 0)
                return bytes;
            std::uint8_t buffer[64] = {};
            std::uint32_t got = 0;
            if (backend.ReadPort(port, buffer, std::min<std::uint32_t>(waiting, sizeof buffer), got) != PortIo::Done)
                return bytes + "<read failed>";
            bytes.append(reinterpret_cast<char*>(buffer), got);
        }
    }

    SerialBackend& backend = PlatformSerialBackend();
    std::unique_ptr<TestLine> line;
    PortHandle port = nullptr;
    PortOverlapped overlapped;
    std::uint32_t eventWord = 0;
};

TEST_F(Win32BackendTest, WriteWhileTheCommWaitIsPendingLeavesTheWaitToReportTheReply)
{
    ASSERT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);
    std::uint32_t sent = 0;
    const std::uint8_t frame[] = {'*', 0, 0xFF, '#'};
    ASSERT_EQ(backend.WritePort(port, frame, sizeof frame, sent, nullptr), PortIo::Done);
    EXPECT_EQ(sent, sizeof frame);
    EXPECT_EQ(line->PeerRead(4, 5s), std::string(reinterpret_cast<const char*>(frame), sizeof frame));
    // A second start while the wait runs is the same wait, not a new one on its record.
    EXPECT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);

    ASSERT_TRUE(line->PeerWrite("+DTOK-"));
    const EventHandle handles[] = {overlapped.hEvent};
    ASSERT_EQ(backend.WaitForEvents(handles, 1, SERIAL_WAIT_INFINITE), 0);
    EXPECT_TRUE(eventWord & SERIAL_EV_RXCHAR);
    ASSERT_TRUE(line->WaitUntilDelivered(5s));
    std::uint32_t waiting = 0;
    ASSERT_TRUE(backend.GetBytesWaiting(port, waiting));
    EXPECT_EQ(waiting, 6u);
    EXPECT_EQ(Drain(), "+DTOK-");
}

TEST_F(Win32BackendTest, BytesComeInOrderAcrossWakesAndAPurgeDiscardsTheWakesByte)
{
    const EventHandle handles[] = {overlapped.hEvent};
    std::string received;
    for (const char* chunk : {"a", "bcd", "e", "fghij"}) {
        ASSERT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);
        ASSERT_TRUE(line->PeerWrite(chunk));
        ASSERT_TRUE(line->WaitUntilDelivered(5s));
        ASSERT_EQ(backend.WaitForEvents(handles, 1, 5000), 0);
        EXPECT_TRUE(eventWord & SERIAL_EV_RXCHAR);
        received += Drain();
    }
    EXPECT_EQ(received, "abcdefghij");

    // A byte taken by the wake and not read yet is input like any other.
    ASSERT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);
    ASSERT_TRUE(line->PeerWrite("old"));
    ASSERT_TRUE(line->WaitUntilDelivered(5s));
    ASSERT_EQ(backend.WaitForEvents(handles, 1, 5000), 0);
    ASSERT_TRUE(backend.Purge(port, SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR));
    std::uint32_t waiting = 1;
    ASSERT_TRUE(backend.GetBytesWaiting(port, waiting));
    EXPECT_EQ(waiting, 0u);
    ASSERT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);
    ASSERT_TRUE(line->PeerWrite("new"));
    ASSERT_TRUE(line->WaitUntilDelivered(5s));
    ASSERT_EQ(backend.WaitForEvents(handles, 1, 5000), 0);
    EXPECT_EQ(Drain(), "new");
}

TEST_F(Win32BackendTest, ClosingEndsAPendingWaitAndNothingWritesToItsRecordAfterwards)
{
    ASSERT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);
    const auto start = Clock::now();
    backend.ClosePort(port);
    port = nullptr;
    EXPECT_LT(Clock::now() - start, 5s);  // ends, rather than hanging on the wait
    eventWord = 0xA5A5A5A5;
    ASSERT_TRUE(line->PeerWrite("late"));
    ASSERT_TRUE(line->WaitUntilDelivered(5s));
    Sleep(50);
    EXPECT_EQ(eventWord, 0xA5A5A5A5u);
}

TEST_F(Win32BackendTest, WakeEndedByItsTimeoutsOnAQuietLineIsNoByteAndNoFailure)
{
    // The engine's timeouts: a one-byte read waits 2 s (1000 ms interval + total).
    CommTimeouts timeouts{1000, 1000, 1000, 1000, 1000};
    ASSERT_TRUE(backend.SetTimeouts(port, timeouts));
    const EventHandle handles[] = {overlapped.hEvent};
    ASSERT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);
    // Three times as long as the wake's timeouts: each time it ends it is issued again.
    for (int round = 0; round < 3; ++round) {
        const int index = backend.WaitForEvents(handles, 1, 3000);
        if (index == 0) {
            EXPECT_EQ(eventWord, 0u) << "a wake that ran out of time reported an event";
            std::uint32_t waiting = 7;
            ASSERT_TRUE(backend.GetBytesWaiting(port, waiting));
            EXPECT_EQ(waiting, 0u);
        } else {
            EXPECT_EQ(index, SERIAL_WAIT_TIMEOUT);
        }
        ASSERT_EQ(backend.StartCommWait(port, &eventWord, overlapped), CommWaitStart::Pending);
    }
    ASSERT_TRUE(line->PeerWrite("+IAPC-"));
    ASSERT_TRUE(line->WaitUntilDelivered(5s));
    ASSERT_EQ(backend.WaitForEvents(handles, 1, 5000), 0);
    EXPECT_TRUE(eventWord & SERIAL_EV_RXCHAR);
    EXPECT_EQ(Drain(), "+IAPC-");
}

TEST(Win32Backend, LineStateNeverAbortsReadsOnALineError)
{
    // A port left so by another program would end every pending read after a framing
    // error or a break, until the error was cleared.
    LineState state;
    state.fAbortOnError = 1;
    state.fOutxCtsFlow = 1;
    state.fOutX = 1;
    ASSERT_TRUE(PlatformSerialBackend().BuildLineState("baud=19200 parity=N data=8 stop=1", state));
    EXPECT_EQ(state.fAbortOnError, 0u);
    EXPECT_EQ(state.fOutxCtsFlow, 0u);
    EXPECT_EQ(state.fOutX, 0u);
    EXPECT_EQ(state.BaudRate, 19200u);
}

TEST(Win32Backend, MissingDeviceIsAFailedOpenWithTheSystemsText)
{
    TestLine::MapMissing(6);
    SerialBackend& backend = PlatformSerialBackend();
    EXPECT_EQ(backend.OpenPort("COM6"), SerialInvalidHandle());
    const std::string text = backend.LastErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    auto line = TestLine::Create(6);  // maps COM6 to its line again
    ASSERT_TRUE(line);
    PortHandle port = backend.OpenPort("COM6");
    ASSERT_NE(port, SerialInvalidHandle());
    // A second open of a held port fails where the system enforces exclusive opens.
    if (line->Supports(LineFeature::ExclusiveOpen)) {
        EXPECT_EQ(backend.OpenPort("COM6"), SerialInvalidHandle());
    }
    backend.ClosePort(port);
}

}  // namespace
