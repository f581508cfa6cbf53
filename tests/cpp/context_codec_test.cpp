// The context-coded payload against codec zel: the same tree, the same
// boxes, for every shape, grid, depth and size; damaged payloads refused.

#include <gtest/gtest.h>

#include <cmath>
#include <bit>
#include <array>
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/box_decoder.hpp"
#include "codec/context_codec.hpp"
#include "codec/context_model.hpp"
#include "codec/context_rans.hpp"
#include "codec/frames.hpp"
#include "codec/rans.hpp"
#include "codec/sparse_octree.hpp"
#include "event_shapes.hpp"
#include "reference_rans.hpp"

namespace zel {
namespace {

using context::ContextEncoder;
using context::FrameFigures;

std::string describe(Shape shape, const Grid& g, std::size_t n, unsigned depth) {
    return std::string(name_of(shape)) + " grid " + std::to_string(g.width) + "x" +
           std::to_string(g.height) + "x" + std::to_string(g.time_bins) + " n " +
           std::to_string(n) + " depth " + std::to_string(depth);
}

// Codes one frame with both codecs and checks that the context payload
// decodes to zel's bitstream and to the boxes zel's bitstream decodes to.
void expect_same_tree(std::span<const Event> events, const GridParams& params,
                      ContextEncoder& encoder) {
    SparseOctreeCoder zel_coder(params.width, params.height, params.time_bins, params.max_depth);
    OctreeBitstream zel_bits;
    const std::uint64_t occupied = zel_coder.encode(events, zel_bits);

    std::vector<std::uint8_t> payload;
    const FrameFigures figures = encoder.encode(events, payload);
    ASSERT_EQ(figures.n_bits, zel_bits.n_bits);
    ASSERT_EQ(figures.occupied, occupied);

    auto bits = context::decode_bitstream(payload, params, figures.n_bits, events.size());
    ASSERT_TRUE(bits) << bits.error().message;
    ASSERT_EQ(bits.value().packed, zel_bits.packed);
    ASSERT_EQ(bits.value().n_bits, zel_bits.n_bits);

    const LeafDecode zel_boxes =
        decode_leaf_boxes(zel_bits.packed, zel_bits.n_bits, zel_coder.dim_x(), zel_coder.dim_y(),
                          zel_coder.dim_t(), params.max_depth, events.size());
    ASSERT_FALSE(zel_boxes.too_many);
    auto boxes = context::decode_boxes(payload, params, figures.n_bits, events.size());
    ASSERT_TRUE(boxes) << boxes.error().message;
    EXPECT_EQ(boxes.value().origins, zel_boxes.boxes.origins);
    if (!zel_boxes.boxes.empty()) {
        EXPECT_EQ(boxes.value().dx, zel_boxes.boxes.dx);
        EXPECT_EQ(boxes.value().dy, zel_boxes.boxes.dy);
        EXPECT_EQ(boxes.value().dbin, zel_boxes.boxes.dbin);
    }
}

const std::vector<Grid> kGrids = {{0, 0, 0},      {1, 1, 1},     {2, 1, 1},    {1, 1, 300},
                                  {346, 260, 16}, {64, 64, 64},  {5, 2000, 2}, {2048, 3, 5},
                                  {17, 9, 1000},  {34, 34, 256}};
const std::vector<std::size_t> kSizes = {0, 1, 2, 63, 700, 4097, 20'000};
const std::vector<std::uint8_t> kDepths = {0, 1, 3, 8, 11, 16, 255};

class SameTreeAsZel : public ::testing::TestWithParam<Shape> {};

TEST_P(SameTreeAsZel, OnEveryGridDepthAndSize) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) + 500);
    for (const Grid& g : kGrids) {
        for (const std::size_t n : kSizes) {
            const EventList events = make_events(rng, GetParam(), n, g);
            for (const std::uint8_t depth : kDepths) {
                SCOPED_TRACE(describe(GetParam(), g, n, depth));
                const GridParams params{g.width, g.height, g.time_bins, depth};
                ContextEncoder encoder(params);
                expect_same_tree(events, params, encoder);
            }
        }
    }
}

