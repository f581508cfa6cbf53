#include "base/memory_limits.hpp"

#include <string>
#include <utility>

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

Status check_memory_footprint(std::uint64_t count, std::uint64_t min_bytes_each,
                              std::string_view count_name, std::string_view item_name) {
    const std::uint64_t memory = physical_memory_bytes();
    const std::uint64_t limit = memory != 0 ? memory : kAddressSpaceBytes;
    if (min_bytes_each == 0 || count <= limit / min_bytes_each) return kOk;
    std::string message(count_name);
    message.append(" ").append(std::to_string(count)).append(" needs at least ");
    message.append(std::to_string(min_bytes_each)).append(" bytes per ").append(item_name);
    message.append(", more than the ").append(std::to_string(limit));
    message.append(memory != 0 ? " bytes of memory this machine has" : " bytes of address space");
    return Error::out_of_memory(std::move(message));
}

}  // namespace zel
