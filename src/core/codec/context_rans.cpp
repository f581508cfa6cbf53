#include "codec/context_rans.hpp"

namespace zel::context {

void rans_encode_symbols(const std::vector<CodedSymbol>& symbols, unsigned lanes,
                         std::vector<std::uint8_t>& out) {
    // At most one word per symbol; the words are written downwards from the
    // end of the buffer and moved behind the states at the end.
    std::vector<std::uint16_t> words(symbols.size() + 1);
    std::uint16_t* const words_end = words.data() + words.size();
    std::uint16_t* w = words_end;
    std::uint32_t state[kMaxLanes] = {kStateLow, kStateLow, kStateLow, kStateLow};
    for (std::size_t k = symbols.size(); k-- > 0;) {
        const unsigned lane = static_cast<unsigned>(k % lanes);
        const std::uint32_t freq = symbols[k].freq;
        std::uint32_t x = state[lane];
        // x must lie in [2 freq, 2^17 freq) to land in [2^16, 2^32) after
        // coding; it is at least 2^16 >= 2 freq, so at most one word goes.
        if (x >= freq << 17) {
            *--w = static_cast<std::uint16_t>(x);
            x >>= 16;
        }
        state[lane] = ((x / freq) << kProbBits) + (x % freq) + symbols[k].start;  // x = C(s, x)
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
