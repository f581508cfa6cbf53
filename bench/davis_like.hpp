#pragma once

// The benchmarks' synthetic recording: three bars sweeping across a
// 346 x 260 sensor, sixteen hot pixels and uniform noise, timestamps rising
// evenly over one second. Every event comes from a splitmix64 hash of its
// index, so bench_zel.py builds exactly the same stream with NumPy.

#include <cstddef>
#include <cstdint>

#include "base/event.hpp"

namespace zel::bench {

inline std::uint64_t splitmix64(std::uint64_t z) {
    z += 0x9E3779B97F4A7C15u;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

inline EventList davis_like(std::size_t n, std::uint32_t width = 346, std::uint32_t height = 260,
                            std::uint64_t duration_us = 1'000'000) {
    constexpr std::uint64_t kStart[3] = {40, 300, 170};
    constexpr std::uint64_t kSpeed[3] = {120, 200, 310};  // pixels per second
    EventList events(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t h1 = splitmix64(i);
        const std::uint64_t h2 = splitmix64(i ^ 0xD1B54A32D192ED03u);
        const std::uint64_t t = i * duration_us / n;
        const std::uint64_t pick = h1 % 100;
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        if (pick < 70) {
            const std::uint64_t bar = (h1 >> 8) % 3;
            const std::uint64_t centre = (kStart[bar] + kSpeed[bar] * t / 1'000'000) % width;
            const std::uint64_t jitter = (h2 & 15) + ((h2 >> 4) & 15);  // 0..30, centred on 15
            x = (centre + width + jitter / 2 - 7) % width;
            y = (30 + bar * height / 4 + (h2 >> 8) % (height / 4)) % height;
        } else if (pick < 80) {
            const std::uint64_t hot = (h1 >> 8) % 16;
            x = (hot * 97 + 13) % width;
            y = (hot * 61 + 7) % height;
        } else {
            x = h2 % width;
            y = (h2 >> 20) % height;
        }
        events[i] = {static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y),
                     static_cast<std::uint32_t>(t), static_cast<std::uint8_t>((h2 >> 40) & 1)};
    }
    return events;
}

}  // namespace zel::bench
