// The progress bar's position, computed one way for every tool: the width of the
// bar's range times the steps done over the steps in all, with truncating integer
// division. Pure computation, no I/O.
#pragma once

#include <algorithm>

// (upper - lower) x done / total. `done` is clamped to 0..total, so that a stray
// acknowledgement or an image replaced in the middle of a run never takes the bar past
// its end; 0 when there are no steps.
inline int BarPosition(int lower, int upper, long long done, long long total)
{
    if (total <= 0)
        return 0;
    const long long span = static_cast<long long>(upper) - lower;
    return static_cast<int>(span * std::clamp(done, 0LL, total) / total);
}
