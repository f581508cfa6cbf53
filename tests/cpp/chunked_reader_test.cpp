// Chunked reading (RecordStream): the same events and error texts as the
// whole-file readers whatever the chunk size, errors at the right offset,
// and CSV lines across read-buffer boundaries read exactly as line-by-line.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/event.hpp"
#include "random_csv.hpp"
#include "readers/chunked_reader.hpp"
#include "readers/csv_line.hpp"
#include "test_files.hpp"
#include "text/utf8.hpp"

namespace {

using zel::Event;
using zel::EventList;
using zel::RecordFormat;
using zel::RecordStream;
using zel_test::bytes;
using zel_test::cat;
using zel_test::repeat;
using zel_test::TempDir;

// The read() block of RecordStream; files are made larger than a few of it.
constexpr std::size_t kBlock = 40 * 6554;
const std::string kAedatHeader = "#!AER-DAT2.0\r\n# a comment\r\n";

struct Streamed {
    EventList events;
    std::vector<std::size_t> chunk_sizes;
    std::optional<std::string> error;
    std::optional<std::uint64_t> offset;
};

// Reads the whole file `max_events` at a time, then once more after the end.
Streamed stream(const std::string& path, RecordFormat format, std::size_t max_events) {
    Streamed s;
    auto opened = RecordStream::open_with(path, format, zel::no_io_hooks());
    if (!opened) {
        s.error = opened.error().text();
        return s;
    }
    for (;;) {
        zel::ByteBuffer out;
        auto n = opened.value().read(out, max_events);
        if (!n) {
            s.error = n.error().text();
            s.offset = n.error().offset;
            // A spent stream stays spent.
            zel::ByteBuffer again;
            auto after = opened.value().read(again, max_events);
            EXPECT_TRUE(after.ok() && after.value() == 0);
            return s;
        }
        EXPECT_EQ(out.size(), n.value() * zel::kPackedEventBytes);
        const zel::PackedEvents view(out.data(), n.value());
        for (std::size_t i = 0; i < view.size(); ++i) s.events.push_back(view[i]);
        if (n.value() == 0) break;
        s.chunk_sizes.push_back(n.value());
    }
    zel::ByteBuffer out;
    auto after_end = opened.value().read(out, max_events);
    EXPECT_TRUE(after_end.ok() && after_end.value() == 0);
    return s;
}

zel::Result<EventList> whole_file(const std::string& path, RecordFormat format) {
    return zel_test::load_as(path, format);
}

// Every chunk is full but the last, whose size is whatever is left.
void expect_full_chunks(const Streamed& s, std::size_t total, std::size_t max_events) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.chunk_sizes.size(); ++i) {
        const bool last = i + 1 == s.chunk_sizes.size();
        if (!last) {
            EXPECT_EQ(s.chunk_sizes[i], max_events) << "chunk " << i;
        }
        EXPECT_LE(s.chunk_sizes[i], max_events);
        seen += s.chunk_sizes[i];
    }
    EXPECT_EQ(seen, total);
}

struct StreamCase {
    const char* name;
    RecordFormat format;
    std::string content;
    std::size_t events;                     // in the file, or before the error
    std::optional<std::uint64_t> offset;    // of the error, when there is one
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class StreamMatchesWholeFile : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamMatchesWholeFile, AtEveryChunkSize) {
    const StreamCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.write("events", c.content);
    const auto whole = whole_file(path, c.format);
    for (std::size_t max_events : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{64},
                                   std::size_t{1} << 40}) {
        SCOPED_TRACE(max_events);
        const Streamed s = stream(path, c.format, max_events);
        // A call that meets an error returns the error alone: the events
        // seen are those of the full chunks before it.
        ASSERT_EQ(s.events.size(), whole ? c.events : c.events / max_events * max_events);
        if (whole) {
            EXPECT_FALSE(s.error) << *s.error;
            EXPECT_EQ(s.events, whole.value());
            expect_full_chunks(s, c.events, max_events);
        } else {
            ASSERT_TRUE(s.error);
            EXPECT_EQ(*s.error, whole.error().text());
            EXPECT_EQ(s.offset, c.offset);
        }
    }
}

std::string stream_name(const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; }

std::string compact_records(std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += bytes({int(i & 0xFF), int(i >> 8), 2, 0, int(i * 7 & 0xFF), 1, 0, 0, int(i & 1)});
    }
    return out;
}

std::string nmnist_records(std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += bytes({int(i & 0xFF), 3, int(0x80 | (i & 0x7F)), 0x12, 0x34});
    return out;
}

