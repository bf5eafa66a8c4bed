// The message loop of the Windows programs without a dialog (the console tools), and
// the port claim every program of the suite makes: what the console host and a
// second program on the same port rely on.
#include "platform/ProgramLoop.h"
#include "platform/win32/Win32PortClaim.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr unsigned MSG_WORK = WM_USER + 21;
constexpr unsigned MSG_LAST = WM_USER + 22;

TEST(ProgramLoop, PostsRunInOrderOnTheLoopThreadAndQuitFromAnotherThreadEndsRunWithItsCode)
{
    MessageLoop loop;
    const DWORD loopThread = GetCurrentThreadId();
    std::vector<std::uintptr_t> seen;
    std::atomic<bool> offThread{false};
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (GetCurrentThreadId() != loopThread)
            offThread = true;
        if (message == MSG_WORK)
            seen.push_back(wParam);
        if (message == MSG_LAST)
            return static_cast<std::intptr_t>(wParam) * 2;
        return 0;
    });
    std::intptr_t sent = 0;
    std::thread other([&] {
        for (std::uintptr_t i = 0; i < 50; ++i)
            window.PostOwnerMessage(MSG_WORK, i, 0);
        // A send returns the result of the handler that ran on the loop thread.
        sent = window.SendOwnerMessage(MSG_LAST, 21, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        loop.Quit(7);
    });
    EXPECT_EQ(loop.Run(), 7);
    other.join();
    EXPECT_FALSE(offThread.load());
    EXPECT_EQ(sent, 42);
    ASSERT_EQ(seen.size(), 50u);
    for (std::uintptr_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i);
}

TEST(ProgramLoop, AQuitBeforeRunEndsTheNextRunAtOnceAndTimersTickInsideRun)
{
    MessageLoop loop;
    int ticks = 0;
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
        if (message == OWNER_MSG_TIMER && wParam == 3 && ++ticks == 5) {
            window.KillOwnerTimer(3);
            loop.Quit(1);
        }
        return 0;
    });
    // A run that failed before the loop started (a port that did not open) has quit.
    loop.Quit(4);
    EXPECT_EQ(loop.Run(), 4);
    ASSERT_TRUE(window.SetOwnerTimer(3, 2));
    EXPECT_EQ(loop.Run(), 1);
    EXPECT_EQ(ticks, 5);
}

TEST(PortClaim, ASecondClaimOfAPortIsRefusedAsWindowsRefusesASecondOpenUntilTheFirstIsClosed)
{
    bool refused = true;
    HANDLE first = ClaimPortByName("\\\\.\\COM87", refused);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(refused);
    EXPECT_TRUE(PortClaimedByAnother("COM87"));

    // The same port by its other name and case.
    HANDLE second = ClaimPortByName("com87", refused);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(refused);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // Another port is free.
    HANDLE other = ClaimPortByName("COM88", refused);
    EXPECT_NE(other, nullptr);
    EXPECT_FALSE(refused);
    CloseHandle(other);

    CloseHandle(first);
    EXPECT_FALSE(PortClaimedByAnother("COM87"));
    HANDLE again = ClaimPortByName("COM87", refused);
    EXPECT_NE(again, nullptr);
    EXPECT_FALSE(refused);
    CloseHandle(again);
}

}  // namespace
