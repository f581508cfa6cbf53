#pragma once

// The interleaved rANS stream both entropy coders write, as docs/format.md
// states it, written out on its own so tests can hold the coders to it:
// symbol k on lane k mod `lanes`, every lane starting at 2^16, symbols coded
// last to first, a lane at or past f * 2^(32 - prob_bits) first giving up
// its low 16 bits; then the lanes' final states (lane 0 first, u32 LE) and
// the 16-bit words in the reverse of their order of emission (u16 LE).

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace zel::testing_support {

struct CodedRange {
    std::uint64_t start;
    std::uint64_t frequency;
};

inline std::vector<std::uint8_t> reference_rans_stream(const std::vector<CodedRange>& symbols, unsigned lanes,
                                                       unsigned prob_bits) {
    std::vector<std::uint64_t> x(lanes, std::uint64_t{1} << 16);
    std::vector<std::uint16_t> emitted;
    for (std::size_t k = symbols.size(); k-- > 0;) {
        std::uint64_t& state = x[k % lanes];
        const auto [start, f] = symbols[k];
        if (state >= f << (32 - prob_bits)) {
            emitted.push_back(static_cast<std::uint16_t>(state & 0xFFFF));
            state >>= 16;
        }
        state = (state / f << prob_bits) + state % f + start;
        EXPECT_LT(state, std::uint64_t{1} << 32) << "symbol " << k;
    }
    std::vector<std::uint8_t> stream;
    for (const std::uint64_t state : x) {
        for (unsigned b = 0; b < 4; ++b) stream.push_back(static_cast<std::uint8_t>(state >> (8 * b)));
    }
    for (std::size_t w = emitted.size(); w-- > 0;) {
        stream.push_back(static_cast<std::uint8_t>(emitted[w]));
        stream.push_back(static_cast<std::uint8_t>(emitted[w] >> 8));
    }
    return stream;
}

}  // namespace zel::testing_support
