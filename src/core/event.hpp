#pragma once

#include <cstdint>
#include <vector>

namespace zel {

// One camera event. Field order matches the Python constructor: x, y, t, p.
struct Event {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::uint32_t t = 0;  // microseconds
    std::uint8_t p = 0;   // polarity, any byte value

    friend bool operator==(const Event&, const Event&) = default;
};

// Events in input or file order; nothing in the library reorders them.
using EventList = std::vector<Event>;

}  // namespace zel
