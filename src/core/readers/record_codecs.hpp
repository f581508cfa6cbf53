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

// `count` records from `in` to `count` packed records at `out`.
void decode_nmnist_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out);
void decode_aedat2_records(const std::uint8_t* in, std::size_t count, std::uint8_t* out);

}  // namespace zel
