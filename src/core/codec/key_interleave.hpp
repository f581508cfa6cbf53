#pragma once

#include <array>
#include <cstdint>

#include "codec/grid_params.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace zel {

// Where each coordinate bit of a voxel goes in its key. Bit b of axis a
// (x = 0, y = 1, t = 2) lands at position[a][b]; positions rise with b, so
// an axis's bits can be scattered either by table lookups (one table per
// coordinate byte) or by one parallel bit deposit onto the axis's mask.
class KeyInterleaver {
public:
    using Positions = std::array<std::array<unsigned, kMaxAxisLog2>, kAxes>;

    // log2 holds each axis's log2 extent (at most kMaxAxisLog2);
    // position[a][b] for b < log2[a] must rise strictly with b.
    KeyInterleaver(const std::array<unsigned, kAxes>& log2, const Positions& position);

    std::uint64_t by_tables(std::uint64_t x, std::uint64_t y, std::uint64_t t) const {
        return deposit_[0][0][x & 0xFF] | deposit_[0][1][(x >> 8) & 0xFF] |
               deposit_[1][0][y & 0xFF] | deposit_[1][1][(y >> 8) & 0xFF] |
               deposit_[2][0][t & 0xFF] | deposit_[2][1][(t >> 8) & 0xFF];
    }

    // The key bits of each axis; coordinates must fit their axis.
    const std::array<std::uint64_t, kAxes>& masks() const { return masks_; }

private:
    // One table per byte of a coordinate, indexed by that byte's value.
    static constexpr unsigned kCoordinateBytes = kMaxAxisLog2 / 8;
    using ByteTable = std::array<std::uint64_t, 256>;
    std::array<std::array<ByteTable, kCoordinateBytes>, kAxes> deposit_{};
    std::array<std::uint64_t, kAxes> masks_{};
};

// True when this CPU has BMI2 and its bit deposit is fast. Early AMD cores
// with BMI2 (before Zen 3) run it in microcode, hundreds of cycles each,
// far slower than the tables, so they keep the tables; so does any CPU this
// check does not know.
bool fast_bit_deposit();

#if defined(__x86_64__) && defined(__GNUC__)
#define ZEL_HAVE_BIT_DEPOSIT 1
// The same key as by_tables, by bit deposit. Only for code compiled for
// BMI2 (which inlines it) and run where fast_bit_deposit() holds.
__attribute__((target("bmi2"))) inline std::uint64_t interleave_by_deposit(
    const std::array<std::uint64_t, kAxes>& masks, std::uint64_t x, std::uint64_t y,
    std::uint64_t t) {
    return _pdep_u64(x, masks[0]) | _pdep_u64(y, masks[1]) | _pdep_u64(t, masks[2]);
}
#endif

}  // namespace zel
