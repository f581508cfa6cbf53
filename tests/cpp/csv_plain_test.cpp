// The plain-line fast path of CSV reading: which lines it takes, and that
// every line it takes reads exactly as the general line parser reads it.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/event.hpp"
#include "random_csv.hpp"
#include "readers/csv_line.hpp"
#include "readers/csv_plain.hpp"
#include "test_files.hpp"

namespace {

using zel::Event;
using zel::kPackedEventBytes;
using zel::kPlainCsvLookahead;
using zel::PackedEvents;
using zel_test::cat;
using zel_test::random_line;

// Bytes after the line under test: never part of a plain line, so a line
// the fast path takes cannot borrow a line feed from them.
const std::string kPad(kPlainCsvLookahead, 'z');

struct Taken {
    bool taken = false;
    std::size_t bytes = 0;
    Event event{};
};

Taken fast_path(const std::string& line) {
    const std::string buffer = cat(line, kPad);
    std::uint8_t out[kPackedEventBytes] = {};
    const auto run = zel::parse_plain_csv_lines(reinterpret_cast<const std::uint8_t*>(buffer.data()),
                                                buffer.size(), 1, out);
    Taken t;
    t.taken = run.events == 1;
    t.bytes = run.bytes;
    if (t.taken) t.event = PackedEvents(out, 1)[0];
    return t;
}

struct PlainCase {
    const char* name;
    std::string line;
    bool taken;
    Event event;  // when taken
};

void PrintTo(const PlainCase& c, std::ostream* os) { *os << c.name; }

class PlainLine : public ::testing::TestWithParam<PlainCase> {};

TEST_P(PlainLine, TakenOrLeftToTheGeneralParser) {
    const PlainCase& c = GetParam();
    const Taken t = fast_path(c.line);
    ASSERT_EQ(t.taken, c.taken);
    if (c.taken) {
        EXPECT_EQ(t.bytes, c.line.size());
        EXPECT_EQ(t.event, c.event);
    } else {
        EXPECT_EQ(t.bytes, 0u);
    }
}

std::string plain_name(const ::testing::TestParamInfo<PlainCase>& info) { return info.param.name; }

PlainCase taken(const char* name, std::string line, Event e) { return {name, std::move(line), true, e}; }
PlainCase left(const char* name, std::string line) { return {name, std::move(line), false, {}}; }

INSTANTIATE_TEST_SUITE_P(
    Lines, PlainLine,
    ::testing::Values(
        taken("Short", "1,2,3,4\n", {1, 2, 3, 4}),
        taken("Crlf", "1,2,3,4\r\n", {1, 2, 3, 4}),
        taken("ColumnMaxima", "65535,65535,4294967295,255\r\n", {65535, 65535, 4294967295u, 255}),
        taken("Zeros", "0,0,0,0\n", {0, 0, 0, 0}),
        taken("LeadingZerosWithinWidth", "00007,00000,0000000009,001\n", {7, 0, 9, 1}),
        taken("NineDigitTime", "1,2,123456789,0\n", {1, 2, 123456789, 0}),
        taken("TenDigitTime", "1,2,1234567890,0\n", {1, 2, 1234567890, 0}),
        taken("EightDigitTime", "1,2,98765432,0\n", {1, 2, 98765432, 0}),
        // The general parser takes these too; the fast path only declines.
        left("MoreDigitsThanTheWidestX", "000001,2,3,4\n"),
        left("MoreDigitsThanTheWidestT", "1,2,00000000001,4\n"),
        left("MoreDigitsThanTheWidestP", "1,2,3,0001\n"),
        left("PlusSign", "+1,2,3,4\n"),
        left("SpaceSeparator", "1 2 3 4\n"),
        left("CommaSpace", "1, 2,3,4\n"),
        left("Tab", "1,2,3\t4\n"),
        left("LeadingSpace", " 1,2,3,4\n"),
        left("TrailingSpace", "1,2,3,4 \n"),
        left("FifthColumn", "1,2,3,4,5\n"),
        left("DoubleComma", "1,,2,3,4\n"),
        left("TwoCarriageReturns", "1,2,3,4\r\r\n"),
        left("CarriageReturnAlone", "1,2,3,4\r5,6,7,8\n"),
        left("NoLineFeed", "1,2,3,4"),
        // Errors of the general parser: the fast path must not take them.
        left("XTooLarge", "65536,2,3,4\n"),
        left("YTooLarge", "1,99999,3,4\n"),
        left("TTooLarge", "1,2,4294967296,4\n"),
        left("TTenNines", "1,2,9999999999,4\n"),
        left("PTooLarge", "1,2,3,256\n"),
        left("PThreeNines", "1,2,3,999\n"),
        left("Minus", "-1,2,3,4\n"),
        left("DecimalPoint", "1,2.5,3,4\n"),
        left("Letter", "1,2,3,4x\n"),
        left("ThreeColumns", "1,2,3\n"),
        left("Comment", "#1,2,3,4\n"),
        left("Header", "x,y,t,p\n"),
        left("EmptyLine", "\n"),
        left("NonAscii", "1,2,3,4\xc2\xa0\n")),
    plain_name);

TEST(PlainRun, StopsAtTheFirstLineItDoesNotTake) {
    const std::string text = cat("1,2,3,4\n5,6,7,8\r\n 9,9,9,9\n1,1,1,1\n", kPad);
    std::uint8_t out[4 * kPackedEventBytes];
    const auto run = zel::parse_plain_csv_lines(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size(), 4, out);
    EXPECT_EQ(run.events, 2u);
    EXPECT_EQ(run.bytes, 17u);
    EXPECT_EQ(PackedEvents(out, 2)[1], (Event{5, 6, 7, 8}));
}

TEST(PlainRun, StopsAtMaxEvents) {
    const std::string text = cat(zel_test::repeat("1,2,3,4\n", 10), kPad);
    std::uint8_t out[3 * kPackedEventBytes];
    const auto run = zel::parse_plain_csv_lines(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                text.size(), 3, out);
    EXPECT_EQ(run.events, 3u);
    EXPECT_EQ(run.bytes, 24u);
}

// The parser reads whole words: a line must start at least the lookahead
// before the end of the bytes it is given, whatever the line's own length.
TEST(PlainRun, LeavesTheLastLookaheadBytes) {
    for (std::size_t size = 0; size < 3 * kPlainCsvLookahead; ++size) {
        const std::string text = zel_test::repeat("1,2,3,4\n", 20).substr(0, size);
        std::vector<std::uint8_t> out(20 * kPackedEventBytes);
        const auto run = zel::parse_plain_csv_lines(
            reinterpret_cast<const std::uint8_t*>(text.data()), size, 20, out.data());
        const std::size_t expected = size < kPlainCsvLookahead ? 0 : (size - kPlainCsvLookahead) / 8 + 1;
        EXPECT_EQ(run.events, expected) << "size " << size;
        EXPECT_EQ(run.bytes, 8 * run.events);
    }
}

// ------------------------------------------------- differential, random lines

TEST(PlainDifferential, EveryLineTakenReadsAsTheGeneralParserReadsIt) {
    std::mt19937_64 rng(20261208);
    std::size_t taken_count = 0;
    constexpr int kLines = 200000;
    for (int i = 0; i < kLines; ++i) {
        const std::string line = random_line(rng);
        const Taken fast = fast_path(line);
        if (!fast.taken) {
            ASSERT_EQ(fast.bytes, 0u) << line;
            continue;
        }
        ++taken_count;
        Event general{};
        const char* reason = nullptr;
        ASSERT_EQ(zel::parse_csv_line(line, general, reason), zel::CsvLineOutcome::Event)
            << "taken by the fast path: " << line;
        ASSERT_EQ(fast.bytes, line.size()) << line;
        ASSERT_EQ(fast.event, general) << line;
    }
    // Enough of both kinds that the comparison means something.
    EXPECT_GT(taken_count, kLines / 10);
    EXPECT_LT(taken_count, kLines * 9 / 10);
}

// The converse for the lines that matter for speed: every line of four
// in-range numbers, commas and a line feed, within each column's width, is
// taken.
TEST(PlainDifferential, CanonicalLinesAreAllTaken) {
    std::mt19937_64 rng(7);
    const std::uint64_t limits[] = {65536, 65536, 4294967296ULL, 256};
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t v[4];
        std::string line;
        for (int c = 0; c < 4; ++c) {
            // Spread over every digit count, not just the widest values.
            const std::uint64_t scale = std::uint64_t{1} << (rng() % 33);
            v[c] = rng() % std::min(limits[c], scale + 1);
            line += c ? "," : "";
            line += std::to_string(v[c]);
        }
        line += i % 3 == 0 ? "\r\n" : "\n";
        const Taken fast = fast_path(line);
        ASSERT_TRUE(fast.taken) << line;
        ASSERT_EQ(fast.event, (Event{static_cast<std::uint16_t>(v[0]), static_cast<std::uint16_t>(v[1]),
                                     static_cast<std::uint32_t>(v[2]), static_cast<std::uint8_t>(v[3])}))
            << line;
    }
}

}  // namespace
