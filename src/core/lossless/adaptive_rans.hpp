#pragma once

// The entropy coder of the lossless event blocks: adaptive cumulative
// frequency tables over small alphabets (at most 16 symbols, in the manner
// of AV1's and Daala's adaptive CDFs) driving two interleaved rANS states
// (32-bit states, 16-bit renormalisation, probabilities in 15 bits).
//
// rANS decodes in the reverse order of encoding, while the tables adapt in
// coding order. The encoder therefore runs the model forward and only
// records each symbol's (start, frequency) pair (SymbolLog); the pairs are
// coded backwards at the end (rans_encode_log). The decoder runs the same
// model forward with a RansReader. Encoder and decoder drive one model
// template, so they cannot disagree about a table.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/byte_buffer.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zel::lossless {

// The coder's per-symbol functions run several times per event in the
// decoder's innermost loop: they are always inlined.
#define ZEL_LOSSLESS_HOT [[gnu::always_inline]] inline

inline constexpr unsigned kProbBits = 15;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;
// Lower bound of a normalised state.
inline constexpr std::uint32_t kStateLow = 1u << 16;

inline constexpr unsigned kMaxAlphabet = 16;

// An adaptive distribution over N symbols (2 <= N <= 16) with 15-bit
// frequencies, every symbol keeping at least 1. Symbols are counted as they
// are coded and the coding table is rebuilt from the counts after every
// few symbols: often while a table is young, rarely once it has settled
// (every 2, 4, ... up to kMaxRebuildPeriod symbols), with counts halved when
// they grow past kCountLimit so the table follows drifting statistics.
//
// The table holds the end of each symbol's range minus one (the start of
// symbol s is end_[s] + 1, with end_[0] = -1 before symbol 0); entries past
// the last symbol hold 2^15 - 1, so one search over 16 entries serves every
// alphabet size.
class AdaptiveCdf {
public:
    static constexpr unsigned kMaxRebuildPeriod = 64;
    static constexpr unsigned kCountLimit = 2048;

    explicit AdaptiveCdf(unsigned n_symbols = 2) { reset(n_symbols); }

    void reset(unsigned n_symbols);

    unsigned size() const { return n_; }
    std::uint32_t start(unsigned s) const { return static_cast<std::uint32_t>(end_[s] + 1); }
    std::uint32_t frequency(unsigned s) const { return static_cast<std::uint32_t>(end_[s + 1] - end_[s]); }

    // The symbol whose range holds `slot` (< 2^15): how many ends lie below it.
    ZEL_LOSSLESS_HOT unsigned find(std::uint32_t slot) const {
#if defined(__SSE2__)
        const __m128i key = _mm_set1_epi16(static_cast<short>(slot));
        const __m128i lo = _mm_cmplt_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(end_ + 1)), key);
        const __m128i hi = _mm_cmplt_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(end_ + 9)), key);
        // Each lane below the key is all ones: keep one bit per byte and add
        // the bytes up (the default x86-64 target has no popcount).
        const __m128i ones = _mm_and_si128(_mm_packs_epi16(lo, hi), _mm_set1_epi8(1));
        const __m128i sums = _mm_sad_epu8(ones, _mm_setzero_si128());
        return static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
#else
        unsigned s = 0;
        for (unsigned i = 1; i <= kMaxAlphabet; ++i) s += end_[i] < static_cast<std::int32_t>(slot);
        return s;
#endif
    }

    ZEL_LOSSLESS_HOT void update(unsigned s) {
        ++count_[s];
        if (--until_rebuild_ == 0) rebuild();
    }

private:
    void rebuild();

    std::int16_t end_[kMaxAlphabet + 1];
    std::uint16_t count_[kMaxAlphabet];
    std::uint8_t n_ = 2;
    std::uint8_t period_ = 1;
    std::uint8_t until_rebuild_ = 1;
};

// What the encoder's forward pass records: each symbol's range.
struct SymbolRange {
    std::uint16_t start;
    std::uint16_t frequency;  // 1..2^15 - 1
};

class SymbolLog {
public:
    void clear() { ranges_.clear(); }
    void reserve(std::size_t n) { ranges_.reserve(n); }
    ZEL_LOSSLESS_HOT void add(std::uint32_t start, std::uint32_t frequency) {
        ranges_.push_back({static_cast<std::uint16_t>(start), static_cast<std::uint16_t>(frequency)});
    }
    std::span<const SymbolRange> ranges() const { return ranges_; }

private:
    std::vector<SymbolRange> ranges_;
};

// Codes the logged ranges (both states start at kStateLow) and appends the
// stream to `out`: the two final states (u32 LE each), then the
// renormalisation words (u16 LE) in the order the decoder reads them.
void rans_encode_log(std::span<const SymbolRange> ranges, ByteBuffer& out);

// Reads a stream written by rans_encode_log. Symbols alternate between the
// two states. A read past the end yields zeros and marks the reader
// overrun; finish() says whether the stream was consumed exactly and ended
// in the encoder's initial states. That catches most damage, not all:
// callers checksum the stream.
class RansReader {
public:
    // Needs at least 8 bytes (the states); the caller checks.
    explicit RansReader(std::span<const std::uint8_t> stream)
        : begin_(stream.data()), next_(stream.data() + 8), end_(stream.data() + stream.size()),
          current_(load32(stream.data())), other_(load32(stream.data() + 4)) {}

    ZEL_LOSSLESS_HOT unsigned decode(AdaptiveCdf& cdf) {
        std::uint32_t x = current_;
        const std::uint32_t slot = x & (kProbScale - 1);
        const unsigned s = cdf.find(slot);
        x = cdf.frequency(s) * (x >> kProbBits) + slot - cdf.start(s);
        advance(x);
        cdf.update(s);
        return s;
    }

    bool overrun() const { return overrun_; }
    // Bytes read so far, the states included.
    std::size_t position() const { return static_cast<std::size_t>(next_ - begin_); }
    bool finish() const {
        return !overrun_ && next_ == end_ && current_ == kStateLow && other_ == kStateLow;
    }

private:
    static std::uint32_t load32(const std::uint8_t* p) {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    }
    // Renormalises the state just used and makes the other one current:
    // the states take turns, symbol by symbol.
    ZEL_LOSSLESS_HOT void advance(std::uint32_t x) {
        if (x < kStateLow) {
            if (end_ - next_ >= 2) {
                x = (x << 16) | std::uint32_t{next_[0]} | std::uint32_t{next_[1]} << 8;
                next_ += 2;
            } else {
                x <<= 16;
                overrun_ = true;
            }
        }
        current_ = other_;
        other_ = x;
    }

    const std::uint8_t* begin_;
    const std::uint8_t* next_;
    const std::uint8_t* end_;
    std::uint32_t current_;  // the state the next symbol decodes from
    std::uint32_t other_;
    bool overrun_ = false;
};

}  // namespace zel::lossless
