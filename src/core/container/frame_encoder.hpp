#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/event.hpp"
#include "codec/context_codec.hpp"
#include "codec/encoder.hpp"
#include "codec/grid_params.hpp"
#include "codec/sparse_octree.hpp"
#include "container/container_format.hpp"
#include "container/frame_codec.hpp"

namespace zel::container {

// Codes frames one after another the way compress_sequence does: a keyframe
// is its octree bitstream coded by the chosen codec (the rANS stream for
// "zel", the context-coded tree for "context"), any other frame the
// run-length xor of its bitstream against the previous frame's, which the
// encoder keeps. Both codecs code the same bitstream, so the deltas between
// them are the same too.
class FrameEncoder {
public:
    explicit FrameEncoder(const GridParams& params, KeyframeCodec codec = KeyframeCodec::Zel);

    // Fills the frame's header (all but its index) and its payload. Packed
    // records are coded where they lie. The first frame is a keyframe
    // whatever `keyframe` says.
    void encode(std::span<const Event> events, bool keyframe, FrameHeader& header,
                std::vector<std::uint8_t>& payload);
    void encode(PackedEvents events, bool keyframe, FrameHeader& header,
                std::vector<std::uint8_t>& payload);

private:
    template <class Source>
    void encode_source(const Source& events, bool keyframe, FrameHeader& header,
                       std::vector<std::uint8_t>& payload);

    SparseOctreeCoder coder_;
    // Only a "context" writer has one.
    std::unique_ptr<context::ContextEncoder> context_;
    OctreeBitstream previous_;
    OctreeBitstream current_;
    bool has_previous_ = false;
};

}  // namespace zel::container
