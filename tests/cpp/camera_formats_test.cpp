// Camera-format decoders and writers on small streams built from the public
// format descriptions: every word type, time-high wraps, refusals, skip mode
// and chunked decoding that must equal decoding in one piece.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <tuple>
#include <memory>
#include <string>
#include <vector>

#include "readers/aedat4_container.hpp"
#include "readers/aedat4_events.hpp"
#include "readers/evt2_decoder.hpp"
#include "readers/evt3_decoder.hpp"
#include "readers/prophesee_header.hpp"
#include "camera_files.hpp"
#include "writers/camera_writers.hpp"

namespace {

using namespace zel::camera;
using namespace zel_test::camera_files;
using zel::Event;

std::vector<Event> records(const std::uint8_t* data, std::size_t n) {
    std::vector<Event> out;
    zel::PackedEvents view(data, n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(view[i]);
    return out;
}

std::span<const std::uint8_t> span_of(const zel::ByteBuffer& b) { return {b.data(), b.size()}; }

Bytes tail_of(const zel::ByteBuffer& b, std::size_t from) { return Bytes(b.data() + from, b.data() + b.size()); }

// Decodes in one piece with ample output.
zel::Result<std::vector<Event>> decode_all(StreamDecoder& d, const Bytes& in) {
    auto r = decode_whole(d, in);
    if (!r) return r.error();
    return records(r.value().data(), r.value().size() / zel::kPackedEventBytes);
}

// Decodes feeding `step` input bytes at a time into an output of `room` records.
std::vector<Event> decode_pieces(StreamDecoder& d, const Bytes& in, std::size_t step, std::size_t room) {
    std::vector<Event> all;
    std::vector<std::uint8_t> out(room * zel::kPackedEventBytes);
    std::size_t pos = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        const std::size_t n = std::min(step, in.size() - pos);
        auto r = d.decode({in.data() + pos, n}, out);
        EXPECT_TRUE(r.ok()) << r.error().message;
        if (!r) return all;
        pos += r.value().consumed;
        auto got = records(out.data(), r.value().written);
        all.insert(all.end(), got.begin(), got.end());
        if (pos == in.size() && !d.has_pending_output()) break;
    }
    EXPECT_FALSE(d.finish().has_value());
    return all;
}

DecodeOptions skip_options() {
    DecodeOptions o;
    o.bad_words = BadWords::Skip;
    return o;
}

// ---------------------------------------------------------------- EVT 3.0

// Time high 0x001, low 0x002 -> t = 0x1002; y 5; single x 7 (p 1); vector
// base 100 p 0 then a 12-bit mask with bits 0 and 11, an 8-bit mask with bit
// 2; trigger, others, continued words that carry no events.
Bytes evt3_every_type() {
    Bytes b;
    put16(b, 0x8001);           // EVT_TIME_HIGH
    put16(b, 0x6002);           // EVT_TIME_LOW
    put16(b, 0x0005);           // EVT_ADDR_Y y=5
    put16(b, 0x2800 | 7);       // EVT_ADDR_X x=7 p=1
    put16(b, 0x3000 | 100);     // VECT_BASE_X base=100 p=0
    put16(b, 0x4000 | 0x801);   // VECT_12 bits 0, 11 -> x 100, 111
    put16(b, 0x5000 | 0x04);    // VECT_8 bit 2 -> x 112 + 2
    put16(b, 0xA001);           // EXT_TRIGGER
    put16(b, 0xE123);           // OTHERS
    put16(b, 0x7004);           // CONTINUED_4
    put16(b, 0xF456);           // CONTINUED_12
    return b;
}

TEST(Evt3DecoderTest, EveryWordType) {
    Evt3Decoder d(0, {});
    auto got = decode_all(d, evt3_every_type());
    ASSERT_TRUE(got.ok()) << got.error().message;
    const std::vector<Event> want = {
        {7, 5, 0x1002, 1}, {100, 5, 0x1002, 0}, {111, 5, 0x1002, 0}, {114, 5, 0x1002, 0}};
    EXPECT_EQ(got.value(), want);
}

TEST(Evt3DecoderTest, TimeHighWrapsExtendTheClock) {
    Bytes b;
    put16(b, 0x8FFF);
    put16(b, 0x0001);
    put16(b, 0x2000);
    put16(b, 0x8000);  // wraps: 24-bit time restarts, 64-bit time goes on
    put16(b, 0x2001);
    Evt3Decoder d(0, {});
    auto got = decode_all(d, b);
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got.value().size(), 2u);
    EXPECT_EQ(got.value()[0].t, 0xFFFu << 12);
    EXPECT_EQ(got.value()[1].t, 1u << 24);
}

struct BadStream {
    const char* name;
    std::vector<std::uint32_t> words;
    std::uint64_t offset;  // of the bad word, header of 10 bytes included
    const char* message_part;
};

class Evt3Refusals : public testing::TestWithParam<BadStream> {};

TEST_P(Evt3Refusals, StrictNamesOffsetSkipCountsOne) {
    Bytes b;
    for (auto w : GetParam().words) put16(b, w);
    DecodeOptions limited;
    limited.x_limit = 640;
    limited.y_limit = 480;
    Evt3Decoder strict(10, limited);
    auto r = decode_all(strict, b);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().offset, GetParam().offset);
    EXPECT_NE(r.error().message.find(GetParam().message_part), std::string::npos) << r.error().message;

    DecodeOptions skip = limited;
    skip.bad_words = BadWords::Skip;
    Evt3Decoder lenient(10, skip);
    auto s = decode_all(lenient, b);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(lenient.bad_words(), 1u);
    // The good event at the end survives.
    ASSERT_FALSE(s.value().empty());
    EXPECT_EQ(s.value().back().x, 9);
}

INSTANTIATE_TEST_SUITE_P(
    Words, Evt3Refusals,
    testing::Values(
        BadStream{"reserved", {0x8001, 0x0001, 0x1000, 0x2009}, 14, "reserved EVT 3.0 word type 1"},
        BadStream{"reserved_d", {0x8001, 0x0001, 0xD000, 0x2009}, 14, "reserved"},
        BadStream{"before_time", {0x0001, 0x2003, 0x8001, 0x2009}, 12, "before any time-high"},
        BadStream{"x_outside", {0x8001, 0x0001, 0x2000 | 700, 0x2009}, 14, "outside the sensor width"},
        BadStream{"vector_outside", {0x8001, 0x0001, 0x3000 | 636, 0x4000 | 0x10, 0x2009}, 16, "x 640"},
        BadStream{"vector_before_base", {0x8001, 0x0001, 0x4001, 0x2009}, 14, "vector base"},
        BadStream{"time_back", {0x8010, 0x0001, 0x800F, 0x2009}, 14, "time-high goes back"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Evt3DecoderTest, YOutsideSkipsItsEventsToo) {
    Bytes b;
    for (std::uint32_t w : {0x8001u, 0x0000u | 500u, 0x2001u, 0x0002u, 0x2003u}) put16(b, w);
    DecodeOptions o = skip_options();
    o.y_limit = 480;
    Evt3Decoder d(0, o);
    auto got = decode_all(d, b);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(d.bad_words(), 2u);  // the y word, then the event that lacks a y
    EXPECT_EQ(got.value(), (std::vector<Event>{{3, 2, 1u << 12, 0}}));
}

TEST(Evt3DecoderTest, TruncatedLastWord) {
    Bytes b = evt3_every_type();
    b.push_back(0x20);
    Evt3Decoder strict(100, {});
    auto r = decode_all(strict, b);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().offset, 100 + b.size() - 1);
    EXPECT_NE(r.error().message.find("truncated"), std::string::npos);
    Evt3Decoder lenient(100, skip_options());
    auto s = decode_all(lenient, b);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s.value().size(), 4u);
    EXPECT_EQ(lenient.bad_words(), 1u);
}

