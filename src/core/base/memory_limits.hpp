#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

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

}  // namespace zel
