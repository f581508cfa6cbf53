#include "codec/context_rans.hpp"

#include <array>

namespace zel::context {

namespace {

__extension__ typedef unsigned __int128 Wide;

// x / f for every state the encoder divides (x < f * 2^20) by one multiply:
// with m = floor(2^44 / f) + 1, (x * m) >> 44 errs by less than x / 2^44,
// which stays below 1 / f for x < f * 2^20 and f < 2^12, so it is exact.
constexpr unsigned kReciprocalShift = 44;
struct Reciprocals {
    std::array<std::uint64_t, kProbScale> of{};
};
constexpr Reciprocals make_reciprocals() {
    Reciprocals r;
    for (std::uint64_t f = 1; f < kProbScale; ++f) r.of[f] = (std::uint64_t{1} << kReciprocalShift) / f + 1;
    return r;
}
constexpr Reciprocals kReciprocals = make_reciprocals();

}  // namespace

void rans_encode_bits(const std::vector<CodedBit>& bits, unsigned lanes,
                      std::vector<std::uint16_t>& words, std::vector<std::uint8_t>& out) {
    // At most one word per decision; the words are written downwards from
    // the end of the buffer and moved behind the states at the end.
    if (words.size() < bits.size() + 1) words.resize(bits.size() + 1);
    std::uint16_t* const words_end = words.data() + bits.size() + 1;
    std::uint16_t* w = words_end;
    std::uint32_t state[kMaxLanes] = {kStateLow, kStateLow, kStateLow, kStateLow};
    for (std::size_t k = bits.size(); k-- > 0;) {
        const unsigned lane = static_cast<unsigned>(k & (lanes - 1));
        const std::uint32_t p_one = bits[k] & (kProbScale - 1);
        const bool one = (bits[k] >> 15) != 0;
        const std::uint32_t freq = one ? p_one : kProbScale - p_one;
        const std::uint32_t start = one ? 0 : p_one;
        std::uint32_t x = state[lane];
        // x must lie in [2^4 freq, 2^20 freq) to land in [2^16, 2^32) after
        // coding; it is at least 2^16 >= 2^4 freq, so at most one word goes.
        if (x >= freq << 20) {
            *--w = static_cast<std::uint16_t>(x);
            x >>= 16;
        }
        const auto q = static_cast<std::uint32_t>((Wide{x} * kReciprocals.of[freq]) >> kReciprocalShift);
        state[lane] = (q << kProbBits) + (x - q * freq) + start;  // x = C(s, x)
    }
    const std::size_t n_words = static_cast<std::size_t>(words_end - w);
    const std::size_t at = out.size();
    out.resize(at + 4 * lanes + 2 * n_words);
    std::uint8_t* p = out.data() + at;
    for (unsigned i = 0; i < lanes; ++i)
        for (unsigned b = 0; b < 4; ++b) *p++ = static_cast<std::uint8_t>(state[i] >> (8 * b));
    for (; w != words_end; ++w) {
        *p++ = static_cast<std::uint8_t>(*w);
        *p++ = static_cast<std::uint8_t>(*w >> 8);
    }
}

}  // namespace zel::context
