#pragma once

#include <cstdint>
#include <vector>

#include "base/event.hpp"
#include "base/memory_limits.hpp"
#include "base/result.hpp"
#include "codec/delta.hpp"

namespace zel {

// What a compression run measured; mirrors the Python CompressionResult fields.
struct CompressionStats {
    std::uint64_t n_events = 0;
    std::uint64_t raw_bytes = 0;
    std::uint64_t bitstream_bytes = 0;
    std::uint64_t n_bits = 0;
    std::uint64_t encode_us = 0;
    std::uint64_t decode_us = 0;
    double sparsity = 1.0;
};

struct CompressOutput {
    std::vector<std::uint8_t> stream;  // the rANS stream
    CompressionStats stats;
};

// Payloads of all frames stored back to back: frame k is
// bytes[frame_ends[k-1] .. frame_ends[k]) (frame_ends[-1] taken as 0).
struct SequenceOutput {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint64_t> frame_ends;
    CompressionStats stats;
};

// Both drivers throw std::bad_alloc (or std::length_error) when a request
// cannot be satisfied; the Python layer maps that to MemoryError.
CompressOutput run_compress(const EventList& events, std::uint16_t width, std::uint16_t height,
                            std::uint16_t time_bins, std::uint8_t max_depth);

SequenceOutput run_compress_sequence(const EventList& events, std::uint16_t width,
                                     std::uint16_t height, std::uint16_t time_bins,
                                     std::uint8_t max_depth, std::uint64_t n_frames);

// The same drivers over packed records (zelkit's arrays); identical output.
CompressOutput run_compress(PackedEvents events, std::uint16_t width, std::uint16_t height,
                            std::uint16_t time_bins, std::uint8_t max_depth);

SequenceOutput run_compress_sequence(PackedEvents events, std::uint16_t width,
                                     std::uint16_t height, std::uint16_t time_bins,
                                     std::uint8_t max_depth, std::uint64_t n_frames);

// Lower bound on what one frame costs the sequence driver: its smallest
// payload (one run-length pair), its end offset and its bit count. Unsorted
// input costs one more 8-byte counting slot per frame, which the bound
// leaves out.
inline constexpr std::uint64_t kMinBytesPerFrame =
    kMinDeltaPayloadBytes + sizeof(std::uint64_t) + sizeof(std::uint64_t);

// Whether a sequence run codes no frame at all, and so needs no memory for
// frames whatever n_frames says.
constexpr bool sequence_is_empty(std::uint64_t n_frames, std::uint64_t n_events) {
    return n_frames == 0 || n_events == 0;
}

// The one budget rule for frame counts: n_frames frames of at least
// `bytes_per_frame` bytes each must fit in `memory` bytes. An OutOfMemory
// error naming the three figures otherwise. A caller checks it before any
// work, with the least a frame costs it (the driver's kMinBytesPerFrame plus
// whatever it keeps per frame of the result) and the machine's physical
// memory: a request beyond that would only drive the machine into swap for
// minutes before failing. A `memory` of 0 (the system does not say) passes.
Status check_frames_fit_in_memory(std::uint64_t n_frames, std::uint64_t bytes_per_frame,
                                  std::uint64_t memory = physical_memory_bytes());

// Throws std::bad_alloc when n_frames frames could never fit in the address
// space, so an impossible request reaching a driver fails before any
// per-frame allocation is attempted.
void check_frame_budget(std::uint64_t n_frames);

// 1 - occupied / volume, each converted to double before dividing.
double grid_sparsity(std::uint64_t occupied, std::uint64_t volume);

}  // namespace zel
