#pragma once

// READ ME FIRST. The entropy coder of the context-coded occupancy payload:
// adaptive 16-symbol distributions coded by interleaved rANS.
//
// - Symbols are nibbles (0..15). Every context owns a NibbleModel, a
//   cumulative frequency table over 2^15 that moves towards each symbol it
//   codes, so nothing about the distributions is stored in the payload: the
//   decoder learns them exactly as the encoder did.
// - rANS states are 32 bits and renormalise by 16-bit words: with the state
//   interval [2^16, 2^32) and a 15-bit probability scale, one symbol needs at
//   most one word in either direction, so renormalisation is a branch, never
//   a loop.
// - Up to four states take the symbols round robin (symbol k uses state
//   k mod lanes). Their updates do not depend on each other, so the CPU runs
//   them side by side instead of waiting on one long chain.
// - rANS codes last in, first out: the encoder needs every symbol's
//   probability before it writes anything, so it first runs the models
//   forwards (ContextEncoder in context_codec.cpp records each symbol's
//   start and frequency), then codes those backwards, writing words from the
//   end of its buffer towards the front. The decoder then reads states and
//   words first to last.

#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zel::context {

inline constexpr unsigned kProbBits = 15;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;
// Lower end of the state interval; the encoder starts every state here and
// the decoder must end on it, which checks the whole stream for free.
inline constexpr std::uint32_t kStateLow = 1u << 16;
inline constexpr unsigned kMaxLanes = 4;

// Adaptation speed: a model that has coded n symbols moves 2^-rate of the
// way towards the latest one, rate = kRateOf[min(n, kRateSteps - 1)]. That
// step is close to 1 / (n + kRatePrior), the step of counting frequencies on
// top of a uniform prior worth kRatePrior symbols, so a context learns from
// its first few symbols without trusting any one of them too much, and the
// step stops shrinking at 2^-kMaxRate so the model still follows drift.
inline constexpr unsigned kRatePrior = 12;
inline constexpr unsigned kMaxRate = 8;
inline constexpr unsigned kRateSteps = 256;
struct RateTable {
    std::uint8_t of[kRateSteps];
};
constexpr RateTable make_rate_table() {
    RateTable t{};
    for (unsigned n = 0; n < kRateSteps; ++n) {
        unsigned rate = 0;
        while ((2u << rate) <= n + kRatePrior) ++rate;  // floor(log2(n + prior))
        t.of[n] = static_cast<std::uint8_t>(rate < 1 ? 1 : rate > kMaxRate ? kMaxRate : rate);
    }
    return t;
}
inline constexpr RateTable kRateOf = make_rate_table();

// Row s: the cumulative table of a distribution with frequency 1 on every
// symbol and the rest of 2^15 on s, where NibbleModel::update moves towards.
struct NibbleTargets {
    alignas(16) std::uint16_t rows[16][16];
};
constexpr NibbleTargets make_nibble_targets() {
    NibbleTargets t{};
    for (unsigned s = 0; s < 16; ++s)
        for (unsigned i = 0; i < 16; ++i)
            t.rows[s][i] = static_cast<std::uint16_t>(i + (i > s ? kProbScale - 16 : 0));
    return t;
}
inline constexpr NibbleTargets kTargets = make_nibble_targets();

// One adaptive distribution over the nibbles. cdf[s] is the cumulative
// frequency of the symbols below s, cdf[0] = 0 and cdf[16] = 2^15; every
// symbol keeps a frequency of at least 1, so anything can still be coded.
struct NibbleModel {
    alignas(16) std::uint16_t cdf[17];
    std::uint8_t seen = 0;  // symbols coded, saturating at kRateSteps - 1

    NibbleModel() { reset(); }

    void reset() {
        for (unsigned s = 0; s <= 16; ++s) cdf[s] = static_cast<std::uint16_t>(s * (kProbScale / 16));
        seen = 0;
    }

    std::uint32_t start(unsigned s) const { return cdf[s]; }
    std::uint32_t freq(unsigned s) const { return std::uint32_t{cdf[s + 1]} - cdf[s]; }

    // The symbol whose interval holds slot (0 <= slot < 2^15).
    unsigned find(std::uint32_t slot) const {
#if defined(__SSE2__)
        // cdf[i] <= slot exactly where the saturating cdf[i] - slot is 0.
        const __m128i s = _mm_set1_epi16(static_cast<short>(slot));
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cdf));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cdf + 8));
        const __m128i at_or_below =
            _mm_packs_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(lo, s), zero),
                            _mm_cmpeq_epi16(_mm_subs_epu16(hi, s), zero));
        return static_cast<unsigned>(__builtin_popcount(
                   static_cast<unsigned>(_mm_movemask_epi8(at_or_below)))) -
               1;
