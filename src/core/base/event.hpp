#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// Size of one packed event record: x (u16), y (u16), t (u32), p (u8), little
// endian, no padding. It is the .evb file record and zelkit's array layout.
inline constexpr std::size_t kPackedEventBytes = 9;

// A read-only view of packed event records owned by someone else (a NumPy
// array, a mapped file). Records are read with unaligned loads.
class PackedEvents {
public:
    PackedEvents() = default;
    PackedEvents(const std::uint8_t* bytes, std::size_t count) : bytes_(bytes), count_(count) {}

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const std::uint8_t* data() const { return bytes_; }

    Event operator[](std::size_t i) const {
        const std::uint8_t* r = bytes_ + i * kPackedEventBytes;
        Event e;
        e.x = static_cast<std::uint16_t>(r[0] | (r[1] << 8));
        e.y = static_cast<std::uint16_t>(r[2] | (r[3] << 8));
        e.t = static_cast<std::uint32_t>(r[4]) | (static_cast<std::uint32_t>(r[5]) << 8) |
              (static_cast<std::uint32_t>(r[6]) << 16) | (static_cast<std::uint32_t>(r[7]) << 24);
        e.p = r[8];
        return e;
    }

private:
    const std::uint8_t* bytes_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace zel