std::string aedat_records(std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += bytes({0, 0, 0x05, int((i * 2 + 1) & 0xFF), 0, 0, 1, int(i & 0xFF)});
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StreamMatchesWholeFile,
    ::testing::Values(
        StreamCase{"CompactEmpty", RecordFormat::Compact, "", 0, {}},
        StreamCase{"CompactOne", RecordFormat::Compact, compact_records(1), 1, {}},
        StreamCase{"CompactSeven", RecordFormat::Compact, compact_records(7), 7, {}},
        // A partial record is refused where it starts, after the whole ones.
        StreamCase{"CompactPartialTail", RecordFormat::Compact, cat(compact_records(5), "\x01\x02"), 5, 45},
        StreamCase{"CompactOnlyPartial", RecordFormat::Compact, "\x01\x02\x03", 0, 0},
        StreamCase{"CompactLargerThanBlock", RecordFormat::Compact, compact_records(kBlock / 9 * 2 + 5),
                   kBlock / 9 * 2 + 5, {}},
        StreamCase{"NmnistSeven", RecordFormat::Nmnist, nmnist_records(7), 7, {}},
        StreamCase{"NmnistPartialTail", RecordFormat::Nmnist, cat(nmnist_records(3), "\x01"), 3, 15},
        StreamCase{"NmnistAcrossBlocks", RecordFormat::Nmnist, nmnist_records(kBlock / 5 + 3), kBlock / 5 + 3, {}},
        StreamCase{"NmnistPartialAfterBlocks", RecordFormat::Nmnist, cat(nmnist_records(kBlock / 5 + 3), "\x01\x02"),
                   kBlock / 5 + 3, (kBlock / 5 + 3) * 5},
        StreamCase{"AedatHeaderOnly", RecordFormat::Aedat2, kAedatHeader, 0, {}},
        StreamCase{"AedatHeaderWithoutLineFeed", RecordFormat::Aedat2, "# only a header", 0, {}},
        StreamCase{"AedatNoHeader", RecordFormat::Aedat2, aedat_records(4), 4, {}},
        StreamCase{"AedatHeaderAndRecords", RecordFormat::Aedat2, cat(kAedatHeader, aedat_records(6)), 6, {}},
        // The size rule counts the data section only, the offset the file.
        StreamCase{"AedatPartialTail", RecordFormat::Aedat2, cat(kAedatHeader, aedat_records(2), "\x01\x02\x03"), 2,
                   kAedatHeader.size() + 16},
        // A header longer than a read block is scanned across refills.
        StreamCase{"AedatHeaderLongerThanBlock", RecordFormat::Aedat2,
                   cat("#", std::string(kBlock + 100, 'h'), "\n#\n", aedat_records(3)), 3, {}},
        StreamCase{"AedatRecordsAcrossBlocks", RecordFormat::Aedat2, cat(kAedatHeader, aedat_records(kBlock / 8 + 9)),
                   kBlock / 8 + 9, {}},
        StreamCase{"CsvEmpty", RecordFormat::Csv, "", 0, {}},
        StreamCase{"CsvMixed", RecordFormat::Csv, "x,y,t,p\n1,2,3,4\n# c\n 5 6 7 8\n9,9,9,9", 3, {}},
        StreamCase{"CsvBadNumberOffset", RecordFormat::Csv, "1,2,3,4\n5,6,7,8\n# c\n1,2,3,-1\n1,1,1,1\n", 2, 20},
        StreamCase{"CsvTooLargeAfterPlainLines", RecordFormat::Csv, cat(repeat("1,2,3,4\n", 100), "1,2,3,256\n"),
                   100, 800},
        StreamCase{"CsvBadUtf8InComment", RecordFormat::Csv, cat(repeat("1,2,3,4\n", 40), "# \xff\n"), 40, 320},
        StreamCase{"CsvLineLongerThanBlock", RecordFormat::Csv,
                   cat("1,2,3,4\n# ", std::string(kBlock * 2, 'c'), "\n5,6,7,8\n"), 2, {}},
        StreamCase{"CsvErrorAfterBlocks", RecordFormat::Csv,
                   cat(repeat("10,20,30,1\n", kBlock / 11 + 7), "1,2,3\n1,2,x,4\n"), kBlock / 11 + 7,
                   (kBlock / 11 + 7) * 11 + 6}),
    stream_name);

// ------------------------------------------------------ CSV, differential

struct ModelRead {
    EventList events;
    std::optional<std::string> error;
    std::uint64_t offset = 0;
};

// The line rules applied one line at a time to text in memory: what every
// buffered reader must agree with.
ModelRead read_lines(const std::string& text) {
    ModelRead m;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t lf = text.find('\n', pos);
        const std::size_t end = lf == std::string::npos ? text.size() : lf + 1;
        const std::string_view line(text.data() + pos, end - pos);
        Event e{};
        const char* reason = nullptr;
        if (!zel::is_valid_utf8(line)) {
            m.error = "stream did not contain valid UTF-8";
        } else {
            const auto outcome = zel::parse_csv_line(line, e, reason);
            if (outcome == zel::CsvLineOutcome::Error) m.error = reason;
            if (outcome == zel::CsvLineOutcome::Event) m.events.push_back(e);
        }
        if (m.error) {
            m.offset = pos;
            return m;
        }
        pos = end;
    }
    return m;
}

