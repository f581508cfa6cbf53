#include "base/memory_limits.hpp"

#include <unistd.h>

namespace zel {

std::uint64_t physical_memory_bytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) {
        return 0;
    }
    const auto n = static_cast<std::uint64_t>(pages);
    const auto size = static_cast<std::uint64_t>(page_size);
    return n > std::numeric_limits<std::uint64_t>::max() / size ? 0 : n * size;
}

}  // namespace zel
