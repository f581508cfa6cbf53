// Whole-file loading as zel's loaders run it: reading a file whole, the
// three binary formats, CSV's OS errors and the extension dispatcher.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "readers/file_formats.hpp"
#include "readers/posix_file.hpp"
#include "test_files.hpp"

namespace {

using zel::ErrorKind;
using zel::Event;
using zel::EventList;
using zel::RecordFormat;
using zel_test::bytes;
using zel_test::cat;
using zel_test::error_text;
using zel_test::repeat;
using zel_test::TempDir;

// Either the events a load must return, or (when `error` is set) its text.
struct Outcome {
    EventList events;
    std::string error;
};

Outcome events(EventList list) { return {std::move(list), {}}; }
Outcome fails(std::string text) { return {{}, std::move(text)}; }

void expect_outcome(const zel::Result<EventList>& result, const Outcome& want) {
    if (want.error.empty()) {
        ASSERT_TRUE(result.ok()) << result.error().text();
        EXPECT_EQ(result.value(), want.events);
    } else {
        EXPECT_EQ(error_text(result), want.error);
    }
}

constexpr const char* kMissing = "No such file or directory (os error 2)";
constexpr const char* kIsDirectory = "Is a directory (os error 21)";

// -------------------------------------------------------------------- Error

TEST(LoadErrorTest, TextByKind) {
    using zel::Error;
    EXPECT_EQ(Error::os(ENOENT).text(), kMissing);
    EXPECT_EQ(Error::os(EISDIR).text(), kIsDirectory);
    EXPECT_EQ(Error::os(EINVAL).text(), "Invalid argument (os error 22)");
    EXPECT_EQ(Error::invalid_input("bad name").text(), "bad name");
    EXPECT_EQ(Error::invalid_data("bad size").text(), "bad size");
    EXPECT_EQ(Error::os(ENOENT).kind, ErrorKind::Os);
    EXPECT_EQ(Error::invalid_input("m").kind, ErrorKind::InvalidInput);
    EXPECT_EQ(Error::invalid_data("m").kind, ErrorKind::InvalidData);
}

TEST(LoadErrorTest, UnknownCodeStillHasTheOsErrorForm) {
    const std::string text = zel::Error::os(99999).text();
    EXPECT_FALSE(text.empty());
    EXPECT_TRUE(text.ends_with(" (os error 99999)")) << text;
}

// ----------------------------------------------------------- read_whole_file

zel::Result<zel::ByteBuffer> read_whole_file(const std::string& path) {
    return zel::read_whole_file(path, zel::no_io_hooks());
}

std::string as_text(const zel::ByteBuffer& b) {
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

class ReadWholeFileSizes : public ::testing::TestWithParam<std::size_t> {};

// Sizes around the reader's first buffer and its growth steps.
TEST_P(ReadWholeFileSizes, ReturnsEveryByte) {
    TempDir dir;
    std::string content(GetParam(), '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 131 + 7) % 251);
    }
    const auto result = read_whole_file(dir.write("data", content));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(as_text(result.value()), content);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadWholeFileSizes,
                         ::testing::Values(0, 1, 9, 8191, 8192, 8193, 16385, 300000));

TEST(ReadWholeFileTest, FileWithoutReportedSizeIsReadToItsEnd) {
    // /proc files report size 0 but have content.
    const auto result = read_whole_file("/proc/self/status");
    if (!result.ok()) {
        GTEST_SKIP() << "no /proc here: " << result.error().text();
    }
    const std::string text = as_text(result.value());
    EXPECT_TRUE(text.starts_with("Name:")) << text.substr(0, 40);
    EXPECT_NE(text.find("\nPid:"), std::string::npos);
}

TEST(ReadWholeFileTest, MissingFile) {
    TempDir dir;
    const auto result = read_whole_file(dir.path("absent.bin"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::Os);
    EXPECT_EQ(result.error().os_code, ENOENT);
    EXPECT_EQ(result.error().text(), kMissing);
}

TEST(ReadWholeFileTest, DirectoryIsAnOsError) {
    TempDir dir;
    const auto result = read_whole_file(dir.make_dir("sub"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::Os);
    EXPECT_EQ(result.error().text(), kIsDirectory);
}

TEST(ReadWholeFileTest, PathWithNulIsNotTruncated) {
    TempDir dir;
    // "a" exists, so a path cut at the NUL would open it.
    const std::string prefix = dir.write("a", "content");
    const auto result = read_whole_file(prefix + std::string(1, '\0') + "b");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().os_code, EINVAL);
    EXPECT_EQ(result.error().text(), "Invalid argument (os error 22)");
}

// -------------------------------------------- OS errors reach every reader

// The loads of zel's four module functions.
zel::Result<EventList> read_compact(const std::string& path) { return zel_test::load_as(path, RecordFormat::Compact); }
zel::Result<EventList> read_nmnist(const std::string& path) { return zel_test::load_as(path, RecordFormat::Nmnist); }
zel::Result<EventList> read_aedat2(const std::string& path) { return zel_test::load_as(path, RecordFormat::Aedat2); }
zel::Result<EventList> read_csv(const std::string& path) { return zel_test::load_as(path, RecordFormat::Csv); }
zel::Result<EventList> load_events(const std::string& path) { return zel_test::load_events(path); }

struct ReaderCase {
    const char* name;
    const char* file_name;  // the extension matters to load_events only
    std::function<zel::Result<EventList>(const std::string&)> read;
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class ReaderOsErrors : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderOsErrors, MissingFile) {
    TempDir dir;
    EXPECT_EQ(error_text(GetParam().read(dir.path(GetParam().file_name))), kMissing);
}

TEST_P(ReaderOsErrors, Directory) {
    TempDir dir;
    EXPECT_EQ(error_text(GetParam().read(dir.make_dir(GetParam().file_name))), kIsDirectory);
}

TEST_P(ReaderOsErrors, NulInPath) {
    TempDir dir;
    const std::string good = dir.write(GetParam().file_name, "");
    // Same extension after the NUL, so load_events still picks a reader.
    const std::string path = cat(good, std::string(1, '\0'), "/", GetParam().file_name);
    EXPECT_EQ(error_text(GetParam().read(path)), "Invalid argument (os error 22)");
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ReaderOsErrors,
    ::testing::Values(ReaderCase{"compact", "r.evb", read_compact},
                      ReaderCase{"nmnist", "r.bin", read_nmnist},
                      ReaderCase{"aedat2", "r.aedat", read_aedat2},
                      ReaderCase{"csv", "r.csv", read_csv},
                      ReaderCase{"events_bin", "r.bin", load_events},
                      ReaderCase{"events_evb", "r.evb", load_events},
                      ReaderCase{"events_aedat", "r.aedat", load_events},
                      ReaderCase{"events_csv", "r.csv", load_events},
                      ReaderCase{"events_txt", "r.txt", load_events}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// ------------------------------------------------------------- file formats

struct FormatCase {
    const char* name;
    std::string content;
    Outcome want;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; }

const Event kCompact0102{513, 1027, 134678021, 9};

class CompactReader : public ::testing::TestWithParam<FormatCase> {};

TEST_P(CompactReader, Decodes) {
    TempDir dir;
    expect_outcome(read_compact(dir.write("f.evb", GetParam().content)), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompactReader,
    ::testing::Values(
        FormatCase{"Empty", "", events({})},
        FormatCase{"LittleEndianFields", bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}), events({kCompact0102})},
        FormatCase{"AllOnes", repeat(bytes({0xFF}), 9), events({{65535, 65535, 4294967295u, 255}})},
        FormatCase{"TwoRecordsInFileOrder",
                   bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 1, 0, 2, 0, 0, 0, 0}),
                   events({kCompact0102, {0, 1, 2, 0}})},
        FormatCase{"Size10", bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
                   fails("Compact binary file size 10 is not a multiple of 9")},
        FormatCase{"Size17", std::string(17, 'x'),
                   fails("Compact binary file size 17 is not a multiple of 9")}),
    case_name);

class NmnistReader : public ::testing::TestWithParam<FormatCase> {};

TEST_P(NmnistReader, Decodes) {
    TempDir dir;
    expect_outcome(read_nmnist(dir.write("f.bin", GetParam().content)), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NmnistReader,
    ::testing::Values(
        FormatCase{"Empty", "", events({})},
        FormatCase{"Record", bytes({0x0A, 0x14, 0x81, 0xE2, 0x40}), events({{10, 20, 123456, 1}})},
        FormatCase{"AllOnes", bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), events({{255, 255, 8388607, 1}})},
        FormatCase{"PolarityBitClear", bytes({0x01, 0x02, 0x7F, 0xFF, 0xFF}),
                   events({{1, 2, 8388607, 0}})},
        FormatCase{"TimestampByteOrder", bytes({0, 0, 0x01, 0x02, 0x03}), events({{0, 0, 0x010203, 0}})},
        FormatCase{"DecreasingTimestampsKeepFileOrder",
                   bytes({1, 1, 0x00, 0x00, 0x64, 2, 2, 0x80, 0x00, 0x0A, 3, 3, 0x00, 0x00, 0x01}),
                   events({{1, 1, 100, 0}, {2, 2, 10, 1}, {3, 3, 1, 0}})},
        FormatCase{"Size12", std::string(12, '\0'), fails("N-MNIST file size 12 is not a multiple of 5")},
        FormatCase{"Size9", std::string(9, '\0'), fails("N-MNIST file size 9 is not a multiple of 5")}),
    case_name);

class Aedat2Reader : public ::testing::TestWithParam<FormatCase> {};

TEST_P(Aedat2Reader, Decodes) {
    TempDir dir;
    expect_outcome(read_aedat2(dir.write("f.aedat", GetParam().content)), GetParam().want);
}

const std::string kAedatRecord = bytes({0x00, 0x00, 0x12, 0x35, 0x00, 0x01, 0xE2, 0x40});
const Event kAedatEvent{26, 18, 123456, 1};
const std::string kZeroRecord(8, '\0');

INSTANTIATE_TEST_SUITE_P(
    Cases, Aedat2Reader,
    ::testing::Values(
        FormatCase{"Empty", "", events({})},
        FormatCase{"TwoCrlfHeaderLinesThenTwoRecords",
                   cat("#!AER-DAT2.0\r\n# made by a test\r\n", kAedatRecord, kZeroRecord),
                   events({kAedatEvent, {0, 0, 0, 0}})},
        FormatCase{"NoHeaderIsAllData", kAedatRecord, events({kAedatEvent})},
        FormatCase{"OnlyHeaderLines", "#!AER-DAT2.0\r\n#end\n", events({})},
        FormatCase{"AddressAllOnes", bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 7}),
                   events({{127, 127, 7, 1}})},
        FormatCase{"AddressBits15And31Ignored", bytes({0x80, 0x00, 0x80, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}),
                   events({{0, 0, 4294967295u, 0}})},
        FormatCase{"DataSizeExcludesHeader", cat("#", std::string(28, 'h'), "\n", std::string(12, '\0')),
                   fails("AEDAT2 data section size 12 is not a multiple of 8")},
        // The blank line ends the header; its line feed is data byte 0.
        FormatCase{"BlankLineEndsHeader", cat("#h\n\n", bytes({0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x05})),
                   events({{1, 0, 5, 1}})},
        FormatCase{"BlankLineAloneAfterHeader", "#h\n\n",
                   fails("AEDAT2 data section size 1 is not a multiple of 8")},
        FormatCase{"HashInsideDataIsData",
                   cat("#h\n", kZeroRecord, bytes({'#', 0, '\n', 0x03, 0, 0, 0, 9})),
                   events({{0, 0, 0, 0}, {1, 10, 9, 1}})},
        // A header line cut off by the end of the file leaves no data.
        FormatCase{"UnterminatedHeaderLine", "#!AER-DAT2.0", events({})},
        FormatCase{"UnterminatedSecondHeaderLine", "#!AER-DAT2.0\r\n# no line feed\r", events({})},
        FormatCase{"HashAloneAtEnd", "#", events({})}),
    case_name);

