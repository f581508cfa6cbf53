#pragma once

#include <cstdint>
#include <vector>

#include "base/event.hpp"
#include "codec/encoder.hpp"
#include "codec/pipeline.hpp"

namespace zel {

// The drivers built stage by stage from the dense VoxelGrid, OctreeNode trees
// and buffer-to-buffer delta coding. They define what run_compress and
// run_compress_sequence must produce (apart from timings) and are kept for
// tests; a grid too large to allocate throws std::bad_alloc here.
CompressOutput run_compress_reference(const EventList& events, std::uint16_t width,
                                      std::uint16_t height, std::uint16_t time_bins,
                                      std::uint8_t max_depth);

SequenceOutput run_compress_sequence_reference(const EventList& events, std::uint16_t width,
                                               std::uint16_t height, std::uint16_t time_bins,
                                               std::uint8_t max_depth, std::uint64_t n_frames);

// The OctreeBitstream of every frame that compress_sequence codes (empty when
// nothing would be coded), for checking the delta chain.
std::vector<OctreeBitstream> sequence_bitstreams(const EventList& events, std::uint16_t width,
                                                 std::uint16_t height, std::uint16_t time_bins,
                                                 std::uint8_t max_depth, std::uint64_t n_frames);

}  // namespace zel
