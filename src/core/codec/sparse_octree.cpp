#include "sparse_octree.hpp"

#include <algorithm>
#include <bit>

#include "voxel.hpp"

namespace zel {

SparseOctreeCoder::SparseOctreeCoder(std::uint16_t width, std::uint16_t height,
                                     std::uint16_t time_bins, std::uint8_t max_depth)
    : dim_x_(next_pow2(width)),
      dim_y_(next_pow2(height)),
      dim_t_(next_pow2(time_bins)),
      time_bins_(time_bins) {
    const std::array<unsigned, 3> log2 = {
        static_cast<unsigned>(std::countr_zero(dim_x_)),
        static_cast<unsigned>(std::countr_zero(dim_y_)),
        static_cast<unsigned>(std::countr_zero(dim_t_))};
    const unsigned levels = std::max({log2[0], log2[1], log2[2]});
    tree_levels_ = std::min<unsigned>(levels, max_depth);

    // An axis splits at level j while j <= its log2 extent.
    for (unsigned j = 1; j <= levels; ++j) {
        for (unsigned a = 0; a < 3; ++a) level_bits_[j] += j <= log2[a] ? 1 : 0;
    }
    for (unsigned j = levels; j-- > 1;) level_shift_[j] = level_shift_[j + 1] + level_bits_[j + 1];
    key_bits_ = log2[0] + log2[1] + log2[2];

    // Coordinate bit b of axis a is the axis's choice at level log2[a] - b;
    // within a level x is the most significant choice and t the least.
    for (unsigned a = 0; a < 3; ++a) {
        for (unsigned b = 0; b < log2[a]; ++b) {
            const unsigned j = log2[a] - b;
            unsigned position = level_shift_[j];
            for (unsigned later = a + 1; later < 3; ++later) position += j <= log2[later] ? 1 : 0;
            for (unsigned v = 0; v < 256; ++v) {
                if ((v >> (b % 8)) & 1u) deposit_[a][b / 8][v] |= std::uint64_t{1} << position;
            }
        }
    }
}

std::uint64_t SparseOctreeCoder::voxel_key(std::uint64_t x, std::uint64_t y,
                                           std::uint64_t t) const {
    return deposit_[0][0][x & 0xFF] | deposit_[0][1][(x >> 8) & 0xFF] |
           deposit_[1][0][y & 0xFF] | deposit_[1][1][(y >> 8) & 0xFF] |
           deposit_[2][0][t & 0xFF] | deposit_[2][1][(t >> 8) & 0xFF];
}

void SparseOctreeCoder::sort_keys() {
    // Small frames (the common case in long sequences) sort faster by
    // comparison; large ones by an LSD radix sort over the key's used bits.
    constexpr std::size_t kRadixThreshold = 4096;
    constexpr unsigned kDigitBits = 11;
    if (keys_.size() < kRadixThreshold) {
        std::sort(keys_.begin(), keys_.end());
        return;
    }
    scratch_.resize(keys_.size());
    std::vector<std::size_t> counts(std::size_t{1} << kDigitBits);
    for (unsigned shift = 0; shift < key_bits_; shift += kDigitBits) {
        const std::uint64_t digit_mask = (std::uint64_t{1} << kDigitBits) - 1;
        std::fill(counts.begin(), counts.end(), 0);
        for (const std::uint64_t key : keys_) ++counts[(key >> shift) & digit_mask];
        std::size_t running = 0;
        for (std::size_t& c : counts) {
            const std::size_t n = c;
            c = running;
            running += n;
        }
        for (const std::uint64_t key : keys_) scratch_[counts[(key >> shift) & digit_mask]++] = key;
        keys_.swap(scratch_);
    }
}

std::uint64_t SparseOctreeCoder::encode(std::span<const Event> events, OctreeBitstream& out) {
    BitWriter writer(out.packed);
    if (events.empty()) {
        writer.put(0, 1);
        out.n_bits = writer.finish();
        return 0;
    }

    const TimeRange range = time_range(events);
    keys_.clear();
    keys_.reserve(events.size());
    for (const Event& e : events) {
        const std::uint64_t bin = time_slot(e.t, range, time_bins_, dim_t_ - 1);
        keys_.push_back(voxel_key(std::min<std::uint64_t>(e.x, dim_x_ - 1),
                                  std::min<std::uint64_t>(e.y, dim_y_ - 1), bin));
    }
    sort_keys();
    keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());

    writer.put(1, 1);  // the root holds at least one voxel
    for (unsigned j = 1; j <= tree_levels_; ++j) {
        // Occupied boxes of level j - 1 are exactly the distinct parents seen
        // here, all Subdivided; each contributes one bit per child box.
        const unsigned bits = level_bits_[j];
        const unsigned shift = level_shift_[j];
        const unsigned children = 1u << bits;
        std::uint64_t last_child = keys_.front() >> shift;
        std::uint64_t parent = last_child >> bits;
        std::uint32_t mask = 0;
        for (const std::uint64_t key : keys_) {
            const std::uint64_t child = key >> shift;
            if (child == last_child && mask != 0) continue;
            if ((child >> bits) != parent) {
                writer.put(mask, children);
                mask = 0;
                parent = child >> bits;
            }
            last_child = child;
            mask |= 1u << (children - 1 - (child & (children - 1)));
        }
        writer.put(mask, children);
    }
    out.n_bits = writer.finish();
    return keys_.size();
}

}  // namespace zel
