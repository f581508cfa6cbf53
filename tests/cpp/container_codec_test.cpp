// The keyframe codecs of the container: "context" keyframes (kind 2) code
// the same bitstreams as "zel" keyframes (kind 0), so the deltas between
// them, the boxes and every reading rule are the same; a damaged kind-2
// payload is refused where the damage lies.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "container/byte_source.hpp"
#include "container/container_reader.hpp"
#include "container/container_writer.hpp"
#include "container_test_files.hpp"
#include "event_shapes.hpp"

namespace zel::container {
namespace {

using Bytes = std::vector<std::uint8_t>;

using zel_test::open_memory;

// Frames of varied shapes on a grid big enough for a deep tree, packed.
Bytes varied_records(std::size_t n_frames) {
    std::mt19937_64 rng(19);
    const Grid g{300, 200, 32};
    Bytes out;
    for (std::size_t k = 0; k < n_frames; ++k) {
        const auto shape = static_cast<Shape>(k % 6);
        EventList events = make_events(rng, shape, 150 + 40 * k, g);
        for (Event& e : events) e.t += static_cast<std::uint32_t>(100'000 * k);
        std::sort(events.begin(), events.end(),
                  [](const Event& a, const Event& b) { return a.t < b.t; });
        for (const Event& e : events) {
            for (std::uint8_t b : {std::uint8_t(e.x), std::uint8_t(e.x >> 8), std::uint8_t(e.y),
                                   std::uint8_t(e.y >> 8), std::uint8_t(e.t),
                                   std::uint8_t(e.t >> 8), std::uint8_t(e.t >> 16),
                                   std::uint8_t(e.t >> 24), e.p}) {
                out.push_back(b);
            }
        }
    }
    return out;
}

Bytes varied_container(std::uint64_t n_frames, std::uint32_t interval, KeyframeCodec codec) {
    const Bytes records = varied_records(n_frames);
    auto file = encode_container(PackedEvents(records.data(), records.size() / kPackedEventBytes),
                                 GridParams{300, 200, 32, 16}, n_frames, interval, codec);
    EXPECT_TRUE(file.ok());
    return std::move(file.value());
}

struct Record {
    FrameHeader header;
    Bytes payload;
};

std::vector<Record> records_of(const Bytes& file) {
    ContainerReader reader = open_memory(file);
    std::vector<Record> out;
    for (std::uint64_t k = 0; k < reader.frames().size(); ++k) {
        const std::uint64_t at = reader.frames()[k].offset;
        const auto h = parse_frame_header(std::span(file).subspan(at), at, k);
        EXPECT_TRUE(h.ok());
        const auto first = file.begin() + static_cast<std::ptrdiff_t>(at + kFrameHeaderBytes);
        out.push_back(
            {h.value(), Bytes(first, first + static_cast<std::ptrdiff_t>(h.value().payload_bytes))});
    }
    return out;
}

// A well-formed container around these records (checksums and index
// renewed), so that a fault put into a record reaches its payload's decoder.
Bytes assemble(const FileHeader& header, const std::vector<Record>& records) {
    FileHeader h = header;
    h.n_frames = records.size();
    const auto head = header_bytes(h);
    Bytes out(head.begin(), head.end());
    std::vector<FrameSummary> index;
    for (const Record& r : records) {
        index.push_back({out.size(), r.header.t_first, r.header.t_last, r.header.n_events});
        append_frame(r.header, r.payload, out);
    }
    append_index(index, out.size(), out);
    return out;
}

void expect_same_boxes(const LeafBoxes& a, const LeafBoxes& b, std::uint64_t k) {
    EXPECT_EQ(a.origins, b.origins) << "frame " << k;
    EXPECT_EQ(a.dx, b.dx) << "frame " << k;
    EXPECT_EQ(a.dy, b.dy) << "frame " << k;
    EXPECT_EQ(a.dbin, b.dbin) << "frame " << k;
}

class BothCodecs : public ::testing::TestWithParam<std::uint32_t> {};

// Every frame, read in any order along its chain, decodes to the boxes of
// the "zel" file; keyframes are kind 2, and the deltas are byte for byte
// those of the "zel" file because both chains carry the same bitstreams.
TEST_P(BothCodecs, FilesDecodeToTheSameFramesWithTheSameDeltas) {
    const std::uint32_t interval = GetParam();
    const Bytes zel_file = varied_container(7, interval, KeyframeCodec::Zel);
    const Bytes context_file = varied_container(7, interval, KeyframeCodec::Context);
    ContainerReader zel_reader = open_memory(zel_file);
    ContainerReader context_reader = open_memory(context_file);
    const FileHeader& header = context_reader.header();
    EXPECT_EQ(header.keyframe_interval, interval);

    const auto zel_records = records_of(zel_file);
    const auto context_records = records_of(context_file);
    for (std::uint64_t k = 0; k < 7; ++k) {
        const bool key = header.is_keyframe(k);
        EXPECT_EQ(zel_records[k].header.kind, key ? FrameKind::Key : FrameKind::Delta) << k;
        EXPECT_EQ(context_records[k].header.kind, key ? FrameKind::ContextKey : FrameKind::Delta)
            << k;
        EXPECT_EQ(context_records[k].header.n_bits, zel_records[k].header.n_bits) << k;
        if (!key) {
            EXPECT_EQ(context_records[k].payload, zel_records[k].payload) << k;
        }
    }
    for (std::uint64_t k : {6u, 0u, 1u, 2u, 3u, 4u, 5u, 6u, 2u}) {
        const auto a = zel_reader.decode(k, true);
        const auto b = context_reader.decode(k, true);
        ASSERT_TRUE(a.ok() && b.ok()) << k;
        EXPECT_FALSE(b.value().boxes.empty()) << k;
        expect_same_boxes(a.value().boxes, b.value().boxes, k);
    }
}

INSTANTIATE_TEST_SUITE_P(KeyframeIntervals, BothCodecs, ::testing::Values(0u, 1u, 2u, 3u));

// A file whose keyframes mix both kinds is read: each frame names its own
// coding, so the reader needs no file-wide rule (writers never mix them).
TEST(ContextKeyframes, AFileMixingKeyframeKindsReads) {
    const Bytes zel_file = varied_container(4, 2, KeyframeCodec::Zel);
    const Bytes context_file = varied_container(4, 2, KeyframeCodec::Context);
    std::vector<Record> mixed = records_of(context_file);
    mixed[2] = records_of(zel_file)[2];
    ContainerReader zel_reader = open_memory(zel_file);
    const Bytes mixed_file = assemble(zel_reader.header(), mixed);
    ContainerReader mixed_reader = open_memory(mixed_file);
    for (std::uint64_t k = 0; k < 4; ++k) {
        const auto a = zel_reader.decode(k, true);
        const auto b = mixed_reader.decode(k, true);
        ASSERT_TRUE(a.ok() && b.ok()) << k;
        expect_same_boxes(a.value().boxes, b.value().boxes, k);
    }
}

// The rANS payload of the "zel" keyframe that codes the same frame 0.
Bytes zel_keyframe_payload() {
    return records_of(varied_container(4, 2, KeyframeCodec::Zel))[0].payload;
}

// Where a fault must be reported, relative to the damaged record.
enum class Where { PayloadStart, InPayload, NBitsField, KindField };

struct Damage {
    const char* name;
    std::uint64_t frame;  // of a 4-frame "context" file with keyframe interval 2
    std::function<void(Record&)> edit;
    Where where;
    const char* message;  // a part of the refusal's text
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class DamagedContextFrame : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedContextFrame, IsRefusedWhereTheDamageLies) {
    const Damage& d = GetParam();
    const Bytes good = varied_container(4, 2, KeyframeCodec::Context);
    std::vector<Record> records = records_of(good);
    ASSERT_GT(records[d.frame].payload.size(), 12u);
    d.edit(records[d.frame]);
    ContainerReader good_reader = open_memory(good);
    const Bytes bad = assemble(good_reader.header(), records);
    ContainerReader reader = open_memory(bad);
    const std::uint64_t record = reader.frames()[d.frame].offset;
    const std::uint64_t payload = record + kFrameHeaderBytes;

    // Frames before the damaged one still decode; the damaged one, reached
    // directly or along its chain, is refused at the same place each time.
    for (std::uint64_t k = 0; k < d.frame; ++k) EXPECT_TRUE(reader.decode(k, true).ok()) << k;
    const std::uint64_t chained = d.frame | 1;  // the delta after it
    for (std::uint64_t k : {d.frame, chained, d.frame}) {
        const auto decoded = reader.decode(k, true);
        ASSERT_FALSE(decoded.ok()) << k;
        const Error& e = decoded.error();
        EXPECT_EQ(e.kind, ErrorKind::InvalidData);
        ASSERT_TRUE(e.offset.has_value());
        switch (d.where) {
            case Where::PayloadStart:
                EXPECT_EQ(*e.offset, payload);
                break;
            case Where::InPayload:
                EXPECT_GE(*e.offset, payload);
                EXPECT_LE(*e.offset, payload + records[d.frame].payload.size());
                break;
            case Where::NBitsField:
                EXPECT_EQ(*e.offset, record + frame_field::n_bits.at);
                break;
            case Where::KindField:
                EXPECT_EQ(*e.offset, record + frame_field::kind.at);
                break;
        }
        EXPECT_NE(e.message.find(d.message), std::string::npos) << e.message;
        EXPECT_EQ(e.message.rfind("frame " + std::to_string(d.frame), 0), 0u) << e.message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DamagedContextFrame,
    ::testing::Values(
        Damage{"unknown_version", 2, [](Record& r) { r.payload[0] ^= 0x03; }, Where::PayloadStart,
               "unknown version"},
        Damage{"reserved_bits", 0, [](Record& r) { r.payload[0] |= 0x80; }, Where::PayloadStart,
               "reserved header bits"},
        Damage{"states_cut_short", 2, [](Record& r) { r.payload.resize(3); }, Where::InPayload,
               "cut short"},
        Damage{"stream_cut_short", 0,
               [](Record& r) { r.payload.erase(r.payload.end() - 6, r.payload.end()); }, Where::InPayload,
               "context payload"},
        Damage{"bytes_flipped", 2,
               [](Record& r) {
                   for (std::size_t i = 6; i < r.payload.size(); i += 5) r.payload[i] ^= 0x5A;
               },
               Where::InPayload, "context payload"},
        Damage{"bit_count_off_by_one", 0, [](Record& r) { r.header.n_bits += 1; },
               Where::InPayload, "bits"},
        Damage{"bit_count_beyond_the_payload", 2,
               [](Record& r) { r.header.n_bits = std::uint64_t{1} << 50; }, Where::NBitsField,
               "more than its"},
        Damage{"fewer_events_than_boxes", 0, [](Record& r) { r.header.n_events = 2; },
               Where::InPayload, "more occupied nodes than the frame has events"},
        Damage{"context_kind_at_a_delta_position", 1,
               [](Record& r) { r.header.kind = FrameKind::ContextKey; }, Where::KindField,
               "stored as a keyframe"},
        Damage{"rans_payload_read_as_context", 0,
               [](Record& r) {
                   r.header.kind = FrameKind::ContextKey;
                   r.payload = zel_keyframe_payload();
               },
               Where::InPayload, "context payload"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace zel::container
