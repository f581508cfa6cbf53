#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/event.hpp"
#include "base/result.hpp"
#include "codec/grid_params.hpp"
#include "container/container_format.hpp"
#include "container/frame_encoder.hpp"

namespace zel::container {

// Writes a container piece by piece into the caller's buffers, which the
// caller passes on (to a file, to Python) as it likes:
//   begin()      the file header
//   add_frame()  one record per frame, keyframes chosen by the interval
//   finish()     the index and the trailer
// A writer made without a frame count (kUnknownFrameCount, as a stream of
// windows is) writes a header that marks the file as interrupted until
// final_header() is put over it; a reader then still finds every complete
// record. Frames are coded one after another, each against the one before;
// keyframes with `codec`, so a file holds one keyframe kind.
// A call out of that order fails with InvalidInput and writes nothing.
class ContainerWriter {
public:
    ContainerWriter(const GridParams& grid, std::uint32_t keyframe_interval,
                    std::uint64_t n_frames = kUnknownFrameCount,
                    KeyframeCodec codec = KeyframeCodec::Zel);

    Status begin(std::vector<std::uint8_t>& out);
    Status add_frame(PackedEvents events, std::vector<std::uint8_t>& out);
    Status add_frame(std::span<const Event> events, std::vector<std::uint8_t>& out);
    // Also InvalidInput when a count was given and another number of frames
    // was added.
    Status finish(std::vector<std::uint8_t>& out);

    // The header with the number of frames added, for a writer made without
    // a count to put at offset 0 once finished.
    std::array<std::uint8_t, kHeaderBytes> final_header() const;

    std::uint64_t frames_added() const { return index_.size(); }

private:
    enum class Stage : std::uint8_t { Created, Writing, Finished };

    Status expect(Stage stage, const char* call) const;
    template <class Source>
    Status add(const Source& events, std::vector<std::uint8_t>& out);

    FileHeader header_;
    Stage stage_ = Stage::Created;
    FrameEncoder encoder_;
    std::vector<FrameSummary> index_;
    std::uint64_t offset_ = 0;  // file offset of the next byte written
    FrameHeader frame_;
    std::vector<std::uint8_t> payload_;
};

// Least memory each frame of encode_container needs, whatever its events:
// its slot in the frame split (8 bytes), its index entry while the frames
// are written (24), its smallest record (the 1-byte context payload of an
// empty frame: 53) and its index entry (24) in the output, which a caller
// handing the output on (a Python bytes object) holds once more.
inline constexpr std::uint64_t kMinEncodeBytesPerFrame =
    8 + kIndexEntryBytes + 2 * (kMinFrameRecordBytes + 1 + kIndexEntryBytes);

// A whole container in memory: events split into n_frames (>= 1) frames by
// compress_sequence's rule, each frame coded with its own time range. Fails
// with OutOfMemory, before any work, when the frames could never fit in this
// machine's memory; throws std::bad_alloc when an allocation fails.
Result<std::vector<std::uint8_t>> encode_container(PackedEvents events, const GridParams& grid,
                                                   std::uint64_t n_frames,
                                                   std::uint32_t keyframe_interval,
                                                   KeyframeCodec codec = KeyframeCodec::Zel);

}  // namespace zel::container
