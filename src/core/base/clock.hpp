#pragma once

#include <chrono>
#include <cstdint>

namespace zel {

using MonotonicClock = std::chrono::steady_clock;

// Whole microseconds, truncated; a negative interval counts as 0.
inline std::uint64_t whole_microseconds(MonotonicClock::duration d) {
    if (d < MonotonicClock::duration::zero()) return 0;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(d).count());
}

inline std::uint64_t microseconds_since(MonotonicClock::time_point start) {
    return whole_microseconds(MonotonicClock::now() - start);
}

}  // namespace zel
