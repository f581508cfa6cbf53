// The CSV/text reader: line rules, number parsing, UTF-8 checks and the
// buffered line reading.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "readers/file_formats.hpp"
#include "readers/io_hooks.hpp"
#include "test_files.hpp"

// Heap accounting for the streaming test: every allocation in this test
// binary is counted so a test can measure the peak a call reaches.
namespace {
std::atomic<std::size_t> g_live_bytes{0};
std::atomic<std::size_t> g_peak_bytes{0};

void* counted_alloc(std::size_t size) {
    // A size header in front of each block lets delete subtract it again.
    void* block = std::malloc(size + alignof(std::max_align_t));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    const std::size_t live = g_live_bytes += size;
    std::size_t peak = g_peak_bytes.load();
    while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
    }
    return static_cast<char*>(block) + alignof(std::max_align_t);
}

void counted_free(void* p) noexcept {
    if (p == nullptr) {
        return;
    }
    void* block = static_cast<char*>(p) - alignof(std::max_align_t);
    g_live_bytes -= *static_cast<std::size_t*>(block);
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace {

using zel::Event;
using zel::EventList;
using zel_test::cat;
using zel_test::error_text;
using zel_test::repeat;
using zel_test::TempDir;

zel::Result<EventList> read_csv(const std::string& path, zel::IoHooks& hooks = zel::no_io_hooks()) {
    return zel_test::load_as(path, zel::RecordFormat::Csv, hooks);
}

constexpr const char* kInvalidDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";
constexpr const char* kBadUtf8 = "stream did not contain valid UTF-8";

struct CsvCase {
    const char* name;
    std::string content;
    EventList events;   // expected when `error` is empty
    std::string error;
};

void PrintTo(const CsvCase& c, std::ostream* os) { *os << c.name; }

CsvCase ok(const char* name, std::string content, EventList events) {
    return {name, std::move(content), std::move(events), {}};
}
CsvCase bad(const char* name, std::string content, std::string error) {
    return {name, std::move(content), {}, std::move(error)};
}

class CsvReader : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvReader, Reads) {
    TempDir dir;
    const CsvCase& c = GetParam();
    const auto result = read_csv(dir.write("events.csv", c.content));
    if (c.error.empty()) {
        ASSERT_TRUE(result.ok()) << result.error().text();
        EXPECT_EQ(result.value(), c.events);
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().kind, zel::ErrorKind::InvalidData);
        EXPECT_EQ(result.error().text(), c.error);
    }
}

