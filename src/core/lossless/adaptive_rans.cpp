#include "lossless/adaptive_rans.hpp"

#include <cstring>
#include <memory>

namespace zel::lossless {

namespace {

// The uniform starting table of every alphabet size (symbol i of N starts
// at floor(2^15 i / N)), computed once: a block resets several hundred
// tables before its first event, which on small blocks cost as much as
// coding the events when each reset divided its way through the table.
struct UniformStarts {
    std::int16_t end[kMaxAlphabet + 1][kMaxAlphabet + 1];
    std::uint16_t count[kMaxAlphabet + 1][kMaxAlphabet];
};

constexpr UniformStarts make_uniform_starts() {
    UniformStarts u{};
    for (unsigned n = 0; n <= kMaxAlphabet; ++n) {
        u.end[n][0] = -1;
        for (unsigned i = 0; i < kMaxAlphabet; ++i) {
            const std::uint32_t end = i + 1 < n ? (kProbScale * (i + 1)) / n : kProbScale;
            u.end[n][i + 1] = static_cast<std::int16_t>(end - 1);
            u.count[n][i] = i < n ? 1 : 0;
        }
    }
    return u;
}

constexpr UniformStarts kUniformStarts = make_uniform_starts();

}  // namespace

void AdaptiveCdf::reset(unsigned n_symbols) {
    n_ = static_cast<std::uint8_t>(n_symbols);
    std::memcpy(count_, kUniformStarts.count[n_symbols], sizeof count_);
    std::memcpy(end_, kUniformStarts.end[n_symbols], sizeof end_);
    period_ = 1;
    until_rebuild_ = 1;
}

void AdaptiveCdf::rebuild() {
#if defined(__SSE2__)
    // The portable loops below, on all 16 entries at once. Entries past the alphabet
    // hold count 0 and get frequency 0, so their ends stay at 2^15 - 1. On
    // files of a few thousand events young tables are rebuilt often: the
    // scalar loops took 14 % of the encoder's instructions there.
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i lanes_lo = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i lanes_hi = _mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15);
    __m128i count_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(count_));
    __m128i count_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(count_ + 8));
    // Counts stay below 2^15 (a total past kCountLimit is halved, and at
    // most kMaxRebuildPeriod symbols come between rebuilds), so signed
    // 16-bit arithmetic holds them.
    const auto sum16 = [ones](__m128i a, __m128i b) {
        __m128i t = _mm_add_epi32(_mm_madd_epi16(a, ones), _mm_madd_epi16(b, ones));
        t = _mm_add_epi32(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(1, 0, 3, 2)));
        t = _mm_add_epi32(t, _mm_shuffle_epi32(t, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(t));
    };
    const std::uint32_t total = sum16(count_lo, count_hi);
    const std::uint64_t scale = (std::uint64_t{kProbScale} << 32) / total;
    // count * scale >> 32 from 16-bit pieces. With scale = s2 2^32 + s1 2^16
    // + s0, it is count s2 + the high half of count s1 + the carry out of
    // adding the low half of count s1 to the high half of count s0. Each
    // frequency is below 2^15, so count s2 fits 16 bits too.
    const __m128i s2 = _mm_set1_epi16(static_cast<short>(scale >> 32));
    const __m128i s1 = _mm_set1_epi16(static_cast<short>(scale >> 16));
    const __m128i s0 = _mm_set1_epi16(static_cast<short>(scale));
    const auto frequencies = [&](__m128i count) {
        const __m128i low1 = _mm_mullo_epi16(count, s1);
        const __m128i high0 = _mm_mulhi_epu16(count, s0);
        // No carry: the saturating sum equals the wrapping one (mask all
        // ones, + 1 = 0); a carry: they differ (mask 0, + 1 = 1).
        const __m128i carry =
            _mm_add_epi16(_mm_cmpeq_epi16(_mm_adds_epu16(low1, high0), _mm_add_epi16(low1, high0)), ones);
        return _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(count, s2), _mm_mulhi_epu16(count, s1)), carry);
    };
    const __m128i in_alphabet_lo = _mm_cmplt_epi16(lanes_lo, _mm_set1_epi16(static_cast<short>(n_)));
    const __m128i in_alphabet_hi = _mm_cmplt_epi16(lanes_hi, _mm_set1_epi16(static_cast<short>(n_)));
    __m128i freq_lo = frequencies(count_lo);
    __m128i freq_hi = frequencies(count_hi);
    freq_lo = _mm_and_si128(_mm_max_epi16(freq_lo, ones), in_alphabet_lo);
    freq_hi = _mm_and_si128(_mm_max_epi16(freq_hi, ones), in_alphabet_hi);
    // The rounding remainder to the first most frequent symbol.
    __m128i top = _mm_max_epi16(count_lo, count_hi);
    top = _mm_max_epi16(top, _mm_shuffle_epi32(top, _MM_SHUFFLE(1, 0, 3, 2)));
    top = _mm_max_epi16(top, _mm_shuffle_epi32(top, _MM_SHUFFLE(2, 3, 0, 1)));
    top = _mm_max_epi16(top, _mm_shufflelo_epi16(_mm_shufflehi_epi16(top, _MM_SHUFFLE(2, 3, 0, 1)),
                                                 _MM_SHUFFLE(2, 3, 0, 1)));
    const auto at_top = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(count_lo, top), _mm_cmpeq_epi16(count_hi, top))));
    const auto top_lane = _mm_set1_epi16(static_cast<short>(__builtin_ctz(at_top)));
    const __m128i remainder = _mm_set1_epi16(static_cast<short>(kProbScale - sum16(freq_lo, freq_hi)));
    freq_lo = _mm_add_epi16(freq_lo, _mm_and_si128(_mm_cmpeq_epi16(lanes_lo, top_lane), remainder));
    freq_hi = _mm_add_epi16(freq_hi, _mm_and_si128(_mm_cmpeq_epi16(lanes_hi, top_lane), remainder));
    // Ends: prefix sums minus one, in wrapping 16-bit lanes (the last
    // reaches 2^15, which wraps to the 2^15 - 1 every full table ends on).
    const auto prefix = [](__m128i v) {
        v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
        return _mm_add_epi16(v, _mm_slli_si128(v, 8));
    };
    const __m128i end_lo = prefix(freq_lo);
    const __m128i last_lo = _mm_shufflehi_epi16(end_lo, _MM_SHUFFLE(3, 3, 3, 3));
    const __m128i end_hi = _mm_add_epi16(prefix(freq_hi), _mm_unpackhi_epi64(last_lo, last_lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(end_ + 1), _mm_sub_epi16(end_lo, ones));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(end_ + 9), _mm_sub_epi16(end_hi, ones));
    if (total > kCountLimit) {
        count_lo = _mm_avg_epu16(count_lo, zero);  // (count + 1) / 2
        count_hi = _mm_avg_epu16(count_hi, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(count_), count_lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(count_ + 8), count_hi);
    }
