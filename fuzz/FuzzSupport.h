// What the fuzz targets share: the invariant check that stops a run, and the reading
// of the hex digits that frames carry.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzFail(const char* condition, const char* what)
{
    std::fprintf(stderr, "invariant broken: %s (%s)\n", what, condition);
    std::abort();
}

// FUZZ_CHECK(condition) or FUZZ_CHECK(condition, "what it means"): aborts the run,
// which libFuzzer reports as a crash with the input that caused it.
#define FUZZ_CHECK(condition, ...)                        \
    do {                                                  \
        if (!(condition))                                 \
            FuzzFail(#condition, "" __VA_ARGS__);         \
    } while (0)

// The value of an upper-case hex digit, or -1 for any other byte.
inline int HexValue(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
