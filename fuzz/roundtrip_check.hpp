#pragma once

// The differential round trip shared by the roundtrip targets: the fast
// drivers against the stage-by-stage reference drivers on the same events,
// and decoding the output gives back each frame's bitstream.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/delta.hpp"
#include "codec/pipeline.hpp"
#include "codec/rans.hpp"
#include "fuzz_support.hpp"
#include "reference/pipeline_reference.hpp"

namespace zel_fuzz {

// Grid arguments small enough for the reference's dense grid.
struct GridArgs {
    std::uint16_t width, height, time_bins;
    std::uint8_t max_depth;
    std::uint64_t n_frames;
};

inline GridArgs take_grid_args(Input& in) {
    GridArgs g{};
    g.width = static_cast<std::uint16_t>(in.take(1) + 1);
    g.height = static_cast<std::uint16_t>(in.take(1) + 1);
    g.time_bins = static_cast<std::uint16_t>(in.take(1) % 64 + 1);
    g.max_depth = static_cast<std::uint8_t>(in.take(1) % 20);
    g.n_frames = in.take(1) % 9;
    return g;
}

inline bool same_stats(const zel::CompressionStats& a, const zel::CompressionStats& b) {
    return a.n_events == b.n_events && a.raw_bytes == b.raw_bytes &&
           a.bitstream_bytes == b.bitstream_bytes && a.n_bits == b.n_bits &&
           a.sparsity == b.sparsity;
}

// Bits 0 .. n_bits - 1 of a and b agree (bytes past either end read as 0).
inline bool same_bits(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b,
                      std::uint64_t n_bits) {
    for (std::uint64_t i = 0; i < n_bits; ++i) {
        const unsigned mask = 0x80u >> (i % 8);
        const bool bit_a = i / 8 < a.size() && (a[i / 8] & mask) != 0;
        const bool bit_b = i / 8 < b.size() && (b[i / 8] & mask) != 0;
        if (bit_a != bit_b) return false;
    }
    return true;
}

inline void check_round_trip(const zel::EventList& events, const GridArgs& g) {
    const zel::CompressOutput fast =
        zel::run_compress(events, g.width, g.height, g.time_bins, g.max_depth);
    const zel::CompressOutput reference =
        zel::run_compress_reference(events, g.width, g.height, g.time_bins, g.max_depth);
    FUZZ_CHECK(fast.stream == reference.stream);
    FUZZ_CHECK(same_stats(fast.stats, reference.stats));
    const std::vector<zel::OctreeBitstream> single =
        zel::sequence_bitstreams(events, g.width, g.height, g.time_bins, g.max_depth, 1);
    if (!single.empty()) {
        FUZZ_CHECK(single[0].n_bits == fast.stats.n_bits);
        FUZZ_CHECK(same_bits(zel::rans_decode(fast.stream, fast.stats.n_bits), single[0].packed,
                             fast.stats.n_bits));
    }

    const zel::SequenceOutput seq = zel::run_compress_sequence(
        events, g.width, g.height, g.time_bins, g.max_depth, g.n_frames);
    const zel::SequenceOutput seq_reference = zel::run_compress_sequence_reference(
        events, g.width, g.height, g.time_bins, g.max_depth, g.n_frames);
    FUZZ_CHECK(seq.bytes == seq_reference.bytes);
    FUZZ_CHECK(seq.frame_ends == seq_reference.frame_ends);
    FUZZ_CHECK(same_stats(seq.stats, seq_reference.stats));

    // Walk the delta chain as a receiver would.
    const std::vector<zel::OctreeBitstream> frames = zel::sequence_bitstreams(
        events, g.width, g.height, g.time_bins, g.max_depth, g.n_frames);
    FUZZ_CHECK(frames.size() == seq.frame_ends.size());
    std::vector<std::uint8_t> decoded;
    std::uint64_t begin = 0;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const std::vector<std::uint8_t> payload(seq.bytes.begin() + static_cast<long>(begin),
                                                seq.bytes.begin() +
                                                    static_cast<long>(seq.frame_ends[k]));
        if (k == 0) {
            decoded = zel::rans_decode(payload, frames[0].n_bits);
        } else {
            FUZZ_CHECK(payload.size() >= 2 && payload.size() % 2 == 0);
            decoded = zel::xor_delta(decoded, zel::rle_decode(payload));
        }
        FUZZ_CHECK(same_bits(decoded, frames[k].packed, frames[k].n_bits));
        begin = seq.frame_ends[k];
    }
}

}  // namespace zel_fuzz
