#include "rans.hpp"

#include <algorithm>
#include <bit>

namespace zel {

namespace {

bool bit_at(std::span<const std::uint8_t> packed, std::uint64_t i) {
    return (packed[i / 8] >> (7 - i % 8)) & 1u;
}

std::uint64_t count_zero_bits(std::span<const std::uint8_t> packed, std::uint64_t n_bits) {
    std::uint64_t ones = 0;
    const std::uint64_t whole = n_bits / 8;
    for (std::uint64_t b = 0; b < whole; ++b) ones += std::popcount(packed[b]);
    if (n_bits % 8 != 0) {
        const unsigned keep = 0xFFu << (8 - n_bits % 8);
        ones += std::popcount(static_cast<unsigned>(packed[whole] & keep));
    }
    return n_bits - ones;
}

std::uint8_t byte_or_zero(std::span<const std::uint8_t> stream, std::size_t i) {
    return i < stream.size() ? stream[i] : 0;
}

}  // namespace

ReciprocalDivider::ReciprocalDivider(std::uint32_t f) : divisor(f) {
    const unsigned ceil_log2 = f <= 1 ? 0 : static_cast<unsigned>(std::bit_width(f - 1));
    shift = 31 + ceil_log2;
    multiplier = ((std::uint64_t{1} << shift) + f - 1) / f;
}

std::uint16_t rans_p_zero(std::span<const std::uint8_t> packed, std::uint64_t n_bits) {
    if (n_bits == 0) return PROB_SCALE / 2;
    const std::uint64_t zeros = count_zero_bits(packed, n_bits);
    const std::uint64_t p = (zeros * PROB_SCALE + n_bits / 2) / n_bits;
    return static_cast<std::uint16_t>(std::clamp<std::uint64_t>(p, 1, PROB_SCALE - 1));
}

RansStream rans_encode(std::span<const std::uint8_t> packed, std::uint64_t n_bits) {
    if (n_bits > packed.size() * std::uint64_t{8}) {
        // Rare caller error: code a zero-extended copy rather than read past the end.
        std::vector<std::uint8_t> extended((n_bits + 7) / 8, 0);
        std::copy(packed.begin(), packed.end(), extended.begin());
        return rans_encode(extended, n_bits);
    }
    const std::uint32_t p = n_bits == 0 ? PROB_SCALE / 2 : rans_p_zero(packed, n_bits);
    // Only two frequencies occur, so both divisions are prepared once.
    const ReciprocalDivider by_freq[2] = {ReciprocalDivider(p), ReciprocalDivider(PROB_SCALE - p)};
    std::uint32_t x = RANS_L;
    std::vector<std::uint8_t> emitted;
    // Coding runs last bit first so the decoder can read first bit first.
    for (std::uint64_t i = n_bits; i-- > 0;) {
        const bool one = bit_at(packed, i);
        const ReciprocalDivider& div = by_freq[one];
        const std::uint32_t freq = div.divisor;
        const std::uint32_t start = one ? p : 0;
        const std::uint32_t limit = ((RANS_L >> PROB_BITS) << 8) * freq;
        while (x >= limit) {
            emitted.push_back(static_cast<std::uint8_t>(x & 0xFF));
            x >>= 8;
        }
        // Here x < freq * 2^19 < 2^31, inside the divider's exact range.
        const std::uint32_t q = div.divide(x);
        x = q * PROB_SCALE + (x - q * freq) + start;
    }

    RansStream out(6 + emitted.size());
    out[0] = static_cast<std::uint8_t>(p & 0xFF);
    out[1] = static_cast<std::uint8_t>(p >> 8);
    for (int k = 0; k < 4; ++k) out[2 + k] = static_cast<std::uint8_t>(x >> (8 * k));
    std::reverse_copy(emitted.begin(), emitted.end(), out.begin() + 6);
    return out;
}

std::vector<std::uint8_t> rans_decode(std::span<const std::uint8_t> stream,
                                      std::uint64_t n_bits) {
    if (n_bits == 0) return {};
    const std::uint32_t p = byte_or_zero(stream, 0) | (byte_or_zero(stream, 1) << 8);
    std::uint32_t x = 0;
    for (int k = 0; k < 4; ++k) x |= std::uint32_t{byte_or_zero(stream, 2 + k)} << (8 * k);
    std::size_t r = 6;

    std::vector<std::uint8_t> out((n_bits + 7) / 8, 0);
    for (std::uint64_t i = 0; i < n_bits; ++i) {
        const std::uint32_t s = x & (PROB_SCALE - 1);
        std::uint32_t start = 0;
        std::uint32_t freq = p;
        if (s >= p) {
            out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
            start = p;
            freq = PROB_SCALE - p;
        }
        x = freq * (x >> PROB_BITS) + s - start;
        while (x <= RANS_L - 1) {
            if (r < stream.size()) {
                x = (x << 8) | stream[r++];
            } else if (x == 0) {
                break;  // only a malformed stream gets here; shifting would never end
            } else {
                x <<= 8;
            }
        }
    }
    return out;
}

}  // namespace zel
