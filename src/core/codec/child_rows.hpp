#pragma once

#include <array>
#include <cstdint>

#include "codec/grid_params.hpp"

namespace zel {

// For every value of eight child bits (child c in bit 7 - c): the set
// children in order, padded with child 0, and how many there are. A parent's
// children are written as a whole row and the output advanced by the count,
// so the loops that expand masks have no branch on the data.
struct ChildRows {
    std::array<std::array<std::uint8_t, kMaxChildren>, 256> order{};
    std::array<std::uint8_t, 256> count{};
};

constexpr ChildRows make_child_rows() {
    ChildRows rows;
    for (unsigned v = 0; v < 256; ++v) {
        unsigned n = 0;
        for (unsigned c = 0; c < kMaxChildren; ++c) {
            if (v & (0x80u >> c)) rows.order[v][n++] = static_cast<std::uint8_t>(c);
        }
        rows.count[v] = static_cast<std::uint8_t>(n);
    }
    return rows;
}

inline constexpr ChildRows kChildRows = make_child_rows();

// Every byte with its bits in reverse order: a mask with the first child
// highest turned into one with child c in bit c, and back.
constexpr std::array<std::uint8_t, 256> make_reversed_bytes() {
    std::array<std::uint8_t, 256> r{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned out = 0;
        for (unsigned k = 0; k < 8; ++k) out |= ((v >> k) & 1u) << (7 - k);
        r[v] = static_cast<std::uint8_t>(out);
    }
    return r;
}

inline constexpr std::array<std::uint8_t, 256> kReversedBytes = make_reversed_bytes();

}  // namespace zel
