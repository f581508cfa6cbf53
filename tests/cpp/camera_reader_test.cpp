// CameraReader and load_camera_file over Prophesee RAW and DAT files: the
// same events whole and in chunks of any size, each batch rebased to its
// own first event, the header's geometry and whether it bounds coordinates,
// and the faults of a file (missing, broken header, truncated last word).
// AEDAT 4 files have their own test (aedat4_reader_test.cpp).

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "camera_files.hpp"
#include "readers/camera_reader.hpp"
#include "test_files.hpp"

namespace {

using namespace zel::camera;
using namespace zel_test::camera_files;
using zel::Event;
using zel::EventList;
using zel_test::TempDir;

std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// EVT 2.0 words for `events` (sorted by time): a time-high word wherever
// the high bits change.
Bytes evt2_words(const EventList& events) {
    Bytes b;
    std::int64_t high = -1;
    for (const Event& e : events) {
        if (static_cast<std::int64_t>(e.t >> 6) != high) {
            high = e.t >> 6;
            put32(b, 0x80000000u | (e.t >> 6));
        }
        put32(b, std::uint32_t{e.p} << 28 | (e.t & 63u) << 22 | std::uint32_t{e.x} << 11 | e.y);
    }
    return b;
}

Bytes dat_records(const EventList& events) {
    Bytes b;
    for (const Event& e : events) {
        put32(b, e.t);
        put32(b, e.x | std::uint32_t{e.y} << 14 | std::uint32_t{e.p} << 28);
    }
    return b;
}

EventList some_events(std::size_t n) {
    EventList out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back({static_cast<std::uint16_t>(i * 37 % 640), static_cast<std::uint16_t>(i * 11 % 480),
                       static_cast<std::uint32_t>(1000 + i * 13), static_cast<std::uint8_t>(i & 1)});
    }
    return out;
}

struct FileCase {
    const char* name;
    CameraFormat format;
    std::string header;
    bool dat;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class CameraFiles : public ::testing::TestWithParam<FileCase> {};

EventList read_in_chunks(CameraReader& reader, std::size_t n, std::vector<std::size_t>& sizes, bool batches) {
    EventList all;
    for (;;) {
        if (batches) reader.start_batch();
        zel::ByteBuffer out;
        auto got = reader.read(out, n);
        EXPECT_TRUE(got.ok()) << got.error().text();
        if (!got || got.value() == 0) break;
        sizes.push_back(got.value());
        const EventList chunk = zel_test::unpack(out);
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
}

TEST_P(CameraFiles, ChunksOfAnySizeGiveTheWholeLoad) {
    const FileCase& c = GetParam();
    const EventList events = some_events(3000);
    const Bytes body = c.dat ? dat_records(events) : evt2_words(events);
    TempDir dir;
    const std::string path = dir.write("f", c.header + text(body));
    const TimeBase absolute{};
    auto whole = load_camera_file(path, c.format, BadWords::Strict, absolute, zel::no_io_hooks());
    ASSERT_TRUE(whole.ok()) << whole.error().text();
    EXPECT_EQ(zel_test::unpack(whole.value().records), events);
    for (std::size_t n : {1u, 7u, 1000u, 100000u}) {
        auto reader = CameraReader::open(path, c.format, BadWords::Strict, absolute, zel::no_io_hooks());
        ASSERT_TRUE(reader.ok()) << reader.error().text();
        std::vector<std::size_t> sizes;
        EXPECT_EQ(read_in_chunks(*reader.value(), n, sizes, false), events) << n;
        for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], n);
    }
}

