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

}  // namespace zel
