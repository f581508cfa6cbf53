#include "codec/key_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>

#include "codec/grid_params.hpp"

namespace zel {

namespace {

// Below this many keys the counting passes' fixed cost outweighs their gain.
constexpr std::size_t kComparisonSortBelow = 64;
// 512 buckets keep the counters in L1 and the scatter's open destinations
// few enough for the TLB.
constexpr unsigned kMaxDigitBits = 9;
constexpr unsigned kMaxPasses = (kMaxKeyBits + kMaxDigitBits - 1) / kMaxDigitBits;
// A bitmap of up to 2^27 bits (16 MiB) is scanned word by word; that pays
// when there are at least a quarter as many keys as words.
constexpr unsigned kMaxBitmapKeyBits = 27;
constexpr std::size_t kWordsPerKey = 4;

}  // namespace

bool bitmap_sort_fits(std::size_t n, unsigned key_bits) {
    if (key_bits > kMaxBitmapKeyBits) return false;
    const std::size_t words = (std::size_t{1} << key_bits) / 64 + 1;
    return words <= kWordsPerKey * n;
}

bool KeySorter::takes_bitmap(std::size_t n, unsigned key_bits) {
    return n >= kComparisonSortBelow && bitmap_sort_fits(n, key_bits);
}

bool KeySorter::sort(KeyBuffer& keys, unsigned key_bits) {
    if (keys.size() < kComparisonSortBelow) {
        std::sort(keys.begin(), keys.end());
        return false;
    }
    if (bitmap_sort_fits(keys.size(), key_bits)) {
        std::uint64_t* bits = bitmap(key_bits);
        for (const std::uint64_t key : keys) bits[key >> 6] |= std::uint64_t{1} << (key & 63);
        collect_bitmap(keys, key_bits, keys.size());
        return true;
    }
    sort_by_radix(keys);
    return false;
}

void KeySorter::trim(std::size_t keep_bytes) {
    if (scratch_.capacity() * sizeof(std::uint64_t) > keep_bytes) KeyBuffer().swap(scratch_);
    if (bitmap_.capacity() * sizeof(std::uint64_t) > keep_bytes) {
        std::vector<std::uint64_t>().swap(bitmap_);
    }
}

std::uint64_t* KeySorter::bitmap(unsigned key_bits) {
    const std::size_t words = ((std::uint64_t{1} << key_bits) + 63) / 64;
    if (bitmap_.size() < words) bitmap_.resize(words, 0);
    return bitmap_.data();
}

void KeySorter::clear_bitmap(unsigned key_bits) {
    const std::size_t words = ((std::uint64_t{1} << key_bits) + 63) / 64;
    std::fill_n(bitmap_.begin(), std::min(words, bitmap_.size()), 0);
}

void KeySorter::collect_bitmap(KeyBuffer& keys, unsigned key_bits, std::size_t capacity_hint) {
    const std::size_t words = ((std::uint64_t{1} << key_bits) + 63) / 64;
    std::uint64_t* bits = bitmap(key_bits);
    // Every set bit came from one key, so the hint bounds the output; the
    // scan clears every word it reads so the bitmap is ready for the next call.
    keys.resize(capacity_hint);
    std::uint64_t* out = keys.data();
    for (std::size_t w = 0; w < words; ++w) {
        std::uint64_t word = bits[w];
        if (word == 0) continue;
        bits[w] = 0;
        const std::uint64_t base = std::uint64_t{w} << 6;
        do {
            *out++ = base | static_cast<unsigned>(std::countr_zero(word));
            word &= word - 1;
        } while (word != 0);
    }
    keys.resize(static_cast<std::size_t>(out - keys.data()));
}

void KeySorter::sort_by_radix(KeyBuffer& keys) {
    // Bits that are equal in every key cannot change the order.
    std::uint64_t any = 0;
    std::uint64_t all = ~std::uint64_t{0};
    for (const std::uint64_t key : keys) {
        any |= key;
        all &= key;
    }
    const std::uint64_t varying = any ^ all;
    if (varying == 0) return;
    const unsigned low = static_cast<unsigned>(std::countr_zero(varying));
    const unsigned span = static_cast<unsigned>(std::bit_width(varying)) - low;
    const unsigned passes = (span + kMaxDigitBits - 1) / kMaxDigitBits;
    const unsigned digit_bits = (span + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit_bits;
    const std::uint64_t digit_mask = buckets - 1;

    // One read of the keys counts the digits of every pass.
    std::array<std::array<std::size_t, std::size_t{1} << kMaxDigitBits>, kMaxPasses> counts;
    for (unsigned p = 0; p < passes; ++p) std::fill_n(counts[p].begin(), buckets, 0);
    for (const std::uint64_t key : keys) {
        for (unsigned p = 0; p < passes; ++p) {
            ++counts[p][(key >> (low + p * digit_bits)) & digit_mask];
        }
    }

    scratch_.resize(keys.size());
    for (unsigned p = 0; p < passes; ++p) {
        const unsigned shift = low + p * digit_bits;
        std::size_t* offsets = counts[p].data();
        // A digit shared by all keys leaves the order as it is.
        if (offsets[(keys.front() >> shift) & digit_mask] == keys.size()) continue;
        std::size_t running = 0;
        for (std::size_t b = 0; b < buckets; ++b) {
            const std::size_t n = offsets[b];
            offsets[b] = running;
            running += n;
        }
        std::uint64_t* dst = scratch_.data();
        for (const std::uint64_t key : keys) dst[offsets[(key >> shift) & digit_mask]++] = key;
        keys.swap(scratch_);
    }
}

}  // namespace zel
