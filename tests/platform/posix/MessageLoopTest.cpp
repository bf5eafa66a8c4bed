// The POSIX message loop: what the engine and the tools rely on from it. Timing is
// checked only loosely (a 1 ms timer must tick far more often than a 10 ms one).
#include "platform/posix/MessageLoop.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr unsigned MSG_TEST = 0x0500;
constexpr unsigned MSG_OTHER = 0x0501;

TEST(MessageLoopTest, OneMillisecondTimerReallyTicksEveryMillisecond)
{
    MessageLoop loop;
    int ticks = 0;
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t) {
        if (message == OWNER_MSG_TIMER && wParam == 2)
            ++ticks;
        return std::intptr_t{0};
    });
    ASSERT_TRUE(window.SetOwnerTimer(2, 1));
    loop.RunFor(500ms);
    // About 500 are expected; a 10 ms timer would give 50.
    EXPECT_GT(ticks, 150);
    EXPECT_LE(ticks, 520);  // never a burst of catch-up ticks
}

TEST(MessageLoopTest, TimersAreRestartedKilledAndIdentifiedById)
{
    MessageLoop loop;
    std::vector<std::uintptr_t> ids;
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t) {
        if (message == OWNER_MSG_TIMER) {
            ids.push_back(wParam);
            if (wParam == 1)
                window.KillOwnerTimer(1);  // a one-shot, killed from its own tick
        }
        return std::intptr_t{0};
    });
    window.SetOwnerTimer(1, 5);
    window.SetOwnerTimer(4, 20);
    window.SetOwnerTimer(4, 10000);  // restarting with a new period replaces the old
    ASSERT_TRUE(loop.RunUntil([&] { return !ids.empty(); }, 2s));
    loop.RunFor(60ms);
    EXPECT_EQ(ids, std::vector<std::uintptr_t>{1});
    window.KillOwnerTimer(7);  // not running: nothing happens
}

TEST(MessageLoopTest, SendFromAnotherThreadReturnsAfterTheHandlerRanOnTheLoopThread)
{
    MessageLoop loop;
    const auto loopThread = std::this_thread::get_id();
    std::vector<std::uintptr_t> seen;
    std::atomic<bool> wrongThread{false};
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
        if (std::this_thread::get_id() != loopThread)
            wrongThread = true;
        if (message == MSG_TEST)
            seen.push_back(wParam);
        return static_cast<std::intptr_t>(wParam * 2 + static_cast<std::uintptr_t>(lParam));
    });
    std::atomic<bool> resultsRight{true};
    std::atomic<bool> finished{false};
    std::thread sender([&] {
        for (std::uintptr_t i = 0; i < 200; ++i) {
            if (window.SendOwnerMessage(MSG_TEST, i, 1) != static_cast<std::intptr_t>(i * 2 + 1))
                resultsRight = false;
        }
        const std::uint8_t bytes[] = {7, 8, 9};
        window.SendOwnerBytes(MSG_OTHER, bytes, sizeof bytes, 0);
        finished = true;
    });
    EXPECT_TRUE(loop.RunUntil([&] { return finished.load(); }, 10s));
    sender.join();
    EXPECT_TRUE(resultsRight);
    EXPECT_FALSE(wrongThread);
    ASSERT_EQ(seen.size(), 200u);
    for (std::uintptr_t i = 0; i < 200; ++i)
        EXPECT_EQ(seen[i], i);
}

TEST(MessageLoopTest, ByteExchangeCallsTheHandlerOncePerByteInOrder)
{
    MessageLoop loop;
    std::string got;
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
        if (message == MSG_TEST && lParam == 3)
            got.push_back(static_cast<char>(wParam));
        return std::intptr_t{0};
    });
    std::atomic<bool> finished{false};
    std::thread sender([&] {
        const std::string data = "hello, loop";
        window.SendOwnerBytes(MSG_TEST, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), 3);
        finished = true;
    });
    EXPECT_TRUE(loop.RunUntil([&] { return finished.load(); }, 10s));
    sender.join();
    EXPECT_EQ(got, "hello, loop");
}

TEST(MessageLoopTest, PostedMessagesRunAfterTheCurrentHandlerAndFromOtherThreads)
{
    MessageLoop loop;
    std::vector<std::string> events;
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t) {
        if (message == MSG_TEST) {
            events.push_back("send " + std::to_string(wParam));
            window.PostOwnerMessage(MSG_OTHER, wParam, 0);
            events.push_back("send end");
        } else if (message == MSG_OTHER) {
            events.push_back("post " + std::to_string(wParam));
        }
        return std::intptr_t{0};
    });
    window.SendOwnerMessage(MSG_TEST, 1, 0);  // same thread: runs directly
    EXPECT_EQ(events, (std::vector<std::string>{"send 1", "send end"}));
    std::thread([&] { window.PostOwnerMessage(MSG_OTHER, 2, 0); }).join();
    ASSERT_TRUE(loop.RunUntil([&] { return events.size() == 4; }, 2s));
    EXPECT_EQ(events[2], "post 1");
    EXPECT_EQ(events[3], "post 2");
}

