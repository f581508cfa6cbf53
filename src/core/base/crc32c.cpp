#include "base/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <nmmintrin.h>
#endif

namespace zel {

namespace {

// Slicing-by-8: eight derived tables let the loop consume eight bytes per
// step, which keeps checksumming well below the cost of decoding a frame.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_tables() {
    CrcTables tables{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        tables[0][i] = c;
    }
    for (std::size_t t = 1; t < 8; ++t) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            const std::uint32_t prev = tables[t - 1][i];
            tables[t][i] = (prev >> 8) ^ tables[0][prev & 0xFFu];
        }
    }
    return tables;
}

constexpr CrcTables kTables = make_tables();

#if defined(__x86_64__) && defined(__GNUC__)
// SSE 4.2's crc32 instruction computes this very checksum, eight bytes a
// step: three to four times the table loop's speed, which matters where a
// decoder checks every byte it reads.
__attribute__((target("sse4.2"))) std::uint32_t crc32c_by_instruction(std::span<const std::uint8_t> data,
                                                                       std::uint32_t crc) {
    std::uint64_t c = ~crc;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        c = _mm_crc32_u64(c, word);
    }
    auto c32 = static_cast<std::uint32_t>(c);
    for (; n > 0; ++p, --n) c32 = _mm_crc32_u8(c32, *p);
    return ~c32;
}

bool has_crc32_instruction() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.2") != 0;
    }();
    return has;
}
#endif

}  // namespace

std::uint32_t crc32c(std::span<const std::uint8_t> data, std::uint32_t crc) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (has_crc32_instruction()) return crc32c_by_instruction(data, crc);
#endif
    return crc32c_portable(data, crc);
}

std::uint32_t crc32c_portable(std::span<const std::uint8_t> data, std::uint32_t crc) {
    std::uint32_t c = ~crc;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    while (n >= 8) {
        const std::uint32_t lo = c ^ (static_cast<std::uint32_t>(p[0]) |
                                      (static_cast<std::uint32_t>(p[1]) << 8) |
                                      (static_cast<std::uint32_t>(p[2]) << 16) |
                                      (static_cast<std::uint32_t>(p[3]) << 24));
        c = kTables[7][lo & 0xFFu] ^ kTables[6][(lo >> 8) & 0xFFu] ^
            kTables[5][(lo >> 16) & 0xFFu] ^ kTables[4][lo >> 24] ^ kTables[3][p[4]] ^
            kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFFu];
    return ~c;
}

}  // namespace zel