// Vectors split by a full output, words split across input pieces.
TEST(Evt3DecoderTest, PiecesEqualOnePiece) {
    Bytes b;
    put16(b, 0x8001);
    for (std::uint32_t y = 0; y < 40; ++y) {
        put16(b, 0x6000 | y);
        put16(b, y);
        put16(b, 0x2000 | y);
        put16(b, 0x3000 | (y * 3));
        put16(b, 0x4FFF);
        put16(b, 0x50A5);
    }
    Evt3Decoder whole(0, {});
    auto want = decode_all(whole, b);
    ASSERT_TRUE(want.ok());
    for (std::size_t step : {1u, 3u, 7u, 64u}) {
        for (std::size_t room : {1u, 5u, 11u, 13u, 1000u}) {
            Evt3Decoder d(0, {});
            EXPECT_EQ(decode_pieces(d, b, step, room), want.value()) << "step " << step << " room " << room;
        }
    }
}

TEST(Evt3DecoderTest, TimestampThatDoesNotFitNamesTheEvent) {
    Bytes b;
    put16(b, 0x8001);
    put16(b, 0x0001);
    put16(b, 0x2001);
    for (int i = 0; i < 256; ++i) {  // 256 wraps of 2^24 us: 2^32 us
        put16(b, 0x8800);
        put16(b, 0x8000);
    }
    put16(b, 0x8001);
    put16(b, 0x2002);
    Evt3Decoder absolute(0, {});
    auto r = decode_all(absolute, b);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, zel::ErrorKind::Timestamp);
    EXPECT_EQ(r.error().message, "event 1 has timestamp " + std::to_string((std::uint64_t{1} << 32) + 4096) +
                                     " us, which does not fit the 32-bit microsecond field");

    // Rebased to the first event, 2^32 us later still does not fit...
    DecodeOptions first;
    first.time.mode = TimeBase::Mode::FirstEvent;
    Evt3Decoder rebased(0, first);
    auto still = decode_all(rebased, b);
    ASSERT_FALSE(still.ok());
    EXPECT_NE(still.error().message.find("4096 us subtracted"), std::string::npos) << still.error().message;

    // ...but per batch it does: each batch starts from its own first event.
    DecodeOptions batch;
    batch.time.mode = TimeBase::Mode::EachBatch;
    Evt3Decoder windows(0, batch);
    std::vector<std::uint8_t> out(zel::kPackedEventBytes);
    auto r1 = windows.decode(b, out);
    ASSERT_TRUE(r1.ok());
    EXPECT_EQ(r1.value().written, 1u);
    windows.start_batch();
    auto r2 = windows.decode(std::span(b).subspan(r1.value().consumed), out);
    ASSERT_TRUE(r2.ok()) << r2.error().message;
    EXPECT_EQ(records(out.data(), 1)[0], (Event{2, 1, 0, 0}));
    EXPECT_EQ(windows.batch_origin(), (std::uint64_t{1} << 32) + 4096);
}

// ---------------------------------------------------------------- EVT 2.0

std::uint32_t cd(std::uint32_t p, std::uint32_t t_low, std::uint32_t x, std::uint32_t y) {
    return (p << 28) | (t_low << 22) | (x << 11) | y;
}

TEST(Evt2DecoderTest, EveryWordTypeAndWrap) {
    Bytes b;
    put32(b, 0x80000000u | 0x0FFFFFFFu);  // time high at its top
    put32(b, cd(1, 63, 2047, 3));
    put32(b, 0xA0000101u);                // EXT_TRIGGER
    put32(b, 0xE0000000u);                // OTHERS
    put32(b, 0xF0000000u);                // CONTINUED
    put32(b, 0x80000000u);                // wraps
    put32(b, cd(0, 1, 4, 5));
    Evt2Decoder d(0, {});
    auto got = decode_all(d, b);
    ASSERT_FALSE(got.ok());  // absolute time 2^34 - 1 does not fit
    EXPECT_EQ(got.error().kind, zel::ErrorKind::Timestamp);
    EXPECT_EQ(got.error().message.rfind("event 0 has timestamp " + std::to_string((std::uint64_t{1} << 34) - 1) + " us,", 0),
              0u)
        << got.error().message;

    DecodeOptions first;
    first.time.mode = TimeBase::Mode::Offset;
    first.time.offset = (std::uint64_t{1} << 34) - 1;
    Evt2Decoder rebased(0, first);
    auto ok = decode_all(rebased, b);
    ASSERT_TRUE(ok.ok()) << ok.error().message;
    EXPECT_EQ(ok.value(), (std::vector<Event>{{2047, 3, 0, 1}, {4, 5, 2, 0}}));
}

TEST(Evt2DecoderTest, RefusalsAndSkip) {
    struct Case {
        std::vector<std::uint32_t> words;
        std::uint64_t offset;
        const char* part;
    };
    const Case cases[] = {
        {{cd(0, 0, 1, 1), 0x80000001u, cd(1, 0, 9, 9)}, 0, "before any time-high"},
        {{0x80000001u, 0x30000000u, cd(1, 0, 9, 9)}, 4, "reserved EVT 2.0 word type 3"},
        {{0x80000100u, 0x800000FFu, cd(1, 0, 9, 9)}, 4, "goes back"},
        {{0x80000001u, cd(0, 0, 700, 1), cd(1, 0, 9, 9)}, 4, "outside the sensor width"},
        {{0x80000001u, cd(0, 0, 1, 600), cd(1, 0, 9, 9)}, 4, "outside the sensor height"},
    };
    for (const auto& c : cases) {
        Bytes b;
        for (auto w : c.words) put32(b, w);
        DecodeOptions o;
        o.x_limit = 640;
        o.y_limit = 480;
        Evt2Decoder strict(0, o);
        auto r = decode_all(strict, b);
        ASSERT_FALSE(r.ok()) << c.part;
        EXPECT_EQ(r.error().offset, c.offset) << c.part;
        EXPECT_NE(r.error().message.find(c.part), std::string::npos) << r.error().message;
        o.bad_words = BadWords::Skip;
        Evt2Decoder lenient(0, o);
        auto s = decode_all(lenient, b);
        ASSERT_TRUE(s.ok());
        EXPECT_EQ(lenient.bad_words(), 1u) << c.part;
        ASSERT_EQ(s.value().size(), 1u);
        EXPECT_EQ(s.value()[0].x, 9);
    }
}

TEST(Evt2DecoderTest, PiecesEqualOnePiece) {
    Bytes b;
    for (std::uint32_t i = 0; i < 50; ++i) {
        put32(b, 0x80000000u | i);
        put32(b, cd(i & 1, i % 64, i, 2 * i));
    }
    Evt2Decoder whole(0, {});
    auto want = decode_all(whole, b);
    ASSERT_TRUE(want.ok());
    for (std::size_t step : {1u, 3u, 5u, 400u}) {
        Evt2Decoder d(0, {});
        EXPECT_EQ(decode_pieces(d, b, step, 3), want.value());
    }
}

// A time-high word that steps back by less than half its counter's range
// cannot be a wrap; half the range or more is one.
struct StepBack {
    const char* name;
    bool evt3;
    std::uint64_t step;  // back from the counter's top value
    bool refused;
};

class TimeHighStepBack : public testing::TestWithParam<StepBack> {};