// ------------------------------------------------------------ load_events

struct DispatchCase {
    const char* name;
    std::string file_name;
    std::string content;
    Outcome want;
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class LoadEventsDispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(LoadEventsDispatch, PicksReader) {
    TempDir dir;
    expect_outcome(load_events(dir.write(GetParam().file_name, GetParam().content)),
                   GetParam().want);
}

const std::string kCompactRecord = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9});
const std::string kNmnistRecord = bytes({0x0A, 0x14, 0x81, 0xE2, 0x40});
const Event kNmnistEvent{10, 20, 123456, 1};

EventList times(const Event& e, std::size_t n) { return EventList(n, e); }

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadEventsDispatch,
    ::testing::Values(
        DispatchCase{"EmptyEvb", "run.evb", "", events({})},
        DispatchCase{"EmptyBinIsNmnist", "run.bin", "", events({})},
        DispatchCase{"Bin18IsCompact", "run.bin", repeat(kCompactRecord, 2), events(times(kCompact0102, 2))},
        DispatchCase{"Bin27IsCompact", "run.bin", repeat(kCompactRecord, 3), events(times(kCompact0102, 3))},
        DispatchCase{"Bin45IsNmnist", "run.bin", repeat(kNmnistRecord, 9), events(times(kNmnistEvent, 9))},
        DispatchCase{"Bin90IsNmnist", "run.bin", repeat(kNmnistRecord, 18), events(times(kNmnistEvent, 18))},
        DispatchCase{"Bin10IsNmnist", "run.bin", repeat(kNmnistRecord, 2), events(times(kNmnistEvent, 2))},
        DispatchCase{"Bin7FailsAsNmnist", "run.bin", std::string(7, '\0'),
                     fails("N-MNIST file size 7 is not a multiple of 5")},
        // .evb is never decided by size.
        DispatchCase{"Evb10FailsAsCompact", "run.evb", repeat(kNmnistRecord, 2),
                     fails("Compact binary file size 10 is not a multiple of 9")},
        DispatchCase{"Evb45IsCompact", "run.evb", repeat(kCompactRecord, 5), events(times(kCompact0102, 5))},
        DispatchCase{"Aedat", "run.aedat", cat("#!AER-DAT2.0\r\n", kAedatRecord), events({kAedatEvent})},
        DispatchCase{"Csv", "run.csv", "x,y,t,p\n1,2,3,1\n", events({{1, 2, 3, 1}})},
        DispatchCase{"Txt", "run.txt", "4 5 6 0\n", events({{4, 5, 6, 0}})},
        DispatchCase{"LastExtensionCounts", "archive.tar.csv", "7,8,9,1\n", events({{7, 8, 9, 1}})},
        DispatchCase{"CsvNamedAfterTwoDots", "..csv", "7,8,9,1\n", events({{7, 8, 9, 1}})},
        DispatchCase{"LeadingDotNameWithExtension", ".hidden.txt", "7,8,9,1\n", events({{7, 8, 9, 1}})},
        // A large file that fits neither format is refused by size alone.
        DispatchCase{"BinLargeNeither", "run.bin", std::string(100003, '\0'),
                     fails("N-MNIST file size 100003 is not a multiple of 5")}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

std::string unknown(const std::string& quoted_path) {
    return cat("Unknown file extension: ", quoted_path, ". Supported: .bin, .evb, .aedat, .csv, .txt");
}

TEST(LoadEventsTest, UnsupportedNamesFailWithoutOpeningTheFile) {
    TempDir dir;
    // Each file exists and would load under a supported name.
    for (const char* name : {"events.BIN", "events.Csv", "events", "events.", ".csv", ".bin", "run.dat",
                             "run.csv.bak", "run.evb~"}) {
        const std::string path = dir.write(name, repeat(kCompactRecord, 2));
        EXPECT_EQ(error_text(load_events(path)), unknown(cat("\"", path, "\""))) << name;
    }
}

TEST(LoadEventsTest, UnknownExtensionWinsOverAnOsError) {
    TempDir dir;
    EXPECT_EQ(error_text(load_events(dir.path("missing.dat"))), unknown(cat("\"", dir.path("missing.dat"), "\"")));
    EXPECT_EQ(error_text(load_events(dir.make_dir("d.bin"))), kIsDirectory);
}

TEST(LoadEventsTest, UnknownExtensionKindIsInvalidInput) {
    const auto result = load_events("data/run.dat");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().text(), unknown("\"data/run.dat\""));
}

