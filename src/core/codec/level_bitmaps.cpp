#include "codec/level_bitmaps.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "base/bit_count.hpp"
#include "codec/child_rows.hpp"
#include "codec/key_interleave.hpp"

namespace zel {

namespace {

// Lowest bit of every group of 2^group_bits bits.
constexpr std::uint64_t kGroupLow[4] = {0, 0x5555555555555555ull, 0x1111111111111111ull,
                                        0x0101010101010101ull};

// The OR of each group, left in the group's lowest bit.
inline std::uint64_t any_in_group(std::uint64_t word, unsigned group_bits) {
    std::uint64_t t = word | (word >> 1);
    if (group_bits >= 2) t |= t >> 2;
    if (group_bits >= 3) t |= t >> 4;
    return t & kGroupLow[group_bits];
}

// The group-lowest bits of `low_bits` (any_in_group's result) packed
// together, as a parallel bit extract would, by halving the gaps between them.
inline std::uint64_t pack_group_bits(std::uint64_t low_bits, unsigned group_bits) {
    std::uint64_t t = low_bits;
    switch (group_bits) {
        case 1:
            t = (t | (t >> 1)) & 0x3333333333333333ull;
            t = (t | (t >> 2)) & 0x0F0F0F0F0F0F0F0Full;
            t = (t | (t >> 4)) & 0x00FF00FF00FF00FFull;
            t = (t | (t >> 8)) & 0x0000FFFF0000FFFFull;
            return (t | (t >> 16)) & 0xFFFFFFFFull;
        case 2:
            t = (t | (t >> 3)) & 0x0303030303030303ull;
            t = (t | (t >> 6)) & 0x000F000F000F000Full;
            t = (t | (t >> 12)) & 0x000000FF000000FFull;
            return (t | (t >> 24)) & 0xFFFFull;
        default:
            return (t * 0x0102040810204080ull) >> 56;
    }
}

inline std::uint64_t reverse_bits(std::uint64_t x) {
    x = __builtin_bswap64(x);
    x = ((x >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((x & 0x0F0F0F0F0F0F0F0Full) << 4);
    x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
    return ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
}


// Writes bits most significant first without a branch on the data: bits
// gather left-aligned in a 64-bit word that is stored whole after every
// addition, the output advancing by the complete bytes. The store reaches
// up to eight bytes past the last complete byte, so the output carries
// kSlackBytes of room.
class BitSink {
public:
    static constexpr std::size_t kSlackBytes = 8;
    static constexpr unsigned kMaxAdd = 56;

    explicit BitSink(std::uint8_t* out) : dst_(out) {}

    // count <= kMaxAdd and value < 2^count.
    void add(std::uint64_t value, unsigned count) {
        acc_ |= (value << (63 - pending_ - count)) << 1;
        pending_ += count;
        const std::uint64_t bytes = __builtin_bswap64(acc_);
        std::memcpy(dst_, &bytes, sizeof bytes);
        dst_ += pending_ >> 3;
        acc_ <<= pending_ & ~7u;
        pending_ &= 7;
    }

private:
    std::uint8_t* dst_;
    std::uint64_t acc_ = 0;
    unsigned pending_ = 0;
};

std::uint64_t words_for(std::uint64_t bits) { return (bits + 63) / 64; }

// One level's bitmap from its children's: bit p is set when group p of
// the children's bitmap is not zero. Each output word gathers the groups of
// 2^group_bits input words in a register. `pack` gathers a word's
// group-lowest bits side by side; the two callers differ only in how.
template <class Pack>
[[gnu::always_inline]] inline void reduce_level(const std::uint64_t* children,
                                                std::uint64_t in_words, unsigned group_bits,
                                                std::uint64_t* parents, std::uint64_t out_words,
                                                Pack pack) {
    const unsigned per_word = 64u >> group_bits;  // parent bits from one input word
    const std::uint64_t inputs = std::uint64_t{1} << group_bits;
    for (std::uint64_t o = 0; o < out_words; ++o) {
        std::uint64_t acc = 0;
        const std::uint64_t first = o * inputs;
        const std::uint64_t count = std::min(inputs, in_words - first);
        for (std::uint64_t k = 0; k < count; ++k) {
            acc |= pack(any_in_group(children[first + k], group_bits)) << (k * per_word);
        }
        parents[o] = acc;
    }
}

void reduce_portable(const std::uint64_t* children, std::uint64_t in_words, unsigned group_bits,
                     std::uint64_t* parents, std::uint64_t out_words) {
    reduce_level(children, in_words, group_bits, parents, out_words,
                 [group_bits](std::uint64_t low_bits) {
                     return pack_group_bits(low_bits, group_bits);
                 });
}

// Appends each nonzero group's child mask (the group read backwards).
void write_level_portable(const std::uint64_t* bits, std::uint64_t words, unsigned group_bits,
                          BitSink& sink) {
    const unsigned width = 1u << group_bits;
    const std::uint64_t group_mask = (std::uint64_t{1} << width) - 1;
    for (std::uint64_t w = 0; w < words; ++w) {
        const std::uint64_t word = bits[w];
        if (word == 0) continue;
        for (unsigned at = 0; at < 64; at += width) {
            const auto group = static_cast<unsigned>((word >> at) & group_mask);
            sink.add(std::uint64_t{kReversedBytes[group]} >> (8 - width), group != 0 ? width : 0);
        }
    }
}

#ifdef ZEL_HAVE_BIT_DEPOSIT
bool fast_bit_extract() {
    static const bool fast = fast_bit_deposit() && has_popcount_instruction();
    return fast;
}

struct ExtractGroupBits {
    std::uint64_t low;
    __attribute__((target("bmi2"))) std::uint64_t operator()(std::uint64_t low_bits) const {
        return _pext_u64(low_bits, low);
    }
};

__attribute__((target("bmi2,popcnt"))) void reduce_bmi2(const std::uint64_t* children,
                                                        std::uint64_t in_words,
                                                        unsigned group_bits,
                                                        std::uint64_t* parents,
                                                        std::uint64_t out_words) {
    reduce_level(children, in_words, group_bits, parents, out_words,
                 ExtractGroupBits{kGroupLow[group_bits]});
}

// Per word: the nonzero groups are extracted side by side in one step, and
// reversing the result puts the first group first with its first child
// leading, which is the stream's order.
__attribute__((target("bmi2,popcnt"))) void write_level_bmi2(const std::uint64_t* bits,
                                                             std::uint64_t words,
                                                             unsigned group_bits, BitSink& sink) {
    const std::uint64_t fill = (std::uint64_t{1} << (1u << group_bits)) - 1;
    for (std::uint64_t w = 0; w < words; ++w) {
        const std::uint64_t word = bits[w];
        if (word == 0) continue;
        const std::uint64_t keep = any_in_group(word, group_bits) * fill;
        const auto count = static_cast<unsigned>(std::popcount(keep));
        const std::uint64_t masks = reverse_bits(_pext_u64(word, keep)) >> (64 - count);
        if (count <= BitSink::kMaxAdd) {
            sink.add(masks, count);
        } else {
            sink.add(masks >> 32, count - 32);
            sink.add(masks & 0xFFFFFFFFull, 32);
        }
    }
}
#endif

}  // namespace

LevelBitmaps::LevelBitmaps(bool allow_bit_extract) {
#ifdef ZEL_HAVE_BIT_DEPOSIT
    bit_extract_ = allow_bit_extract && fast_bit_extract();
#else
    (void)allow_bit_extract;
    bit_extract_ = false;
#endif
}

void LevelBitmaps::build(const std::uint64_t* voxels, const unsigned* level_bits,
                         unsigned levels) {
    voxels_ = voxels;
    levels_ = levels;
    level_size_[0] = 1;
    for (unsigned j = 1; j <= levels; ++j) {
        level_bits_[j] = level_bits[j];
        level_size_[j] = level_size_[j - 1] << level_bits[j];
    }
    occupied_ = count_set_bits(reinterpret_cast<const std::uint8_t*>(voxels),
                               words_for(level_size_[levels]) * sizeof(std::uint64_t));
    level_ones_[levels] = occupied_;
    if (levels == 0) return;

    std::uint64_t total = 0;
    for (unsigned j = levels - 1; j >= 1; --j) {
        level_offset_[j] = total;
        total += words_for(level_size_[j]);
    }
    if (storage_.size() < total) storage_.resize(total);
    for (unsigned j = levels; j >= 2; --j) {
        const std::uint64_t in_words = words_for(level_size_[j]);
        const std::uint64_t out_words = words_for(level_size_[j - 1]);
        std::uint64_t* parents = storage_.data() + level_offset_[j - 1];
#ifdef ZEL_HAVE_BIT_DEPOSIT
        if (bit_extract_) {
            reduce_bmi2(level(j), in_words, level_bits_[j], parents, out_words);
        } else
#endif
        {
            reduce_portable(level(j), in_words, level_bits_[j], parents, out_words);
        }
        level_ones_[j - 1] = count_set_bits(reinterpret_cast<const std::uint8_t*>(parents),
                                            out_words * sizeof(std::uint64_t));
    }
}

const std::uint64_t* LevelBitmaps::level(unsigned j) const {
    return j == levels_ ? voxels_ : storage_.data() + level_offset_[j];
}

std::uint64_t LevelBitmaps::stream_bits(unsigned depth) const {
    std::uint64_t bits = 1;
    // Every occupied node above `depth` writes one mask for its children.
    for (unsigned j = 1; j <= depth; ++j) {
        const std::uint64_t parents = j == 1 ? 1 : level_ones_[j - 1];
        bits += parents << level_bits_[j];
    }
    return bits;
}

void LevelBitmaps::write_stream(unsigned depth, std::vector<std::uint8_t>& out) const {
    const std::uint64_t n_bits = stream_bits(depth);
    const std::size_t bytes = static_cast<std::size_t>((n_bits + 7) / 8);
    out.resize(bytes + BitSink::kSlackBytes);
    BitSink sink(out.data());
    sink.add(1, 1);  // the root holds at least one voxel
    for (unsigned j = 1; j <= depth; ++j) {
        const std::uint64_t words = words_for(level_size_[j]);
#ifdef ZEL_HAVE_BIT_DEPOSIT
        if (bit_extract_) {
            write_level_bmi2(level(j), words, level_bits_[j], sink);
            continue;
        }
#endif
        write_level_portable(level(j), words, level_bits_[j], sink);
    }
    out.resize(bytes);
}

void LevelBitmaps::trim(std::size_t keep_bytes) {
    if (storage_.capacity() * sizeof(std::uint64_t) > keep_bytes) {
        std::vector<std::uint64_t>().swap(storage_);
    }
}

}  // namespace zel