TEST_P(TimeHighStepBack, RefusedUnderHalfTheRangeAWrapFromHalf) {
    const StepBack& c = GetParam();
    const std::uint64_t range = c.evt3 ? 1u << 12 : 1u << 28;
    const std::uint64_t high = range - 1 - c.step;
    Bytes b;
    DecodeOptions o;
    o.time.mode = TimeBase::Mode::Offset;
    // The second time-high's time after one wrap: without the wrap the
    // event would lie before it.
    o.time.offset = (range + high) << (c.evt3 ? 12 : 6);
    std::uint64_t want_t = 0;
    if (c.evt3) {
        put16(b, 0x8FFF);
        put16(b, 0x8000 | static_cast<std::uint32_t>(high));
        put16(b, 0x0001);
        put16(b, 0x2009);
    } else {
        put32(b, 0x8FFFFFFFu);
        put32(b, 0x80000000u | static_cast<std::uint32_t>(high));
        put32(b, cd(1, 5, 9, 1));
        want_t = 5;
    }
    std::unique_ptr<StreamDecoder> d;
    if (c.evt3) {
        d = std::make_unique<Evt3Decoder>(0, o);
    } else {
        d = std::make_unique<Evt2Decoder>(0, o);
    }
    auto got = decode_all(*d, b);
    if (c.refused) {
        ASSERT_FALSE(got.ok());
        EXPECT_EQ(got.error().kind, zel::ErrorKind::InvalidData);
        EXPECT_EQ(got.error().offset, c.evt3 ? 2u : 4u);
        EXPECT_NE(got.error().message.find("time-high goes back"), std::string::npos) << got.error().message;
    } else {
        ASSERT_TRUE(got.ok()) << got.error().message;
        ASSERT_EQ(got.value().size(), 1u);
        EXPECT_EQ(got.value()[0].t, want_t);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TimeHighStepBack,
    testing::Values(StepBack{"Evt2OverAQuarter", false, (1u << 26) + 1, true},
                    StepBack{"Evt2JustUnderHalf", false, (1u << 27) - 1, true},
                    StepBack{"Evt2Half", false, 1u << 27, false},
                    StepBack{"Evt2WholeRange", false, (1u << 28) - 1, false},
                    StepBack{"Evt3OverAQuarter", true, (1u << 10) + 1, true},
                    StepBack{"Evt3JustUnderHalf", true, (1u << 11) - 1, true},
                    StepBack{"Evt3Half", true, 1u << 11, false},
                    StepBack{"Evt3WholeRange", true, (1u << 12) - 1, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// -------------------------------------------------------------------- DAT

Bytes dat_file(std::uint8_t type, std::uint8_t size, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& recs) {
    const std::string text = "% Data file containing CD events\n% Version 2\n% Width 64\n% Height 32\n";
    Bytes b(text.begin(), text.end());
    b.push_back(type);
    b.push_back(size);
    for (auto [t, data] : recs) {
        put32(b, t);
        put32(b, data);
    }
    return b;
}

std::uint32_t dat_data(std::uint32_t x, std::uint32_t y, std::uint32_t p) { return x | (y << 14) | (p << 28); }

TEST(DatTest, HeaderAndRecords) {
    Bytes file = dat_file(12, 8, {{5, dat_data(3, 4, 1)}, {9, dat_data(63, 31, 0)}});
    auto h = parse_dat_header(file);
    ASSERT_TRUE(h.ok()) << h.error().message;
    EXPECT_EQ(h.value().geometry.width, 64u);
    EXPECT_EQ(h.value().geometry.height, 32u);
    EXPECT_EQ(h.value().geometry_source, "header");
    DecodeOptions o;
    o.x_limit = 64;
    o.y_limit = 32;
    DatDecoder d(h.value().data_offset, o);
    auto got = decode_all(d, Bytes(file.begin() + static_cast<long>(h.value().data_offset), file.end()));
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.value(), (std::vector<Event>{{3, 4, 5, 1}, {63, 31, 9, 0}}));
}

TEST(DatTest, Refusals) {
    EXPECT_NE(parse_dat_header(dat_file(14, 8, {})).error().message.find("not a CD event type"), std::string::npos);
    EXPECT_NE(parse_dat_header(dat_file(12, 16, {})).error().message.find("not 8"), std::string::npos);
    const std::string text = "% Version 2\n";
    EXPECT_FALSE(parse_dat_header(Bytes(text.begin(), text.end())).ok());
    // The header seen without one or both of the type and size bytes (the
    // bytes that follow in memory are a valid pair) is a file that ends early.
    const Bytes whole = dat_file(12, 8, {});
    for (std::size_t missing : {1u, 2u}) {
        const auto cut = parse_dat_header(std::span<const std::uint8_t>(whole.data(), whole.size() - missing));
        ASSERT_FALSE(cut.ok()) << missing << " bytes missing";
        EXPECT_NE(cut.error().message.find("file ends before the event type and size bytes"), std::string::npos)
            << cut.error().message;
        EXPECT_EQ(cut.error().offset, whole.size() - 2);
    }

    Bytes body;
    put32(body, 1);
    put32(body, dat_data(1, 1, 2));  // polarity 2
    put32(body, 2);
    put32(body, dat_data(64, 1, 0));  // beyond the width
    put32(body, 3);
    put32(body, dat_data(1, 1, 1));
    DecodeOptions o;
    o.x_limit = 64;
    o.y_limit = 32;
    DatDecoder strict(100, o);
    auto r = decode_all(strict, body);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().offset, 100u);
    o.bad_words = BadWords::Skip;
    DatDecoder lenient(100, o);
    auto s = decode_all(lenient, body);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(lenient.bad_words(), 2u);
    EXPECT_EQ(s.value(), (std::vector<Event>{{1, 1, 3, 1}}));
}

// ------------------------------------------------------------- RAW header

TEST(RawHeaderTest, EncodingAndGeometrySources) {
    struct Case {
        std::string text;
        PropheseeHeader::Encoding encoding;
        std::uint32_t width, height;
        const char* source;
    };
    const Case cases[] = {
        {"% evt 3.0\n% geometry 1280x720\n", PropheseeHeader::Encoding::Evt3, 1280, 720, "header"},
        {"% format EVT2;height=480;width=640\n% end\n", PropheseeHeader::Encoding::Evt2, 640, 480, "header"},
        {"% evt 2.0\n% plugin_name hal_plugin_gen3_fx3\n", PropheseeHeader::Encoding::Evt2, 640, 480, "sensor"},
        {"% evt 3.0\n% plugin_name hal_plugin_gen41_evk3\n", PropheseeHeader::Encoding::Evt3, 1280, 720, "sensor"},
        {"% evt 3.0\n", PropheseeHeader::Encoding::Evt3, 0, 0, ""},
    };
    for (const auto& c : cases) {
        Bytes b(c.text.begin(), c.text.end());
        // After "% end" even a data byte equal to '%' stays data.
        b.push_back(c.text.find("% end") != std::string::npos ? 0x25 : 0x80);
        auto h = parse_raw_header(b);
        ASSERT_TRUE(h.ok()) << c.text;
        EXPECT_EQ(h.value().encoding, c.encoding) << c.text;
        EXPECT_EQ(h.value().geometry.width, c.width) << c.text;
        EXPECT_EQ(h.value().geometry.height, c.height) << c.text;
        EXPECT_EQ(h.value().geometry_source, c.source) << c.text;
    }
    const std::string ended = "% evt 3.0\n% end\n%";
    EXPECT_EQ(parse_raw_header(Bytes(ended.begin(), ended.end())).value().data_offset, ended.size() - 1);
    for (std::string bad : {"% evt 2.1\n", "% date today\n", "% evt 3.0"}) {
        EXPECT_FALSE(parse_raw_header(Bytes(bad.begin(), bad.end())).ok()) << bad;
    }
}

// Header sides: 1 to 65536 are sizes; 0 and 65537 are no size at all, so the
// geometry is then not known from the header.
TEST(RawHeaderTest, SidesFromOneTo65536AreSizes) {
    struct Side {
        std::string text;
        std::uint32_t width, height;
    };
    const Side sides[] = {
        {"% geometry 1x1\n", 1, 1},
        {"% geometry 65536x65536\n", 65536, 65536},
        {"% geometry 65537x720\n", 0, 0},
        {"% geometry 1280x0\n", 0, 0},
        {"% Width 65536\n% Height 2\n", 65536, 2},
        {"% Width 65537\n% Height 2\n", 0, 0},
        {"% format EVT3;height=65536;width=1\n", 1, 65536},
        {"% format EVT3;height=65537;width=1\n", 0, 0},
    };
    for (const Side& c : sides) {
        const std::string text = (c.text.find("format") == std::string::npos ? "% evt 3.0\n" : "") + c.text;
        auto h = parse_raw_header(Bytes(text.begin(), text.end()));
        ASSERT_TRUE(h.ok()) << c.text << h.error().message;
        EXPECT_EQ(h.value().geometry.width, c.width) << c.text;
        EXPECT_EQ(h.value().geometry.height, c.height) << c.text;
        EXPECT_EQ(h.value().geometry_source, c.width ? "header" : "") << c.text;
    }
}

// A header may take up to kMaxPropheseeHeaderBytes, its last newline
// included; one byte more is refused, at the start of the line that runs over.
TEST(RawHeaderTest, TheLongestHeaderAndOneByteMore) {
    const std::string first = "% evt 3.0\n";
    for (const std::size_t size : {kMaxPropheseeHeaderBytes, kMaxPropheseeHeaderBytes + 1}) {
        std::string text = first + "% note ";
        text.append(size - text.size() - 1, 'a');
        text.push_back('\n');
        ASSERT_EQ(text.size(), size);
        Bytes b(text.begin(), text.end());
        put16(b, 0x8001);
        auto h = parse_raw_header(b);
        if (size == kMaxPropheseeHeaderBytes) {
            ASSERT_TRUE(h.ok()) << h.error().message;
            EXPECT_EQ(h.value().data_offset, size);
        } else {
            ASSERT_FALSE(h.ok());
            EXPECT_EQ(h.error().offset, first.size());
            EXPECT_NE(h.error().message.find("header is longer than 1048576 bytes"), std::string::npos)
                << h.error().message;
        }
    }
}

// DAT event types 0 and 12 share the CD layout; the size byte must be 8.
TEST(DatTest, TypeAndSizeBytes) {
    const std::string text = "% Data file containing CD events\n% Version 2\n";
    for (const unsigned type : {0u, 1u, 11u, 12u, 13u, 255u}) {
        for (const unsigned size : {7u, 8u, 9u}) {
            Bytes b(text.begin(), text.end());
            b.push_back(static_cast<std::uint8_t>(type));
            b.push_back(static_cast<std::uint8_t>(size));
            auto h = parse_dat_header(b);
            const bool cd = type == 0 || type == 12;
            if (cd && size == 8) {
                ASSERT_TRUE(h.ok()) << type << " " << size << ": " << h.error().message;
                EXPECT_EQ(h.value().data_offset, text.size() + 2);
                continue;
            }
            ASSERT_FALSE(h.ok()) << type << " " << size;
            if (!cd) {
                EXPECT_EQ(h.error().offset, text.size());
                EXPECT_NE(h.error().message.find("DAT event type " + std::to_string(type) + " is not a CD event type"),
                          std::string::npos)
                    << h.error().message;
            } else {
                EXPECT_EQ(h.error().offset, text.size() + 1);
                EXPECT_NE(h.error().message.find("DAT event size is " + std::to_string(size) + " bytes, not 8"),
                          std::string::npos)
                    << h.error().message;
            }
        }
    }
}

// ---------------------------------------------------------------- writers

Bytes packed(const std::vector<Event>& events) {
    Bytes b;
    for (const auto& e : events) {
        put16(b, e.x);
        put16(b, e.y);
        put32(b, e.t);
        b.push_back(e.p);
    }
    return b;
}

// A whole file written in one chunk.
zel::Result<zel::ByteBuffer> write_file(CameraWriteFormat format, zel::PackedEvents events, Geometry sensor,
                                        std::uint64_t t_base = 0) {
    ZEL_ASSIGN_OR_RETURN(CameraFileWriter writer, CameraFileWriter::open(format, sensor));
    zel::ByteBuffer out;
    writer.write_header("2024-01-02 03:04:05", out);
    ZEL_TRY(writer.write(events, t_base, out));
    return out;
}

TEST(WritersTest, RoundTripThroughTheReaders) {
    const std::vector<Event> events = {{0, 0, 0, 0}, {639, 479, 63, 1}, {5, 6, 64, 1}, {7, 8, 0xFFFFFFFFu, 0}};
    const Bytes in = packed(events);
    const zel::PackedEvents view(in.data(), events.size());

    auto evt2 = write_file(CameraWriteFormat::Evt2, view, {640, 480});
    ASSERT_TRUE(evt2.ok()) << evt2.error().message;
    auto h2 = parse_raw_header(span_of(evt2.value()));
    ASSERT_TRUE(h2.ok());
    EXPECT_EQ(h2.value().encoding, PropheseeHeader::Encoding::Evt2);
    EXPECT_EQ(h2.value().geometry_source, "header");
    DecodeOptions o;
    o.x_limit = 640;
    o.y_limit = 480;
    Evt2Decoder d2(0, o);
    auto back2 = decode_all(d2, tail_of(evt2.value(), h2.value().data_offset));
    ASSERT_TRUE(back2.ok());
    EXPECT_EQ(back2.value(), events);

    auto dat = write_file(CameraWriteFormat::Dat, view, {640, 480});
    ASSERT_TRUE(dat.ok());
    auto hd = parse_dat_header(span_of(dat.value()));
    ASSERT_TRUE(hd.ok());
    EXPECT_EQ(hd.value().geometry_source, "header");
    DatDecoder dd(0, o);
    auto backd = decode_all(dd, tail_of(dat.value(), hd.value().data_offset));
    ASSERT_TRUE(backd.ok());
    EXPECT_EQ(backd.value(), events);
}

TEST(WritersTest, RefuseWhatTheFormatCannotHold) {
    struct Case {
        std::vector<Event> events;
        Geometry sensor;
        const char* message;
    };
    const Case cases[] = {
        {{{1, 1, 0, 0}, {640, 1, 1, 0}}, {640, 480}, "x at index 1 is 640, not below the sensor width 640"},
        {{{1, 480, 0, 0}}, {640, 480}, "y at index 0 is 480, not below the sensor height 480"},
        {{{1, 1, 0, 0}, {1, 1, 0, 2}}, {640, 480}, "p at index 1 is 2, above the largest polarity 1"},
        {{{1, 1, 5, 0}, {1, 1, 4, 0}}, {640, 480}, "t at index 1 is 4, below the previous timestamp 5"},
        {{}, {2049, 480}, "sensor width 2049 is outside 1 to 2048"},
        {{}, {2048, 0}, "sensor height 0 is outside 1 to 2048"},
    };
    for (const auto& c : cases) {
        const Bytes in = packed(c.events);
        auto r = write_file(CameraWriteFormat::Evt2, {in.data(), c.events.size()}, c.sensor);
        ASSERT_FALSE(r.ok()) << c.message;
        EXPECT_EQ(r.error().kind, zel::ErrorKind::InvalidInput);
        EXPECT_EQ(r.error().message, c.message);
    }
    // DAT's sides go to 16384.
    EXPECT_TRUE(CameraFileWriter::open(CameraWriteFormat::Dat, {16384, 16384}).ok());
    EXPECT_EQ(CameraFileWriter::open(CameraWriteFormat::Dat, {16385, 1}).error().message,
              "sensor width 16385 is outside 1 to 16384");
    EXPECT_FALSE(CameraFileWriter::open(CameraWriteFormat::Evt2, {2049, 1}).ok());
    EXPECT_TRUE(CameraFileWriter::open(CameraWriteFormat::Evt2, {2048, 2048}).ok());
}

// Files written chunk by chunk with a time base hold t_base + t: the
// readers give back the camera's own clock.
TEST(WritersTest, ChunksWithATimeBaseReadBackAsCameraTime) {
    const std::uint64_t base = (std::uint64_t{1} << 34) - 100;  // the EVT 2.0 counter wraps inside
    const std::vector<std::vector<Event>> chunks = {
        {{1, 2, 0, 1}, {3, 4, 50, 0}},
        {{5, 6, 90, 1}, {7, 8, 200, 0}},
        // 1.25 times the counter's range on: a wrap no reader sees without
        // time-high words between.
        {{9, 10, 0xFFFFFFFFu, 1}},
    };
    const std::uint64_t gap = (std::uint64_t{5} << 32) - 0xFFFFFFFFull;
    const std::uint64_t chunk_base[] = {base, base, base + 200 + gap};
    auto writer = CameraFileWriter::open(CameraWriteFormat::Evt2, {640, 480});
    ASSERT_TRUE(writer.ok());
    zel::ByteBuffer evt2;
    writer.value().write_header("2024-01-02 03:04:05", evt2);
    std::vector<std::uint64_t> want;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        const Bytes in = packed(chunks[k]);
        ASSERT_TRUE(writer.value().write({in.data(), chunks[k].size()}, chunk_base[k], evt2).ok());
        for (const Event& e : chunks[k]) want.push_back(chunk_base[k] + e.t);
    }
    EXPECT_EQ(writer.value().events_written(), 5u);
    auto h = parse_raw_header(span_of(evt2));
    ASSERT_TRUE(h.ok());
    DecodeOptions o;
    o.time.mode = TimeBase::Mode::EachBatch;
    Evt2Decoder d(h.value().data_offset, o);
    const Bytes words = tail_of(evt2, h.value().data_offset);
    std::vector<std::uint64_t> got;
    std::vector<std::uint8_t> one(zel::kPackedEventBytes);
    std::size_t pos = 0;
    while (pos < words.size()) {
        d.start_batch();
        auto r = d.decode(std::span(words).subspan(pos), one);
        ASSERT_TRUE(r.ok()) << r.error().message;
        pos += r.value().consumed;
        if (r.value().written == 1) got.push_back(*d.batch_origin() + records(one.data(), 1)[0].t);
    }
    EXPECT_EQ(got, want);

    // DAT holds 32-bit times: the base is kept where the sum fits.
    const Bytes first = packed(chunks[0]);
    auto dat = write_file(CameraWriteFormat::Dat, {first.data(), 2}, {640, 480}, 1000);
    ASSERT_TRUE(dat.ok());
    auto hd = parse_dat_header(span_of(dat.value()));
    ASSERT_TRUE(hd.ok());
    DatDecoder dd(0, {});
    auto back = decode_all(dd, tail_of(dat.value(), hd.value().data_offset));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), (std::vector<Event>{{1, 2, 1000, 1}, {3, 4, 1050, 0}}));
}

