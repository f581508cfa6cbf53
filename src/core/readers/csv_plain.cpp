#include "readers/csv_plain.hpp"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>  // part of every x86-64 target, no dispatch needed
#endif

#include "base/event.hpp"

namespace zel {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

// Eight bytes with the first at the lowest address in the lowest byte.
inline std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

#if defined(__SSE2__)

// One bit per byte of the 32 bytes at `p`, set where the byte is not an
// ASCII digit: byte - '0' is a digit when at most 9, unsigned.
inline std::uint32_t non_digit_marks(const std::uint8_t* p) {
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i lo = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero);
    const __m128i hi =
        _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), zero);
    const auto digits = [&](__m128i v) {
        return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, nine), v)));
    };
    return ~(digits(lo) | (digits(hi) << 16));
}

#else

// The same from four words: a byte xored with '0' is a digit when it is at
// most 9; each test sets the byte's top bit without carrying into its
// neighbour, and the multiply gathers the eight top bits into one byte.
inline std::uint32_t non_digit_bits(std::uint64_t word) {
    const std::uint64_t d = word ^ (0x30 * kOnes);
    const std::uint64_t top =
        (((d & (0x70 * kOnes)) + 0x70 * kOnes) | ((d & (0x0F * kOnes)) + 0x76 * kOnes) | d) &
        (0x80 * kOnes);
    return static_cast<std::uint32_t>(((top >> 7) * 0x0102040810204080ULL) >> 56);
}

inline std::uint32_t non_digit_marks(const std::uint8_t* p) {
    return non_digit_bits(load_word(p)) | (non_digit_bits(load_word(p + 8)) << 8) |
           (non_digit_bits(load_word(p + 16)) << 16) | (non_digit_bits(load_word(p + 24)) << 24);
}

#endif

// A packed record (event.hpp) in two stores rather than nine.
inline void store_record(std::uint64_t x, std::uint64_t y, std::uint64_t t, std::uint64_t p,
                         std::uint8_t* out) {
    std::uint64_t head = x | (y << 16) | (t << 32);
    if constexpr (std::endian::native == std::endian::big) head = __builtin_bswap64(head);
    std::memcpy(out, &head, sizeof head);
    out[8] = static_cast<std::uint8_t>(p);
}

// The value of the `count` (1 to 8) digits starting at `p`. Shifted to the
// top of the word they read as an eight-digit number with leading zeros;
// pairs, then quads, then the two halves are combined.
inline std::uint64_t digits_value(const std::uint8_t* p, unsigned count) {
    std::uint64_t v = ((load_word(p) ^ (0x30 * kOnes)) << (8 * (8 - count))) & (0x0F * kOnes);
    v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFULL;
    v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFULL;
    return (v * 10000 + (v >> 32)) & 0xFFFFFFFFULL;
}

}  // namespace

PlainCsvRun parse_plain_csv_lines(const std::uint8_t* data, std::size_t size,
                                  std::size_t max_events, std::uint8_t* out) {
    static_assert(kPlainCsvLookahead == 32, "one 32-bit mask marks the whole window");
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + size;
    std::size_t events = 0;
    while (events < max_events && static_cast<std::size_t>(end - p) >= kPlainCsvLookahead) {
        // Where the first four non-digits of the next 32 bytes are decides
        // the shape of the line, before any number is converted; the four
        // conversions then do not wait on one another.
        std::uint32_t marks = non_digit_marks(p);
        const unsigned s0 = static_cast<unsigned>(std::countr_zero(marks));
        marks &= marks - 1;
        const unsigned s1 = static_cast<unsigned>(std::countr_zero(marks));
        marks &= marks - 1;
        const unsigned s2 = static_cast<unsigned>(std::countr_zero(marks));
        marks &= marks - 1;
        const unsigned s3 = static_cast<unsigned>(std::countr_zero(marks));
        // Digit counts per column, unsigned so an empty field wraps and fails;
        // at most 5 + 5 + 10 + 3 digits put s3 at byte 26, inside the window.
        const unsigned nx = s0, ny = s1 - s0 - 1, nt = s2 - s1 - 1, np = s3 - s2 - 1;
        if (nx - 1 >= 5 || ny - 1 >= 5 || nt - 1 >= 10 || np - 1 >= 3) break;
        if (p[s0] != ',' || p[s1] != ',' || p[s2] != ',') break;
        unsigned line_bytes = s3 + 1;
        if (p[s3] != '\n') {
            if (p[s3] != '\r' || p[s3 + 1] != '\n') break;
            line_bytes = s3 + 2;
        }
        const std::uint64_t x = digits_value(p, nx);
        const std::uint64_t y = digits_value(p + s0 + 1, ny);
        const std::uint8_t* const t_digits = p + s1 + 1;
        const std::uint64_t t = nt <= 8 ? digits_value(t_digits, nt)
                                        : digits_value(t_digits, nt - 8) * 100000000 +
                                              digits_value(t_digits + nt - 8, 8);
        const std::uint64_t pol = digits_value(p + s2 + 1, np);
        // Too large for its column: the general parser reports it.
        if (x > 0xFFFF || y > 0xFFFF || t > 0xFFFFFFFFULL || pol > 0xFF) break;
        store_record(x, y, t, pol, out + events * kPackedEventBytes);
        ++events;
        p += line_bytes;
    }
    return {static_cast<std::size_t>(p - data), events};
}

}  // namespace zel
