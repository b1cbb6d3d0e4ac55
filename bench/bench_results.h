// What every benchmark shares for its RESULT lines: a clock, the seconds since a moment, and the
// median of the timed runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
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

// `size` bytes of fixed pseudo-random data (an attachment that does not compress), written in
// blocks so the file never sits in memory.
inline void writeRandomFile(const std::string& path, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 gen(2024);
    std::string block(1 << 16, '\0');
    for (std::size_t done = 0; done < size;) {
        for (std::size_t i = 0; i + 8 <= block.size(); i += 8) {
            const std::uint64_t v = gen();
            std::memcpy(block.data() + i, &v, 8);
        }
        const std::size_t n = std::min(block.size(), size - done);
        out.write(block.data(), static_cast<std::streamsize>(n));
        done += n;
    }
}

} // namespace tavik::bench
