// Import slots for the functions newer than Windows XP that the static runtime calls.
//
// The programs link the thread library of the mingw-w64 toolchain (winpthreads, which
// std::thread, std::mutex and std::condition_variable sit on) statically, and its
// timed waits call GetTickCount64, which Windows has only from Vista on. A program
// that imports it does not start on XP: the loader refuses it before main.
//
// The library calls through an import slot, the pointer `__imp_GetTickCount64`
// (`__imp__GetTickCount64@0` on i686) that an import library would otherwise
// provide. Win32ImportFallbacks.cpp defines that slot itself, and the top
// CMakeLists.txt links that object into every Windows executable, ahead of all
// libraries, so the linker takes the slot from it and never pulls kernel32's entry
// for GetTickCount64 into the import table. The slot starts at a resolver: the first
// call looks GetTickCount64 up in kernel32.dll and puts it in the slot, or, on XP,
// puts in a 64-bit count extended from GetTickCount.
//
// Should a library ever call GetTickCount64 by its plain name, the linker pulls
// kernel32's entry after all, which defines the slot a second time: the link fails
// instead of producing a program that doesn't start.
//
// Classes in this file: TickCountExtender.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// A 64-bit millisecond count made of a 32-bit one that wraps every 49.7 days:
// each reading adds the time since the one before it. Readings are taken under a
// spin lock, so that they are counted in the order they were read (an earlier
// reading counted after a later one would look like a wrap). A gap of more than
// 49.7 days between two calls loses whole wraps. Constant-initialised: usable
// before any constructor of the program has run.
class TickCountExtender {
public:
    using Reader = std::uint32_t (*)();

    // The count after `read()`'s reading; the first call returns that reading.
    std::uint64_t Next(Reader read);

private:
    std::atomic_flag m_lock;  // held while reading and counting
    std::uint32_t m_nLastReading = 0;
    std::uint64_t m_nCount = 0;
};

// GetTickCount extended to 64 bits: what the slot holds where kernel32 has no
// GetTickCount64.
ULONGLONG WINAPI ExtendedTickCount64();

using TickCount64Function = ULONGLONG(WINAPI*)();

#if defined(__i386__)
#define SUITE_TICKCOUNT64_SLOT "__imp__GetTickCount64@0"
#else
#define SUITE_TICKCOUNT64_SLOT "__imp_GetTickCount64"
#endif
// The import slot the thread library calls GetTickCount64 through.
extern "C" TickCount64Function g_pfnGetTickCount64Slot __asm__(SUITE_TICKCOUNT64_SLOT);
