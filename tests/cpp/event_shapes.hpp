#pragma once

// Event sets shaped to reach every path of the occupancy coder: uniform,
// clustered, hot pixels, extreme coordinates and timestamps, one timestamp.
// Shared by the differential tests of both codecs.

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "base/event.hpp"

namespace zel {

using Bytes = std::vector<std::uint8_t>;

enum class Shape { Uniform, Clustered, HotPixels, ExtremeCoords, ExtremeTimes, SameTime };

inline const char* name_of(Shape s) {
    switch (s) {
        case Shape::Uniform: return "uniform";
        case Shape::Clustered: return "clustered";
        case Shape::HotPixels: return "hot pixels";
        case Shape::ExtremeCoords: return "extreme coordinates";
        case Shape::ExtremeTimes: return "extreme timestamps";
        case Shape::SameTime: return "one timestamp";
    }
    return "?";
}

struct Grid {
    std::uint16_t width, height, time_bins;
};

inline EventList make_events(std::mt19937_64& rng, Shape shape, std::size_t n, const Grid& g) {
    // Coordinates reach a little past the requested size, where clamping applies.
    const auto coord = [&](std::uint16_t size) {
        return static_cast<std::uint16_t>(rng() % (std::uint64_t{size} + 3));
    };
    EventList events(n);
    const std::uint16_t cx = coord(g.width);
    const std::uint16_t cy = coord(g.height);
    for (std::size_t i = 0; i < n; ++i) {
        Event& e = events[i];
        e.p = static_cast<std::uint8_t>(rng());
        e.t = static_cast<std::uint32_t>(1000 + rng() % 50'000);
        switch (shape) {
            case Shape::Uniform:
                e.x = coord(g.width);
                e.y = coord(g.height);
                break;
            case Shape::Clustered:
                e.x = static_cast<std::uint16_t>(std::min<std::uint64_t>(cx + rng() % 5, 65535));
                e.y = static_cast<std::uint16_t>(std::min<std::uint64_t>(cy + rng() % 5, 65535));
                break;
            case Shape::HotPixels:
                e.x = static_cast<std::uint16_t>((rng() % 4) * (g.width / 4));
                e.y = static_cast<std::uint16_t>((rng() % 4) * (g.height / 4));
                break;
            case Shape::ExtremeCoords:
                e.x = rng() % 2 ? 0 : 65535;
                e.y = rng() % 2 ? 0 : 65535;
                break;
            case Shape::ExtremeTimes:
                e.x = coord(g.width);
                e.y = coord(g.height);
                e.t = rng() % 3 == 0 ? 0 : (rng() % 2 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rng()));
                break;
            case Shape::SameTime:
                e.x = coord(g.width);
                e.y = coord(g.height);
                e.t = 77;
                break;
        }
    }
    return events;
}

inline Bytes pack(const EventList& events) {
    Bytes records;
    for (const Event& e : events) {
        const std::uint8_t r[9] = {
            static_cast<std::uint8_t>(e.x), static_cast<std::uint8_t>(e.x >> 8),
            static_cast<std::uint8_t>(e.y), static_cast<std::uint8_t>(e.y >> 8),
            static_cast<std::uint8_t>(e.t), static_cast<std::uint8_t>(e.t >> 8),
            static_cast<std::uint8_t>(e.t >> 16), static_cast<std::uint8_t>(e.t >> 24), e.p};
        records.insert(records.end(), r, r + 9);
    }
    return records;
}

}  // namespace zel