// Dimensions up to 65535 (grids of up to 2^48 voxels, never materialised).
TEST_P(SameTreeAsZel, OnTheLargestGrids) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) + 900);
    const std::vector<Grid> grids = {{65535, 65535, 65535}, {65535, 1, 1}, {40000, 3, 65535},
                                     {1, 1, 65535}};
    for (const Grid& g : grids) {
        for (const std::uint8_t depth : {std::uint8_t{5}, std::uint8_t{16}}) {
            const EventList events = make_events(rng, GetParam(), 3000, g);
            SCOPED_TRACE(describe(GetParam(), g, events.size(), depth));
            const GridParams params{g.width, g.height, g.time_bins, depth};
            ContextEncoder encoder(params);
            expect_same_tree(events, params, encoder);
        }
    }
}

// A sequence's frames through one encoder, as a streaming writer codes
// them: nothing of one frame may leak into the next.
TEST_P(SameTreeAsZel, FrameAfterFrameThroughOneEncoder) {
    std::mt19937_64 rng(static_cast<unsigned>(GetParam()) + 1300);
    const Grid g{346, 260, 64};
    const EventList events = make_events(rng, GetParam(), 30'000, g);
    for (const std::uint64_t n_frames : {std::uint64_t{2}, std::uint64_t{37}, std::uint64_t{400}}) {
        const FrameSplit split = split_frames(events, n_frames);
        const GridParams params{g.width, g.height, g.time_bins, 16};
        ContextEncoder encoder(params);
        for (std::uint64_t k = 0; k < n_frames; ++k) {
            SCOPED_TRACE(describe(GetParam(), g, split.frame(k).size(), 16) + " frame " +
                         std::to_string(k) + " of " + std::to_string(n_frames));
            expect_same_tree(split.frame(k), params, encoder);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SameTreeAsZel,
                         ::testing::Values(Shape::Uniform, Shape::Clustered, Shape::HotPixels,
                                           Shape::ExtremeCoords, Shape::ExtremeTimes,
                                           Shape::SameTime),
                         [](const ::testing::TestParamInfo<Shape>& param_info) {
                             std::string name = name_of(param_info.param);
                             for (char& c : name)
                                 if (c == ' ') c = '_';
                             return name;
                         });

// The packed-record entry point codes the records where they lie.
TEST(ContextEncoder, PackedRecordsGiveTheSamePayload) {
    std::mt19937_64 rng(3);
    const GridParams params{346, 260, 64, 16};
    const EventList events = make_events(rng, Shape::Clustered, 5000, {346, 260, 64});
    const Bytes records = pack(events);
    ContextEncoder encoder(params);
    std::vector<std::uint8_t> from_list, from_records;
    encoder.encode(std::span<const Event>(events), from_list);
    encoder.encode(PackedEvents(records.data(), events.size()), from_records);
    EXPECT_EQ(from_list, from_records);
}

// The models and bitmaps are pooled per thread: nothing of one frame (its
// learnt probabilities, its occupancy bitmaps) may reach the next, in
// either direction, whatever grid came between.
TEST(ContextEncoder, EveryFrameStartsAfresh) {
    std::mt19937_64 rng(21);
    const GridParams params{346, 260, 64, 16};
    const GridParams other{65535, 3, 700, 16};
    const EventList a = make_events(rng, Shape::Clustered, 6000, {346, 260, 64});
    const EventList b = make_events(rng, Shape::HotPixels, 9000, {346, 260, 64});
    const EventList c = make_events(rng, Shape::Uniform, 4000, {65535, 3, 700});
    ContextEncoder encoder(params), other_encoder(other);
    std::vector<std::uint8_t> first, between, again;
    const FrameFigures f = encoder.encode(std::span<const Event>(a), first);
    encoder.encode(std::span<const Event>(b), between);
    other_encoder.encode(std::span<const Event>(c), between);
    ASSERT_TRUE(context::decode_boxes(between, other, other_encoder.last_bitstream().n_bits,
                                      c.size()));
    encoder.encode(std::span<const Event>(a), again);
    EXPECT_EQ(first, again);
    auto once = context::decode_bitstream(first, params, f.n_bits, a.size());
    ASSERT_TRUE(once);
    ASSERT_TRUE(context::decode_bitstream(between, other, other_encoder.last_bitstream().n_bits,
                                          c.size()));
    auto twice = context::decode_bitstream(first, params, f.n_bits, a.size());
    ASSERT_TRUE(twice);
    EXPECT_EQ(once.value().packed, twice.value().packed);
}

// The contexts must see the structure: occupancy that follows its
// neighbours (filled blocks with a few holes) codes far below zel's single
// probability (0.16x; 0.37x when the neighbour lookups are switched off, so
// the bound fails if they break), and uniform noise does not cost much more
// than zel.
TEST(ContextEncoder, NeighbourStructureIsWhatItCodes) {
    std::mt19937_64 rng(8);
    const GridParams params{128, 128, 32, 16};
    EventList blocks;
    for (std::uint16_t x = 16; x < 80; ++x)
        for (std::uint16_t y = 40; y < 90; ++y)
            for (std::uint32_t t = 0; t < 32; t += 2)
                if (rng() % 16 != 0) blocks.push_back({x, y, t * 100 + (x & 1) * 100, 0});
    blocks.push_back({127, 127, 3200, 0});
    const EventList noise = make_events(rng, Shape::Uniform, 20000, {128, 128, 32});
    for (const EventList* events : std::initializer_list<const EventList*>{&blocks, &noise}) {
        ContextEncoder encoder(params);
        std::vector<std::uint8_t> payload;
        encoder.encode(std::span<const Event>(*events), payload);
        const OctreeBitstream& bits = encoder.last_bitstream();
        const RansStream zel_stream = rans_encode(bits.packed, bits.n_bits);
        const double ratio =
            static_cast<double>(payload.size()) / static_cast<double>(zel_stream.size());
        if (events == &blocks) {
            EXPECT_LT(ratio, 0.25) << payload.size() << " against zel's " << zel_stream.size();
        } else {
            EXPECT_LT(ratio, 1.05) << payload.size() << " against zel's " << zel_stream.size();
        }
    }
}

struct Coded {
    GridParams params;
    std::vector<std::uint8_t> payload;
    FrameFigures figures;
    std::uint64_t n_events;
    OctreeBitstream bits;
};

Coded code_sample(std::size_t n, Shape shape = Shape::Clustered) {
    std::mt19937_64 rng(77);
    Coded c{{64, 48, 32, 16}, {}, {}, n, {}};
    const EventList events = make_events(rng, shape, n, {64, 48, 32});
    ContextEncoder encoder(c.params);
    c.figures = encoder.encode(std::span<const Event>(events), c.payload);
    c.bits = encoder.last_bitstream();
    return c;
}

// Cut payloads are always refused, with the fault placed inside the
// payload. A flipped bit is caught by the stream's own checks (every lane
// must end on the encoder's starting state, every word must be used, the
// tree must have the declared bits and no more nodes than events) almost
// always; the container's checksum catches the rest, so the bar here is
// that the checks work, not that they are a checksum.
TEST(ContextDecoder, RefusesCutAndFlippedPayloads) {
    for (const std::size_t n : {std::size_t{40}, std::size_t{3000}}) {
        const Coded c = code_sample(n);
        ASSERT_GT(c.payload.size(), 8u);
        for (std::size_t cut = 0; cut < c.payload.size(); ++cut) {
            const std::span<const std::uint8_t> prefix(c.payload.data(), cut);
            auto r = context::decode_bitstream(prefix, c.params, c.figures.n_bits, c.n_events);
            ASSERT_FALSE(r) << "payload cut to " << cut << " bytes was accepted";
            ASSERT_TRUE(r.error().offset.has_value());
            EXPECT_LE(*r.error().offset, c.payload.size());
        }
        std::vector<std::uint8_t> damaged = c.payload;
        std::size_t accepted_wrong = 0;
        const std::size_t flips = damaged.size() * 8;
        for (std::size_t bit = 0; bit < flips; ++bit) {
            damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            auto r = context::decode_bitstream(damaged, c.params, c.figures.n_bits, c.n_events);
            if (r) {
                accepted_wrong += r.value().packed != c.bits.packed ? 1u : 0u;
            } else {
                EXPECT_LE(*r.error().offset, c.payload.size());
            }
            auto boxes = context::decode_boxes(damaged, c.params, c.figures.n_bits, c.n_events);
            EXPECT_EQ(static_cast<bool>(boxes), static_cast<bool>(r)) << "bit " << bit;
            damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        }
        EXPECT_LE(accepted_wrong * 50, flips) << accepted_wrong << " of " << flips
                                              << " flipped bits went unnoticed";
    }
}

// What the frame header says must agree with the tree.
TEST(ContextDecoder, RefusesFrameFiguresThatContradictTheTree) {
    const Coded c = code_sample(500);
    const std::uint64_t bits = c.figures.n_bits;
    for (const std::uint64_t wrong_bits : {bits - 1, bits + 1, std::uint64_t{1}, ~std::uint64_t{0}}) {
        EXPECT_FALSE(context::decode_boxes(c.payload, c.params, wrong_bits, c.n_events))
            << wrong_bits;
    }
    // Fewer events than occupied boxes, and no events at all.
    EXPECT_FALSE(context::decode_boxes(c.payload, c.params, bits, c.figures.occupied - 1));
    EXPECT_FALSE(context::decode_boxes(c.payload, c.params, bits, 0));
    // Another grid reads the same bytes as another tree.
    const GridParams other{c.params.width, c.params.height, 64, 16};
    EXPECT_FALSE(context::decode_boxes(c.payload, other, bits, c.n_events));
}

TEST(ContextDecoder, RefusesUnknownHeaders) {
    Coded c = code_sample(300);
    for (const unsigned header : {0x00u, 0x02u, 0x0Fu, 0x31u, 0x41u, 0x81u}) {
        std::vector<std::uint8_t> p = c.payload;
        p[0] = static_cast<std::uint8_t>(header);
        auto r = context::decode_boxes(p, c.params, c.figures.n_bits, c.n_events);
        ASSERT_FALSE(r) << header;
        EXPECT_EQ(r.error().offset, 0u);
    }
}

// Each refusal in its own words and at its place in the payload.
TEST(ContextDecoder, EachRefusalSaysWhatAndWhere) {
    const Coded c = code_sample(500);
    const std::size_t lanes = std::size_t{1} << ((c.payload[0] >> 4) & 3u);
    ASSERT_GE(lanes, 2u);  // a tree of this size has several hundred decisions
    struct Refusal {
        const char* name;
        std::vector<std::uint8_t> payload;
        std::uint64_t n_bits, n_events;
        std::string says;
        std::uint64_t offset;
    };
    std::vector<std::uint8_t> version = c.payload;
    version[0] = static_cast<std::uint8_t>((version[0] & 0xF0) | 2);
    std::vector<std::uint8_t> high_bit = c.payload;
    high_bit[0] |= 0x80;
    std::vector<std::uint8_t> three_lanes = c.payload;
    three_lanes[0] |= 0x30;
    std::vector<std::uint8_t> word_more = c.payload;
    word_more.push_back(0);
    word_more.push_back(0);
    const std::vector<std::uint8_t> header_only(c.payload.begin(), c.payload.begin() + 1);
    const std::vector<std::uint8_t> states_short(c.payload.begin(),
                                                 c.payload.begin() + static_cast<std::ptrdiff_t>(4 * lanes));
    const std::uint64_t bits = c.figures.n_bits;
    const Refusal refusals[] = {
        {"empty", {}, bits, c.n_events, "no header byte", 0},
        {"version", version, bits, c.n_events, "unknown version 2", 0},
        {"bit 7", high_bit, bits, c.n_events, "reserved header bits are set", 0},
        {"three lanes", three_lanes, bits, c.n_events, "reserved header bits are set", 0},
        {"header alone", header_only, bits, c.n_events, "the coder's states are cut short", 1},
        {"one state byte short", states_short, bits, c.n_events, "the coder's states are cut short", 4 * lanes},
        {"a word too many", word_more, bits, c.n_events, "the coded stream does not end where the tree does",
         c.payload.size()},
        {"one bit more", c.payload, bits + 1, c.n_events,
         "the tree has " + std::to_string(bits) + " bits, its frame declares " + std::to_string(bits + 1), 0},
        {"one bit fewer", c.payload, bits - 1, c.n_events, "the tree has more bits than its frame declares", 1},
        {"fewer events than boxes", c.payload, bits, c.figures.occupied - 1,
         "a level has more occupied nodes than the frame has events", 1},
        {"no events but bits", {0x01}, 2, 0, "the tree has 1 bit, its frame declares 2", 0},
        {"no events but bytes", {0x01, 0x00}, 1, 0, "bytes after a tree without decisions", 1},
    };
    for (const Refusal& r : refusals) {
        auto got = context::decode_boxes(r.payload, c.params, r.n_bits, r.n_events);
        ASSERT_FALSE(got) << r.name;
        EXPECT_EQ(got.error().kind, ErrorKind::InvalidData) << r.name;
        EXPECT_EQ(got.error().message, "context payload: " + r.says) << r.name;
        if (r.offset != ~std::uint64_t{0}) {
            EXPECT_EQ(got.error().offset, r.offset) << r.name;
        } else {
            EXPECT_LE(*got.error().offset, r.payload.size()) << r.name;
        }
    }
    // The edges taken: as many events as boxes, the tree without decisions.
    EXPECT_TRUE(context::decode_boxes(c.payload, c.params, bits, c.figures.occupied));
    EXPECT_TRUE(context::decode_boxes(std::vector<std::uint8_t>{0x01}, c.params, 1, 0));
}

// The decision probabilities as the payload's format states them, written out
// on their own: three contexts per decision (fine, coarse, third) with q and
// n, the fine one backing off to its coarse one when new, a mixer by level
// class and the fine context's experience, squash and stretch from the stated
// table, the stated rates, weight steps and clamps.
class ReferenceMixing {
public:
    ReferenceMixing()
        : fine_q_(12288, 32768), fine_n_(12288, 0), coarse_q_(8 * 7 * 3, 32768), coarse_n_(8 * 7 * 3, 0),
          third_q_(8 * 8 * 3 * 4 * 4 * 7, 32768), third_n_(8 * 8 * 3 * 4 * 4 * 7, 0), weights_(32) {
        for (auto& w : weights_) w = {40000, 15000, 10000, 0};
        for (int p = 0; p < 4096; ++p) {
            stretch_[static_cast<std::size_t>(p)] = 2047;
            for (int d = -2047; d <= 2047; ++d) {
                if (squash(d) >= p) {
                    stretch_[static_cast<std::size_t>(p)] = d;
                    break;
                }
            }
        }
    }

    static int squash(int d) {
        static constexpr int t[33] = {1,    2,    3,    6,    10,   16,   27,   45,   73,   120,  194,
                                      310,  488,  747,  1101, 1546, 2047, 2549, 2994, 3348, 3607, 3785,
                                      3901, 3975, 4022, 4050, 4068, 4079, 4085, 4089, 4092, 4093, 4094};
        if (d > 2047) return 4095;
        if (d < -2047) return 1;
        const int i = (d >> 7) + 16, w = d & 127;
        return (t[i] * (128 - w) + t[i + 1] * w + 64) >> 7;
    }
    int stretch(std::int64_t p) const { return stretch_[static_cast<std::size_t>(p)]; }

    // lambda 0..7, child 0..7, pattern 0..63, siblings (any), g 0..3, h 0..2.
    struct Decision {
        unsigned lambda, child, pattern, siblings, g, h;
        unsigned fine() const { return ((lambda * 8 + child) * 64 + pattern) * 3 + std::min(siblings, 2u); }
        unsigned coarse() const {
            return (lambda * 7 + static_cast<unsigned>(std::popcount(pattern))) * 3 + std::min(siblings, 2u);
        }
        unsigned third() const {
            return (((((lambda * 8 + child) * 3 + std::min(siblings, 2u)) * 4 + std::min(g, 3u)) * 4 + h) * 7) +
                   static_cast<unsigned>(std::popcount(pattern));
        }
    };

    int predict(const Decision& x) {
        x_ = x;
        if (fine_n_[x.fine()] == 0) {
            fine_q_[x.fine()] = coarse_q_[x.coarse()];
            fine_n_[x.fine()] = 4;
        }
        s_[0] = stretch(fine_q_[x.fine()] >> 4);
        s_[1] = stretch(coarse_q_[x.coarse()] >> 4);
        s_[2] = stretch(third_q_[x.third()] >> 4);
        const unsigned n = fine_n_[x.fine()];
        m_ = x.lambda * 4 + (n < 8 ? 0 : n < 24 ? 1 : n < 64 ? 2 : 3);
        const auto& w = weights_[m_];
        const std::int64_t sum = w[0] * std::int64_t{s_[0]} + w[1] * std::int64_t{s_[1]} +
                                 w[2] * std::int64_t{s_[2]} + w[3] * std::int64_t{256};
        p_ = squash(static_cast<int>(std::clamp<std::int64_t>(sum >> 16, -2047, 2047)));
        return p_;
    }

    void update(unsigned d) {
        learn(fine_q_[x_.fine()], fine_n_[x_.fine()], d);
        learn(coarse_q_[x_.coarse()], coarse_n_[x_.coarse()], d);
        learn(third_q_[x_.third()], third_n_[x_.third()], d);
        const std::int64_t e = 4096 * std::int64_t{d} - p_;
        auto& w = weights_[m_];
        const std::int64_t in[4] = {s_[0], s_[1], s_[2], 256};
        for (int k = 0; k < 4; ++k) {
            w[static_cast<std::size_t>(k)] =
                std::clamp<std::int64_t>(w[static_cast<std::size_t>(k)] + ((in[k] * e) >> 10), -(1 << 22), 1 << 22);
        }
    }

private:
    static void learn(std::int64_t& q, unsigned& n, unsigned d) {
        const unsigned r = std::min(std::max(static_cast<unsigned>(std::bit_width(n + 2)) - 1, 1u), 7u);
        n = std::min(n + 1, 127u);
        q += (65535 * std::int64_t{d} - q) >> r;
    }

    std::vector<std::int64_t> fine_q_;
    std::vector<unsigned> fine_n_;
    std::vector<std::int64_t> coarse_q_;
    std::vector<unsigned> coarse_n_;
    std::vector<std::int64_t> third_q_;
    std::vector<unsigned> third_n_;
    std::vector<std::array<std::int64_t, 4>> weights_;
    std::array<int, 4096> stretch_{};
    Decision x_{};
    int s_[3] = {};
    unsigned m_ = 0;
    int p_ = 0;
};

TEST(BitModels, PredictAndLearnAsStated) {
    ReferenceMixing want;
    for (int d = -3000; d <= 3000; ++d) ASSERT_EQ(context::squash(d), ReferenceMixing::squash(d)) << d;
    for (int p = 0; p < 4096; ++p) ASSERT_EQ(context::kStretch.of[static_cast<std::size_t>(p)], want.stretch(p)) << p;
    context::BitModels models;
    std::mt19937_64 rng(21);
    // Few contexts, so they are met again and again (rates down to the
    // slowest, counts saturated, weights at their clamps), with biased bits.
    for (int i = 0; i < 400000; ++i) {
        const ReferenceMixing::Decision x{static_cast<unsigned>(rng() % 8), static_cast<unsigned>(rng() % 8),
                                          static_cast<unsigned>(rng() % 5 == 0 ? rng() % 64 : rng() % 4),
                                          static_cast<unsigned>(rng() % 4), static_cast<unsigned>(rng() % 5),
                                          static_cast<unsigned>(rng() % 3)};
        const unsigned fine = x.fine(), coarse = x.coarse(), third = x.third();
        const int p = want.predict(x);
        ASSERT_EQ(static_cast<int>(models.predict(fine, coarse, third)), p) << "decision " << i;
        const unsigned bit = rng() % 64 < (x.child * 7 + x.pattern % 3) ? 1u : 0u;
        models.update(bit);
        want.update(bit);
    }
}

// The encoder's lane count: 1 below 256 decisions, 2 below 2048, 4 from
// there. On a grid that splits x alone, a parent whose first child is
// occupied has both children decided; in these rows every parent's first
// child is, so the decisions are twice the occupied parents: a full row of
// 128 gives 2 * 127, the first half of a row of 256 (root included) 2 * 128.
TEST(ContextEncoder, LanesFollowTheDecisionCount) {
    struct Row {
        std::uint16_t width;
        std::uint16_t events;  // x = 0 .. events - 1
        std::uint64_t decisions;
        unsigned lanes_log2;
    };
    const Row rows[] = {
        {128, 128, 254, 0}, {256, 128, 256, 1}, {1024, 1024, 2046, 1}, {2048, 1024, 2048, 2},
    };
    for (const Row& r : rows) {
        const GridParams params{r.width, 1, 1, 16};
        EventList events;
        for (std::uint16_t x = 0; x < r.events; ++x) events.push_back(Event{x, 0, 0, 0});
        ContextEncoder encoder(params);
        std::vector<std::uint8_t> payload;
        const FrameFigures f = encoder.encode(std::span<const Event>(events), payload);
        ASSERT_EQ(f.n_bits, 1 + r.decisions) << r.width;
        EXPECT_EQ((payload[0] >> 4) & 3u, r.lanes_log2) << r.width << " " << r.events;
        auto boxes = context::decode_boxes(payload, params, f.n_bits, events.size());
        ASSERT_TRUE(boxes) << boxes.error().message;
        EXPECT_EQ(boxes.value().origins.size(), r.events);
    }
}

// An empty frame is the header byte alone; so is a tree of the root alone.
TEST(ContextDecoder, TreesWithoutSymbolsAreTheHeaderAlone) {
    const GridParams params{8, 8, 8, 0};
    const EventList one = {{1, 2, 3, 0}};
    for (const bool with_event : {false, true}) {
        const std::span<const Event> events(one.data(), with_event ? 1 : 0);
        ContextEncoder encoder(with_event ? params : GridParams{8, 8, 8, 4});
        std::vector<std::uint8_t> payload;
        const FrameFigures f = encoder.encode(events, payload);
        EXPECT_EQ(payload.size(), 1u);
        EXPECT_EQ(f.n_bits, 1u);
        std::vector<std::uint8_t> longer = payload;
        longer.push_back(0);
        EXPECT_FALSE(context::decode_boxes(longer, with_event ? params : GridParams{8, 8, 8, 4},
                                           1, events.size()));
    }
}

// The adaptive probabilities stay codable (strictly inside the scale)
// under any run of bits, and head towards what they code.
TEST(BitModels, StayCodableAndFollowTheirBits) {
    std::mt19937_64 rng(11);
    for (const int mix : {0, 1, 2}) {
        context::BitModels m;
        const unsigned ctx = 123, coarse = 7, third = 9;
        EXPECT_NEAR(m.predict(ctx, coarse, third), context::kProbScale / 2, 2u);
        std::uint32_t p = 0;
        for (unsigned step = 0; step < 5000; ++step) {
            // Long runs of one value push the probability to its floor or
            // ceiling; random bits pull it back.
            const unsigned bit = mix == 0 ? 1u : mix == 1 ? 0u : static_cast<unsigned>(rng() & 1);
            p = m.predict(ctx, coarse, third);
            ASSERT_GE(p, 1u);
            ASSERT_LT(p, context::kProbScale);
            m.update(bit);
        }
        if (mix == 0) {
            EXPECT_GT(p, context::kProbScale - 64);
        } else if (mix == 1) {
            EXPECT_LT(p, 64u);
        } else {
            EXPECT_NEAR(p, context::kProbScale / 2, context::kProbScale / 8);
        }
        // A context seen for the first time starts where its coarse context
        // is: a coarse context that only saw ones hands its newcomers a
        // high probability.
        if (mix == 0) {
            EXPECT_GT(m.predict(ctx + 1, coarse, third + 1), context::kProbScale - 256);
        }
    }
}

// The mixer's integer logistic pair: squash stays strictly inside the
// scale and rises with its argument, stretch inverts it to within the
// rounding of the 12-bit scale, so both sides of the coder agree exactly.
TEST(Mixing, SquashAndStretchAreMonotoneInverses) {
    const auto& stretch = context::kStretch.of;
    int last = 0;
    for (int d = -2100; d <= 2100; ++d) {
        const int p = context::squash(d);
        ASSERT_GE(p, 1);
        ASSERT_LE(p, 4095);
        ASSERT_GE(p, last) << d;
        last = p;
        if (d >= -2047 && d <= 2047) {
            // Several d share one p where squash is flat; stretch gives the
            // first of them.
            ASSERT_LE(stretch[static_cast<std::size_t>(p)], d);
            ASSERT_EQ(context::squash(stretch[static_cast<std::size_t>(p)]), p);
        }
    }
    for (std::size_t p = 1; p < 4096; ++p) ASSERT_GE(stretch[p], stretch[p - 1]);
}

// The coder as stated (reference_rans.hpp) with 12-bit probabilities:
// decision k in lane k mod L, a 1 owning [0, P) and a 0 [P, 4096).
TEST(RansBits, TheStreamIsTheStatedInterleavedCoder) {
    std::mt19937_64 rng(8);
    for (const unsigned lanes : {1u, 2u, 4u}) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{5000}}) {
            std::vector<context::CodedBit> coded;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint32_t p = rng() % 3 == 0 ? (rng() % 2 ? 1u : 4095u) : static_cast<std::uint32_t>(rng() % 4095) + 1;
                coded.push_back(context::coded_bit(p, rng() % 4096 < p ? 1u : 0u));
            }
            std::vector<testing_support::CodedRange> ranges;
            for (const context::CodedBit c : coded) {
                const std::uint64_t p = c & 4095u;
                const bool one = (c >> 15) != 0;
                ranges.push_back({one ? 0 : p, one ? p : 4096 - p});
            }
            const std::vector<std::uint8_t> want = testing_support::reference_rans_stream(ranges, lanes, 12);
            std::vector<std::uint8_t> bytes;
            std::vector<std::uint16_t> words;
            context::rans_encode_bits(coded, lanes, words, bytes);
            EXPECT_EQ(bytes, want) << lanes << " lanes, " << n << " decisions";
        }
    }
}

