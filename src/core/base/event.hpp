#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/byte_order.hpp"

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

// The first 8 bytes of a packed record (x, y, t) as one little-endian word:
// decoders that keep x, y and t in a register store a record in two writes.
constexpr std::uint64_t packed_head(std::uint64_t x, std::uint64_t y, std::uint64_t t) {
    return x | (y << 16) | (t << 32);
}

// The one writer of the packed record layout.
inline void store_packed(std::uint8_t* out, std::uint64_t head, std::uint8_t p) {
    store_le64(out, head);
    out[8] = p;
}
inline void store_packed(const Event& e, std::uint8_t* out) {
    store_packed(out, packed_head(e.x, e.y, e.t), e.p);
}

inline Event load_packed_event(const std::uint8_t* r) {
    return Event{load_le16(r), load_le16(r + 2), load_le32(r + 4), r[8]};
}

// A read-only view of packed event records owned by someone else (a NumPy
// array, a mapped file). Records are read with unaligned loads.
class PackedEvents {
public:
    PackedEvents() = default;
    PackedEvents(const std::uint8_t* bytes, std::size_t count) : bytes_(bytes), count_(count) {}

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const std::uint8_t* data() const { return bytes_; }

    Event operator[](std::size_t i) const { return load_packed_event(bytes_ + i * kPackedEventBytes); }

private:
    const std::uint8_t* bytes_ = nullptr;
    std::size_t count_ = 0;
};

// The records as Event values, for code that works on an EventList.
inline EventList unpack_events(PackedEvents events) {
    EventList out;
    out.reserve(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) out.push_back(events[i]);
    return out;
}

}  // namespace zel
