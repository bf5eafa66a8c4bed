// The GetTickCount64 import slot that keeps the thread library's Vista-only import out
// of the programs: the 32-bit count extended across its wrap, also with several
// threads reading at once, and the slot's resolution to kernel32's function.
#include "platform/win32/Win32ImportFallbacks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A 32-bit clock the tests set: each reading returns the next value of `g_script`.
std::vector<std::uint32_t> g_script;
std::size_t g_nextReading = 0;
std::uint32_t ScriptedReading()
{
    return g_script.at(g_nextReading++);
}

std::vector<std::uint64_t> CountsFor(std::vector<std::uint32_t> readings)
{
    g_script = std::move(readings);
    g_nextReading = 0;
    TickCountExtender extender;
    std::vector<std::uint64_t> counts;
    for (std::size_t i = 0; i < g_script.size(); ++i)
        counts.push_back(extender.Next(&ScriptedReading));
    return counts;
}

constexpr std::uint64_t WRAP = std::uint64_t{1} << 32;

TEST(TickCountExtenderTest, CountsOnAcrossEachWrapOfTheThirtyTwoBitCount)
{
    // The first reading is the start; a smaller reading after a larger one is a wrap.
    EXPECT_EQ(CountsFor({1000, 1500, 0xFFFFFFF0u, 0x10, 0x20}),
              (std::vector<std::uint64_t>{1000, 1500, 0xFFFFFFF0u, WRAP + 0x10, WRAP + 0x20}));
    // Readings just under 49.7 days apart: every step a wrap further on.
    const std::uint32_t step = 0xFFFFFFFFu;
    EXPECT_EQ(CountsFor({5, 5 + step, 5 + 2 * step, 5 + 3 * step}),
              (std::vector<std::uint64_t>{5, 5 + std::uint64_t{step}, 5 + 2 * std::uint64_t{step},
                                          5 + 3 * std::uint64_t{step}}));
    // An unchanged reading counts nothing (the count does not run ahead on its own).
    EXPECT_EQ(CountsFor({7, 7, 7}), (std::vector<std::uint64_t>{7, 7, 7}));
}

// A clock that moves one millisecond at each reading, shared by all threads. It lets
// the other threads run after each reading, as a preempted thread would.
std::atomic<std::uint32_t> g_sharedClock{0};
std::uint32_t SharedReading()
{
    const std::uint32_t reading = g_sharedClock.fetch_add(1) + 1;
    Sleep(0);
    return reading;
}

TEST(TickCountExtenderTest, ThreadsReadingAtOnceNeverSeeATimeJumpOrGoBack)
{
    // Each reading is counted in the order it was taken: together the threads see every
    // count from the start on exactly once, and each thread's counts rise. A reading
    // counted after a later one would show as a jump of a whole wrap.
    constexpr std::uint32_t START = 0xFFFFF000u;  // the wrap comes after 4096 readings
    constexpr unsigned THREADS = 4;
    constexpr unsigned CALLS = 5000;
    g_sharedClock.store(START - 1);
    TickCountExtender extender;
    ASSERT_EQ(extender.Next(&SharedReading), START);
    std::vector<std::vector<std::uint64_t>> seen(THREADS);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (unsigned i = 0; i < CALLS; ++i)
                seen[t].push_back(extender.Next(&SharedReading));
        });
    for (auto& thread : threads)
        thread.join();
    std::vector<std::uint64_t> all;
    for (const auto& counts : seen) {
        EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
        EXPECT_TRUE(std::adjacent_find(counts.begin(), counts.end()) == counts.end()) << "a count seen twice";
        all.insert(all.end(), counts.begin(), counts.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), std::size_t{THREADS} * CALLS);
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(all[i], std::uint64_t{START} + 1 + i) << "at the " << i << "th count";
    EXPECT_GT(all.back(), WRAP);
}

TEST(TickCountFallbackTest, FollowsGetTickCount)
{
    // The fallback is GetTickCount with the wraps counted: its low 32 bits are
    // GetTickCount's reading, and it never goes back.
    std::uint64_t previous = ExtendedTickCount64();
    for (int i = 0; i < 20; ++i) {
        const DWORD before = GetTickCount();
        const std::uint64_t count = ExtendedTickCount64();
        const DWORD after = GetTickCount();
        EXPECT_GE(count, previous);
        EXPECT_LE(static_cast<DWORD>(static_cast<DWORD>(count) - before), static_cast<DWORD>(after - before));
        previous = count;
        Sleep(1);
    }
}

TEST(TickCount64SlotTest, HoldsKernelsFunctionOnceCalledWhereTheSystemHasOne)
{
    auto system = reinterpret_cast<TickCount64Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
    if (!system)
        GTEST_SKIP() << "this system has no GetTickCount64 (Windows XP): the slot runs the fallback";
    // Through the slot as the thread library calls it: the first call resolves it.
    const ULONGLONG viaSlot = g_pfnGetTickCount64Slot();
    const ULONGLONG direct = system();
    EXPECT_LE(viaSlot, direct);
    EXPECT_LT(direct - viaSlot, 1000u);
    EXPECT_EQ(g_pfnGetTickCount64Slot, system);
}

TEST(TickCount64SlotTest, TimedWaitsOfTheThreadLibraryEndAfterTheTimeAsked)
{
    // A timed lock and a timed condition wait end in the thread library's timed waits,
    // which read the time through the slot.
    using namespace std::chrono_literals;
    std::timed_mutex timed;
    timed.lock();
    std::thread other([&] {
        const DWORD start = GetTickCount();
        EXPECT_FALSE(timed.try_lock_for(60ms));
        const DWORD waited = GetTickCount() - start;
        EXPECT_GE(waited, 45u);
        EXPECT_LT(waited, 5000u);
    });
    other.join();
    timed.unlock();

    std::mutex mutex;
    std::condition_variable condition;
    std::unique_lock lock(mutex);
    const DWORD start = GetTickCount();
    EXPECT_EQ(condition.wait_for(lock, 60ms), std::cv_status::timeout);
    const DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 45u);
    EXPECT_LT(waited, 5000u);
}

}  // namespace
