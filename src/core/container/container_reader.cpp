#include "container/container_reader.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace zel::container {

namespace {

std::string num(std::uint64_t v) { return std::to_string(v); }

// The first index field in which a record disagrees with its entry, if any.
std::optional<std::size_t> mismatched_field(const FrameHeader& h, const FrameSummary& entry) {
    if (h.t_first != entry.t_first) return frame_field::t_first.at;
    if (h.t_last != entry.t_last) return frame_field::t_last.at;
    if (h.n_events != entry.n_events) return frame_field::n_events.at;
    return std::nullopt;
}

}  // namespace

Result<ContainerReader> ContainerReader::open(std::unique_ptr<ByteSource> source) {
    ByteBuffer scratch;
    const std::uint64_t size = source->size();
    ZEL_ASSIGN_OR_RETURN(const auto head,
                         source->read(0, std::min<std::uint64_t>(size, kHeaderBytes), scratch));
    ZEL_ASSIGN_OR_RETURN(const FileHeader header, parse_header(head));
    ContainerReader reader(std::move(source), header);
    std::optional<std::uint64_t> index_offset;
    if (size >= kHeaderBytes + kTrailerBytes) {
        ZEL_ASSIGN_OR_RETURN(const auto tail,
                             reader.source_->read(size - kTrailerBytes, kTrailerBytes, scratch));
        ZEL_ASSIGN_OR_RETURN(const TrailerInfo trailer, parse_trailer(tail, size));
        if (trailer.present) index_offset = trailer.index_offset;
    }
    if (index_offset) {
        ZEL_TRY(reader.read_index(*index_offset));
    } else {
        ZEL_TRY(reader.walk_records());
    }
    return reader;
}

Status ContainerReader::read_index(std::uint64_t index_offset) {
    const std::uint64_t block_bytes = source_->size() - kTrailerBytes - index_offset;
    ZEL_ASSIGN_OR_RETURN(const auto block, source_->read(index_offset, block_bytes, scratch_));
    ZEL_ASSIGN_OR_RETURN(frames_, parse_index(block, index_offset, header_));
    frames_end_ = index_offset;
    complete_ = true;
    return kOk;
}

Status ContainerReader::walk_records() {
    // A declared count must be met in full; an unknown one (an interrupted
    // writer) ends at the first record that is not all there.
    const bool declared = header_.n_frames != kUnknownFrameCount;
    const std::uint64_t size = source_->size();
    std::uint64_t offset = kHeaderBytes;
    for (std::uint64_t k = 0; !declared || k < header_.n_frames; ++k) {
        const std::uint64_t remaining = size - offset;
        if (!declared && remaining == 0) break;
        ZEL_ASSIGN_OR_RETURN(
            const auto head,
            source_->read(offset, std::min<std::uint64_t>(remaining, kFrameHeaderBytes), scratch_));
        Result<FrameHeader> parsed = parse_frame_header(head, offset, k);
        if (parsed && parsed.value().record_bytes() > remaining) {
            parsed = Error::invalid_data("truncated frame " + num(k) + ": its record needs " +
                                             num(parsed.value().record_bytes()) + " bytes, " +
                                             num(remaining) + " remain",
                                         offset + frame_field::payload_bytes.at);
        }
        if (!parsed) {
            if (declared) return std::move(parsed).take_error();
            break;
        }
        const FrameHeader& h = parsed.value();
        frames_.push_back({offset, h.t_first, h.t_last, h.n_events});
        offset += h.record_bytes();
    }
    frames_end_ = offset;
    complete_ = declared;
    return kOk;
}

Result<std::span<const std::uint8_t>> ContainerReader::record(std::uint64_t k) {
    const std::uint64_t begin = frames_[k].offset;
    const std::uint64_t end = k + 1 < frames_.size() ? frames_[k + 1].offset : frames_end_;
    return source_->read(begin, end - begin, scratch_);
}

Result<DecodedFrame> ContainerReader::decode(std::uint64_t k, bool want_boxes) {
    if (k >= frames_.size()) {
        return Error::invalid_input("frame " + num(k) + " is beyond the container's " +
                                    num(frames_.size()) + " frames");
    }
    const std::uint64_t start = header_.keyframe_at_or_before(k);
    std::uint64_t j = start;
    if (chain_frame_ && *chain_frame_ >= start && *chain_frame_ < k) j = *chain_frame_ + 1;
    // The chain is only trusted again once a frame has decoded into it.
    chain_frame_.reset();
    for (;; ++j) {
        ZEL_ASSIGN_OR_RETURN(const auto bytes, record(j));
        const FrameSummary& entry = frames_[j];
        ZEL_ASSIGN_OR_RETURN(DecodedFrame frame,
                             decode_frame(bytes, entry.offset, j, header_, chain_bits_, j != start,
                                          want_boxes && j == k));
        if (const auto field = mismatched_field(frame.header, entry)) {
            return Error::invalid_data("frame " + num(j) + " does not match its index entry",
                                       entry.offset + *field);
        }
        chain_frame_ = j;
        if (j == k) return frame;
    }
}

}  // namespace zel::container