// Random files of mostly plain lines with every other kind mixed in, larger
// than a few read blocks so lines straddle every refill, some ending in a
// failing line.
TEST(CsvStreamDifferential, RandomFilesReadAsLineByLine) {
    std::mt19937_64 rng(99);
    TempDir dir;
    for (int file = 0; file < 12; ++file) {
        SCOPED_TRACE(file);
        std::string text;
        const bool fail_at_end = file % 3 == 2;
        while (text.size() < 3 * kBlock) {
            std::string line;
            if (rng() % 4 != 0) {
                line = cat(std::to_string(rng() % 346), ",", std::to_string(rng() % 260), ",",
                           std::to_string(rng() % 100000000), ",", std::to_string(rng() % 2), "\n");
            } else {
                line = zel_test::random_line(rng);
                // Keep failures for the end; line feeds end every line here.
                if (line.back() != '\n' || read_lines(line).error) continue;
            }
            text += line;
        }
        if (fail_at_end) text += "1,2,3,4\n1,2,+,4\n";
        if (file % 2 == 1) text += "7,7,7,7";  // a last line without a line feed
        const ModelRead model = read_lines(text);
        ASSERT_EQ(model.error.has_value(), fail_at_end);
        const std::string path = dir.write("random.csv", text);
        for (std::size_t max_events : {std::size_t{1000}, std::size_t{4099}, std::size_t{1} << 40}) {
            SCOPED_TRACE(max_events);
            const Streamed s = stream(path, RecordFormat::Csv, max_events);
            ASSERT_EQ(s.error, model.error);
            const std::size_t seen = model.error ? model.events.size() / max_events * max_events
                                                 : model.events.size();
            ASSERT_EQ(s.events.size(), seen);
            EXPECT_TRUE(std::equal(s.events.begin(), s.events.end(), model.events.begin()));
            if (model.error) {
                EXPECT_EQ(s.offset, model.offset);
            }
        }
        const auto whole = zel_test::load_as(path, RecordFormat::Csv);
        if (model.error) {
            ASSERT_FALSE(whole.ok());
            EXPECT_EQ(whole.error().text(), *model.error);
        } else {
            ASSERT_TRUE(whole.ok());
            EXPECT_EQ(whole.value(), model.events);
        }
    }
}

// A plain line cut by a refill at each possible byte, for each line ending:
// the fast path leaves the tail of a block to the general parser and picks
// up again after the refill.
TEST(CsvStreamDifferential, PlainLineAtEveryBlockOffset) {
    TempDir dir;
    for (const char* ending : {"\n", "\r\n"}) {
        const std::string line = cat("65535,65535,4294967295,255", ending);
        for (std::size_t shift = 0; shift < line.size() + 33; ++shift) {
            // A comment fills the block up to `shift` bytes before its end.
            std::string text = cat("#", std::string(kBlock - shift - 2, 'c'), "\n");
            text += repeat(line, 4);
            const std::string path = dir.write("shift.csv", text);
            const Streamed s = stream(path, RecordFormat::Csv, 3);
            ASSERT_FALSE(s.error) << *s.error;
            ASSERT_EQ(s.events, EventList(4, Event{65535, 65535, 4294967295u, 255})) << "shift " << shift;
        }
    }
}

// A byte with its high bit set is found by the word-wide ASCII scan
// wherever it falls in a word, its first byte included: a comment line
// holding it fails the load even though the line after it is plain.
class CsvHighBitInWord : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CsvHighBitInWord, FailsTheLoad) {
    TempDir dir;
    const std::string text = cat("#", std::string(GetParam(), 'c'), "\xff\n0,0,0,0\n1,1,1,1\n");
    const Streamed s = stream(dir.write("high.csv", text), RecordFormat::Csv, 1 << 20);
    ASSERT_TRUE(s.error);
    EXPECT_EQ(*s.error, "stream did not contain valid UTF-8");
    EXPECT_EQ(s.offset, 0u);
}

// 7: the 0xFF is the first byte of the second 8-byte word.
INSTANTIATE_TEST_SUITE_P(Positions, CsvHighBitInWord, ::testing::Range<std::size_t>(0, 17));

TEST(RecordStreamOpen, MissingFileIsAnOsErrorWithoutOffset) {
    TempDir dir;
    auto opened = RecordStream::open_with(dir.path("missing.csv"), RecordFormat::Csv, zel::no_io_hooks());
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind, zel::ErrorKind::Os);
    EXPECT_FALSE(opened.error().offset.has_value());
}

TEST(RecordStreamHint, CountsRecordsLeft) {
    TempDir dir;
    auto opened = RecordStream::open_with(dir.write("e.evb", compact_records(10)), RecordFormat::Compact,
                                         zel::no_io_hooks());
    ASSERT_TRUE(opened.ok());
    RecordStream& s = opened.value();
    EXPECT_EQ(s.remaining_events_hint(), 10u);
    zel::ByteBuffer out;
    ASSERT_EQ(s.read(out, 4).value(), 4u);
    EXPECT_EQ(s.remaining_events_hint(), 6u);
}

}  // namespace
