// Randomized differential tests: the fast drivers against the reference
// drivers, and the packed-record entry points against the EventList ones,
// over event sets shaped to reach every path of the fast coder.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "codec/decoder.hpp"
#include "codec/pipeline.hpp"
#include "codec/rans.hpp"
#include "event_shapes.hpp"
#include "reference/pipeline_reference.hpp"

namespace zel {
namespace {

void expect_same(const CompressOutput& a, const CompressOutput& b) {
    ASSERT_EQ(a.stream, b.stream);
    EXPECT_EQ(a.stats.n_bits, b.stats.n_bits);
    EXPECT_EQ(a.stats.bitstream_bytes, b.stats.bitstream_bytes);
    EXPECT_EQ(a.stats.n_events, b.stats.n_events);
    EXPECT_EQ(a.stats.sparsity, b.stats.sparsity);
}

void expect_same(const SequenceOutput& a, const SequenceOutput& b) {
    ASSERT_EQ(a.bytes, b.bytes);
    ASSERT_EQ(a.frame_ends, b.frame_ends);
    EXPECT_EQ(a.stats.n_bits, b.stats.n_bits);
    EXPECT_EQ(a.stats.n_events, b.stats.n_events);
    EXPECT_EQ(a.stats.sparsity, b.stats.sparsity);
}

// Grids small enough for the reference's dense grid, from a single voxel to
// 2^22 voxels, with every axis taking the lead in depth.
const std::vector<Grid> kSmallGrids = {{0, 0, 0},     {1, 1, 1},     {2, 1, 1},    {1, 1, 300},
                                       {346, 260, 16}, {64, 64, 64}, {5, 2000, 2}, {2048, 3, 5},
                                       {17, 9, 1000}};
const std::vector<std::size_t> kSizes = {1, 2, 63, 64, 65, 700, 4095, 4097, 20'000};

class AgainstReference : public ::testing::TestWithParam<Shape> {};

TEST_P(AgainstReference, CompressMatchesOnEveryGridDepthAndSize) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) + 100);
    for (const Grid& g : kSmallGrids) {
        for (const std::size_t n : kSizes) {
            const EventList events = make_events(rng, GetParam(), n, g);
            for (const std::uint8_t depth : std::initializer_list<std::uint8_t>{0, 1, 3, 8, 11, 17, 255}) {
                SCOPED_TRACE(std::string(name_of(GetParam())) + " grid " +
                             std::to_string(g.width) + "x" + std::to_string(g.height) + "x" +
                             std::to_string(g.time_bins) + " n " + std::to_string(n) +
                             " depth " + std::to_string(depth));
                expect_same(run_compress(events, g.width, g.height, g.time_bins, depth),
                            run_compress_reference(events, g.width, g.height, g.time_bins, depth));
            }
        }
    }
}

