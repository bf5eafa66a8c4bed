#include "platform/win32/Win32ImportFallbacks.h"

namespace {

std::uint32_t ReadTickCount()
{
    return GetTickCount();
}

constinit TickCountExtender g_extendedTickCount;

// The slot's first value: finds the function the slot is to hold, stores it there for
// every later call, and runs it for this one. Threads that race here store the same
// value.
ULONGLONG WINAPI ResolveTickCount64()
{
    auto system = reinterpret_cast<TickCount64Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount64")));
    const TickCount64Function chosen = system ? system : &ExtendedTickCount64;
    std::atomic_ref<TickCount64Function>(g_pfnGetTickCount64Slot).store(chosen, std::memory_order_release);
    return chosen();
}

}  // namespace

std::uint64_t TickCountExtender::Next(Reader read)
{
    // Held for one GetTickCount and two additions: spin, and let the holder run when
    // it was preempted.
    for (unsigned tries = 1; m_lock.test_and_set(std::memory_order_acquire); ++tries)
        Sleep(tries % 64 == 0 ? 1 : 0);
    const std::uint32_t reading = read();
    m_nCount += static_cast<std::uint32_t>(reading - m_nLastReading);  // modulo 2^32: across a wrap too
    m_nLastReading = reading;
    const std::uint64_t count = m_nCount;
    m_lock.clear(std::memory_order_release);
    return count;
}

ULONGLONG WINAPI ExtendedTickCount64()
{
    return g_extendedTickCount.Next(&ReadTickCount);
}

// Defined here, with the import's own symbol name; [[gnu::used]] keeps it in the
// object even though nothing in this file reads it.
[[gnu::used]] constinit TickCount64Function g_pfnGetTickCount64Slot = &ResolveTickCount64;
