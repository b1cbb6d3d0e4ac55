// What every benchmark shares for its RESULT lines: a clock, the seconds since a moment, and the
// median of the timed runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace tavik::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The median of the runs; 0 for none.
inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace tavik::bench