TEST(MessageLoopTest, ModalLoopKeepsTimersTickingUntilEnded)
{
    MessageLoop loop;
    int ticksInModal = 0;
    bool inModal = false;
    int modalResult = -1;
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t wParam, std::intptr_t) {
        if (message == MSG_TEST) {
            inModal = true;
            modalResult = loop.RunModal();  // a message box the user is reading
            inModal = false;
        } else if (message == OWNER_MSG_TIMER && wParam == 1 && inModal) {
            if (++ticksInModal == 20)
                loop.EndModal(7);
        }
        return std::intptr_t{0};
    });
    window.SetOwnerTimer(1, 1);
    window.PostOwnerMessage(MSG_TEST, 0, 0);
    ASSERT_TRUE(loop.RunUntil([&] { return modalResult != -1; }, 5s));
    EXPECT_EQ(modalResult, 7);
    EXPECT_EQ(ticksInModal, 20);
}

TEST(MessageLoopTest, DeliverSentMessagesServesSendsOnly)
{
    MessageLoop loop;
    std::vector<unsigned> handled;
    LoopWindow window(loop, [&](unsigned message, std::uintptr_t, std::intptr_t) {
        handled.push_back(message);
        return std::intptr_t{0};
    });
    window.PostOwnerMessage(MSG_OTHER, 0, 0);
    window.SetOwnerTimer(1, 1);
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        window.SendOwnerMessage(MSG_TEST, 0, 0);
        sent = true;
    });
    for (int i = 0; i < 5000 && !sent; ++i)
        window.DeliverSentMessages(1);
    sender.join();
    EXPECT_EQ(handled, std::vector<unsigned>{MSG_TEST});
    window.KillOwnerTimer(1);
}

TEST(MessageLoopTest, DestroyedWindowAnswersSendsWithZeroWithoutItsHandler)
{
    MessageLoop loop;
    int calls = 0;
    LoopWindow window(loop, [&](unsigned, std::uintptr_t, std::intptr_t) {
        ++calls;
        return std::intptr_t{5};
    });
    EXPECT_EQ(window.SendOwnerMessage(MSG_TEST, 0, 0), 5);
    std::atomic<std::intptr_t> result{-1};
    std::thread sender([&] { result = window.SendOwnerMessage(MSG_TEST, 0, 0); });
    // The send waits for the loop; destroying the window answers it.
    while (result == -1 && calls == 1) {
        std::this_thread::sleep_for(1ms);
        window.Destroy();
    }
    sender.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(window.SendOwnerMessage(MSG_TEST, 0, 0), 0);
    EXPECT_FALSE(window.PostOwnerMessage(MSG_TEST, 0, 0));
}

TEST(MessageLoopTest, QuitFromAnotherThreadEndsRunWithItsCode)
{
    MessageLoop loop;
    LoopWindow window(loop, [](unsigned, std::uintptr_t, std::intptr_t) { return std::intptr_t{0}; });
    std::thread quitter([&] {
        std::this_thread::sleep_for(20ms);
        loop.Quit(3);
    });
    EXPECT_EQ(loop.Run(), 3);
    quitter.join();
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 10ms));  // Run reset the request
}

TEST(MessageLoopTest, WatchedDescriptorCallsBackOnInput)
{
    MessageLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string got;
    loop.WatchReadable(fds[0], [&] {
        char c;
        if (read(fds[0], &c, 1) == 1)
            got.push_back(c);
    });
    ASSERT_EQ(write(fds[1], "k", 1), 1);
    EXPECT_TRUE(loop.RunUntil([&] { return !got.empty(); }, 2s));
    EXPECT_EQ(got, "k");
    loop.UnwatchReadable(fds[0]);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace

namespace {

TEST(MessageLoopTest, HandlersOfCrossThreadSendsKnowWhichThreadIsWaiting)
{
    // The serial engine's debug check against waiting for the monitor from inside its
    // own hand-over relies on this mark.
    MessageLoop loop;
    std::thread::id sender;
    std::vector<bool> servingSender, servingOther;
    LoopWindow window(loop, [&](unsigned, std::uintptr_t, std::intptr_t) {
        servingSender.push_back(HandOverMark::IsServing(sender));
        servingOther.push_back(HandOverMark::IsServing(std::this_thread::get_id()));
        return std::intptr_t{0};
    });
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        const std::uint8_t bytes[] = {1, 2};
        window.SendOwnerBytes(MSG_TEST, bytes, sizeof bytes, 0);
        window.SendOwnerMessage(MSG_OTHER, 0, 0);
        done = true;
    });
    sender = monitor.get_id();
    ASSERT_TRUE(loop.RunUntil([&] { return done.load(); }, 5s));
    monitor.join();
    EXPECT_EQ(servingSender, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(servingOther, (std::vector<bool>{false, false, false}));

    // Outside a hand-over, and for a send from the loop's own thread, nothing is marked.
    EXPECT_FALSE(HandOverMark::IsServing(sender));
    window.SendOwnerMessage(MSG_TEST, 0, 0);
    EXPECT_FALSE(servingSender.back());
}

}  // namespace
