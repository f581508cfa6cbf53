#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "codec/delta.hpp"
#include "codec/frames.hpp"
#include "codec/pipeline.hpp"
#include "codec/rans.hpp"
#include "reference/pipeline_reference.hpp"

namespace zel {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::vector<Bytes> payloads(const SequenceOutput& out) {
    std::vector<Bytes> result;
    std::uint64_t begin = 0;
    for (std::uint64_t end : out.frame_ends) {
        result.emplace_back(out.bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                            out.bytes.begin() + static_cast<std::ptrdiff_t>(end));
        begin = end;
    }
    return result;
}

// Everything a caller can observe apart from the two timings.
void expect_same_stats(const CompressionStats& a, const CompressionStats& b) {
    EXPECT_EQ(a.n_events, b.n_events);
    EXPECT_EQ(a.raw_bytes, b.raw_bytes);
    EXPECT_EQ(a.bitstream_bytes, b.bitstream_bytes);
    EXPECT_EQ(a.n_bits, b.n_bits);
    EXPECT_EQ(a.sparsity, b.sparsity);
}

struct Drivers {
    const char* name;
    CompressOutput (*compress)(const EventList&, std::uint16_t, std::uint16_t, std::uint16_t,
                               std::uint8_t);
    SequenceOutput (*sequence)(const EventList&, std::uint16_t, std::uint16_t, std::uint16_t,
                               std::uint8_t, std::uint64_t);
};

class BothDrivers : public ::testing::TestWithParam<Drivers> {};

struct CompressExample {
    EventList events;
    std::uint16_t width, height, time_bins;
    std::uint8_t max_depth;
    Bytes stream;
    std::uint64_t n_bits;
    double sparsity;
};

TEST_P(BothDrivers, CompressExamples) {
    const Bytes full_root = {0x01, 0x00, 0x01, 0x08, 0x80, 0x00};
    const EventList three = {{3, 4, 10, 1}, {1, 1, 20, 0}, {7, 0, 15, 1}};
    const std::vector<CompressExample> examples = {
        {{}, 640, 480, 256, 16, {0xff, 0x0f, 0x00, 0x08, 0x80, 0x00}, 1, 1.0},
        {three, 8, 8, 4, 0, full_root, 1, 1.0 - 3.0 / 256.0},  // depth 0: one Full bit
        {three, 0, 0, 0, 12, full_root, 1, 0.0},               // single-voxel grids
        {three, 1, 1, 1, 12, full_root, 1, 0.0},
    };
    for (const CompressExample& e : examples) {
        const CompressOutput out =
            GetParam().compress(e.events, e.width, e.height, e.time_bins, e.max_depth);
        EXPECT_EQ(out.stream, e.stream);
        EXPECT_EQ(out.stats.n_events, e.events.size());
        EXPECT_EQ(out.stats.raw_bytes, 9 * e.events.size());
        EXPECT_EQ(out.stats.bitstream_bytes, e.stream.size());
        EXPECT_EQ(out.stats.n_bits, e.n_bits);
        EXPECT_EQ(out.stats.sparsity, e.sparsity);
    }
}

struct SequenceExample {
    EventList events;
    std::uint64_t n_frames;
    std::vector<Bytes> payloads;
    std::vector<OctreeBitstream> bitstreams;
    std::uint64_t n_bits;
};

TEST_P(BothDrivers, SequenceExamples) {
    const std::vector<SequenceExample> examples = {
        // One event per frame.
        {{{0, 0, 0, 0}, {1, 1, 10, 0}, {1, 0, 20, 0}},
         3,
         {{0x9a, 0x09, 0xfc, 0x3a, 0x77, 0x0e}, {0x01, 0x48}, {0x01, 0x18}},
         {{{0xc0}, 5}, {{0x88}, 5}, {{0x90}, 5}},
         15},
        // Equal timestamps: everything in frame 0, frame 1 empty.
        {{{0, 0, 5, 0}, {1, 1, 5, 0}},
         2,
         {{0x66, 0x06, 0x96, 0xbb, 0x77, 0x0e}, {0x01, 0xc8}},
         {{{0xc8}, 5}, {{0x00}, 1}},
         6},
    };
    for (const SequenceExample& e : examples) {
        const SequenceOutput out = GetParam().sequence(e.events, 2, 2, 1, 8, e.n_frames);
        EXPECT_EQ(payloads(out), e.payloads);
        EXPECT_EQ(sequence_bitstreams(e.events, 2, 2, 1, 8, e.n_frames), e.bitstreams);
        EXPECT_EQ(out.stats.n_events, e.events.size());
        EXPECT_EQ(out.stats.raw_bytes, 9 * e.events.size());
        EXPECT_EQ(out.stats.bitstream_bytes, out.bytes.size());
        EXPECT_EQ(out.stats.n_bits, e.n_bits);
        EXPECT_EQ(out.stats.sparsity, 0.75);
    }
}

TEST_P(BothDrivers, SequenceNothingToCode) {
    const EventList events = {{0, 0, 5, 0}};
    for (const auto& [list, n_frames] :
         std::vector<std::pair<EventList, std::uint64_t>>{{events, 0}, {{}, 5}, {{}, kU64Max}}) {
        const SequenceOutput out = GetParam().sequence(list, 2, 2, 1, 8, n_frames);
        EXPECT_TRUE(out.bytes.empty());
        EXPECT_TRUE(out.frame_ends.empty());
        EXPECT_EQ(out.stats.n_events, 0u);  // even though events were given
        EXPECT_EQ(out.stats.raw_bytes, 0u);
        EXPECT_EQ(out.stats.bitstream_bytes, 0u);
        EXPECT_EQ(out.stats.n_bits, 0u);
        EXPECT_EQ(out.stats.encode_us, 0u);
        EXPECT_EQ(out.stats.decode_us, 0u);
        EXPECT_EQ(out.stats.sparsity, 1.0);
    }
}

TEST_P(BothDrivers, SequenceOfOneFrameEqualsCompress) {
    std::mt19937_64 rng(21);
    for (int trial = 0; trial < 30; ++trial) {
        EventList events;
        const std::uint64_t n = 1 + rng() % 50;
        for (std::uint64_t i = 0; i < n; ++i) {
            events.push_back({static_cast<std::uint16_t>(rng() % 40),
                              static_cast<std::uint16_t>(rng() % 40),
                              static_cast<std::uint32_t>(rng() % 1000), 0});
        }
        const auto depth = static_cast<std::uint8_t>(rng() % 10);
        const CompressOutput single = GetParam().compress(events, 33, 20, 7, depth);
        const SequenceOutput seq = GetParam().sequence(events, 33, 20, 7, depth, 1);
        EXPECT_EQ(seq.bytes, single.stream);
        EXPECT_EQ(seq.frame_ends, std::vector<std::uint64_t>{single.stream.size()});
        expect_same_stats(seq.stats, single.stats);
    }
}

TEST_P(BothDrivers, EmptyFramesStillCodeAndCountAsEmpty) {
    // Events only at the ends of the range: the frames between are empty.
    const EventList events = {{0, 0, 0, 0}, {1, 1, 1000, 0}};
    const SequenceOutput out = GetParam().sequence(events, 2, 2, 1, 8, 6);
    const std::vector<Bytes> p = payloads(out);
    ASSERT_EQ(p.size(), 6u);
    for (std::size_t k = 1; k < p.size(); ++k) {
        EXPECT_GE(p[k].size(), 2u);
        EXPECT_EQ(p[k].size() % 2, 0u);
    }
    EXPECT_EQ(p[2], (Bytes{0x01, 0x00}));  // empty after empty: 00 xor 00
    EXPECT_EQ(out.stats.n_bits, 5u + 1 + 1 + 1 + 1 + 5);
    EXPECT_DOUBLE_EQ(out.stats.sparsity, (0.75 + 4 * 1.0 + 0.75) / 6);
}

TEST_P(BothDrivers, ImpossibleFrameCountsThrowBadAlloc) {
    const EventList events = {{0, 0, 0, 0}, {1, 1, 10, 0}};
    for (std::uint64_t n_frames : {std::uint64_t{1} << 63, kU64Max, std::uint64_t{1} << 50}) {
        EXPECT_THROW(GetParam().sequence(events, 2, 2, 1, 8, n_frames), std::bad_alloc)
            << n_frames;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, BothDrivers,
    ::testing::Values(
        Drivers{"fast", run_compress, run_compress_sequence},
        Drivers{"reference", run_compress_reference, run_compress_sequence_reference}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(FrameBudget, RejectsOnlyHopelessCounts) {
    EXPECT_NO_THROW(check_frame_budget(1));
    EXPECT_NO_THROW(check_frame_budget(100'000'000));
    EXPECT_THROW(check_frame_budget(std::uint64_t{1} << 62), std::bad_alloc);
    EXPECT_THROW(check_frame_budget(kU64Max), std::bad_alloc);
}

TEST(FrameMemory, RefusesExactlyTheCountsBeyondTheMemoryGiven) {
    constexpr std::uint64_t kMemory = 1'000'000;
    constexpr std::uint64_t kPerFrame = 61;
    EXPECT_TRUE(check_frames_fit_in_memory(kMemory / kPerFrame, kPerFrame, kMemory));
    const Status over = check_frames_fit_in_memory(kMemory / kPerFrame + 1, kPerFrame, kMemory);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().kind, ErrorKind::OutOfMemory);
    EXPECT_EQ(over.error().message,
              "n_frames 16394 needs at least 61 bytes per frame, more than the 1000000 bytes of "
              "memory this machine has");
    // The count is compared by division: no product of two large figures wraps.
    EXPECT_FALSE(check_frames_fit_in_memory(kU64Max, kPerFrame, kMemory));
    EXPECT_FALSE(check_frames_fit_in_memory(2, kU64Max, kU64Max));
    EXPECT_TRUE(check_frames_fit_in_memory(1, kU64Max, kU64Max));
    // A system that does not say how much memory it has refuses nothing.
    EXPECT_TRUE(check_frames_fit_in_memory(kU64Max, kPerFrame, 0));
}

TEST(FrameSplit, AssignsFramesByTruncatedDoubleRule) {
    // tmin 0, tmax 100, four frames: 0-33, 34-66, 67-99, and 100 alone.
    EventList events;
    for (std::uint32_t t = 0; t <= 100; ++t) events.push_back({0, 0, t, 0});
    const FrameSplit split = split_frames(events, 4);
    ASSERT_EQ(split.ends.size(), 4u);
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {0, 33}, {34, 66}, {67, 99}, {100, 100}};
    for (std::uint64_t k = 0; k < 4; ++k) {
        const auto frame = split.frame(k);
        ASSERT_EQ(frame.size(), expected[k].second - expected[k].first + 1);
        EXPECT_EQ(frame.front().t, expected[k].first);
        EXPECT_EQ(frame.back().t, expected[k].second);
    }
}

TEST(FrameSplit, ExtremeFrameCounts) {
    const TimeRange range{0, 100};
    // n_frames - 1.0 rounds to 2^64 in double: tmax saturates, then is capped.
    EXPECT_EQ(frame_of(100, range, kU64Max), kU64Max - 1);
    EXPECT_EQ(frame_of(50, range, kU64Max), std::uint64_t{1} << 63);
    EXPECT_EQ(frame_of(0, range, kU64Max), 0u);
    EXPECT_EQ(frame_of(100, range, 1), 0u);
    // All timestamps equal: everything in frame 0.
    EXPECT_EQ(frame_of(7, TimeRange{7, 1}, 1000), 0u);
}

TEST(FrameSplit, MatchesPerEventBucketing) {
    std::mt19937_64 rng(31);
    for (int trial = 0; trial < 200; ++trial) {
        EventList events;
        const std::uint32_t base = static_cast<std::uint32_t>(rng());
        const std::uint64_t n = rng() % 80;
        for (std::uint64_t i = 0; i < n; ++i) {
            const auto t = static_cast<std::uint32_t>(trial % 2 ? rng() : base + rng() % 50);
            events.push_back({static_cast<std::uint16_t>(i), 0, t, 0});
        }
        const std::uint64_t n_frames = 1 + rng() % 20;
        std::vector<EventList> buckets(n_frames);
        const TimeRange range = time_range(events);
        for (const Event& e : events) buckets[frame_of(e.t, range, n_frames)].push_back(e);
        const FrameSplit split = split_frames(events, n_frames);
        for (std::uint64_t k = 0; k < n_frames; ++k) {
            const auto frame = split.frame(k);
            ASSERT_EQ(EventList(frame.begin(), frame.end()), buckets[k]) << "frame " << k;
        }
    }
}

struct RandomCase {
    EventList events;
    std::uint16_t width, height, time_bins;
    std::uint8_t max_depth;
    std::uint64_t n_frames;
};

RandomCase random_case(std::mt19937_64& rng, int trial) {
    const std::vector<std::uint16_t> sizes = {0, 1, 2, 3, 6, 16, 31, 34, 64, 90};
    RandomCase c{{}, sizes[rng() % sizes.size()], sizes[rng() % sizes.size()],
                 sizes[rng() % sizes.size()], static_cast<std::uint8_t>(rng() % 21),
                 trial % 10 == 0 ? 1 + rng() % 400 : 1 + rng() % 12};
    const std::uint32_t t0 = static_cast<std::uint32_t>(rng());
    const bool full_range = trial % 3 == 0;
    const std::uint64_t n = rng() % 200;
    for (std::uint64_t i = 0; i < n; ++i) {
        c.events.push_back({static_cast<std::uint16_t>(rng() % (c.width + 4u)),
                            static_cast<std::uint16_t>(rng() % (c.height + 4u)),
                            static_cast<std::uint32_t>(full_range ? rng() : t0 / 2 + rng() % 5000),
                            static_cast<std::uint8_t>(rng())});
    }
    return c;
}

TEST(FastDrivers, MatchReferenceOnRandomInputs) {
    std::mt19937_64 rng(77);
    for (int trial = 0; trial < 300; ++trial) {
        const RandomCase c = random_case(rng, trial);
        SCOPED_TRACE("trial " + std::to_string(trial));
        const CompressOutput fast =
            run_compress(c.events, c.width, c.height, c.time_bins, c.max_depth);
        const CompressOutput ref =
            run_compress_reference(c.events, c.width, c.height, c.time_bins, c.max_depth);
        ASSERT_EQ(fast.stream, ref.stream);
        expect_same_stats(fast.stats, ref.stats);

        const SequenceOutput fast_seq = run_compress_sequence(c.events, c.width, c.height,
                                                              c.time_bins, c.max_depth, c.n_frames);
        const SequenceOutput ref_seq = run_compress_sequence_reference(
            c.events, c.width, c.height, c.time_bins, c.max_depth, c.n_frames);
        ASSERT_EQ(fast_seq.bytes, ref_seq.bytes);
        ASSERT_EQ(fast_seq.frame_ends, ref_seq.frame_ends);
        expect_same_stats(fast_seq.stats, ref_seq.stats);
    }
}

// Decoding the chain must give back every frame's bitstream, zero padded to
// the longest bitstream seen so far.
TEST(SequenceChain, PayloadsDecodeToFrameBitstreams) {
    std::mt19937_64 rng(55);
    for (int trial = 0; trial < 200; ++trial) {
        const RandomCase c = random_case(rng, trial);
        if (c.events.empty()) continue;
        const SequenceOutput out = run_compress_sequence(c.events, c.width, c.height,
                                                         c.time_bins, c.max_depth, c.n_frames);
        const std::vector<OctreeBitstream> bits = sequence_bitstreams(
            c.events, c.width, c.height, c.time_bins, c.max_depth, c.n_frames);
        const std::vector<Bytes> p = payloads(out);
        ASSERT_EQ(p.size(), c.n_frames);
        ASSERT_EQ(bits.size(), c.n_frames);
        std::uint64_t total_bits = 0;
        std::size_t longest = 0;
        Bytes decoded;
        for (std::uint64_t k = 0; k < c.n_frames; ++k) {
            total_bits += bits[k].n_bits;
            longest = std::max(longest, bits[k].packed.size());
            if (k == 0) {
                decoded = rans_decode(p[0], bits[0].n_bits);
            } else {
                ASSERT_EQ(p[k].size() % 2, 0u);
                ASSERT_GE(p[k].size(), 2u);
                decoded = xor_delta(decoded, rle_decode(p[k]));
            }
            Bytes expected = bits[k].packed;
            expected.resize(longest, 0);
            ASSERT_EQ(decoded, expected) << "frame " << k;
        }
        EXPECT_EQ(out.stats.n_bits, total_bits);
    }
}

TEST(FastDrivers, MatchReferenceOverManyMostlyEmptyFrames) {
    const EventList events = {{0, 0, 0, 0}, {3, 1, 40'000, 1}, {2, 2, 40'001, 0},
                              {1, 3, 77'777, 0}, {0, 3, 100'000, 0}};
    const SequenceOutput fast = run_compress_sequence(events, 4, 4, 2, 8, 50'000);
    const SequenceOutput ref = run_compress_sequence_reference(events, 4, 4, 2, 8, 50'000);
    EXPECT_EQ(fast.bytes, ref.bytes);
    EXPECT_EQ(fast.frame_ends, ref.frame_ends);
    expect_same_stats(fast.stats, ref.stats);
}

TEST(FastDrivers, MillionFramesWithThreeEvents) {
    constexpr std::uint64_t n = 1'000'000;
    // Frames 0, 499999 and 999999 hold one voxel each (bitstreams c0, 88, 90).
    const EventList events = {{0, 0, 0, 0}, {1, 1, 500'000, 0}, {1, 0, 1'000'000, 0}};
    const SequenceOutput out = run_compress_sequence(events, 2, 2, 1, 8, n);
    ASSERT_EQ(out.frame_ends.size(), n);
    EXPECT_EQ(out.stats.bitstream_bytes, 6 + 2 * (n - 1));
    EXPECT_EQ(out.stats.n_bits, 3 * 5 + (n - 3));
    EXPECT_DOUBLE_EQ(out.stats.sparsity, (n - 0.75) / n);
    const std::vector<Bytes> p = payloads(out);
    EXPECT_EQ(p[0], (Bytes{0x9a, 0x09, 0xfc, 0x3a, 0x77, 0x0e}));
    EXPECT_EQ(p[1], (Bytes{0x01, 0xc0}));
    EXPECT_EQ(p[499'999], (Bytes{0x01, 0x88}));
    EXPECT_EQ(p[500'000], (Bytes{0x01, 0x88}));
    EXPECT_EQ(p[999'999], (Bytes{0x01, 0x90}));
    std::uint64_t plain_empty = 0;
    for (const Bytes& payload : p) plain_empty += payload == Bytes{0x01, 0x00};
    EXPECT_EQ(plain_empty, n - 5);
}

TEST(FastDrivers, LargestGridNeedsNoDenseAllocation) {
    // 65536^3 voxels: the reference would need a 2^45-byte grid.
    const EventList events = {{65535, 65535, 0, 0}, {0, 0, 99, 0}};
    const CompressOutput out = run_compress(events, 65535, 65535, 65535, 16);
    EXPECT_EQ(out.stats.sparsity, 1.0 - 2.0 / 281474976710656.0);
    EXPECT_EQ(out.stats.n_bits, 1u + 8 + 15 * 16);
    const SequenceOutput seq = run_compress_sequence(events, 65535, 65535, 65535, 16, 2);
    EXPECT_EQ(seq.stats.n_bits, 2 * (1u + 16 * 8));
}

TEST(Clock, WholeMicrosecondsTruncateAndClampNegative) {
    using std::chrono::nanoseconds;
    const std::vector<std::pair<std::int64_t, std::uint64_t>> cases = {
        {-1, 0},    {-5'000'000, 0}, {0, 0}, {999, 0}, {1000, 1},
        {1999, 1},  {2'000'005'999, 2'000'005}};
    for (const auto& [ns, us] : cases) {
        const auto d = std::chrono::duration_cast<MonotonicClock::duration>(nanoseconds(ns));
        EXPECT_EQ(whole_microseconds(d), us)
            << ns;
    }
}

}  // namespace
}  // namespace zel
