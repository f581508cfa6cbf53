#pragma once

// The context-coded occupancy payload: the same octree as codec "zel"
// (sparse_octree.hpp builds it, box_decoder.hpp reads it), each child's bit
// coded as a binary decision with an adaptive probability chosen by what is
// known around the child when it is coded (context_model.hpp): the parent's
// neighbours on the child's side, the child's neighbours already coded, its
// earlier siblings. The layout is in docs/format.md ("Context-coded
// occupancy payload").
//
// What the payload leaves out because the tree implies it: the root's bit
// (the root is occupied exactly when the frame has events), the bits of
// nodes under an Empty node, the last child of a parent whose other children
// are empty, and the node counts of every level (they follow from the bits
// above). Every frame is coded on its own: a frame of a sequence depends on
// no other, so every frame is a keyframe.

#include <cstdint>
#include <span>
#include <vector>

#include "base/event.hpp"
#include "base/result.hpp"
#include "codec/box_decoder.hpp"
#include "codec/encoder.hpp"
#include "codec/grid_params.hpp"
#include "codec/sparse_octree.hpp"

namespace zel::context {

inline constexpr std::uint8_t kPayloadVersion = 1;

// What the encoder reports of a frame, for the container's frame header.
struct FrameFigures {
    std::uint64_t n_bits = 0;    // bits of the frame's octree bitstream
    std::uint64_t occupied = 0;  // distinct occupied voxels
};

// Codes frames for one grid. Holds the octree builder and the buffers it
// reuses, so coding many frames allocates little.
class ContextEncoder {
public:
    explicit ContextEncoder(const GridParams& params);

    // Replaces payload with the frame's payload.
    FrameFigures encode(std::span<const Event> events, std::vector<std::uint8_t>& payload);
    FrameFigures encode(PackedEvents events, std::vector<std::uint8_t>& payload);

    // Codes an octree bitstream built for these parameters (the bits that
    // codec "zel" codes); `has_events` says whether the frame had events.
    void encode_bitstream(std::span<const std::uint8_t> packed, std::uint64_t n_bits,
                          bool has_events, std::vector<std::uint8_t>& payload);

    // The bitstream of the last frame encode() coded.
    const OctreeBitstream& last_bitstream() const { return bits_; }

private:
    GridParams params_;
    SparseOctreeCoder coder_;
    OctreeBitstream bits_;
};

// Decodes a payload of a frame with n_events events whose header gives
// n_bits, into its occupied leaves (as decode_leaf_boxes yields them from
// the bitstream). Refuses, with the byte offset of the fault: an unknown
// version or reserved bits, missing bytes, a stream that does not end
// cleanly, a tree whose bit count is not n_bits, or a level with more
// occupied nodes than n_events. Memory grows with what is decoded, never
// with a count read from the payload.
Result<LeafBoxes> decode_boxes(std::span<const std::uint8_t> payload, const GridParams& params,
                               std::uint64_t n_bits, std::uint64_t n_events);

// The same, yielding the frame's octree bitstream (the bytes codec "zel"
// would have coded) instead of boxes.
Result<OctreeBitstream> decode_bitstream(std::span<const std::uint8_t> payload,
                                         const GridParams& params, std::uint64_t n_bits,
                                         std::uint64_t n_events);

// Both from one pass, as a container reader needs them: the bitstream
// always (the next delta frame applies to it), the leaves when `leaves` is
// given. Refuses what decode_boxes refuses.
Status decode_tree(std::span<const std::uint8_t> payload, const GridParams& params,
                   std::uint64_t n_bits, std::uint64_t n_events,
                   std::vector<std::uint8_t>& bitstream, LeafBoxes* leaves);

// Most tree bits a payload of this length could describe. Every decision
// costs at least -log2(4095/4096) bits of coder state, and every parent
// costs at least one decision for at most 8 bits, so the payload's size
// bounds the tree. A frame claiming more cannot come from the encoder; a
// reader refuses it before walking a tree sized by a forged count. The
// bound carries a factor of two of slack for the coder's rounding.
std::uint64_t tree_bit_capacity(std::span<const std::uint8_t> payload);

}  // namespace zel::context
