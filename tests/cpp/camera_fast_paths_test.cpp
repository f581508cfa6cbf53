// The EVT 3.0 and EVT 2.0 decoders' fast loops against their general paths:
// on randomized word streams (every word type, time-high wraps and steps
// back, bad coordinates, reserved types, 32-bit time limits) both must give
// the same records, the same error (kind, offset, event index, message) and
// the same skip count, whatever the input pieces and the output room.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "camera_files.hpp"
#include "readers/evt2_decoder.hpp"
#include "readers/evt3_decoder.hpp"
#include "readers/prophesee_header.hpp"

namespace {

using namespace zel::camera;
using namespace zel_test::camera_files;


struct StreamShape {
    bool clean;               // no bad words, so runs stay long
    std::uint32_t prefix_wraps;  // time-high wraps before the random part
};

// A random EVT 3.0 stream shaped like camera output: time-high then
// time-low, y, and either x words or a vector base and masks, with bad
// words mixed in unless `clean`. Coordinates reach a little past 1280x720
// so that sensor bounds are crossed.
Bytes random_stream(std::mt19937& rng, StreamShape shape, std::size_t n_words) {
    Bytes b;
    for (std::uint32_t k = 0; k < shape.prefix_wraps; ++k) {
        put16(b, 0x8800);
        put16(b, 0x8000);
    }
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    std::uint32_t high = 0;
    // Clean streams keep masks inside the sensor: at most 3 masks after a base.
    std::uint32_t masks_left = 0;
    // Unclean streams may start with events before any time or y.
    if (shape.clean || pick(4) != 0) put16(b, 0x8000 | high);
    if (shape.clean || pick(4) != 0) put16(b, 0x0000 | pick(720));
    while (b.size() / 2 < n_words + 2 * shape.prefix_wraps) {
        const std::uint32_t r = pick(100);
        if (r < 3) {
            // Forward, a wrap, or (unclean) a small step back.
            // Forward (wrapping past 0xFFF), to the top so that the next
            // step wraps, or (unclean) one step back.
            const std::uint32_t kind = pick(shape.clean ? 2 : 3);
            high = kind == 0 ? (high + 1 + pick(3)) & 0xFFF : kind == 1 ? (high < 0xFFE ? 0xFFE : (high + 1) & 0xFFF) : (high - 1) & 0xFFF;
            put16(b, 0x8000 | high);
        } else if (r < 10) {
            put16(b, 0x6000 | pick(0x1000));
        } else if (r < 25) {
            put16(b, 0x0000 | pick(shape.clean ? 720 : 760));
        } else if (r < 70) {
            put16(b, 0x2000 | pick(2) << 11 | pick(shape.clean ? 1280 : 1300));
        } else if (r < 78) {
            put16(b, 0x3000 | pick(2) << 11 | pick(shape.clean ? 1280 - 36 : 1300));
            masks_left = 3;
        } else if (shape.clean && r < 94 && masks_left == 0) {
            put16(b, 0x2000 | pick(1280));
        } else if (r < 88) {
            --masks_left;
            // Masks from empty to full, mostly sparse.
            const std::uint32_t m = pick(3) == 0 ? pick(0x1000) : 1u << pick(12);
            put16(b, 0x4000 | (pick(5) == 0 ? 0 : m));
        } else if (r < 94) {
            --masks_left;
            const std::uint32_t m = pick(3) == 0 ? pick(0x100) : 1u << pick(8);
            put16(b, 0x5000 | (pick(5) == 0 ? 0 : m));
        } else if (r < 97) {
            static constexpr std::uint32_t kQuiet[] = {0x7, 0xA, 0xE, 0xF};
            put16(b, kQuiet[pick(4)] << 12 | pick(0x1000));
        } else if (!shape.clean) {
            static constexpr std::uint32_t kReserved[] = {0x1, 0x9, 0xB, 0xC, 0xD};
            put16(b, kReserved[pick(5)] << 12 | pick(0x1000));
        }
    }
    return b;
}

// Everything a decode run shows a caller.
struct Outcome {
    Bytes records;
    std::optional<zel::Error> error;
    std::uint64_t bad_words = 0;
    std::vector<std::optional<std::uint64_t>> batch_origins;
};

// Decodes `in` given as two pieces split at `split`, into an output of
// `room` records, starting a new batch whenever the decoder asks for one,
// and in EachBatch mode also after every call, as windowed reading does.
template <class Decoder>
Outcome run(DecodePath path, const DecodeOptions& options, const Bytes& in, std::size_t split,
            std::size_t room) {
    const bool batch_each_call = options.time.mode == TimeBase::Mode::EachBatch;
    Outcome o;
    Decoder d(0, options, path);
    Bytes out(room * zel::kPackedEventBytes);
    std::size_t pos = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        const std::size_t piece_end = pos < split ? split : in.size();
        auto r = d.decode({in.data() + pos, piece_end - pos}, out);
        if (!r) {
            o.error = r.error();
            return o;
        }
        pos += r.value().consumed;
        o.records.insert(o.records.end(), out.begin(),
                         out.begin() + static_cast<std::ptrdiff_t>(r.value().written * zel::kPackedEventBytes));
        if (d.batch_full() || batch_each_call) {
            o.batch_origins.push_back(d.batch_origin());
            d.start_batch();
        }
        if (pos == in.size() && !d.has_pending_output()) break;
    }
    o.error = d.finish();
    o.bad_words = d.bad_words();
    return o;
}