std::string case_name(const ::testing::TestParamInfo<CsvCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    LineRules, CsvReader,
    ::testing::Values(
        ok("EmptyFile", "", {}),
        ok("OnlyBlankCommentAndHeaderLines", "\n  \n\t\r\n# comment\nx,y,t,p\n   # indented comment\n", {}),
        ok("HeaderDataCommentData", "x,y,t,p\n1,2,3,1\n# note\n4 5 6 0\n", {{1, 2, 3, 1}, {4, 5, 6, 0}}),
        ok("MixedSeparatorsAndPadding", "  10,\t20 , 30,  1  \n", {{10, 20, 30, 1}}),
        ok("ThreeColumnsSkipped", "1,2,3\n9,9,9,9\n", {{9, 9, 9, 9}}),
        ok("FifthColumnIgnored", "1,2,3,4,5\n", {{1, 2, 3, 4}}),
        ok("TrailingCommentIgnored", "1 2 3 4 # note\n", {{1, 2, 3, 4}}),
        ok("LaterPiecesNeverParsed", "1,2,3,4,garbage,-1\n", {{1, 2, 3, 4}}),
        ok("EmptyPiecesDropped", "1,,2,,3,,4\n", {{1, 2, 3, 4}}),
        ok("LeadingSeparatorMeansNotData", ",1,2,3,4\n", {}),
        ok("SignAloneIsTooShortNotAnError", "-\n+\n", {}),
        ok("CrlfLines", "1,2,3,4\r\n5,6,7,8\r\n", {{1, 2, 3, 4}, {5, 6, 7, 8}}),
        ok("LastLineWithoutLineFeed", "1,2,3,4\n5,6,7,8", {{1, 2, 3, 4}, {5, 6, 7, 8}}),
        ok("LastLineWithCarriageReturnOnly", "5,6,7,8\r", {{5, 6, 7, 8}}),
        // Carriage returns alone do not end lines: this is one comment line.
        ok("CarriageReturnsAloneMakeOneLine", "# c\r1,2,3,4\r5,6,7,8\r", {}),
        bad("CarriageReturnsAloneJoinData", "1,2,3,4\r5,6,7,8\r", kInvalidDigit),
        ok("DecreasingTimestampsKeepOrder", "1,1,50,0\n2,2,10,1\n3,3,30,0\n",
           {{1, 1, 50, 0}, {2, 2, 10, 1}, {3, 3, 30, 0}}),
        ok("UnicodeWhiteSpaceTrimmed", "\u00a0\u30001,2,3,4\u2003\u0085\n\v\f5,6,7,8\u2029\n",
           {{1, 2, 3, 4}, {5, 6, 7, 8}}),
        // White space other than space and tab does not separate pieces.
        ok("NoBreakSpaceInsideIsNotSeparator", "1,2,3\u00a04\n", {}),
        bad("NoBreakSpaceInsidePiece", "1,2,3,4\u00a05\n", kInvalidDigit),
        bad("VerticalTabInsidePiece", "1\v2,3,4,5\n", kInvalidDigit),
        ok("ZeroWidthSpaceIsNotWhiteSpace", "\u200b1,2,3,4\n", {}),
        ok("ByteOrderMarkHidesFirstLine", "\xef\xbb\xbf" "1,2,3,4\n5,6,7,8\n", {{5, 6, 7, 8}})),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Numbers, CsvReader,
    ::testing::Values(
        ok("PlusSigns", "+7,+8,+9,+1\n", {{7, 8, 9, 1}}),
        ok("LeadingZeros", "007,0008,000000000009,0001\n0000000065535,0,0000000004294967295,000255\n",
           {{7, 8, 9, 1}, {65535, 0, 4294967295u, 255}}),
        ok("ColumnMaxima", "65535,65535,4294967295,255\n", {{65535, 65535, 4294967295u, 255}}),
        ok("WideTimestampAccepted", "1,2,4294967295,255\n", {{1, 2, 4294967295u, 255}}),
        bad("MinusSign", "-1,2,3,4\n", kInvalidDigit),
        bad("DecimalPoint", "1.5,2,3,4\n", kInvalidDigit),
        bad("PlusAlone", "1,2,3,+\n", kInvalidDigit),
        bad("MinusAlone", "1,2,3,-\n", kInvalidDigit),
        bad("PlusAloneFirst", "+,2,3,4\n", kInvalidDigit),
        bad("DoublePlus", "1,2,++3,4\n", kInvalidDigit),
        bad("PlusMinus", "1,2,+-3,4\n", kInvalidDigit),
        bad("MinusZero", "1,-0,3,4\n", kInvalidDigit),
        bad("HexPrefix", "0x1F,2,3,4\n", kInvalidDigit),
        bad("Exponent", "1,2,1e3,4\n", kInvalidDigit),
        bad("DigitGrouping", "1,2,1_000,4\n", kInvalidDigit),
        bad("FullWidthDigit", "1,\uff12,3,4\n", kInvalidDigit),
        bad("XTooLarge", "70000,2,3,1\n", kTooLarge),
        bad("YTooLarge", "1,65536,3,1\n", kTooLarge),
        bad("TTooLarge", "1,2,4294967296,1\n", kTooLarge),
        bad("PTooLarge", "1,2,3,256\n", kTooLarge),
        bad("HugeNumber", "1,2,99999999999999999999999999,1\n", kTooLarge),
        // The first offending character decides.
        bad("OverflowBeforeLetter", "99999z,2,3,4\n", kTooLarge),
        bad("LetterBeforeOverflow", "6553z,2,3,4\n", kInvalidDigit),
        bad("LetterRightAfterMaximum", "65535z,2,3,4\n", kInvalidDigit),
        // The first failing piece decides.
        bad("InvalidXBeforeLargeY", "1.5,99999,3,4\n", kInvalidDigit),
        bad("LargeXBeforeInvalidY", "99999,1.5,3,4\n", kTooLarge),
        // Any failure discards the events already read.
        bad("FailureAfterGoodLines", "1,2,3,4\n5,6,7,8\n9,9,9,x\n", kInvalidDigit)),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Utf8, CsvReader,
    ::testing::Values(
        ok("MultibyteTextIsFine", "# caf\u00e9 \u2713 \U0001d11e\nx,y,t,p \u00b5s\n1,2,3,4\n", {{1, 2, 3, 4}}),
        bad("Latin1InComment", "# caf\xe9\n1,2,3,4\n", kBadUtf8),
        bad("InvalidInHeader", "x,y,t,\xff\n1,2,3,4\n", kBadUtf8),
        bad("InvalidInSkippedShortLine", "1,2,\x80\n", kBadUtf8),
        bad("InvalidAfterData", "1,2,3,4\n\xfe\n", kBadUtf8),
        bad("InvalidInIgnoredFifthColumn", "1,2,3,4,\xc3\n", kBadUtf8),
        bad("OverlongSlash", "# \xc0\xaf\n", kBadUtf8),
        bad("OverlongThreeBytes", "# \xe0\x80\xaf\n", kBadUtf8),
        bad("Surrogate", "# \xed\xa0\x80\n", kBadUtf8),
        bad("AboveMaxCodePoint", "# \xf4\x90\x80\x80\n", kBadUtf8),
        bad("TruncatedAtEndOfFile", "1,2,3,4\n# \xe2\x82", kBadUtf8),
        // A line feed cannot continue a multi-byte sequence.
        bad("SequenceCutByLineFeed", "# \xe2\x82\n\xac\n", kBadUtf8)),
    case_name);