TEST_P(AgainstReference, SequencesMatchSortedAndShuffled) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) + 200);
    const std::vector<Grid> grids = {{346, 260, 16}, {8, 8, 4}, {1, 1, 1}};
    for (const Grid& g : grids) {
        for (const std::size_t n : {std::size_t{1}, std::size_t{65}, std::size_t{5000}}) {
            EventList events = make_events(rng, GetParam(), n, g);
            for (const bool sorted : {true, false}) {
                if (sorted) {
                    std::stable_sort(events.begin(), events.end(),
                                     [](const Event& a, const Event& b) { return a.t < b.t; });
                }
                // Many frames only on the small grids: the reference allocates
                // and scans a whole grid per frame.
                for (const std::uint64_t frames : {1u, 2u, 7u, g.width > 8 ? 40u : 300u}) {
                    SCOPED_TRACE(std::string(name_of(GetParam())) + " n " + std::to_string(n) +
                                 (sorted ? " sorted" : " shuffled") + " frames " +
                                 std::to_string(frames));
                    expect_same(
                        run_compress_sequence(events, g.width, g.height, g.time_bins, 10, frames),
                        run_compress_sequence_reference(events, g.width, g.height, g.time_bins,
                                                        10, frames));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, AgainstReference,
                         ::testing::Values(Shape::Uniform, Shape::Clustered, Shape::HotPixels,
                                           Shape::ExtremeCoords, Shape::ExtremeTimes,
                                           Shape::SameTime),
                         [](const ::testing::TestParamInfo<Shape>& param_info) {
                             std::string name = name_of(param_info.param);
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// The coder bins time-ordered events over their first and last timestamps
// without looking for the range, and starts again when an event falls
// outside. Orders that break the guess early, late (several thousand events
// in) or not at all, on the key paths through the bitmap (many events) and
// through the radix sort (few events in the same key space).
enum class Order { Sorted, LowOutlierLate, HighOutlierLate, LowOutlierFirstBlock, Reversed,
                   EqualEnds };

TEST(TimeRangeGuess, EveryOrderGivesTheReferenceStream) {
    std::mt19937_64 rng(31);
    const Grid g{346, 260, 16};
    for (const std::size_t n : {std::size_t{700}, std::size_t{20'000}}) {
        EventList base = make_events(rng, Shape::Uniform, n, g);
        std::sort(base.begin(), base.end(),
                  [](const Event& a, const Event& b) { return a.t < b.t; });
        for (const Order order : {Order::Sorted, Order::LowOutlierLate, Order::HighOutlierLate,
                                  Order::LowOutlierFirstBlock, Order::Reversed,
                                  Order::EqualEnds}) {
            EventList events = base;
            const std::size_t late = n * 9 / 10;
            switch (order) {
                case Order::Sorted: break;
                case Order::LowOutlierLate: events[late].t = events.front().t - 1; break;
                case Order::HighOutlierLate: events[late].t = events.back().t + 500; break;
                case Order::LowOutlierFirstBlock: events[3].t = 0; break;
                case Order::Reversed: std::reverse(events.begin(), events.end()); break;
                case Order::EqualEnds: events.back().t = events.front().t; break;
            }
            for (const std::uint8_t depth : std::initializer_list<std::uint8_t>{3, 16}) {
                SCOPED_TRACE("n " + std::to_string(n) + " order " +
                             std::to_string(static_cast<int>(order)) + " depth " +
                             std::to_string(depth));
                const CompressOutput fast =
                    run_compress(events, g.width, g.height, g.time_bins, depth);
                expect_same(fast, run_compress_reference(events, g.width, g.height, g.time_bins,
                                                         depth));
                // The same coder again: an abandoned pass must leave nothing behind.
                expect_same(run_compress(base, g.width, g.height, g.time_bins, depth),
                            run_compress_reference(base, g.width, g.height, g.time_bins, depth));
            }
        }
    }
}

// Past the reference's reach (up to 65536^3 voxels) the stream must still
// decode to a tree whose Full leaves are exactly the distinct voxels when
// the depth reaches the voxels, and the sparsity must count them.
TEST(LargeGrids, DecodedLeavesCountTheDistinctVoxels) {
    std::mt19937_64 rng(9);
    const std::vector<Grid> grids = {{65535, 65535, 65535}, {65535, 1, 1}, {40000, 3, 65535},
                                     {1, 1, 65535}};
    for (const Grid& g : grids) {
        for (const Shape shape : {Shape::Uniform, Shape::Clustered, Shape::ExtremeCoords}) {
            const EventList events = make_events(rng, shape, 3000, g);
            SCOPED_TRACE(std::string(name_of(shape)) + " " + std::to_string(g.width) + "x" +
                         std::to_string(g.height) + "x" + std::to_string(g.time_bins));
            const CompressOutput out = run_compress(events, g.width, g.height, g.time_bins, 255);
            const std::uint64_t dx = next_pow2(g.width), dy = next_pow2(g.height),
                                dt = next_pow2(g.time_bins);
            const TimeRange range = time_range(events);
            std::set<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> voxels;
            for (const Event& e : events) {
                voxels.insert({std::min<std::uint64_t>(e.x, dx - 1),
                               std::min<std::uint64_t>(e.y, dy - 1),
                               time_slot(e.t, range, g.time_bins, dt - 1)});
            }
            std::vector<NodeKind> kinds;
            decode_octree_flat(rans_decode(out.stream, out.stats.n_bits), out.stats.n_bits, dx,
                               dy, dt, 255, kinds);
            EXPECT_EQ(kinds.size(), out.stats.n_bits);
            EXPECT_EQ(static_cast<std::size_t>(std::count(kinds.begin(), kinds.end(), NodeKind::Full)),
                      voxels.size());
            EXPECT_EQ(out.stats.sparsity, grid_sparsity(voxels.size(), dx * dy * dt));
        }
    }
}

// The packed entry points read records in place; every figure but the
// timings must equal the EventList drivers', for sorted and unsorted input.
TEST(PackedDrivers, MatchEventListDrivers) {
    std::mt19937_64 rng(21);
    const Grid g{346, 260, 64};
    for (const Shape shape : {Shape::Uniform, Shape::ExtremeTimes, Shape::SameTime}) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3000}}) {
            EventList events = make_events(rng, shape, n, g);
            for (const bool sorted : {false, true}) {
                if (sorted) {
                    std::stable_sort(events.begin(), events.end(),
                                     [](const Event& a, const Event& b) { return a.t < b.t; });
                }
                const Bytes records = pack(events);
                const PackedEvents packed(records.data(), events.size());
                SCOPED_TRACE(std::string(name_of(shape)) + " n " + std::to_string(n));
                expect_same(run_compress(packed, g.width, g.height, g.time_bins, 12),
                            run_compress(events, g.width, g.height, g.time_bins, 12));
                for (const std::uint64_t frames : {1u, 5u, 1000u}) {
                    expect_same(
                        run_compress_sequence(packed, g.width, g.height, g.time_bins, 12, frames),
                        run_compress_sequence(events, g.width, g.height, g.time_bins, 12, frames));
                }
            }
        }
    }
}

}  // namespace
}  // namespace zel
