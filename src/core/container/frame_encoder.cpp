#include "container/frame_encoder.hpp"

#include <utility>

#include "codec/delta.hpp"
#include "codec/rans.hpp"
#include "codec/record_source.hpp"

namespace zel::container {

FrameEncoder::FrameEncoder(const GridParams& params, KeyframeCodec codec)
    : coder_(params.width, params.height, params.time_bins, params.max_depth) {
    if (codec == KeyframeCodec::Context) {
        context_ = std::make_unique<context::ContextEncoder>(params);
    }
}

void FrameEncoder::encode(std::span<const Event> events, bool keyframe, FrameHeader& header,
                          std::vector<std::uint8_t>& payload) {
    encode_source(events, keyframe, header, payload);
}

void FrameEncoder::encode(PackedEvents events, bool keyframe, FrameHeader& header,
                          std::vector<std::uint8_t>& payload) {
    encode_source(events, keyframe, header, payload);
}

template <class Source>
void FrameEncoder::encode_source(const Source& events, bool keyframe, FrameHeader& header,
                                 std::vector<std::uint8_t>& payload) {
    header.n_events = events.size();
    header.t_first = 0;
    header.t_last = 0;
    if (!events.empty()) min_max_time(events, header.t_first, header.t_last);
    coder_.encode(events, current_);
    header.n_bits = current_.n_bits;
    payload.clear();
    if (keyframe || !has_previous_) {
        if (context_) {
            header.kind = FrameKind::ContextKey;
            context_->encode_bitstream(current_.packed, current_.n_bits, !events.empty(), payload);
        } else {
            header.kind = FrameKind::Key;
            payload = rans_encode(current_.packed, current_.n_bits);
        }
    } else {
        header.kind = FrameKind::Delta;
        append_rle_xor(previous_.packed, current_.packed, payload);
    }
    header.payload_bytes = payload.size();
    std::swap(previous_, current_);
    has_previous_ = true;
}

}  // namespace zel::container
