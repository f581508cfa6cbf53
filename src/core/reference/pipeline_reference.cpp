#include "reference/pipeline_reference.hpp"

#include "base/clock.hpp"
#include "codec/decoder.hpp"
#include "codec/delta.hpp"
#include "codec/frames.hpp"
#include "codec/rans.hpp"
#include "codec/voxel.hpp"

namespace zel {

namespace {

EventList frame_events(const FrameSplit& frames, std::uint64_t k) {
    const auto span = frames.frame(k);
    return EventList(span.begin(), span.end());
}

struct EncodedFrame {
    std::vector<std::uint8_t> payload;
    std::uint64_t n_bits = 0;
};

}  // namespace

CompressOutput run_compress_reference(const EventList& events, std::uint16_t width,
                                      std::uint16_t height, std::uint16_t time_bins,
                                      std::uint8_t max_depth) {
    CompressOutput out;
    out.stats.n_events = events.size();
    out.stats.raw_bytes = kPackedEventBytes * out.stats.n_events;

    const auto encode_start = MonotonicClock::now();
    const VoxelGrid grid = voxelize(events, width, height, time_bins);
    out.stats.sparsity = grid_sparsity(grid.occupied, grid.volume());
    const OctreeNode root = build_octree(grid, max_depth);
    const OctreeBitstream bits = encode_octree(root);
    out.stream = rans_encode(bits.packed, bits.n_bits);
    out.stats.encode_us = microseconds_since(encode_start);

    const auto decode_start = MonotonicClock::now();
    {
        const std::vector<std::uint8_t> decoded = rans_decode(out.stream, bits.n_bits);
        const OctreeNode rebuilt =
            decode_octree(decoded, bits.n_bits, grid.dim_x, grid.dim_y, grid.dim_t, max_depth);
    }
    out.stats.decode_us = microseconds_since(decode_start);

    out.stats.bitstream_bytes = out.stream.size();
    out.stats.n_bits = bits.n_bits;
    return out;
}

std::vector<OctreeBitstream> sequence_bitstreams(const EventList& events, std::uint16_t width,
                                                 std::uint16_t height, std::uint16_t time_bins,
                                                 std::uint8_t max_depth,
                                                 std::uint64_t n_frames) {
    std::vector<OctreeBitstream> result;
    if (n_frames == 0 || events.empty()) return result;
    check_frame_budget(n_frames);
    const FrameSplit frames = split_frames(events, n_frames);
    for (std::uint64_t k = 0; k < n_frames; ++k) {
        const VoxelGrid grid = voxelize(frame_events(frames, k), width, height, time_bins);
        result.push_back(encode_octree(build_octree(grid, max_depth)));
    }
    return result;
}

SequenceOutput run_compress_sequence_reference(const EventList& events, std::uint16_t width,
                                               std::uint16_t height, std::uint16_t time_bins,
                                               std::uint8_t max_depth, std::uint64_t n_frames) {
    SequenceOutput out;
    if (n_frames == 0 || events.empty()) return out;
    check_frame_budget(n_frames);
    const FrameSplit frames = split_frames(events, n_frames);
    out.stats.n_events = events.size();
    out.stats.raw_bytes = kPackedEventBytes * out.stats.n_events;

    std::vector<EncodedFrame> encoded;
    const auto encode_start = MonotonicClock::now();
    double sparsity_sum = 0.0;
    std::vector<std::uint8_t> previous;
    for (std::uint64_t k = 0; k < n_frames; ++k) {
        const VoxelGrid grid = voxelize(frame_events(frames, k), width, height, time_bins);
        const OctreeBitstream bits = encode_octree(build_octree(grid, max_depth));
        EncodedFrame frame{{}, bits.n_bits};
        if (k == 0) {
            frame.payload = rans_encode(bits.packed, bits.n_bits);
        } else {
            frame.payload = rle_encode(xor_delta(previous, bits.packed));
        }
        out.stats.bitstream_bytes += frame.payload.size();
        out.stats.n_bits += bits.n_bits;
        sparsity_sum += grid_sparsity(grid.occupied, grid.volume());
        encoded.push_back(std::move(frame));
        previous = bits.packed;
    }
    out.stats.encode_us = microseconds_since(encode_start);

    const auto decode_start = MonotonicClock::now();
    std::vector<std::uint8_t> decoded;
    for (std::uint64_t k = 0; k < n_frames; ++k) {
        if (k == 0) {
            decoded = rans_decode(encoded[0].payload, encoded[0].n_bits);
        } else {
            decoded = xor_delta(decoded, rle_decode(encoded[k].payload));
        }
        const VoxelGrid grid = voxelize(frame_events(frames, k), width, height, time_bins);
        const OctreeNode rebuilt = decode_octree(decoded, encoded[k].n_bits, grid.dim_x,
                                                 grid.dim_y, grid.dim_t, max_depth);
    }
    out.stats.decode_us = microseconds_since(decode_start);

    out.stats.sparsity = sparsity_sum / static_cast<double>(n_frames);
    for (const EncodedFrame& frame : encoded) {
        out.bytes.insert(out.bytes.end(), frame.payload.begin(), frame.payload.end());
        out.frame_ends.push_back(out.bytes.size());
    }
    return out;
}

}  // namespace zel