TEST(WritersTest, TimeBaseRefusalsNameTheEventAndWriteNothing) {
    const Bytes one = packed({{1, 1, 5, 0}});
    const zel::PackedEvents event(one.data(), 1);
    struct Case {
        const char* name;
        CameraWriteFormat format;
        std::uint64_t earlier_base;  // of an event written first, or none
        bool earlier;
        std::uint64_t t_base;
        std::string message;
    };
    const Case cases[] = {
        {"DatPast32Bits", CameraWriteFormat::Dat, 0, true, 0xFFFFFFFFull - 4,
         "t_base + t at index 1 is 4294967296, above the largest DAT time 4294967295"},
        {"DatAt32Bits", CameraWriteFormat::Dat, 0, false, 0xFFFFFFFFull - 5, ""},
        {"DatSumPast64Bits", CameraWriteFormat::Dat, 0, false, ~std::uint64_t{0},
         "t_base + t at index 0 is 18446744073709551615, above the largest DAT time 4294967295"},
        {"Evt2FirstAt34Bits", CameraWriteFormat::Evt2, 0, false, (std::uint64_t{1} << 34) - 5,
         "t_base + t at index 0 is 17179869184, but an EVT 2.0 file starts below 17179869184"},
        {"Evt2FirstBelow34Bits", CameraWriteFormat::Evt2, 0, false, (std::uint64_t{1} << 34) - 6, ""},
        {"Evt2BackAcrossChunks", CameraWriteFormat::Evt2, 100, true, 0,
         "t at index 1 is 5, below the previous timestamp 105"},
        // After the first event, time runs on past 2^34.
        {"Evt2OnPast34Bits", CameraWriteFormat::Evt2, (std::uint64_t{1} << 34) - 6, true, std::uint64_t{1} << 40, ""},
    };
    for (const Case& c : cases) {
        auto writer = CameraFileWriter::open(c.format, {640, 480});
        ASSERT_TRUE(writer.ok());
        zel::ByteBuffer out;
        if (c.earlier) {
            ASSERT_TRUE(writer.value().write(event, c.earlier_base, out).ok()) << c.name;
        }
        const std::size_t before = out.size();
        zel::Status written = writer.value().write(event, c.t_base, out);
        if (c.message.empty()) {
            EXPECT_TRUE(written.ok()) << c.name << ": " << written.error().message;
            continue;
        }
        ASSERT_FALSE(written.ok()) << c.name;
        EXPECT_EQ(written.error().message, c.message) << c.name;
        EXPECT_EQ(out.size(), before) << c.name;
        EXPECT_EQ(writer.value().events_written(), c.earlier ? 1u : 0u) << c.name;
    }
}

