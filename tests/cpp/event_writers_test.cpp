// Record writers: what each format can hold, refusals that name the first
// bad value and append nothing, and files the readers read back unchanged.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "readers/file_formats.hpp"
#include "readers/record_codecs.hpp"
#include "test_files.hpp"
#include "writers/event_writers.hpp"

namespace {

using zel::Event;
using zel::EventList;
using zel::WriteFormat;
using zel_test::TempDir;

std::vector<std::uint8_t> packed(const EventList& events) {
    std::vector<std::uint8_t> out(events.size() * zel::kPackedEventBytes);
    for (std::size_t i = 0; i < events.size(); ++i) zel::store_packed(events[i], out.data() + i * zel::kPackedEventBytes);
    return out;
}

std::string as_text(const zel::ByteBuffer& b) {
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// -------------------------------------------------------------- round trips

struct RoundTrip {
    const char* name;
    WriteFormat format;
    EventList events;
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

class WrittenFileReadsBack : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(WrittenFileReadsBack, ThroughZelsReader) {
    const RoundTrip& c = GetParam();
    const auto records = packed(c.events);
    zel::ByteBuffer out;
    const std::string_view header = zel::file_header(c.format);
    out.reserve_more(header.size());
    std::copy(header.begin(), header.end(), out.tail());
    out.commit(header.size());
    const auto written = zel::encode_events(c.format, {records.data(), c.events.size()}, 0, out);
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(written.value() + header.size(), out.size());
    TempDir dir;
    const std::string path = dir.write("events", as_text(out));
    const auto read = zel_test::load_as(path, c.format == WriteFormat::Nmnist   ? zel::RecordFormat::Nmnist
                                              : c.format == WriteFormat::Aedat2 ? zel::RecordFormat::Aedat2
                                                                                : zel::RecordFormat::Csv);
    ASSERT_TRUE(read.ok()) << read.error().text();
    EXPECT_EQ(read.value(), c.events);
}

std::string trip_name(const ::testing::TestParamInfo<RoundTrip>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Limits, WrittenFileReadsBack,
    ::testing::Values(
        RoundTrip{"NmnistEmpty", WriteFormat::Nmnist, {}},
        RoundTrip{"NmnistExtremes", WriteFormat::Nmnist,
                  {{0, 0, 0, 0}, {255, 255, (1u << 23) - 1, 1}, {1, 254, 1u << 22, 0}, {128, 3, 65536, 1}}},
        RoundTrip{"Aedat2Empty", WriteFormat::Aedat2, {}},
        RoundTrip{"Aedat2Extremes", WriteFormat::Aedat2,
                  {{0, 0, 0, 0}, {127, 127, 0xFFFFFFFFu, 1}, {64, 1, 0x80000000u, 0}, {1, 64, 255, 1}}},
        RoundTrip{"CsvEmpty", WriteFormat::Csv, {}},
        RoundTrip{"CsvExtremes", WriteFormat::Csv,
                  {{0, 0, 0, 0}, {65535, 65535, 0xFFFFFFFFu, 255}, {10, 100, 1000000000, 9}, {9, 99, 999999999, 100}}},
        // Decreasing times stay in file order.
        RoundTrip{"CsvOrderKept", WriteFormat::Csv, {{1, 1, 50, 0}, {2, 2, 10, 1}, {3, 3, 30, 0}}}),
    trip_name);

// The widest line, many times over: the output is sized for it exactly.
TEST(CsvWriter, WidestLinesFillTheReservedSpace) {
    const EventList events(1000, Event{65535, 65535, 0xFFFFFFFFu, 255});
    const auto records = packed(events);
    zel::ByteBuffer out;
    const auto written = zel::encode_events(WriteFormat::Csv, {records.data(), events.size()}, 0, out);
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(as_text(out), zel_test::repeat("65535,65535,4294967295,255\n", 1000));
}

TEST(Aedat2Writer, HeaderIsSkippedAsCommentLines) {
    const std::string_view header = zel::file_header(WriteFormat::Aedat2);
    ASSERT_TRUE(header.starts_with("#!AER-DAT2.0\r\n"));
    std::size_t pos = 0;
    while (pos < header.size()) {
        EXPECT_EQ(header[pos], '#') << "line at " << pos;
        const std::size_t lf = header.find('\n', pos);
        ASSERT_NE(lf, std::string_view::npos);
        pos = lf + 1;
    }
}

// ---------------------------------------------------------------- refusals

struct Refusal {
    const char* name;
    WriteFormat format;
    EventList events;
    std::uint64_t first_index;
    const char* field;
    std::uint64_t index, value, limit;

    std::string message() const {
        const char* title = format == WriteFormat::Nmnist ? "N-MNIST" : format == WriteFormat::Aedat2 ? "AEDAT2" : "CSV";
        return std::string("cannot write as ") + title + ": field '" + field + "' at index " + std::to_string(index) +
               " is " + std::to_string(value) + ", above the format's limit of " + std::to_string(limit);
    }
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class UnrepresentableValues : public ::testing::TestWithParam<Refusal> {};

TEST_P(UnrepresentableValues, NameTheFirstAndAppendNothing) {
    const Refusal& c = GetParam();
    const auto records = packed(c.events);
    zel::ByteBuffer out;
    out.reserve_more(3);
    std::copy_n("abc", 3, out.tail());
    out.commit(3);
    const auto result = zel::encode_events(c.format, {records.data(), c.events.size()}, c.first_index, out);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, zel::ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message, c.message());
    EXPECT_EQ(as_text(out), "abc");
}

std::string refusal_name(const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Fields, UnrepresentableValues,
    ::testing::Values(
        Refusal{"NmnistX", WriteFormat::Nmnist, {{256, 0, 0, 0}}, 0, "x", 0, 256, 255},
        Refusal{"NmnistY", WriteFormat::Nmnist, {{0, 300, 0, 0}}, 0, "y", 0, 300, 255},
        Refusal{"NmnistT", WriteFormat::Nmnist, {{0, 0, 1u << 23, 0}}, 0, "t", 0, 1u << 23, (1u << 23) - 1},
        Refusal{"NmnistP", WriteFormat::Nmnist, {{0, 0, 0, 2}}, 0, "p", 0, 2, 1},
        Refusal{"Aedat2X", WriteFormat::Aedat2, {{128, 0, 0, 0}}, 0, "x", 0, 128, 127},
        Refusal{"Aedat2Y", WriteFormat::Aedat2, {{0, 128, 0, 0}}, 0, "y", 0, 128, 127},
        Refusal{"Aedat2P", WriteFormat::Aedat2, {{0, 0, 0, 255}}, 0, "p", 0, 255, 1},
        // Within an event x is looked at first; across events the earliest wins.
        Refusal{"FieldOrderWithinEvent", WriteFormat::Nmnist, {{300, 300, 1u << 30, 9}}, 0, "x", 0, 300, 255},
        Refusal{"EarliestEventWins", WriteFormat::Nmnist,
                {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 5}, {999, 1, 1, 1}}, 0, "p", 2, 5, 1},
        Refusal{"LastEventOnly", WriteFormat::Aedat2,
                {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 0}, {1, 200, 1, 1}}, 0, "y", 3, 200, 127},
        // Indices continue a caller's count across chunks.
        Refusal{"IndexFromFirstIndex", WriteFormat::Nmnist, {{1, 1, 1, 1}, {1, 1, 1, 3}}, 1ull << 40, "p",
                (1ull << 40) + 1, 3, 1}),
    refusal_name);

TEST(CsvWriter, HoldsEveryPackedValue) {
    const EventList events{{65535, 65535, 0xFFFFFFFFu, 255}};
    const auto records = packed(events);
    zel::ByteBuffer out;
    EXPECT_TRUE(zel::encode_events(WriteFormat::Csv, {records.data(), 1}, 0, out).ok());
}

}  // namespace