// The interleaved coder round-trips at the edges of its renormalisation:
// decisions of the largest and of the smallest probability, over every lane
// count.
TEST(RansBits, RoundTripAtTheProbabilityExtremes) {
    std::mt19937_64 rng(5);
    for (const unsigned lanes : {1u, 2u, 4u}) {
        for (const int mix : {0, 1, 2, 3}) {
            std::vector<context::CodedBit> coded;
            for (unsigned i = 0; i < 20000; ++i) {
                // mix 0: certain bits at the extreme probabilities; 1: the
                // unlikely value at the extremes; 2: random probabilities and
                // bits; 3: bits that follow their probability.
                std::uint32_t p = static_cast<std::uint32_t>(rng() % 4095) + 1;
                unsigned bit = static_cast<unsigned>(rng() & 1);
                if (mix == 0 || mix == 1) {
                    p = (i & 1) ? 1u : 4095u;
                    bit = (p == 4095u) == (mix == 0) ? 1u : 0u;
                } else if (mix == 3) {
                    bit = (rng() % 4096) < p ? 1u : 0u;
                }
                coded.push_back(context::coded_bit(p, bit));
            }
            std::vector<std::uint8_t> bytes;
            std::vector<std::uint16_t> words;
            context::rans_encode_bits(coded, lanes, words, bytes);
            context::RansBitDecoder dec(bytes.data(), bytes.size(), lanes);
            for (std::size_t i = 0; i < coded.size(); ++i) {
                ASSERT_EQ(dec.next(coded[i] & 4095u), coded[i] >> 15u)
                    << "lanes " << lanes << " mix " << mix << " at " << i;
            }
            EXPECT_TRUE(dec.finished_cleanly());
            if (mix == 3) {
                // Bits that follow their probabilities cost their entropy,
                // within the states' and rounding's overhead.
                double entropy = 0;
                for (const auto c : coded) {
                    const double p = (c & 4095u) / 4096.0;
                    entropy -= std::log2((c >> 15) ? p : 1 - p);
                }
                EXPECT_LT(static_cast<double>(bytes.size()) * 8.0, entropy * 1.01 + 64.0 * lanes);
            }
        }
    }
}

}  // namespace
}  // namespace zel
