#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel {

inline constexpr std::uint32_t PROB_BITS = 12;
inline constexpr std::uint32_t PROB_SCALE = 1u << PROB_BITS;
inline constexpr std::uint32_t RANS_L = 0x800000;

// Stream layout: p_zero (u16 LE), final state (u32 LE), then the
// renormalisation bytes in the order the decoder consumes them.
using RansStream = std::vector<std::uint8_t>;
inline constexpr std::size_t kRansHeaderBytes = sizeof(std::uint16_t) + sizeof(std::uint32_t);

// Exact x / f for the coder's frequencies (1 <= f <= 4095) and states below
// 2^31, by one multiplication: with l = ceil(log2 f), s = 31 + l and
// m = ceil(2^s / f), the rounding error of x * m / 2^s stays below 1 / f, so
// the floor equals the quotient; x * m stays below 2^63.
struct ReciprocalDivider {
    explicit ReciprocalDivider(std::uint32_t divisor);
    std::uint32_t divide(std::uint32_t x) const {
        return static_cast<std::uint32_t>((std::uint64_t{x} * multiplier) >> shift);
    }
    std::uint32_t divisor;
    std::uint64_t multiplier;
    unsigned shift;
};

// The probability of a 0 bit among the first n_bits bits, scaled to 4096,
// rounded half up and clamped to 1..4095 so neither symbol has frequency 0.
std::uint16_t rans_p_zero(std::span<const std::uint8_t> packed, std::uint64_t n_bits);

// Codes the first n_bits bits of packed (most significant bit first). Bits
// that would lie beyond the end of packed are taken as 0.
RansStream rans_encode(std::span<const std::uint8_t> packed, std::uint64_t n_bits);

// Returns ceil(n_bits / 8) bytes holding the decoded bits. A malformed stream
// never causes an out-of-bounds read or an endless loop: missing header or
// renormalisation bytes read as 0, and a state stuck at 0 with nothing left
// to shift in stops renormalising (every later bit then decodes from state 0).
std::vector<std::uint8_t> rans_decode(std::span<const std::uint8_t> stream,
                                      std::uint64_t n_bits);

// rans_decode into a caller's buffer, which is overwritten; its capacity is
// reused, so repeated decodes need not map fresh memory.
void rans_decode_into(std::span<const std::uint8_t> stream, std::uint64_t n_bits,
                      std::vector<std::uint8_t>& out);

}  // namespace zel