// ---------------------------------------------------------------- AEDAT 4

TEST(Aedat4Test, HeaderStreamsAndLies) {
    Bytes file = aedat4_header(1, -1);
    const std::uint64_t size = file.size() + 100;
    auto end = aedat4_header_end(file, size);
    ASSERT_TRUE(end.ok()) << end.error().message;
    EXPECT_EQ(end.value(), file.size());
    auto h = parse_aedat4_header(file, size);
    ASSERT_TRUE(h.ok()) << h.error().message;
    EXPECT_EQ(h.value().compression, Aedat4Compression::Lz4);
    EXPECT_EQ(h.value().packets_end, size);
    ASSERT_EQ(h.value().streams.size(), 2u);
    EXPECT_EQ(h.value().streams[0].type, "EVTS");
    EXPECT_EQ(h.value().streams[0].geometry.width, 346u);
    EXPECT_EQ(h.value().streams[0].geometry.height, 260u);
    EXPECT_EQ(h.value().streams[1].type, "IMUS");

    // A header length beyond the file, a data table outside the packets,
    // an unknown compression, not the magic.
    Bytes longer = aedat4_header(1, -1, 1000);
    EXPECT_NE(aedat4_header_end(longer, longer.size()).error().message.find("runs past"), std::string::npos);
    Bytes outside = aedat4_header(0, 5);
    EXPECT_NE(parse_aedat4_header(outside, outside.size() + 10).error().message.find("data table"), std::string::npos);
    Bytes unknown = aedat4_header(9, -1);
    EXPECT_NE(parse_aedat4_header(unknown, unknown.size()).error().message.find("compression"), std::string::npos);
    Bytes wrong = file;
    wrong[2] = 'X';
    EXPECT_FALSE(aedat4_header_end(wrong, wrong.size()).ok());
    // The info string claiming more bytes than the buffer holds.
    Bytes lying = file;
    const std::size_t string_length_at = lying.size() - std::string(kInfoXml).size() - 4;
    lying[string_length_at + 3] = 0x7F;
    EXPECT_NE(parse_aedat4_header(lying, lying.size()).error().message.find("runs past"), std::string::npos);
}

