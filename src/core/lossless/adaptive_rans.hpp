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
#include <memory>
#include <span>

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
//
// Aligned to 8 bytes, a table takes 72 bytes rather than 70: the model's
// arrays of tables are indexed as 9 * 8 (an lea and a scaled address)
// instead of by a multiply, and every table starts on an 8-byte boundary:
// about 2 % fewer instructions per decoded event.
class alignas(8) AdaptiveCdf {
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
        // The ends rise, so the lanes below the key are a prefix: its length
        // is the first clear bit of the mask (bit 16 stops the count, and the
        // default x86-64 target has bsf but no popcount).
        const auto below = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi)));
        return static_cast<unsigned>(__builtin_ctz(~below | 0x10000u));
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

// Ranges are appended to storage grown ahead of them, uninitialised:
// through vector::push_back the encoder's model pass took 12 more
// instructions an event.
class SymbolLog {
public:
    void clear() { used_ = 0; }
    void reserve(std::size_t n) {
        if (n > capacity_) reallocate(n);
    }
    ZEL_LOSSLESS_HOT void add(std::uint32_t start, std::uint32_t frequency) {
        if (used_ == capacity_) [[unlikely]] reallocate(capacity_ < 64 ? 128 : capacity_ * 2);
        ranges_[used_++] = {static_cast<std::uint16_t>(start), static_cast<std::uint16_t>(frequency)};
    }
    std::span<const SymbolRange> ranges() const { return {ranges_.get(), used_}; }

private:
    [[gnu::noinline]] void reallocate(std::size_t capacity);

    std::unique_ptr<SymbolRange[]> ranges_;
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
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
        : data_(stream.data()), size_(stream.size()), current_(load32(stream.data())),
          other_(load32(stream.data() + 4)) {}

    ZEL_LOSSLESS_HOT unsigned decode(AdaptiveCdf& cdf) {
        std::uint32_t x = current_;
        const std::uint32_t slot = x & (kProbScale - 1);
        const unsigned s = cdf.find(slot);
        x = cdf.frequency(s) * (x >> kProbBits) + slot - cdf.start(s);
        advance(x);
        cdf.update(s);
        return s;
    }

    bool overrun() const { return read_ > size_; }
    // Bytes read so far, the states included.
    std::size_t position() const { return read_ < size_ ? read_ : size_; }
    bool finish() const { return read_ == size_ && current_ == kStateLow && other_ == kStateLow; }

private:
    static std::uint32_t load32(const std::uint8_t* p) {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
               std::uint32_t{p[3]} << 24;
    }
    // Renormalises the state just used and makes the other one current:
    // the states take turns, symbol by symbol. Without branches: whether a
    // state takes a word is close to a coin flip per symbol. Past the end of
    // the stream the words read as zeros (from kNoWord) while read_ counts
    // on, which is how overrun() knows.
    ZEL_LOSSLESS_HOT void advance(std::uint32_t x) {
        const std::uint8_t* word = read_ + 2 <= size_ ? data_ + read_ : kNoWord;
        // All ones when the state takes a word, else zero: masks rather than
        // a conditional, which the compiler would turn back into a branch.
        const std::uint32_t take = 0u - std::uint32_t{x < kStateLow};
        x = (x << (16 & take)) | ((std::uint32_t{word[0]} | std::uint32_t{word[1]} << 8) & take);
        read_ += 2 & take;
        current_ = other_;
        other_ = x;
    }

    static constexpr std::uint8_t kNoWord[2] = {0, 0};

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t read_ = 8;  // the states come first
    std::uint32_t current_;  // the state the next symbol decodes from
    std::uint32_t other_;
};

}  // namespace zel::lossless