// Records before an error depend on how much earlier calls returned, so a
// comparison across different pieces leaves them out (`records_too`).
void expect_same(const Outcome& fast, const Outcome& general, const std::string& where, bool records_too = true) {
    if (records_too || !general.error) {
        EXPECT_EQ(fast.records, general.records) << where;
    }
    EXPECT_EQ(fast.bad_words, general.bad_words) << where;
    EXPECT_EQ(fast.batch_origins, general.batch_origins) << where;
    ASSERT_EQ(fast.error.has_value(), general.error.has_value()) << where;
    if (fast.error) {
        EXPECT_EQ(fast.error->kind, general.error->kind) << where;
        EXPECT_EQ(fast.error->offset, general.error->offset) << where;
        EXPECT_EQ(fast.error->message, general.error->message) << where;
    }
}

struct Case {
    const char* name;
    StreamShape shape;
    BadWords bad_words;
    TimeBase time;
    std::uint32_t width;
    std::uint32_t height;
};

constexpr std::uint64_t kWrap = std::uint64_t{1} << 24;

const Case kCases[] = {
    {"clean_strict", {true, 0}, BadWords::Strict, {}, 1280, 720},
    {"clean_unbounded", {true, 0}, BadWords::Strict, {}, kMaxPropheseeSide, kMaxPropheseeSide},
    {"dirty_strict", {false, 0}, BadWords::Strict, {}, 1280, 720},
    {"dirty_skip", {false, 0}, BadWords::Skip, {}, 1280, 720},
    {"first_event_skip", {false, 0}, BadWords::Skip, {TimeBase::Mode::FirstEvent, 0}, 1280, 720},
    // An origin inside the first time-high window: early events come before it.
    {"offset_inside_window", {true, 0}, BadWords::Skip, {TimeBase::Mode::Offset, 3000}, 1280, 720},
    // 255 wraps put time just under 2^32 us: the next wrap crosses it.
    {"absolute_near_32_bits", {true, 255}, BadWords::Skip, {}, 1280, 720},
    {"offset_near_32_bits", {true, 256}, BadWords::Skip, {TimeBase::Mode::Offset, kWrap - 5000}, 1280, 720},
    {"batch_per_call_skip", {false, 0}, BadWords::Skip, {TimeBase::Mode::EachBatch, 0}, 1280, 720},
    {"batch_per_call_near_32_bits", {true, 255}, BadWords::Strict, {TimeBase::Mode::EachBatch, 0}, 1280, 720},
};

class Evt3FastPathTest : public ::testing::TestWithParam<Case> {};

// Whole input and ample output, many seeds.
TEST_P(Evt3FastPathTest, SameAsGeneralPath) {
    const Case& c = GetParam();
    DecodeOptions options{c.bad_words, c.time, c.width, c.height};
    for (std::uint32_t seed = 0; seed < 200; ++seed) {
        std::mt19937 rng(seed);
        const Bytes in = random_stream(rng, c.shape, 2000);
        const std::size_t room = in.size() * 6 + 1;
        expect_same(run<Evt3Decoder>(DecodePath::Fast, options, in, 0, room),
                    run<Evt3Decoder>(DecodePath::General, options, in, 0, room), "seed " + std::to_string(seed));
        if (HasFailure()) return;
    }
}

