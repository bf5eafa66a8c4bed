// What the fuzz targets share: the invariant check that stops a run.
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
#define FUZZ_CHECK(condition, ...)                                                                                     \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            FuzzFail(#condition, "" __VA_ARGS__);                                                                      \
    } while (0)
