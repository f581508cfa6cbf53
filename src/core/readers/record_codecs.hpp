#pragma once

#include <cstddef>
#include <cstdint>

#include "base/event.hpp"

namespace zel {

// Fixed-size record layouts decoded straight into packed 9-byte event
// records (event.hpp), so readers never build an EventList they would only
// copy again.
inline constexpr std::size_t kNmnistRecordBytes = 5;
inline constexpr std::size_t kAedat2RecordBytes = 8;

inline void store_packed(const Event& e, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(e.x);
    out[1] = static_cast<std::uint8_t>(e.x >> 8);
    out[2] = static_cast<std::uint8_t>(e.y);
    out[3] = static_cast<std::uint8_t>(e.y >> 8);
    out[4] = static_cast<std::uint8_t>(e.t);
    out[5] = static_cast<std::uint8_t>(e.t >> 8);
    out[6] = static_cast<std::uint8_t>(e.t >> 16);
    out[7] = static_cast<std::uint8_t>(e.t >> 24);
    out[8] = e.p;
}

// `count` records from `in` to `count` packed records at `out`.
void decode_nmnist_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out);
void decode_aedat2_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out);

}  // namespace zel
