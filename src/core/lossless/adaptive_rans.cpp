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
        if (x >= limit) {
            *word++ = static_cast<std::uint16_t>(x);
            x >>= 16;
        }
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
