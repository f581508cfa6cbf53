#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/event.hpp"
#include "codec/encoder.hpp"
#include "codec/grid_params.hpp"
#include "codec/sparse_octree.hpp"
#include "container/container_format.hpp"

namespace zel::container {

// Codes frames one after another the way compress_sequence does: a keyframe
// is the rANS stream of its octree bitstream, any other frame the run-length
// xor of its bitstream against the previous frame's. The previous bitstream
// is the encoder's state; a streaming writer that keeps it outside between
// calls hands it back through set_previous.
class FrameEncoder {
public:
    explicit FrameEncoder(const GridParams& params);

    // Fills frame (header fields other than the index, and payload). Packed
    // records are coded where they lie.
    void encode(std::span<const Event> events, bool keyframe, FrameHeader& header,
                std::vector<std::uint8_t>& payload);
    void encode(PackedEvents events, bool keyframe, FrameHeader& header,
                std::vector<std::uint8_t>& payload);

    std::span<const std::uint8_t> previous_bits() const { return previous_.packed; }
    void set_previous(std::span<const std::uint8_t> packed);
    bool has_previous() const { return has_previous_; }

private:
    template <class Source>
    void encode_source(const Source& events, bool keyframe, FrameHeader& header,
                       std::vector<std::uint8_t>& payload);

    SparseOctreeCoder coder_;
    OctreeBitstream previous_;
    OctreeBitstream current_;
    bool has_previous_ = false;
};

// A whole container in memory: events split into n_frames (>= 1) frames by
// compress_sequence's rule, each frame coded with its own time range.
// Throws std::bad_alloc when the frames cannot fit in memory.
std::vector<std::uint8_t> encode_container(PackedEvents events, const GridParams& params,
                                           std::uint64_t n_frames,
                                           std::uint32_t keyframe_interval);

}  // namespace zel::container
