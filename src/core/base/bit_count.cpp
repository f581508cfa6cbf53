#include "base/bit_count.hpp"

#include <bit>
#include <cstring>

namespace zel {

namespace {

// Inlined into each caller so that the caller's instruction set decides how
// std::popcount is compiled.
[[gnu::always_inline]] inline std::uint64_t count_words(const std::uint8_t* data, std::size_t bytes) {
    std::uint64_t ones = 0;
    std::size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, sizeof word);
        ones += static_cast<unsigned>(std::popcount(word));
    }
    for (; i < bytes; ++i) ones += static_cast<unsigned>(std::popcount(data[i]));
    return ones;
}

std::uint64_t count_portable(const std::uint8_t* data, std::size_t bytes) {
    return count_words(data, bytes);
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("popcnt"))) std::uint64_t count_by_instruction(const std::uint8_t* data,
                                                                       std::size_t bytes) {
    return count_words(data, bytes);
}

#endif

}  // namespace

bool has_popcount_instruction() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("popcnt") != 0;
    }();
    return has;
#else
    return false;
#endif
}

std::uint64_t count_set_bits(const std::uint8_t* data, std::size_t bytes) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_popcount_instruction()) return count_by_instruction(data, bytes);
#endif
    return count_portable(data, bytes);
}

}  // namespace zel