TEST_P(CameraFiles, EachChunkIsRebasedToItsFirstEvent) {
    const FileCase& c = GetParam();
    const EventList events = some_events(50);
    TempDir dir;
    const std::string path =
        dir.write("f", c.header + text(c.dat ? dat_records(events) : evt2_words(events)));
    auto reader = CameraReader::open(path, c.format, BadWords::Strict, {TimeBase::Mode::EachBatch, 0},
                                     zel::no_io_hooks());
    ASSERT_TRUE(reader.ok());
    for (std::size_t first = 0; first < events.size(); first += 8) {
        reader.value()->start_batch();
        zel::ByteBuffer out;
        ASSERT_EQ(reader.value()->read(out, 8).value(), std::min<std::size_t>(8, events.size() - first));
        EXPECT_EQ(reader.value()->batch_origin(), events[first].t);
        EXPECT_EQ(zel_test::unpack(out)[0].t, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CameraFiles,
    ::testing::Values(FileCase{"Evt2", CameraFormat::Raw, "% evt 2.0\n% geometry 640x480\n% end\n", false},
                      FileCase{"Dat", CameraFormat::Dat, "% Width 640\n% Height 480\n\x0c\x08", true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A stated size bounds coordinates; one inferred from the sensor's name, or
// none, leaves only the format's own fields.
TEST(PropheseeOptions, OnlyAStatedSizeBounds) {
    struct Case {
        std::string header;
        bool dat;
        std::uint32_t x_limit, y_limit;
        bool stated;
    };
    const Case cases[] = {
        {"% evt 2.0\n% geometry 320x240\n% end\n", false, 320, 240, true},
        {"% evt 2.0\n% plugin_name hal_plugin_gen31_evk2\n% end\n", false, 2048, 2048, false},
        {"% evt 3.0\n% end\n", false, 2048, 2048, false},
        {"% Width 304\n% Height 240\n\x0c\x08", true, 304, 240, true},
        {std::string("% Version 2\n") + '\0' + '\x08', true, 16384, 16384, false},
    };
    for (const Case& c : cases) {
        const Bytes prefix(c.header.begin(), c.header.end());
        auto h = c.dat ? parse_dat_header(prefix) : parse_raw_header(prefix);
        ASSERT_TRUE(h.ok()) << c.header;
        const DecodeOptions o = prophesee_options(h.value(), BadWords::Skip, {});
        EXPECT_EQ(o.x_limit, c.x_limit) << c.header;
        EXPECT_EQ(o.y_limit, c.y_limit) << c.header;
        EXPECT_EQ(o.bad_words, BadWords::Skip);
        TempDir dir;
        auto reader = CameraReader::open(dir.write("f", c.header), c.dat ? CameraFormat::Dat : CameraFormat::Raw,
                                         BadWords::Strict, {}, zel::no_io_hooks());
        ASSERT_TRUE(reader.ok()) << reader.error().text();
        EXPECT_EQ(reader.value()->sensor_stated(), c.stated) << c.header;
    }
}

TEST(CameraReaderTest, TruncatedLastWordStrictAndSkip) {
    TempDir dir;
    const std::string header = "% evt 2.0\n% end\n";
    const Bytes words = evt2_words(some_events(5));
    const std::string path = dir.write("t.raw", header + text(words) + "\x01\x02");
    auto strict = load_camera_file(path, CameraFormat::Raw, BadWords::Strict, {}, zel::no_io_hooks());
    ASSERT_FALSE(strict.ok());
    EXPECT_EQ(strict.error().kind, zel::ErrorKind::InvalidData);
    EXPECT_EQ(strict.error().offset, header.size() + words.size());
    auto reader = CameraReader::open(path, CameraFormat::Raw, BadWords::Strict, {}, zel::no_io_hooks());
    zel::ByteBuffer out;
    auto chunked = reader.value()->read(out, 3);
    ASSERT_TRUE(chunked.ok());
    auto rest = reader.value()->read(out, 100);
    ASSERT_FALSE(rest.ok());
    EXPECT_EQ(rest.error().offset, strict.error().offset);
    EXPECT_EQ(reader.value()->read(out, 100).value(), 0u);  // spent

    auto skip = load_camera_file(path, CameraFormat::Raw, BadWords::Skip, {}, zel::no_io_hooks());
    ASSERT_TRUE(skip.ok());
    EXPECT_EQ(zel_test::unpack(skip.value().records), some_events(5));
    EXPECT_EQ(skip.value().bad_words, 1u);
}

TEST(CameraReaderTest, FileFaultsAtOpen) {
    TempDir dir;
    auto missing = CameraReader::open(dir.path("none.raw"), CameraFormat::Raw, BadWords::Skip, {}, zel::no_io_hooks());
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, zel::ErrorKind::Os);
    EXPECT_EQ(missing.error().os_code, ENOENT);
    auto unnamed = CameraReader::open(dir.write("u.raw", "% date today\n"), CameraFormat::Raw, BadWords::Skip, {},
                                      zel::no_io_hooks());
    ASSERT_FALSE(unnamed.ok());
    EXPECT_EQ(unnamed.error().kind, zel::ErrorKind::InvalidData);
    EXPECT_NE(unnamed.error().message.find("naming the encoding"), std::string::npos);
    auto not_aedat = load_camera_file(dir.write("n.aedat4", "#!AER-DAT2.0\r\n"), CameraFormat::Aedat4,
                                      BadWords::Skip, {}, zel::no_io_hooks());
    ASSERT_FALSE(not_aedat.ok());
    EXPECT_EQ(not_aedat.error().offset, 0u);
}

}  // namespace
