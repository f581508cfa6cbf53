#include "lossless/adaptive_rans.hpp"

namespace zel::lossless {

void AdaptiveCdf::reset(unsigned n_symbols) {
    n_ = static_cast<std::uint8_t>(n_symbols);
    count_ = 0;
    end_[0] = -1;
    for (unsigned i = 0; i < kMaxAlphabet; ++i) {
        const std::uint32_t end = i + 1 < n_symbols ? (kProbScale * (i + 1)) / n_symbols : kProbScale;
        end_[i + 1] = static_cast<std::int16_t>(end - 1);
    }
}

void rans_encode_log(std::span<const SymbolRange> ranges, ByteBuffer& out) {
    // At most one 16-bit word per symbol, plus the two states.
    std::vector<std::uint16_t> words;
    words.reserve(ranges.size() + 1);
    std::uint32_t state[2] = {kStateLow, kStateLow};
    for (std::size_t i = ranges.size(); i-- > 0;) {
        std::uint32_t& x = state[i & 1];
        const std::uint32_t freq = ranges[i].frequency;
        // Largest state that still fits 32 bits after coding this symbol.
        const std::uint32_t limit = ((kStateLow >> kProbBits) << 16) * freq;
        if (x >= limit) {
            words.push_back(static_cast<std::uint16_t>(x));
            x >>= 16;
        }
        x = ((x / freq) << kProbBits) + (x % freq) + ranges[i].start;
    }
    const std::size_t bytes = 8 + 2 * words.size();
    out.reserve_more(bytes);
    std::uint8_t* p = out.tail();
    for (int s = 0; s < 2; ++s) {
        for (int k = 0; k < 4; ++k) *p++ = static_cast<std::uint8_t>(state[s] >> (8 * k));
    }
    for (std::size_t i = words.size(); i-- > 0;) {
        *p++ = static_cast<std::uint8_t>(words[i]);
        *p++ = static_cast<std::uint8_t>(words[i] >> 8);
    }
    out.commit(bytes);
}

}  // namespace zel::lossless
