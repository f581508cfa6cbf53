#include "container/frame_encoder.hpp"

#include <algorithm>
#include <utility>

#include "codec/delta.hpp"
#include "codec/frames.hpp"
#include "codec/pipeline.hpp"
#include "codec/rans.hpp"
#include "codec/record_source.hpp"

namespace zel::container {

FrameEncoder::FrameEncoder(const GridParams& params)
    : coder_(params.width, params.height, params.time_bins, params.max_depth) {}

void FrameEncoder::set_previous(std::span<const std::uint8_t> packed) {
    previous_.packed.assign(packed.begin(), packed.end());
    previous_.n_bits = packed.size() * 8;
    has_previous_ = true;
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
        header.kind = FrameKind::Key;
        payload = rans_encode(current_.packed, current_.n_bits);
    } else {
        header.kind = FrameKind::Delta;
        append_rle_xor(previous_.packed, current_.packed, payload);
    }
    header.payload_bytes = payload.size();
    std::swap(previous_, current_);
    has_previous_ = true;
}

std::vector<std::uint8_t> encode_container(PackedEvents events, const GridParams& params,
                                           std::uint64_t n_frames,
                                           std::uint32_t keyframe_interval) {
    n_frames = std::max<std::uint64_t>(n_frames, 1);
    check_frame_budget(n_frames);
    EventList list(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) list[i] = events[i];
    const FrameSplit frames = split_frames(list, n_frames);
    list = EventList();

    FileHeader file;
    file.width = params.width;
    file.height = params.height;
    file.time_bins = params.time_bins;
    file.max_depth = params.max_depth;
    file.keyframe_interval = keyframe_interval;
    file.n_frames = n_frames;

    std::vector<std::uint8_t> out;
    append_header(file, out);
    std::vector<std::uint8_t> entries;
    entries.reserve(n_frames * kIndexEntryBytes);
    FrameEncoder encoder(params);
    FrameHeader header;
    std::vector<std::uint8_t> payload;
    for (std::uint64_t k = 0; k < n_frames; ++k) {
        encoder.encode(frames.frame(k), file.is_keyframe(k), header, payload);
        header.index = k;
        append_index_entry({out.size(), header.t_first, header.t_last, header.n_events}, entries);
        append_frame(header, payload, out);
    }
    append_index(entries, out.size(), out);
    return out;
}

}  // namespace zel::container