// ----------------------------------------------------------- buffer handling

constexpr std::size_t kBuffer = 8192;

// A comment line of `length` bytes (line feed included) shifts the following
// data across the reader's buffer boundary one byte at a time.
class CsvBufferBoundary : public ::testing::TestWithParam<std::size_t> {};

TEST_P(CsvBufferBoundary, LinesSpanningBuffersAreWhole) {
    TempDir dir;
    const std::size_t length = GetParam();
    const std::string content = cat("#", std::string(length - 2, 'c'), "\n12,34,56,78\r\n90,1,2,3");
    const auto result = read_csv(dir.write("e.csv", content));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result.value(), (EventList{{12, 34, 56, 78}, {90, 1, 2, 3}}));
}

TEST_P(CsvBufferBoundary, MultibyteCharacterSpanningBuffers) {
    TempDir dir;
    // U+20AC is three bytes; its position moves across the boundary.
    const std::string content = cat("#", std::string(GetParam() - 2, 'c'), "\u20ac\n1,2,3,4\n");
    const auto result = read_csv(dir.write("e.csv", content));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result.value(), (EventList{{1, 2, 3, 4}}));
}

INSTANTIATE_TEST_SUITE_P(Offsets, CsvBufferBoundary, ::testing::Range(kBuffer - 14, kBuffer + 3));

TEST(CsvReaderTest, LinesLongerThanTheBuffer) {
    TempDir dir;
    const std::string padding(3 * kBuffer + 17, ' ');
    const std::string content = cat("# ", std::string(5 * kBuffer, 'x'), "\n",  //
                                    padding, "1,", padding, "2,\t3", padding, "4", padding, "\n",  //
                                    "5,6,7,8\n");
    const auto result = read_csv(dir.write("e.csv", content));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result.value(), (EventList{{1, 2, 3, 4}, {5, 6, 7, 8}}));
}

TEST(CsvReaderTest, InvalidUtf8FarIntoALongLine) {
    TempDir dir;
    const std::string content = cat("# ", std::string(4 * kBuffer, 'x'), "\xff", std::string(100, 'x'), "\n");
    EXPECT_EQ(error_text(read_csv(dir.write("e.csv", content))), kBadUtf8);
}

TEST(CsvReaderTest, ManyLinesInOrder) {
    TempDir dir;
    std::string content = "x,y,t,p\n";
    EventList want;
    for (std::uint32_t i = 0; i < 50000; ++i) {
        const Event e{static_cast<std::uint16_t>(i % 65536), static_cast<std::uint16_t>((i * 7) % 128),
                      i * 997u, static_cast<std::uint8_t>(i % 2)};
        content += cat(std::to_string(e.x), ",", std::to_string(e.y), ",", std::to_string(e.t), ",",
                       std::to_string(e.p), i % 3 == 0 ? "\r\n" : "\n");
        want.push_back(e);
    }
    const auto result = read_csv(dir.write("e.csv", content));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result.value(), want);
}

TEST(CsvReaderTest, MemoryFollowsLongestLineNotFileSize) {
    TempDir dir;
    // 32 MiB of short comment lines and a few events: reading the file whole
    // would need at least that much heap at once.
    constexpr std::size_t kFileBytes = 32u << 20;
    const std::string path = dir.path("big.csv");
    {
        const std::string block = repeat("# just a comment line, nothing here\n", 4096) + "1,2,3,4\n";
        std::string content;
        while (content.size() < kFileBytes) {
            content += block;
        }
        dir.write("big.csv", content);
    }
    const std::size_t baseline = g_live_bytes.load();
    g_peak_bytes.store(baseline);
    zel_test::HeapSampler sampler;
    const auto result = read_csv(path, sampler);
    const std::size_t peak = g_peak_bytes.load() - baseline;
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_GT(result.value().size(), 100u);
    EXPECT_LT(peak, std::size_t{1} << 20) << "peak heap during read_csv: " << peak;
    EXPECT_LT(sampler.growth(), std::size_t{1} << 20) << "peak malloc heap during read_csv: " << sampler.growth();
}

TEST(CsvReaderTest, ReadsAPipeToItsEnd) {
    TempDir dir;
    const std::string path = dir.path("pipe.csv");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // Written in pieces that end mid-line, so reads return partial lines.
    std::thread writer([&path] {
        const int fd = ::open(path.c_str(), O_WRONLY);
        for (const char* piece : {"x,y,t,p\n1,2,", "3,4\n5,6", ",7,8\n9,9,9,9"}) {
            if (fd >= 0 && ::write(fd, piece, std::strlen(piece)) < 0) {
                break;
            }
            std::this_thread::yield();
        }
        if (fd >= 0) {
            ::close(fd);
        }
    });
    const auto result = read_csv(path);
    writer.join();
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result.value(), (EventList{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 9, 9, 9}}));
}

}  // namespace
