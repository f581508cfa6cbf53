// Packed whole-file loading: the same events and error texts as the
// EventList readers, by extension and by named format.

#include <gtest/gtest.h>

#include <string>

#include "base/event.hpp"
#include "readers/dataset.hpp"
#include "readers/packed_loader.hpp"
#include "test_files.hpp"

namespace {

using zel::EventList;
using zel::RecordFormat;
using zel_test::bytes;
using zel_test::cat;
using zel_test::repeat;
using zel_test::TempDir;

EventList unpack(const zel::ByteBuffer& b) {
    EXPECT_EQ(b.size() % zel::kPackedEventBytes, 0u);
    const zel::PackedEvents view(b.data(), b.size() / zel::kPackedEventBytes);
    EventList out;
    for (std::size_t i = 0; i < view.size(); ++i) out.push_back(view[i]);
    return out;
}

// Both loads succeed with the same events, or fail with the same text.
void expect_same(const zel::LoadResult<zel::ByteBuffer>& packed, const zel::LoadResult<EventList>& list) {
    ASSERT_EQ(packed.ok(), list.ok()) << (list.ok() ? packed.error().text() : list.error().text());
    if (list.ok()) {
        EXPECT_EQ(unpack(packed.value()), list.value());
    } else {
        EXPECT_EQ(packed.error().text(), list.error().text());
        EXPECT_EQ(packed.error().kind, list.error().kind);
    }
}

struct FileCase {
    const char* name;
    std::string file_name;
    std::string content;  // a directory when "<dir>", absent when "<none>"
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class ByExtension : public ::testing::TestWithParam<FileCase> {};

TEST_P(ByExtension, MatchesLoadEvents) {
    const FileCase& c = GetParam();
    TempDir dir;
    std::string path = dir.path(c.file_name);
    if (c.content == "<dir>") {
        dir.make_dir(c.file_name);
    } else if (c.content != "<none>") {
        path = dir.write(c.file_name, c.content);
    }
    expect_same(zel::load_packed_by_extension(path), zel::load_events(path));
}

std::string file_name(const ::testing::TestParamInfo<FileCase>& info) { return info.param.name; }

const std::string kNine = bytes({1, 0, 2, 0, 3, 0, 0, 0, 1});
const std::string kFive = bytes({10, 20, 0x81, 0xE2, 0x40});

INSTANTIATE_TEST_SUITE_P(
    Files, ByExtension,
    ::testing::Values(
        FileCase{"EvbRecords", "e.evb", repeat(kNine, 3)},
        FileCase{"EvbEmpty", "e.evb", ""},
        FileCase{"EvbPartial", "e.evb", cat(kNine, "\x01")},
        // ".bin" is compact only when the size is a multiple of 9 and not of 5.
        FileCase{"BinCompact", "e.bin", repeat(kNine, 2)},
        FileCase{"BinMultipleOfBothIsNmnist", "e.bin", repeat(kNine, 5)},
        FileCase{"BinNmnist", "e.bin", repeat(kFive, 4)},
        FileCase{"BinEmptyIsNmnist", "e.bin", ""},
        FileCase{"BinNeither", "e.bin", std::string(7, '\0')},
        FileCase{"BinLargeNeither", "e.bin", std::string(100003, '\0')},
        FileCase{"Aedat", "e.aedat", cat("#!AER-DAT2.0\r\n", bytes({0, 0, 0x12, 0x35, 0, 1, 0xE2, 0x40}))},
        FileCase{"AedatPartial", "e.aedat", cat("#!AER-DAT2.0\r\n", std::string(12, '\0'))},
        FileCase{"Csv", "e.csv", "x,y,t,p\n1,2,3,4\n 5 6 7 8\n"},
        FileCase{"Txt", "e.txt", "1,2,3,4\r\n"},
        FileCase{"CsvBad", "e.csv", "1,2,3,4\n1,2,3,x\n"},
        FileCase{"UpperCaseExtensionUnknown", "e.CSV", "1,2,3,4\n"},
        FileCase{"NoExtension", "events", ""},
        FileCase{"UnknownExtension", "e.dat", ""},
        FileCase{"MissingFile", "missing.evb", "<none>"},
        FileCase{"MissingUnknown", "missing.dat", "<none>"},
        FileCase{"Directory", "d.csv", "<dir>"},
        FileCase{"DirectoryBin", "d.bin", "<dir>"}),
    file_name);

struct FormatCase {
    const char* name;
    RecordFormat format;
    std::string content;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class ByFormat : public ::testing::TestWithParam<FormatCase> {};

// The name no longer matters once the format is given.
TEST_P(ByFormat, MatchesThatFormatsReader) {
    const FormatCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.write("any.name", c.content);
    const auto list = c.format == RecordFormat::Compact  ? zel::read_compact(path)
                      : c.format == RecordFormat::Nmnist ? zel::read_nmnist(path)
                      : c.format == RecordFormat::Aedat2 ? zel::read_aedat2(path)
                                                         : zel::read_csv(path);
    expect_same(zel::load_packed(path, c.format), list);
}

std::string format_name(const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Formats, ByFormat,
    ::testing::Values(FormatCase{"Compact", RecordFormat::Compact, repeat(kNine, 1000)},
                      FormatCase{"CompactPartial", RecordFormat::Compact, cat(repeat(kNine, 2), "ab")},
                      FormatCase{"Nmnist", RecordFormat::Nmnist, repeat(kFive, 1000)},
                      FormatCase{"NmnistMultipleOfNine", RecordFormat::Nmnist, repeat(kNine, 5)},
                      FormatCase{"NmnistPartial", RecordFormat::Nmnist, std::string(9, '\0')},
                      FormatCase{"Aedat2WithoutHeader", RecordFormat::Aedat2, std::string(16, '\x01')},
                      FormatCase{"Aedat2HeaderOnly", RecordFormat::Aedat2, "# h\n# i"},
                      FormatCase{"Csv", RecordFormat::Csv, repeat("10,20,30,1\n", 50000)},
                      FormatCase{"CsvBadUtf8", RecordFormat::Csv, "1,2,3,4\n# \xc3\n"}),
    format_name);

}  // namespace