#else
    const unsigned n = n_;
    std::uint32_t total = 0;
    for (unsigned i = 0; i < n; ++i) total += count_[i];
    // Frequencies proportional to the counts, at least 1 each; the rounding
    // remainder goes to the most frequent symbol, which can always take it.
    const std::uint64_t scale = (std::uint64_t{kProbScale} << 32) / total;
    std::uint32_t freq[kMaxAlphabet];
    std::uint32_t sum = 0;
    unsigned top = 0;
    for (unsigned i = 0; i < n; ++i) {
        const auto f = static_cast<std::uint32_t>((count_[i] * scale) >> 32);
        freq[i] = f > 0 ? f : 1;
        sum += freq[i];
        if (count_[i] > count_[top]) top = i;
    }
    freq[top] = freq[top] + kProbScale - sum;
    std::int32_t end = -1;
    for (unsigned i = 0; i < n; ++i) {
        end += static_cast<std::int32_t>(freq[i]);
        end_[i + 1] = static_cast<std::int16_t>(end);
    }
    if (total > kCountLimit) {
        for (unsigned i = 0; i < n; ++i) count_[i] = static_cast<std::uint16_t>((count_[i] + 1) / 2);
    }
#endif
    if (period_ < kMaxRebuildPeriod) period_ = static_cast<std::uint8_t>(period_ * 2);
    until_rebuild_ = period_;
}

void SymbolLog::reallocate(std::size_t capacity) {
    auto ranges = std::make_unique_for_overwrite<SymbolRange[]>(capacity);
    if (used_ > 0) std::memcpy(ranges.get(), ranges_.get(), used_ * sizeof(SymbolRange));
    ranges_ = std::move(ranges);
    capacity_ = capacity;
}

void rans_encode_log(std::span<const SymbolRange> ranges, ByteBuffer& out) {
    // At most one 16-bit word per symbol, written before it is read.
    const auto words = std::make_unique_for_overwrite<std::uint16_t[]>(ranges.size());
    std::uint16_t* word = words.get();
    const auto put = [&word](std::uint32_t& x, const SymbolRange& range) {
        const std::uint32_t freq = range.frequency;
        // Largest state that still fits 32 bits after coding this symbol.
        const std::uint32_t limit = ((kStateLow >> kProbBits) << 16) * freq;
        // Without a branch, as in the decoder: whether a state gives a word
        // is close to a coin flip. The word is always stored and kept only
        // when given. The store stays inside the buffer: before a symbol,
        // no more words are kept than symbols were coded.
        const std::uint32_t give = 0u - std::uint32_t{x >= limit};
        *word = static_cast<std::uint16_t>(x);
        word += give & 1;
        x >>= 16 & give;
        x = ((x / freq) << kProbBits) + (x % freq) + range.start;
    };
    // Symbol i belongs to state i % 2; naming the two states keeps each in
    // a register, where indexing them by i would keep them in memory.
    std::uint32_t even = kStateLow, odd = kStateLow;
    std::size_t i = ranges.size();
    if (i % 2 == 1) put(even, ranges[--i]);
    while (i > 0) {
        put(odd, ranges[--i]);
        put(even, ranges[--i]);
    }
    const auto n_words = static_cast<std::size_t>(word - words.get());
    const std::size_t bytes = 8 + 2 * n_words;
    out.reserve_more(bytes);
    std::uint8_t* p = out.tail();
    for (const std::uint32_t state : {even, odd}) {
        for (int k = 0; k < 4; ++k) *p++ = static_cast<std::uint8_t>(state >> (8 * k));
    }
    for (std::size_t k = n_words; k-- > 0;) {
        *p++ = static_cast<std::uint8_t>(words[k]);
        *p++ = static_cast<std::uint8_t>(words[k] >> 8);
    }
    out.commit(bytes);
}

}  // namespace zel::lossless