#else
        unsigned n = 0;
        for (unsigned i = 1; i < 16; ++i) n += cdf[i] <= slot ? 1u : 0u;
        return n;
#endif
    }

    // Moves the distribution towards s: each cdf[i] goes 2^-rate of the way
    // to kTargets.rows[s][i]. The arithmetic shift rounds down, which keeps every
    // frequency at least 1 (each new frequency exceeds a mix of old and
    // target frequencies, both at least 1, less one).
    void update(unsigned s) {
        const unsigned rate = kRateOf.of[seen];
        seen = static_cast<std::uint8_t>(seen + (seen < kRateSteps - 1 ? 1 : 0));
#if defined(__SSE2__)
        const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(rate));
        const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(cdf));
        const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(cdf + 8));
        const __m128i* target = reinterpret_cast<const __m128i*>(kTargets.rows[s]);
        const __m128i tlo = _mm_load_si128(target);
        const __m128i thi = _mm_load_si128(target + 1);
        _mm_store_si128(reinterpret_cast<__m128i*>(cdf),
                        _mm_add_epi16(lo, _mm_sra_epi16(_mm_sub_epi16(tlo, lo), shift)));
        _mm_store_si128(reinterpret_cast<__m128i*>(cdf + 8),
                        _mm_add_epi16(hi, _mm_sra_epi16(_mm_sub_epi16(thi, hi), shift)));
#else
        for (unsigned i = 1; i < 16; ++i) {
            const int delta = int{kTargets.rows[s][i]} - int{cdf[i]};
            cdf[i] = static_cast<std::uint16_t>(int{cdf[i]} + (delta >> rate));
        }
#endif
    }

};

// A symbol as the encoder's model saw it.
struct CodedSymbol {
    std::uint16_t start;
    std::uint16_t freq;  // at most 2^15 - 15: every other symbol keeps 1
};

// Codes recorded symbols backwards into `out`, which receives the lanes'
// final states (u32 little endian, lane 0 first) followed by the 16-bit
// little-endian words in the order the decoder reads them.
void rans_encode_symbols(const std::vector<CodedSymbol>& symbols, unsigned lanes,
                         std::vector<std::uint8_t>& out);

// Reads what rans_encode_symbols wrote. next() of a damaged stream never
// reads past the end: a word that is not there reads as 0 and marks the
// stream as overrun, which finish() reports.
class RansWordDecoder {
public:
    // bytes holds the states then the words; lanes states must be present.
    RansWordDecoder(const std::uint8_t* bytes, std::size_t size, unsigned lanes) {
        lanes_ = lanes;
        for (unsigned i = 0; i < lanes; ++i) {
            std::uint32_t x = 0;
            for (unsigned b = 0; b < 4; ++b) x |= std::uint32_t{bytes[4 * i + b]} << (8 * b);
            state_[i] = x;
        }
        pos_ = bytes + 4 * lanes;
        end_ = bytes + size;
    }

    // Decodes one symbol from the current lane with model m and updates m.
    unsigned next(NibbleModel& m) {
        std::uint32_t x = state_[lane_];
        const std::uint32_t slot = x & (kProbScale - 1);
        const unsigned s = m.find(slot);
        x = m.freq(s) * (x >> kProbBits) + slot - m.start(s);
        if (x < kStateLow) {
            std::uint32_t word = 0;
            if (end_ - pos_ >= 2) {
                word = std::uint32_t{pos_[0]} | (std::uint32_t{pos_[1]} << 8);
                pos_ += 2;
            } else {
                overrun_ = true;
            }
            x = (x << 16) | word;
        }
        state_[lane_] = x;
        lane_ = lane_ + 1 == lanes_ ? 0 : lane_ + 1;
        m.update(s);
        return s;
    }

    // True when the stream ended exactly where the symbols did: every word
    // read, none missing, every lane back at the encoder's starting state.
    bool finished_cleanly() const {
        if (overrun_ || pos_ != end_) return false;
        for (unsigned i = 0; i < lanes_; ++i)
            if (state_[i] != kStateLow) return false;
        return true;
    }

    // Offset of the next unread byte, from the start of the states.
    std::size_t consumed(const std::uint8_t* bytes) const {
        return static_cast<std::size_t>(pos_ - bytes);
    }

private:
    std::uint32_t state_[kMaxLanes] = {};
    unsigned lanes_ = 1;
    unsigned lane_ = 0;
    const std::uint8_t* pos_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    bool overrun_ = false;
};

}  // namespace zel::context
