#include "pipeline.hpp"

#include <new>

#include "clock.hpp"
#include "decoder.hpp"
#include "delta.hpp"
#include "frames.hpp"
#include "memory_limits.hpp"
#include "rans.hpp"
#include "sparse_octree.hpp"

// The drivers here use the sparse coder and in-place delta decoding; the
// straightforward stage-by-stage drivers in pipeline_reference.cpp produce the
// same bytes and figures and are what the tests compare against.

namespace zel {

namespace {

// Records as plain events. The drivers below work on an EventList; the
// packed entry points share them through this copy.
EventList unpack(PackedEvents events) {
    EventList list(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) list[i] = events[i];
    return list;
}

}  // namespace

void check_frame_budget(std::uint64_t n_frames) {
    if (n_frames > kAddressSpaceBytes / kMinBytesPerFrame) throw std::bad_alloc();
}

double grid_sparsity(std::uint64_t occupied, std::uint64_t volume) {
    return 1.0 - static_cast<double>(occupied) / static_cast<double>(volume);
}

CompressOutput run_compress(const EventList& events, std::uint16_t width, std::uint16_t height,
                            std::uint16_t time_bins, std::uint8_t max_depth) {
    CompressOutput out;
    out.stats.n_events = events.size();
    out.stats.raw_bytes = 9 * out.stats.n_events;

    const auto encode_start = MonotonicClock::now();
    SparseOctreeCoder coder(width, height, time_bins, max_depth);
    OctreeBitstream bits;
    const std::uint64_t occupied = coder.encode(events, bits);
    out.stats.sparsity = grid_sparsity(occupied, coder.volume());
    out.stream = rans_encode(bits.packed, bits.n_bits);
    out.stats.encode_us = microseconds_since(encode_start);

    const auto decode_start = MonotonicClock::now();
    {
        const std::vector<std::uint8_t> decoded = rans_decode(out.stream, bits.n_bits);
        std::vector<NodeKind> tree;
        decode_octree_flat(decoded, bits.n_bits, coder.dim_x(), coder.dim_y(), coder.dim_t(),
                           max_depth, tree);
    }  // releasing the rebuilt tree belongs to the decode phase
    out.stats.decode_us = microseconds_since(decode_start);

    out.stats.bitstream_bytes = out.stream.size();
    out.stats.n_bits = bits.n_bits;
    return out;
}

SequenceOutput run_compress_sequence(const EventList& events, std::uint16_t width,
                                     std::uint16_t height, std::uint16_t time_bins,
                                     std::uint8_t max_depth, std::uint64_t n_frames) {
    SequenceOutput out;
    if (n_frames == 0 || events.empty()) return out;
    check_frame_budget(n_frames);

    const FrameSplit frames = split_frames(events, n_frames);
    std::vector<std::uint64_t> frame_bits(n_frames);
    out.frame_ends.reserve(n_frames);
    out.bytes.reserve(6 + 2 * (n_frames - 1));  // smallest possible payloads
    out.stats.n_events = events.size();
    out.stats.raw_bytes = 9 * out.stats.n_events;

    const auto encode_start = MonotonicClock::now();
    SparseOctreeCoder coder(width, height, time_bins, max_depth);
    OctreeBitstream previous;
    OctreeBitstream current;
    double sparsity_sum = 0.0;
    for (std::uint64_t k = 0; k < n_frames; ++k) {
        const std::uint64_t occupied = coder.encode(frames.frame(k), current);
        if (k == 0) {
            const RansStream stream = rans_encode(current.packed, current.n_bits);
            out.bytes.insert(out.bytes.end(), stream.begin(), stream.end());
        } else {
            append_rle_xor(previous.packed, current.packed, out.bytes);
        }
        out.frame_ends.push_back(out.bytes.size());
        frame_bits[k] = current.n_bits;
        out.stats.n_bits += current.n_bits;
        sparsity_sum += grid_sparsity(occupied, coder.volume());
        std::swap(previous, current);
    }
    out.stats.encode_us = microseconds_since(encode_start);

    const auto decode_start = MonotonicClock::now();
    {
        // One buffer carries the chain: each delta is xor-ed into it in place,
        // leaving frame k's bitstream followed by zero padding.
        std::vector<std::uint8_t> decoded;
        std::vector<NodeKind> tree;
        const std::span<const std::uint8_t> all(out.bytes);
        for (std::uint64_t k = 0; k < n_frames; ++k) {
            const std::uint64_t begin = k == 0 ? 0 : out.frame_ends[k - 1];
            const auto payload = all.subspan(begin, out.frame_ends[k] - begin);
            if (k == 0) {
                decoded = rans_decode(payload, frame_bits[0]);
            } else {
                apply_rle_xor(payload, decoded);
            }
            decode_octree_flat(decoded, frame_bits[k], coder.dim_x(), coder.dim_y(),
                               coder.dim_t(), max_depth, tree);
        }
    }
    out.stats.decode_us = microseconds_since(decode_start);

    out.stats.bitstream_bytes = out.bytes.size();
    out.stats.sparsity = sparsity_sum / static_cast<double>(n_frames);
    return out;
}

CompressOutput run_compress(PackedEvents events, std::uint16_t width, std::uint16_t height,
                            std::uint16_t time_bins, std::uint8_t max_depth) {
    return run_compress(unpack(events), width, height, time_bins, max_depth);
}

SequenceOutput run_compress_sequence(PackedEvents events, std::uint16_t width,
                                     std::uint16_t height, std::uint16_t time_bins,
                                     std::uint8_t max_depth, std::uint64_t n_frames) {
    return run_compress_sequence(unpack(events), width, height, time_bins, max_depth, n_frames);
}

}  // namespace zel