// The IO header's bounds, each at its edge and one past: a length of at
// least 4 bytes (the FlatBuffer root offset) ending inside the file,
// compressions 0 to 4, a data table at or after the first packet.
TEST(Aedat4Test, HeaderBoundsAndOnePast) {
    for (const std::uint32_t length : {3u, 4u}) {
        Bytes preamble(kAedat4Magic.begin(), kAedat4Magic.end());
        put32(preamble, length);
        auto end = aedat4_header_end(preamble, 1000);
        if (length == 4) {
            ASSERT_TRUE(end.ok()) << end.error().message;
            EXPECT_EQ(end.value(), kAedat4PreambleBytes + 4);
        } else {
            ASSERT_FALSE(end.ok());
            EXPECT_EQ(end.error().offset, kAedat4Magic.size());
            EXPECT_NE(end.error().message.find("IO header of 3 bytes is too short"), std::string::npos)
                << end.error().message;
        }
    }
    const Bytes file = aedat4_header(0, -1);
    EXPECT_TRUE(aedat4_header_end(file, file.size()).ok());
    auto past = aedat4_header_end(file, file.size() - 1);
    ASSERT_FALSE(past.ok());
    EXPECT_EQ(past.error().offset, kAedat4Magic.size());
    EXPECT_NE(past.error().message.find("runs past the end of the file (" + std::to_string(file.size() - 1)),
              std::string::npos)
        << past.error().message;

    for (const std::uint32_t compression : {4u, 5u}) {
        const Bytes f = aedat4_header(compression, -1);
        auto h = parse_aedat4_header(f, f.size());
        if (compression == 4) {
            ASSERT_TRUE(h.ok()) << h.error().message;
            EXPECT_EQ(h.value().compression, Aedat4Compression::ZstdHigh);
        } else {
            ASSERT_FALSE(h.ok());
            EXPECT_NE(h.error().message.find("unknown compression 5"), std::string::npos) << h.error().message;
        }
    }

    const std::size_t begin = aedat4_header(0, -1).size();
    for (const std::int64_t position : {std::int64_t(begin) - 1, std::int64_t(begin), std::int64_t(begin) + 9}) {
        const Bytes f = aedat4_header(0, position);
        auto h = parse_aedat4_header(f, f.size() + 100);
        if (position < std::int64_t(begin)) {
            ASSERT_FALSE(h.ok());
            EXPECT_NE(h.error().message.find("data table position " + std::to_string(position) +
                                             " is before the packets (" + std::to_string(begin) + ")"),
                      std::string::npos)
                << h.error().message;
        } else {
            ASSERT_TRUE(h.ok()) << h.error().message;
            EXPECT_EQ(h.value().packets_begin, begin);
            EXPECT_EQ(h.value().packets_end, std::uint64_t(position));
        }
    }
    // A packet header must end by the end of the packets.
    Bytes p;
    put32(p, 0);
    put32(p, 1);
    EXPECT_TRUE(parse_aedat4_packet(p, 50, 59).ok());
    auto cut = parse_aedat4_packet(p, 52, 59);
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error().offset, 52u);
    EXPECT_NE(cut.error().message.find("truncated packet header"), std::string::npos) << cut.error().message;
}

TEST(Aedat4Test, PacketHeaders) {
    Bytes p;
    put32(p, 0);
    put32(p, 100);
    EXPECT_TRUE(parse_aedat4_packet(p, 50, 158).ok());
    EXPECT_NE(parse_aedat4_packet(p, 50, 157).error().message.find("runs past"), std::string::npos);
    Bytes negative;
    put32(negative, 0);
    put32(negative, 0xFFFFFFF0u);
    EXPECT_FALSE(parse_aedat4_packet(negative, 0, 1u << 30).ok());
    EXPECT_FALSE(parse_aedat4_packet({p.data(), 7}, 0, 100).ok());
    // An empty packet is no packet; the smallest holds one byte.
    for (const std::uint32_t size : {0u, 1u}) {
        Bytes small;
        put32(small, 0);
        put32(small, size);
        auto r = parse_aedat4_packet(small, 0, 100);
        EXPECT_EQ(r.ok(), size == 1) << size;
        if (!r.ok()) {
            EXPECT_NE(r.error().message.find("packet size 0 is not positive"), std::string::npos) << r.error().message;
        }
    }
    // The size limit and one past it.
    for (const std::uint32_t size : {kMaxAedat4PacketBytes, kMaxAedat4PacketBytes + 1}) {
        Bytes big;
        put32(big, 0);
        put32(big, size);
        auto r = parse_aedat4_packet(big, 0, std::uint64_t{1} << 40);
        EXPECT_EQ(r.ok(), size == kMaxAedat4PacketBytes) << size;
        if (!r.ok()) {
            EXPECT_NE(r.error().message.find("-byte limit"), std::string::npos);
        }
    }
}

TEST(Aedat4Test, EventPackets) {
    DecodeOptions o;
    o.x_limit = 346;
    o.y_limit = 260;
    o.time.mode = TimeBase::Mode::FirstEvent;
    Aedat4EventDecoder d(o);
    zel::ByteBuffer out;
    auto n = d.decode_packet(event_packet({{1'600'000'000'000'000, 1, 2, 1}, {1'600'000'000'000'007, 345, 259, 0}}), 40, out);
    ASSERT_TRUE(n.ok()) << n.error().message;
    EXPECT_EQ(records(out.data(), n.value()), (std::vector<Event>{{1, 2, 0, 1}, {345, 259, 7, 0}}));

    Aedat4EventDecoder strict(o);
    out.clear();
    auto lying = strict.decode_packet(event_packet({{1, 1, 1, 1}}, 1000), 40, out);
    ASSERT_FALSE(lying.ok());
    EXPECT_EQ(lying.error().offset, 40u);
    EXPECT_EQ(out.size(), 0u);
    auto bad = strict.decode_packet(event_packet({{1, -1, 1, 1}}), 80, out);
    ASSERT_FALSE(bad.ok());

    o.bad_words = BadWords::Skip;
    Aedat4EventDecoder lenient(o);
    auto s = lenient.decode_packet(event_packet({{5, 1, 1, 1}, {6, 400, 1, 1}, {7, 2, 2, 0}}), 0, out);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s.value(), 2u);
    EXPECT_EQ(lenient.bad_words(), 1u);
    auto garbage = lenient.decode_packet(Bytes{1, 2, 3}, 0, out);
    ASSERT_TRUE(garbage.ok());
    EXPECT_EQ(lenient.bad_words(), 2u);
}

// Each field rule of an event refuses one event: strict names the packet,
// skip counts the event and keeps the others. The values one inside each
// bound are accepted.
struct EventRule {
    const char* name;
    AedatEvent event;
    bool refused;
};

class Aedat4EventRules : public testing::TestWithParam<EventRule> {};

