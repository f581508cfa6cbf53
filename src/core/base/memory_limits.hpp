#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "base/result.hpp"

namespace zel {

// User address space of mainstream 64-bit platforms (x86-64 and AArch64 with
// 4-level page tables). A request beyond it can never be satisfied, so it is
// refused with std::bad_alloc before the allocator is even asked.
inline constexpr std::uint64_t kAddressSpaceBytes =
    std::min<std::uint64_t>(std::uint64_t{1} << 47, std::numeric_limits<std::size_t>::max());

// Installed physical memory in bytes, or 0 when the system does not say. A
// request whose smallest possible footprint exceeds it would only thrash
// the machine for a long time before failing, so callers refuse it up front.
std::uint64_t physical_memory_bytes();

// Refuses, before any work is done, a request for `count` items (frames,
// blocks) of which each costs at least `min_bytes_each` bytes when together
// they could never fit in installed memory (the address space when the
// system does not say). The OutOfMemory error names the count as
// `count_name` and an item as `item_name`:
//   "n_frames 1000000000 needs at least 188 bytes per frame, more than the
//    16777216000 bytes of memory this machine has"
Status check_memory_footprint(std::uint64_t count, std::uint64_t min_bytes_each,
                              std::string_view count_name, std::string_view item_name);

}  // namespace zel