TEST(LoadEventsTest, PathsWithoutFileName) {
    for (const char* path : {"", ".", "/", "data/..", "run.csv/..", "./", "//", "a.csv/./.."}) {
        EXPECT_EQ(error_text(load_events(path)), unknown(cat("\"", path, "\""))) << path;
    }
}

TEST(LoadEventsTest, ExtensionComesFromTheFinalComponent) {
    TempDir dir;
    dir.make_dir("d.csv");
    // A dotted directory does not give its extension to the name below it.
    const std::string nested = dir.path("d.csv/events");
    EXPECT_EQ(error_text(load_events(nested)), unknown(cat("\"", nested, "\"")));
    // Trailing separators and "." components do not count, so these name the
    // directory, which the CSV reader then fails to read.
    EXPECT_EQ(error_text(load_events(dir.path("d.csv/"))), kIsDirectory);
    EXPECT_EQ(error_text(load_events(dir.path("d.csv/."))), kIsDirectory);
    EXPECT_EQ(error_text(load_events(dir.path("d.csv//./"))), kIsDirectory);
    // A regular file named with a trailing separator gets the system's verdict.
    const std::string file = dir.write("f.csv", "1,2,3,4\n");
    EXPECT_EQ(error_text(load_events(file + "/")), "Not a directory (os error 20)");
}

TEST(LoadEventsTest, MessageQuotesAndEscapesThePath) {
    struct Case {
        std::string path;
        std::string quoted;
    };
    const Case cases[] = {
        {R"(C:\data\run.dat)", R"("C:\\data\\run.dat")"},
        {"tab\there.dat", R"("tab\there.dat")"},
        {"line\r\nbreak", R"("line\r\nbreak")"},
        {std::string("nul\0.x", 6), R"("nul\0.x")"},
        {R"(say "hi".dat)", R"("say \"hi\".dat")"},
        {"it's.dat", R"("it's.dat")"},
        {"cafe\u0301.dat", R"("cafe\u{301}.dat")"},
        {"caf\u00e9.dat", "\"caf\u00e9.dat\""},
        {"no\u00a0break.dat", R"("no\u{a0}break.dat")"},
        {"zero\u200bwidth", R"("zero\u{200b}width")"},
        {"bell\a.dat", R"("bell\u{7}.dat")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_text(load_events(c.path)), unknown(c.quoted)) << c.quoted;
    }
}

}  // namespace
