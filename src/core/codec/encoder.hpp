#pragma once

#include <cstdint>
#include <vector>

#include "codec/voxel.hpp"

namespace zel {

// One occupancy bit per octree node in breadth-first order (Empty 0, Full and
// Subdivided 1), packed most significant bit first: bit i is bit 7 - i % 8
// of byte i / 8. Padding bits of the last byte are 0.
struct OctreeBitstream {
    std::vector<std::uint8_t> packed;
    std::uint64_t n_bits = 0;

    friend bool operator==(const OctreeBitstream&, const OctreeBitstream&) = default;
};

OctreeBitstream encode_octree(const OctreeNode& root);

// Appends bits most significant first to a packed buffer; the context coder
// rebuilds the plain occupancy bitstream with it.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) { out_.clear(); }

    // Appends the low `count` bits of value (count <= 32), highest first.
    void put(std::uint32_t value, unsigned count) {
        acc_ = (acc_ << count) | (value & ((std::uint64_t{1} << count) - 1));
        pending_ += count;
        n_bits_ += count;
        while (pending_ >= 8) {
            pending_ -= 8;
            out_.push_back(static_cast<std::uint8_t>(acc_ >> pending_));
        }
        acc_ &= (std::uint64_t{1} << pending_) - 1;
    }

    // Flushes the partial last byte (zero padded); returns the bit count.
    std::uint64_t finish() {
        if (pending_ > 0) out_.push_back(static_cast<std::uint8_t>(acc_ << (8 - pending_)));
        pending_ = 0;
        acc_ = 0;
        return n_bits_;
    }

private:
    std::vector<std::uint8_t>& out_;
    std::uint64_t acc_ = 0;
    unsigned pending_ = 0;
    std::uint64_t n_bits_ = 0;
};

}  // namespace zel