// Input split at every byte, and outputs too small for a full vector.
TEST_P(Evt3FastPathTest, SameAsGeneralPathInPieces) {
    const Case& c = GetParam();
    DecodeOptions options{c.bad_words, c.time, c.width, c.height};
    for (std::uint32_t seed = 1000; seed < 1004; ++seed) {
        std::mt19937 rng(seed);
        const Bytes in = random_stream(rng, c.shape, 150);
        const Outcome want = run<Evt3Decoder>(DecodePath::General, options, in, 0, in.size() * 6 + 1);
        for (std::size_t split = 0; split <= in.size(); ++split) {
            for (std::size_t room : {1u, 13u, 40u}) {
                const Outcome fast = run<Evt3Decoder>(DecodePath::Fast, options, in, split, room);
                const Outcome general = run<Evt3Decoder>(DecodePath::General, options, in, split, room);
                const std::string where =
                    "seed " + std::to_string(seed) + " split " + std::to_string(split) + " room " + std::to_string(room);
                expect_same(fast, general, where);
                // Outside batches, pieces and room change nothing at all.
                if (c.time.mode != TimeBase::Mode::EachBatch) expect_same(fast, want, where + " vs whole", false);
                if (HasFailure()) return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Evt3FastPathTest, ::testing::ValuesIn(kCases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// ------------------------------------------------------------------ EVT 2.0

// A random EVT 2.0 stream: time-high words that mostly move forward (now
// and then to the top of the counter so the next one wraps), CD words with
// coordinates a little past the sensor unless `clean`, words without events
// and, unless `clean`, steps back, reserved types and events before any
// time. `prefix_wraps` wraps of 2^34 us come first.
Bytes random_evt2(std::mt19937& rng, StreamShape shape, std::size_t n_words, std::uint32_t width,
                  std::uint32_t height) {
    auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
    Bytes b;
    for (std::uint32_t k = 0; k < shape.prefix_wraps; ++k) {
        put32(b, 0x88000000u);
        put32(b, 0x80000000u);
    }
    std::uint32_t high = 0;
    if (shape.clean || pick(4) != 0) put32(b, 0x80000000u);
    const std::uint32_t over = shape.clean ? 0 : 20;
    while (b.size() / 4 < n_words) {
        const std::uint32_t r = pick(100);
        if (r < 4) {
            const std::uint32_t kind = pick(shape.clean ? 2 : 3);
            high = kind == 0   ? (high + 1 + pick(3)) & 0x0FFFFFFF
                   : kind == 1 ? (high < 0x0FFFFFFE ? 0x0FFFFFFE : (high + 1) & 0x0FFFFFFF)
                               : (high - 1) & 0x0FFFFFFF;
            put32(b, 0x80000000u | high);
        } else if (r < 92) {
            const std::uint32_t x = pick(std::min(width + over, 2048u));
            const std::uint32_t y = pick(std::min(height + over, 2048u));
            put32(b, pick(2) << 28 | pick(64) << 22 | x << 11 | y);
        } else if (r < 97 || shape.clean) {
            static constexpr std::uint32_t kQuiet[] = {0xA, 0xE, 0xF};
            put32(b, kQuiet[pick(3)] << 28 | pick(1u << 28));
        } else {
            static constexpr std::uint32_t kReserved[] = {0x2, 0x3, 0x9, 0xB, 0xC};
            put32(b, kReserved[pick(5)] << 28 | pick(1u << 28));
        }
    }
    return b;
}

constexpr std::uint64_t kEvt2Wrap = std::uint64_t{1} << 34;

const Case kEvt2Cases[] = {
    {"clean_strict", {true, 0}, BadWords::Strict, {TimeBase::Mode::FirstEvent, 0}, 640, 480},
    {"clean_unbounded", {true, 0}, BadWords::Strict, {}, kMaxPropheseeSide, kMaxPropheseeSide},
    {"dirty_strict", {false, 0}, BadWords::Strict, {}, 640, 480},
    {"dirty_skip", {false, 0}, BadWords::Skip, {TimeBase::Mode::FirstEvent, 0}, 640, 480},
    {"offset_inside_window", {true, 0}, BadWords::Skip, {TimeBase::Mode::Offset, 40}, 640, 480},
    // Just under 2^32 us after the origin: the window's last times do not fit.
    {"offset_near_32_bits", {true, 1}, BadWords::Skip, {TimeBase::Mode::Offset, kEvt2Wrap - 0xFFFFFFF0ull}, 640, 480},
    {"batch_per_call_skip", {false, 0}, BadWords::Skip, {TimeBase::Mode::EachBatch, 0}, 640, 480},
    {"batch_per_call_wraps", {true, 2}, BadWords::Strict, {TimeBase::Mode::EachBatch, 0}, 640, 480},
};

class Evt2FastPathTest : public ::testing::TestWithParam<Case> {};

TEST_P(Evt2FastPathTest, SameAsGeneralPath) {
    const Case& c = GetParam();
    DecodeOptions options{c.bad_words, c.time, c.width, c.height};
    for (std::uint32_t seed = 0; seed < 200; ++seed) {
        std::mt19937 rng(seed);
        const Bytes in = random_evt2(rng, c.shape, 2000, c.width, c.height);
        const std::size_t room = in.size() / 4 + 1;
        expect_same(run<Evt2Decoder>(DecodePath::Fast, options, in, 0, room),
                    run<Evt2Decoder>(DecodePath::General, options, in, 0, room), "seed " + std::to_string(seed));
        if (HasFailure()) return;
    }
}

TEST_P(Evt2FastPathTest, SameAsGeneralPathInPieces) {
    const Case& c = GetParam();
    DecodeOptions options{c.bad_words, c.time, c.width, c.height};
    for (std::uint32_t seed = 1000; seed < 1004; ++seed) {
        std::mt19937 rng(seed);
        const Bytes in = random_evt2(rng, c.shape, 120, c.width, c.height);
        for (std::size_t split = 0; split <= in.size(); ++split) {
            for (std::size_t room : {1u, 7u, 40u}) {
                expect_same(run<Evt2Decoder>(DecodePath::Fast, options, in, split, room),
                            run<Evt2Decoder>(DecodePath::General, options, in, split, room),
                            "seed " + std::to_string(seed) + " split " + std::to_string(split) + " room " +
                                std::to_string(room));
                if (HasFailure()) return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Evt2FastPathTest, ::testing::ValuesIn(kEvt2Cases),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// The recorded sample, when the shared data folder is there.
// The recorded samples, when the shared data folder is there.
template <class Decoder>
void expect_sample_same_on_both_paths(const char* name) {
    const char* dir = std::getenv("ZEL_SHARED_DATA");
    const std::string path = std::string(dir != nullptr ? dir : "/work/shared/data") + "/" + name;
    std::ifstream file(path, std::ios::binary);
    if (!file) GTEST_SKIP() << path << " is absent";
    const Bytes data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto header = parse_raw_header(data);
    ASSERT_TRUE(header.ok()) << header.error().message;
    const Bytes in(data.begin() + static_cast<std::ptrdiff_t>(header.value().data_offset), data.end());
    DecodeOptions options;
    options.time.mode = TimeBase::Mode::FirstEvent;
    if (header.value().geometry.width != 0) {
        options.x_limit = header.value().geometry.width;
        options.y_limit = header.value().geometry.height;
    }
    const Outcome general = run<Decoder>(DecodePath::General, options, in, 0, in.size() * 6 + 1);
    ASSERT_FALSE(general.error.has_value()) << general.error->message;
    EXPECT_GT(general.records.size(), 0u);
    for (std::size_t room : {std::size_t{4096}, in.size() * 6 + 1}) {
        for (std::size_t split : {std::size_t{0}, in.size() / 3 + 1}) {
            expect_same(run<Decoder>(DecodePath::Fast, options, in, split, room), general,
                        "split " + std::to_string(split) + " room " + std::to_string(room));
        }
    }
}

TEST(FastPathRealFile, Evt3SameAsGeneralPath) { expect_sample_same_on_both_paths<Evt3Decoder>("evt3_sample.raw"); }
TEST(FastPathRealFile, Evt2SameAsGeneralPath) { expect_sample_same_on_both_paths<Evt2Decoder>("evt2_sample.raw"); }

}  // namespace
