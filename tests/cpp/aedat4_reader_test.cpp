// Reading AEDAT 4 files through Aedat4Reader: every compression, packets of
// other streams passed over, chunks that cut packets anywhere, each batch
// rebased to its own first event, and the faults of the walk in strict and
// skip mode (a packet that does not decompress, a broken packet header, a
// recording cut short by a crash).

#include <gtest/gtest.h>

#include <lz4frame.h>
#include <zstd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera_files.hpp"
#include "readers/aedat4_reader.hpp"
#include "readers/camera_reader.hpp"
#include "test_files.hpp"

namespace {

using namespace zel::camera;
using namespace zel_test::camera_files;
using zel::Event;
using zel::EventList;

constexpr std::int64_t kT0 = 1'605'537'493'718'345;  // Unix-epoch microseconds

Bytes compress(std::uint32_t compression, const Bytes& payload) {
    if (compression == 0) return payload;
    Bytes out;
    if (compression == 1) {
        out.resize(LZ4F_compressFrameBound(payload.size(), nullptr));
        out.resize(LZ4F_compressFrame(out.data(), out.size(), payload.data(), payload.size(), nullptr));
    } else {
        out.resize(ZSTD_compressBound(payload.size()));
        out.resize(ZSTD_compress(out.data(), out.size(), payload.data(), payload.size(), 3));
    }
    return out;
}

struct Packet {
    std::int32_t stream;
    std::vector<AedatEvent> events;
};

struct File {
    Bytes bytes;
    std::vector<std::uint64_t> packet_offsets;
};

// Header (stream 0 EVTS at 346x260, stream 2 IMUS), then the packets; an
// IMU packet's payload is never decoded, so any bytes do.
File aedat4_file(std::uint32_t compression, const std::vector<Packet>& packets, std::int64_t table_position = -1) {
    File f{aedat4_header(compression, table_position), {}};
    for (const Packet& p : packets) {
        const Bytes payload = compress(compression, p.stream == 0 ? event_packet(p.events) : Bytes(40, 0x5A));
        f.packet_offsets.push_back(f.bytes.size());
        put32(f.bytes, static_cast<std::uint32_t>(p.stream));
        put32(f.bytes, static_cast<std::uint32_t>(payload.size()));
        f.bytes.insert(f.bytes.end(), payload.begin(), payload.end());
    }
    return f;
}

// Ten events per packet, three event packets with an IMU packet between.
std::vector<Packet> recording() {
    std::vector<Packet> packets;
    for (int k = 0; k < 3; ++k) {
        Packet p{0, {}};
        for (int i = 0; i < 10; ++i) {
            const int n = 10 * k + i;
            p.events.push_back({kT0 + 7 * n, static_cast<std::int16_t>(n * 11 % 346),
                                static_cast<std::int16_t>(n * 7 % 260), static_cast<std::uint8_t>(n & 1)});
        }
        packets.push_back(p);
        if (k == 0) packets.push_back({2, {}});
    }
    return packets;
}

EventList recording_events(std::int64_t origin) {
    EventList out;
    for (const Packet& p : recording()) {
        for (const AedatEvent& e : p.events) {
            out.push_back({static_cast<std::uint16_t>(e.x), static_cast<std::uint16_t>(e.y),
                           static_cast<std::uint32_t>(e.t - origin), e.on});
        }
    }
    return out;
}

struct Read {
    EventList events;
    std::vector<std::size_t> chunks;
    std::vector<std::optional<std::uint64_t>> origins;
    std::optional<zel::Error> error;
    std::uint64_t bad_words = 0;
};

// Reads `bytes` `max_events` at a time, starting a batch before each read
// when `per_chunk`.
Read read_all(const Bytes& bytes, BadWords bad_words, TimeBase time, std::size_t max_events,
              std::size_t max_read = 1 << 20, bool per_chunk = false) {
    Read r;
    auto opened = Aedat4Reader::from_bytes(bytes, bad_words, time, max_read);
    if (!opened) {
        r.error = opened.error();
        return r;
    }
    Aedat4Reader& reader = opened.value();
    for (int guard = 0; guard < 100000; ++guard) {
        if (per_chunk) reader.start_batch();
        zel::ByteBuffer out;
        auto n = reader.read(out, max_events);
        if (!n) {
            r.error = n.error();
            break;
        }
        if (n.value() == 0) break;
        r.chunks.push_back(n.value());
        r.origins.push_back(reader.batch_origin());
        const EventList got = zel_test::unpack(out);
        r.events.insert(r.events.end(), got.begin(), got.end());
    }
    r.bad_words = reader.bad_words();
    return r;
}

const TimeBase kFirst{TimeBase::Mode::FirstEvent, 0};

class Aedat4ReaderCompression : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(Aedat4ReaderCompression, ChunksOfAnySizeGiveEveryEvent) {
    const File f = aedat4_file(GetParam(), recording());
    const EventList want = recording_events(kT0);
    for (std::size_t n : {1u, 3u, 10u, 11u, 1000u}) {
        for (std::size_t max_read : {1u, 7u, 1u << 20}) {
            const Read r = read_all(f.bytes, BadWords::Strict, kFirst, n, max_read);
            ASSERT_FALSE(r.error) << r.error->text();
            EXPECT_EQ(r.events, want) << "chunk " << n << " read " << max_read;
            for (std::size_t i = 0; i + 1 < r.chunks.size(); ++i) EXPECT_EQ(r.chunks[i], n);
        }
    }
}

// t_offset="chunk": every chunk starts from its own first event, even
// where it starts inside a packet.
TEST_P(Aedat4ReaderCompression, EachBatchIsRebasedToItsFirstEvent) {
    const File f = aedat4_file(GetParam(), recording());
    const Read r = read_all(f.bytes, BadWords::Strict, {TimeBase::Mode::EachBatch, 0}, 4, 1 << 20, true);
    ASSERT_FALSE(r.error) << r.error->text();
    ASSERT_EQ(r.chunks, (std::vector<std::size_t>{4, 4, 4, 4, 4, 4, 4, 2}));
    // Event n is at kT0 + 7n, so a chunk's first event has time 0.
    std::size_t first = 0;
    for (std::size_t k = 0; k < r.chunks.size(); ++k) {
        EXPECT_EQ(r.origins[k], static_cast<std::uint64_t>(kT0) + 7 * first) << "chunk " << k;
        EXPECT_EQ(r.events[first].t, 0u) << "chunk " << k;
        first += r.chunks[k];
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Aedat4ReaderCompression, ::testing::Values(0u, 1u, 3u),
                         [](const auto& param_info) {
                             return std::string(param_info.param == 0 ? "None" : param_info.param == 1 ? "Lz4" : "Zstd");
                         });

// ------------------------------------------------------------ faults

struct Damage {
    const char* name;
    // Changes the file; gets the offsets of its packets.
    void (*apply)(File& f);
    // Skip mode loses the events [lost_from, lost_to) of the 30.
    std::size_t lost_from, lost_to;
    std::uint64_t fault_offset;   // index into packet_offsets, or the file size when ~0
    const char* message;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class Aedat4ReaderDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(Aedat4ReaderDamage, StrictStopsSkipKeepsWhatIsWhole) {
    for (std::uint32_t compression : {0u, 1u, 3u}) {
        SCOPED_TRACE(compression);
        File f = aedat4_file(compression, recording(), /*table_position=*/-1);
        GetParam().apply(f);
        const Read strict = read_all(f.bytes, BadWords::Strict, kFirst, 1000);
        ASSERT_TRUE(strict.error);
        EXPECT_EQ(strict.error->kind, zel::ErrorKind::InvalidData);
        const std::uint64_t where =
            GetParam().fault_offset == ~0ull ? f.bytes.size() : f.packet_offsets[GetParam().fault_offset];
        EXPECT_EQ(strict.error->offset, where) << strict.error->message;
        EXPECT_NE(strict.error->message.find(GetParam().message), std::string::npos) << strict.error->message;

        const Read skip = read_all(f.bytes, BadWords::Skip, kFirst, 7);
        ASSERT_FALSE(skip.error) << skip.error->text();
        EXPECT_EQ(skip.bad_words, 1u);
        EventList want = recording_events(kT0);
        want.erase(want.begin() + static_cast<std::ptrdiff_t>(GetParam().lost_from),
                   want.begin() + static_cast<std::ptrdiff_t>(GetParam().lost_to));
        EXPECT_EQ(skip.events, want);
    }
}

// Packet offsets: 0, 1 (IMU), 2, 3. The header with another table position
// differs only in that field.
void set_table_position(File& f, std::int64_t position) {
    const Bytes fresh = aedat4_header(0, position);
    const Bytes old = aedat4_header(0, -1);
    for (std::size_t i = 0; i < old.size(); ++i) {
        if (fresh[i] != old[i]) f.bytes[i] = fresh[i];
    }
}

const Damage kDamage[] = {
    // The recording was cut inside its last packet; the table it would have
    // ended with, past the cut, names the real end.
    {"CutInsideLastPacket",
     [](File& f) {
         const std::uint64_t end = f.bytes.size();
         f.bytes.resize(f.packet_offsets[3] + 20);
         set_table_position(f, static_cast<std::int64_t>(end));
     },
     20, 30, 3, "runs past the end of the file"},
    // Cut exactly after a packet: the events are whole, the table is gone.
    {"CutAtPacketBoundary",
     [](File& f) {
         const std::uint64_t end = f.bytes.size();
         f.bytes.resize(f.packet_offsets[3]);
         set_table_position(f, static_cast<std::int64_t>(end) + 40);
     },
     20, 30, ~0ull, "before the end of its packets"},
    {"CutInsidePacketHeader", [](File& f) { f.bytes.resize(f.packet_offsets[3] + 5); }, 20, 30, 3,
     "truncated packet header"},
    // Nothing after a packet header that makes no sense can be found again.
    {"NegativePacketSize",
     [](File& f) {
         for (int i = 4; i < 8; ++i) f.bytes[f.packet_offsets[2] + static_cast<std::size_t>(i)] = 0xFF;
     },
     10, 30, 2, "is not positive"},
    // The middle packet's payload is garbage (it does not decompress, or
    // is no FlatBuffer): it alone is lost.
    {"PacketDoesNotDecode",
     [](File& f) {
         const std::size_t from = f.packet_offsets[2] + 8;
         for (std::size_t i = from; i < f.packet_offsets[3]; ++i) f.bytes[i] = 0xFF;
     },
     10, 20, 2, "packet"},
};

INSTANTIATE_TEST_SUITE_P(Files, Aedat4ReaderDamage, ::testing::ValuesIn(kDamage),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Aedat4ReaderTest, CoordinatesBoundedByTheStatedSensor) {
    File f = aedat4_file(0, {{0, {{kT0, 345, 259, 1}, {kT0 + 1, 346, 3, 0}, {kT0 + 2, 3, 260, 0}}}});
    const Read skip = read_all(f.bytes, BadWords::Skip, kFirst, 100);
    ASSERT_FALSE(skip.error);
    EXPECT_EQ(skip.events, (EventList{{345, 259, 0, 1}}));
    EXPECT_EQ(skip.bad_words, 2u);
}

// 2^32 - 1 us past the origin fits the 32-bit field, 2^32 does not: an
// error naming the event, or (per batch) the start of the next batch.
TEST(Aedat4ReaderTest, TimesUpTo32BitsPastTheOrigin) {
    const std::int64_t top = kT0 + 0xFFFFFFFFll;
    File f = aedat4_file(1, {{0, {{kT0, 1, 1, 1}, {top, 2, 2, 0}, {top + 1, 3, 3, 1}}}});
    const Read once = read_all(f.bytes, BadWords::Skip, kFirst, 100);
    ASSERT_TRUE(once.error);
    EXPECT_EQ(once.error->kind, zel::ErrorKind::Timestamp);
    EXPECT_NE(once.error->message.find("event 2 has timestamp"), std::string::npos) << once.error->message;
    const Read batches = read_all(f.bytes, BadWords::Strict, {TimeBase::Mode::EachBatch, 0}, 100, 1 << 20, true);
    ASSERT_FALSE(batches.error) << batches.error->text();
    EXPECT_EQ(batches.chunks, (std::vector<std::size_t>{2, 1}));
    EXPECT_EQ(batches.events, (EventList{{1, 1, 0, 1}, {2, 2, 0xFFFFFFFFu, 0}, {3, 3, 0, 1}}));
    EXPECT_EQ(batches.origins[1], static_cast<std::uint64_t>(top + 1));
}

// Whatever the read sizes, the events a strict read hands over before a bad
// event (outside the sensor, or too late for 32 bits) are the same: the
// good events before it, those of its own packet included.
TEST(Aedat4ReaderTest, EventsBeforeAFaultDoNotDependOnTheReadSize) {
    const std::int64_t late = kT0 + 0x100000000ll;
    for (const AedatEvent bad : {AedatEvent{kT0 + 9, 400, 1, 0}, AedatEvent{late, 1, 1, 0}}) {
        Packet first{0, {}};
        Packet second{0, {}};
        for (int i = 0; i < 4; ++i) first.events.push_back({kT0 + i, static_cast<std::int16_t>(i), 2, 1});
        for (int i = 4; i < 7; ++i) second.events.push_back({kT0 + i, static_cast<std::int16_t>(i), 3, 0});
        second.events.push_back(bad);
        second.events.push_back({kT0 + 10, 9, 9, 1});
        const File f = aedat4_file(1, {first, second});
        EventList want;
        for (std::uint16_t i = 0; i < 7; ++i) {
            want.push_back({i, static_cast<std::uint16_t>(i < 4 ? 2 : 3), i, static_cast<std::uint8_t>(i < 4)});
        }
        std::optional<zel::Error> first_error;
        for (std::size_t n : {1u, 2u, 3u, 5u, 1000u}) {
            SCOPED_TRACE(n);
            auto opened = Aedat4Reader::from_bytes(f.bytes, BadWords::Strict, kFirst, 1 << 20);
            ASSERT_TRUE(opened);
            zel::ByteBuffer out;
            std::optional<zel::Error> error;
            for (int guard = 0; guard < 100 && !error; ++guard) {
                auto got = opened.value().read(out, n);
                if (!got) error = got.error();
                else if (got.value() == 0) break;
            }
            ASSERT_TRUE(error);
            EXPECT_EQ(zel_test::unpack(out), want);
            EXPECT_EQ(opened.value().events(), want.size());
            if (!first_error) first_error = error;
            EXPECT_EQ(error->message, first_error->message);
            EXPECT_EQ(error->offset, first_error->offset);
        }
    }
}

// A frame that expands past the packet limit is refused, however small it
// is: zeros, compressed as a stream of 1 MiB pieces.
TEST(Aedat4Decompression, OutputLimit) {
    const std::vector<std::uint8_t> zeros(1 << 20, 0);
    const std::size_t pieces = kMaxAedat4PacketBytes / zeros.size() + 1;
    Bytes lz4(LZ4F_compressBound(zeros.size(), nullptr) + 64);
    Bytes frame;
    LZ4F_cctx* cctx = nullptr;
    ASSERT_FALSE(LZ4F_isError(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION)));
    std::size_t n = LZ4F_compressBegin(cctx, lz4.data(), lz4.size(), nullptr);
    frame.insert(frame.end(), lz4.begin(), lz4.begin() + static_cast<std::ptrdiff_t>(n));
    for (std::size_t i = 0; i < pieces; ++i) {
        n = LZ4F_compressUpdate(cctx, lz4.data(), lz4.size(), zeros.data(), zeros.size(), nullptr);
        frame.insert(frame.end(), lz4.begin(), lz4.begin() + static_cast<std::ptrdiff_t>(n));
    }
    n = LZ4F_compressEnd(cctx, lz4.data(), lz4.size(), nullptr);
    frame.insert(frame.end(), lz4.begin(), lz4.begin() + static_cast<std::ptrdiff_t>(n));
    LZ4F_freeCompressionContext(cctx);

    ZSTD_CCtx* zctx = ZSTD_createCCtx();
    Bytes zstd;
    Bytes room(ZSTD_CStreamOutSize());
    for (std::size_t i = 0; i <= pieces; ++i) {
        const bool last = i == pieces;
        ZSTD_inBuffer in{zeros.data(), last ? 0 : zeros.size(), 0};
        for (;;) {
            ZSTD_outBuffer out{room.data(), room.size(), 0};
            const std::size_t left = ZSTD_compressStream2(zctx, &out, &in, last ? ZSTD_e_end : ZSTD_e_continue);
            zstd.insert(zstd.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(out.pos));
            if (last ? left == 0 : in.pos == in.size) break;
        }
    }
    ZSTD_freeCCtx(zctx);

    Aedat4Decompressor d;
    zel::ByteBuffer out;
    for (const auto& [kind, bytes] : {std::pair{Aedat4Compression::Lz4, frame}, std::pair{Aedat4Compression::Zstd, zstd}}) {
        ASSERT_LT(bytes.size(), 1u << 21);
        const zel::Status s = d.decompress(kind, bytes, 77, out);
        ASSERT_FALSE(s.ok());
        EXPECT_EQ(s.error().offset, 77u);
        EXPECT_NE(s.error().message.find("decompresses to more than 268435456 bytes"), std::string::npos)
            << s.error().message;
        EXPECT_LE(out.size(), kMaxAedat4PacketBytes);
    }
    // A frame cut short is no frame.
    const Bytes small = compress(1, Bytes(1000, 7));
    const zel::Status cut = d.decompress(Aedat4Compression::Lz4, {small.data(), small.size() - 5}, 3, out);
    ASSERT_FALSE(cut.ok());
    EXPECT_NE(cut.error().message.find("truncated"), std::string::npos) << cut.error().message;
    const Bytes small_zstd = compress(3, Bytes(1000, 7));
    const zel::Status cut_zstd =
        d.decompress(Aedat4Compression::Zstd, {small_zstd.data(), small_zstd.size() - 2}, 3, out);
    ASSERT_FALSE(cut_zstd.ok());
    EXPECT_NE(cut_zstd.error().message.find("truncated"), std::string::npos) << cut_zstd.error().message;
    // And the same context decompresses the next good frame.
    ASSERT_TRUE(d.decompress(Aedat4Compression::Lz4, small, 3, out).ok());
    EXPECT_EQ(out.size(), 1000u);
}

// A packet header that claims 200 MB where the file holds a few bytes
// more: the read fails at the end of the file, and what it allocated
// follows the bytes there were, not the claim.
TEST(Aedat4ReaderTest, ClaimedPacketSizeDoesNotSizeTheBuffer) {
    File f = aedat4_file(0, {}, std::int64_t{1} << 40);
    put32(f.bytes, 0);
    put32(f.bytes, 200u << 20);
    f.bytes.insert(f.bytes.end(), 10, 0);
    zel_test::TempDir dir;
    const std::string path = dir.write("claim.aedat4", std::string(f.bytes.begin(), f.bytes.end()));
    zel_test::HeapSampler sampler;
    auto reader = CameraReader::open(path, CameraFormat::Aedat4, BadWords::Strict, kFirst, sampler);
    ASSERT_TRUE(reader.ok()) << reader.error().text();
    zel::ByteBuffer out;
    auto r = reader.value()->read(out, 100);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().message.find("runs past the end of the file"), std::string::npos) << r.error().message;
    EXPECT_LT(sampler.growth(), std::size_t{16} << 20);
}

TEST(Aedat4ReaderTest, MissingFileIsAnOsError) {
    zel_test::TempDir dir;
    auto opened = Aedat4Reader::open(dir.path("none.aedat4"), BadWords::Skip, kFirst, zel::no_io_hooks());
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().kind, zel::ErrorKind::Os);
    EXPECT_EQ(opened.error().os_code, ENOENT);
}

TEST(Aedat4ReaderTest, FileMatchesMemory) {
    zel_test::TempDir dir;
    const File f = aedat4_file(1, recording());
    const std::string path = dir.write("r.aedat4", std::string(f.bytes.begin(), f.bytes.end()));
    auto opened = Aedat4Reader::open(path, BadWords::Strict, kFirst, zel::no_io_hooks());
    ASSERT_TRUE(opened.ok()) << opened.error().text();
    EXPECT_EQ(opened.value().sensor().width, 346u);
    zel::ByteBuffer out;
    ASSERT_EQ(opened.value().read(out, 1000).value(), 30u);
    EXPECT_EQ(zel_test::unpack(out), recording_events(kT0));
    EXPECT_EQ(opened.value().read(out, 1000).value(), 0u);
}

}  // namespace
