#include "container/container_writer.hpp"

#include <algorithm>
#include <string>

#include "base/memory_limits.hpp"
#include "codec/frames.hpp"

namespace zel::container {

ContainerWriter::ContainerWriter(const GridParams& grid, std::uint32_t keyframe_interval,
                                 std::uint64_t n_frames, KeyframeCodec codec)
    : header_{grid, keyframe_interval, n_frames}, encoder_(grid, codec) {}

Status ContainerWriter::expect(Stage stage, const char* call) const {
    if (stage_ == stage) return kOk;
    static constexpr const char* kWhen[] = {"before begin()", "after begin()", "after finish()"};
    return Error::invalid_input(std::string(call) + " cannot be called " +
                                kWhen[static_cast<std::size_t>(stage_)]);
}

Status ContainerWriter::begin(std::vector<std::uint8_t>& out) {
    ZEL_TRY(expect(Stage::Created, "begin()"));
    const auto bytes = header_bytes(header_);
    out.insert(out.end(), bytes.begin(), bytes.end());
    offset_ = bytes.size();
    stage_ = Stage::Writing;
    return kOk;
}

Status ContainerWriter::add_frame(PackedEvents events, std::vector<std::uint8_t>& out) {
    return add(events, out);
}

Status ContainerWriter::add_frame(std::span<const Event> events, std::vector<std::uint8_t>& out) {
    return add(events, out);
}

template <class Source>
Status ContainerWriter::add(const Source& events, std::vector<std::uint8_t>& out) {
    ZEL_TRY(expect(Stage::Writing, "add_frame()"));
    const std::uint64_t k = index_.size();
    encoder_.encode(events, header_.is_keyframe(k), frame_, payload_);
    frame_.index = k;
    append_frame(frame_, payload_, out);
    index_.push_back({offset_, frame_.t_first, frame_.t_last, frame_.n_events});
    offset_ += frame_.record_bytes();
    return kOk;
}

Status ContainerWriter::finish(std::vector<std::uint8_t>& out) {
    ZEL_TRY(expect(Stage::Writing, "finish()"));
    if (header_.n_frames != kUnknownFrameCount && header_.n_frames != index_.size()) {
        return Error::invalid_input("the container declares " + std::to_string(header_.n_frames) +
                                    " frames but " + std::to_string(index_.size()) +
                                    " were added");
    }
    append_index(index_, offset_, out);
    stage_ = Stage::Finished;
    return kOk;
}

std::array<std::uint8_t, kHeaderBytes> ContainerWriter::final_header() const {
    FileHeader finished = header_;
    finished.n_frames = index_.size();
    return header_bytes(finished);
}

Result<std::vector<std::uint8_t>> encode_container(PackedEvents events, const GridParams& grid,
                                                   std::uint64_t n_frames,
                                                   std::uint32_t keyframe_interval,
                                                   KeyframeCodec codec) {
    n_frames = std::max<std::uint64_t>(n_frames, 1);
    ZEL_TRY(check_memory_footprint(n_frames, kMinEncodeBytesPerFrame, "n_frames", "frame"));
    EventList list(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) list[i] = events[i];
    const FrameSplit frames = split_frames(list, n_frames);
    list = EventList();

    std::vector<std::uint8_t> out;
    ContainerWriter writer(grid, keyframe_interval, n_frames, codec);
    ZEL_TRY(writer.begin(out));
    for (std::uint64_t k = 0; k < n_frames; ++k) ZEL_TRY(writer.add_frame(frames.frame(k), out));
    ZEL_TRY(writer.finish(out));
    return out;
}

}  // namespace zel::container