TEST_P(Aedat4EventRules, OneEventOneBadWord) {
    DecodeOptions o;
    o.x_limit = 346;
    o.y_limit = 260;
    const Bytes packet = event_packet({{10, 1, 1, 1}, GetParam().event, {11, 2, 2, 0}});
    Aedat4EventDecoder strict(o);
    zel::ByteBuffer out;
    auto r = strict.decode_packet(packet, 64, out);
    if (!GetParam().refused) {
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(r.value(), 3u);
        return;
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, zel::ErrorKind::InvalidData);
    EXPECT_EQ(r.error().offset, 64u);
    EXPECT_NE(r.error().message.find("event 1 has"), std::string::npos) << r.error().message;
    o.bad_words = BadWords::Skip;
    Aedat4EventDecoder lenient(o);
    zel::ByteBuffer kept;
    auto s = lenient.decode_packet(packet, 64, kept);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(lenient.bad_words(), 1u);
    EXPECT_EQ(records(kept.data(), s.value()), (std::vector<Event>{{1, 1, 10, 1}, {2, 2, 11, 0}}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, Aedat4EventRules,
    testing::Values(EventRule{"NegativeTime", {-1, 3, 3, 1}, true},
                    EventRule{"NegativeX", {12, -1, 3, 1}, true},
                    EventRule{"NegativeY", {12, 3, -1, 1}, true},
                    EventRule{"XAtWidth", {12, 346, 3, 1}, true},
                    EventRule{"YAtHeight", {12, 3, 260, 1}, true},
                    EventRule{"PolarityTwo", {12, 3, 3, 2}, true},
                    EventRule{"PolarityAllOnes", {12, 3, 3, 0xFF}, true},
                    EventRule{"LastPixelAndTimeZero", {0, 345, 259, 1}, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// ------------------------------------------------- sensor bounds, word types

// One stream around one word: strict refuses it at its offset in its own
// words, or takes it; skip drops exactly that word (and what it made
// invalid) and the events after it come out exactly, on both paths.
struct WordCase {
    const char* name;
    int format;  // 2: EVT 2.0, 3: EVT 3.0, 0: DAT records
    std::vector<std::uint32_t> words;
    std::uint64_t bad_at;          // offset of the refused word; ~0 for none
    const char* says;              // words of the refusal
    std::vector<Event> kept;       // skip mode's events (strict's when nothing is refused)
    std::uint64_t skipped;         // skip mode's bad-word count
};

constexpr std::uint64_t kNone = ~std::uint64_t{0};

class WordBounds : public testing::TestWithParam<std::tuple<WordCase, DecodePath>> {};

std::unique_ptr<StreamDecoder> decoder_for(int format, const DecodeOptions& o, DecodePath path) {
    if (format == 2) return std::make_unique<Evt2Decoder>(0, o, path);
    if (format == 3) return std::make_unique<Evt3Decoder>(0, o, path);
    return std::make_unique<DatDecoder>(0, o);
}

TEST_P(WordBounds, StrictRefusesAtTheWordSkipKeepsTheRest) {
    const auto& [c, path] = GetParam();
    Bytes b;
    for (std::size_t i = 0; i < c.words.size(); ++i) {
        if (c.format == 3) {
            put16(b, c.words[i]);
        } else {
            put32(b, c.words[i]);
        }
    }
    // Vendor words after the case: they carry no events, but make the
    // output room (a record per input word) large enough for the fast loop.
    for (int k = 0; k < 64 && c.format != 0; ++k) {
        if (c.format == 3) {
            put16(b, 0xE000);
        } else {
            put32(b, 0xE0000000u);
        }
    }
    DecodeOptions o;
    o.x_limit = 640;
    o.y_limit = 480;
    auto strict = decoder_for(c.format, o, path);
    auto r = decode_all(*strict, b);
    if (c.bad_at == kNone) {
        ASSERT_TRUE(r.ok()) << r.error().message;
        EXPECT_EQ(r.value(), c.kept);
    } else {
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, zel::ErrorKind::InvalidData);
        EXPECT_EQ(r.error().offset, c.bad_at);
        EXPECT_NE(r.error().message.find(c.says), std::string::npos) << r.error().message;
    }
    o.bad_words = BadWords::Skip;
    auto lenient = decoder_for(c.format, o, path);
    auto s = decode_all(*lenient, b);
    ASSERT_TRUE(s.ok()) << s.error().message;
    EXPECT_EQ(s.value(), c.kept);
    EXPECT_EQ(lenient->bad_words(), c.skipped);
}

std::uint32_t dat_word(std::uint32_t x, std::uint32_t y, std::uint32_t p) { return x | (y << 14) | (p << 28); }

// DAT records are two words: t, then x | y << 14 | p << 28.
std::vector<std::uint32_t> dat_records(std::initializer_list<std::array<std::uint32_t, 4>> recs) {
    std::vector<std::uint32_t> w;
    for (const auto& r : recs) {
        w.push_back(r[0]);
        w.push_back(dat_word(r[1], r[2], r[3]));
    }
    return w;
}

const WordCase kWordCases[] = {
    // EVT 2.0: time high 1 gives t = 64 + the 6 low bits.
    {"Evt2LastColumn", 2, {0x80000001u, cd(1, 0, 639, 5), cd(0, 1, 9, 9)}, kNone, "",
     {{639, 5, 64, 1}, {9, 9, 65, 0}}, 0},
    {"Evt2ColumnAtWidth", 2, {0x80000001u, cd(1, 0, 640, 5), cd(0, 1, 9, 9)}, 4, "x 640 is outside the sensor width 640",
     {{9, 9, 65, 0}}, 1},
    {"Evt2LastRow", 2, {0x80000001u, cd(1, 0, 5, 479), cd(0, 1, 9, 9)}, kNone, "",
     {{5, 479, 64, 1}, {9, 9, 65, 0}}, 0},
    {"Evt2RowAtHeight", 2, {0x80000001u, cd(1, 0, 5, 480), cd(0, 1, 9, 9)}, 4, "y 480 is outside the sensor height 480",
     {{9, 9, 65, 0}}, 1},
    // A refused time-high leaves the time where it was.
    {"Evt2SkippedTimeHighKeepsTheTime", 2, {0x80000010u, 0x8000000Fu, cd(0, 3, 9, 9)}, 4, "goes back from 16 to 15",
     {{9, 9, 16 * 64 + 3, 0}}, 1},
    // EVT 3.0: time high 1 and time low 2: t = 4096 + 2.
    {"Evt3LastColumn", 3, {0x8001, 0x6002, 0x0005, 0x2000 | 639, 0x2009}, kNone, "",
     {{639, 5, 4098, 0}, {9, 5, 4098, 0}}, 0},
    {"Evt3ColumnAtWidth", 3, {0x8001, 0x6002, 0x0005, 0x2000 | 640, 0x2009}, 6, "x address 640 is outside",
     {{9, 5, 4098, 0}}, 1},
    {"Evt3LastRow", 3, {0x8001, 0x6002, 479, 0x2800 | 3}, kNone, "", {{3, 479, 4098, 1}}, 0},
    {"Evt3RowAtHeight", 3, {0x8001, 0x6002, 480, 0x2003, 0x0007, 0x2009}, 4, "y address 480 is outside",
     {{9, 7, 4098, 0}}, 2},
    // The same once a row is known (the fast loop takes such words).
    {"Evt3RowAtHeightAfterARow", 3, {0x8001, 0x6002, 0x0005, 0x2001, 480, 0x2003, 0x0007, 0x2009}, 8,
     "y address 480 is outside", {{1, 5, 4098, 0}, {9, 7, 4098, 0}}, 2},
    {"Evt3LastRowAfterARow", 3, {0x8001, 0x6002, 0x0005, 0x2001, 479, 0x2003}, kNone, "",
     {{1, 5, 4098, 0}, {3, 479, 4098, 0}}, 0},
    {"Evt3Vector12ToTheLastColumn", 3, {0x8001, 0x6002, 0x0005, 0x3000 | 628, 0x4000 | 0x801, 0x2009}, kNone, "",
     {{628, 5, 4098, 0}, {639, 5, 4098, 0}, {9, 5, 4098, 0}}, 0},
    {"Evt3Vector12PastTheLastColumn", 3, {0x8001, 0x6002, 0x0005, 0x3000 | 629, 0x4000 | 0x801, 0x2009}, 8,
     "vector event at x 640", {{9, 5, 4098, 0}}, 1},
    {"Evt3Vector8ToTheLastColumn", 3, {0x8001, 0x6002, 0x0005, 0x3800 | 632, 0x5000 | 0x80, 0x2009}, kNone, "",
     {{639, 5, 4098, 1}, {9, 5, 4098, 0}}, 0},
    {"Evt3Vector8PastTheLastColumn", 3, {0x8001, 0x6002, 0x0005, 0x3800 | 633, 0x5000 | 0x81, 0x2009}, 8,
     "vector event at x 640", {{9, 5, 4098, 0}}, 1},
    // A 12-bit vector moves the base 12 on, a new y between them or not.
    {"Evt3VectorMovesTheBase", 3,
     {0x8001, 0x6002, 0x0005, 0x3000 | 600, 0x4000 | 0xFFF, 0x0006, 0x4000 | 0x001}, kNone, "",
     {{600, 5, 4098, 0}, {601, 5, 4098, 0}, {602, 5, 4098, 0}, {603, 5, 4098, 0}, {604, 5, 4098, 0},
      {605, 5, 4098, 0}, {606, 5, 4098, 0}, {607, 5, 4098, 0}, {608, 5, 4098, 0}, {609, 5, 4098, 0},
      {610, 5, 4098, 0}, {611, 5, 4098, 0}, {612, 6, 4098, 0}}, 0},
    // A refused time-high keeps the time (and time low) it had.
    {"Evt3SkippedTimeHighKeepsTheTime", 3, {0x8010, 0x6002, 0x0005, 0x800F, 0x2009}, 6, "goes back from 16 to 15",
     {{9, 5, (16u << 12) + 2, 0}}, 1},
    // DAT: 14-bit x and y, polarity 0 or 1.
    {"DatLastPixel", 0, dat_records({{5, 639, 479, 1}, {6, 1, 1, 0}}), kNone, "", {{639, 479, 5, 1}, {1, 1, 6, 0}}, 0},
    {"DatColumnAtWidth", 0, dat_records({{5, 640, 1, 1}, {6, 1, 1, 0}}), 0, "x 640 is outside", {{1, 1, 6, 0}}, 1},
    {"DatRowAtHeight", 0, dat_records({{5, 1, 480, 1}, {6, 1, 1, 0}}), 0, "y 480 is outside", {{1, 1, 6, 0}}, 1},
    {"DatPolarityTwo", 0, dat_records({{4, 2, 2, 0}, {5, 1, 1, 2}, {6, 1, 1, 1}}), 8, "polarity 2 is not 0 or 1",
     {{2, 2, 4, 0}, {1, 1, 6, 1}}, 1},
    {"DatPolarityFifteen", 0, dat_records({{5, 1, 1, 15}, {6, 1, 1, 1}}), 0, "polarity 15", {{1, 1, 6, 1}}, 1},
};

INSTANTIATE_TEST_SUITE_P(
    Words, WordBounds,
    testing::Combine(testing::ValuesIn(kWordCases), testing::Values(DecodePath::Fast, DecodePath::General)),
    [](const auto& param_info) {
        return std::string(std::get<0>(param_info.param).name) +
               (std::get<1>(param_info.param) == DecodePath::Fast ? "Fast" : "General");
    });

// The last microsecond a record holds after the origin, and one past it, on
// both paths: the fast loops take a time-high window only when all of its
// times fit, so a window that straddles 2**32 must go word by word.
class TimeFitEdge : public testing::TestWithParam<std::tuple<int, DecodePath>> {};

TEST_P(TimeFitEdge, TheLastMicrosecondFitsTheNextDoesNot) {
    const auto [format, path] = GetParam();
    Bytes b;
    DecodeOptions o;
    o.time.mode = TimeBase::Mode::Offset;
    std::uint64_t t_last_fit = 0;
    if (format == 2) {
        // Time high 2**26 starts at 2**32; the origin 63 leaves the window
        // 2**32 - 63 past it: its lows 0..62 fit, 63 does not.
        o.time.offset = 63;
        put32(b, 0x80000000u | (1u << 26));
        put32(b, cd(1, 62, 5, 6));
        put32(b, cd(0, 63, 7, 8));
        t_last_fit = (std::uint64_t{1} << 32) + 62;
    } else {
        // 256 wraps of the 24-bit time put time high 0 at 2**32; the origin
        // 4095 leaves its lows 0..4094 fitting, 4095 not.
        for (int k = 0; k < 256; ++k) {
            put16(b, 0x8800);
            put16(b, 0x8000);
        }
        o.time.offset = 4095;
        put16(b, 0x0006);
        put16(b, 0x6000 | 4094);
        put16(b, 0x2800 | 5);
        put16(b, 0x6000 | 4095);
        put16(b, 0x2000 | 7);
        t_last_fit = (std::uint64_t{1} << 32) + 4094;
    }
    for (int k = 0; k < 64; ++k) {
        if (format == 3) {
            put16(b, 0xE000);
        } else {
            put32(b, 0xE0000000u);
        }
    }
    auto d = decoder_for(format, o, path);
    auto got = decode_all(*d, b);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, zel::ErrorKind::Timestamp);
    const std::string says = "event 1 has timestamp " + std::to_string(t_last_fit + 1) + " us (" +
                             std::to_string(o.time.offset) + " us subtracted), which does not fit";
    EXPECT_EQ(got.error().message.rfind(says, 0), 0u) << got.error().message;
    // Without the second event, the first is read at 2**32 - 1.
    Bytes first = b;
    if (format == 2) {
        first.erase(first.begin() + 8, first.begin() + 12);
    } else {
        first.erase(first.begin() + 1024 + 6, first.begin() + 1024 + 10);
    }
    auto d2 = decoder_for(format, o, path);
    auto ok = decode_all(*d2, first);
    ASSERT_TRUE(ok.ok()) << ok.error().message;
    ASSERT_EQ(ok.value().size(), 1u);
    EXPECT_EQ(ok.value()[0].t, 0xFFFFFFFFu);
    EXPECT_EQ(ok.value()[0].p, 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, TimeFitEdge,
                         testing::Combine(testing::Values(2, 3),
                                          testing::Values(DecodePath::Fast, DecodePath::General)));

// Every word type: the reserved ones are refused by name, the ones that carry
// no pixel events (triggers, vendor words, continuations) pass unseen.
class WordTypes : public testing::TestWithParam<std::tuple<int, std::uint32_t>> {};

TEST_P(WordTypes, ReservedTypesAreRefusedTheOthersPass) {
    const auto [format, type] = GetParam();
    Bytes b;
    bool reserved = false;
    if (format == 2) {
        reserved = !(type <= 1 || type == 8 || type == 0xA || type == 0xE || type == 0xF);
        put32(b, 0x80000001u);
        put32(b, cd(0, 2, 3, 4));
        put32(b, type << 28 | (type == 8 ? 1u : 0u));  // a time-high repeats the one before
        put32(b, cd(1, 5, 6, 7));
    } else {
        reserved = type == 1 || type == 9 || (type >= 0xB && type <= 0xD);
        put16(b, 0x8001);
        put16(b, 0x0004);
        put16(b, 0x2003);
        put16(b, type << 12 | (type == 8 ? 1u : 0u));
        put16(b, 0x2806);
    }
    // Room for the fast loop (see WordBounds).
    for (int k = 0; k < 64; ++k) {
        if (format == 3) {
            put16(b, 0xA000);
        } else {
            put32(b, 0xA0000000u);
        }
    }
    const std::uint64_t at = format == 2 ? 8 : 6;
    for (const DecodePath path : {DecodePath::Fast, DecodePath::General}) {
        DecodeOptions o;
        auto strict = decoder_for(format, o, path);
        auto r = decode_all(*strict, b);
        const std::vector<Event> both = format == 2 ? std::vector<Event>{{3, 4, 66, 0}, {6, 7, 69, 1}}
                                                    : std::vector<Event>{{3, 4, 4096, 0}, {6, 4, 4096, 1}};
        if (!reserved) {
            ASSERT_TRUE(r.ok()) << "type " << type << ": " << r.error().message;
            EXPECT_EQ(r.value(), both) << "type " << type;
            continue;
        }
        ASSERT_FALSE(r.ok()) << "type " << type;
        EXPECT_EQ(r.error().offset, at);
        const std::string says = std::string("reserved EVT ") + (format == 2 ? "2.0" : "3.0") + " word type " +
                                 std::to_string(type);
        EXPECT_NE(r.error().message.find(says), std::string::npos) << r.error().message;
        o.bad_words = BadWords::Skip;
        auto lenient = decoder_for(format, o, path);
        auto s = decode_all(*lenient, b);
        ASSERT_TRUE(s.ok());
        EXPECT_EQ(s.value(), both) << "type " << type;
        EXPECT_EQ(lenient->bad_words(), 1u);
    }
}

// The types that carry pixel addresses or times have their own cases above.
INSTANTIATE_TEST_SUITE_P(Evt2, WordTypes, testing::Combine(testing::Values(2), testing::Range(2u, 16u)));
INSTANTIATE_TEST_SUITE_P(Evt3, WordTypes,
                         testing::Combine(testing::Values(3), testing::Values(1u, 7u, 8u, 9u, 10u, 11u, 12u, 13u,
                                                                              14u, 15u)));

}  // namespace
