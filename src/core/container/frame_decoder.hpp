#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/result.hpp"
#include "codec/box_decoder.hpp"
#include "container/container_format.hpp"

namespace zel::container {

// Most bits a rANS stream of this length could carry: every bit costs at
// least -log2(max(p, 4096 - p) / 4096) bits of coder state, so the stream's
// size and its probability bound the count. A bit count above this cannot
// come from the encoder, and refusing it keeps a forged count from sizing an
// allocation. The bound carries a factor of two of slack for the coder's
// rounding.
std::uint64_t rans_bit_capacity(std::span<const std::uint8_t> stream);

// A frame's bitstream and, when asked for, its occupied boxes.
struct DecodedFrame {
    FrameHeader header;
    LeafBoxes boxes;
};

// Decodes the frame record read from `offset` (checksummed, numbered
// `expected_index`). `bits` carries the delta chain: on entry the previous
// frame's reconstructed bitstream when `have_previous` (ignored for a
// keyframe), on return this frame's, zero padded, as the next delta needs it.
// Every inconsistency is an InvalidData error at its offset; `bits` is
// unspecified after a failure.
Result<DecodedFrame> decode_frame(std::span<const std::uint8_t> record, std::uint64_t offset,
                                  std::uint64_t expected_index, const FileHeader& file,
                                  std::vector<std::uint8_t>& bits, bool have_previous,
                                  bool want_boxes);

}  // namespace zel::container
