#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/byte_buffer.hpp"
#include "base/result.hpp"
#include "container/byte_source.hpp"
#include "container/container_format.hpp"
#include "container/frame_decoder.hpp"

namespace zel::container {

// A .zel container opened for reading. Opening reads the header and the
// index the trailer points at; a file without a trailer (its writer was
// interrupted, or the index was cut off) has its records walked from the
// header instead. Frames are decoded on demand, each along its delta chain,
// and every frame on the way is checked in full: checksum, numbering, kind
// against the keyframe interval, bitstream against its counts, and record
// against its index entry. Nothing read from the file sizes an allocation
// before it has been checked against the bytes present.
class ContainerReader {
public:
    static Result<ContainerReader> open(std::unique_ptr<ByteSource> source);

    const FileHeader& header() const { return header_; }
    // One summary per frame, from the index or from the records' headers.
    std::span<const FrameSummary> frames() const { return frames_; }
    // False for a file without index and without a frame count, as an
    // interrupted streaming writer leaves it: frames() then lists the
    // complete records before the cut, and later frames may have been lost.
    bool complete() const { return complete_; }

    // Decodes frame k (below frames().size()): from the keyframe at or
    // before it, or onwards from the frame decoded last when that lies
    // between, so reading the frames in order costs one frame each. Boxes
    // are filled when asked for. One call at a time.
    Result<DecodedFrame> decode(std::uint64_t k, bool want_boxes);

private:
    ContainerReader(std::unique_ptr<ByteSource> source, FileHeader header)
        : source_(std::move(source)), header_(header) {}

    Status read_index(std::uint64_t index_offset);
    Status walk_records();
    Result<std::span<const std::uint8_t>> record(std::uint64_t k);

    std::unique_ptr<ByteSource> source_;
    FileHeader header_;
    std::vector<FrameSummary> frames_;
    std::uint64_t frames_end_ = kHeaderBytes;  // where the last record ends
    bool complete_ = true;
    ByteBuffer scratch_;
    // The delta chain: the reconstructed bitstream of frame chain_frame_.
    std::optional<std::uint64_t> chain_frame_;
    std::vector<std::uint8_t> chain_bits_;
};

}  // namespace zel::container
