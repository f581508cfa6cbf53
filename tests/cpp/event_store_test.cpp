// The event store (.zel version 2): exact round trips whatever the events,
// the camera clock across blocks, threads, and every kind of damage refused
// or, where the file can still be read in full, read exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "base/byte_buffer.hpp"
#include "base/crc32c.hpp"
#include "container/byte_source.hpp"
#include "container/event_store.hpp"
#include "event_shapes.hpp"
#include "lossless/block_codec.hpp"

namespace zel::container {
namespace {

using Rng = std::mt19937_64;

Result<EventStoreReader> open_bytes(const Bytes& file) { return EventStoreReader::open(memory_source(file)); }

// Every event of the store, or its first error.
Result<Bytes> read_all(const Bytes& file, unsigned threads = 1, std::uint64_t subtract = 0) {
    ZEL_ASSIGN_OR_RETURN(EventStoreReader reader, open_bytes(file));
    ByteBuffer out;
    ZEL_TRY(reader.read(0, reader.blocks().size(), subtract, threads, out));
    return Bytes(out.data(), out.data() + out.size());
}

Bytes store_of(const Bytes& records, std::uint64_t block_events, std::uint16_t w = 0, std::uint16_t h = 0,
               unsigned threads = 1) {
    auto encoded = encode_event_store(PackedEvents(records.data(), records.size() / kPackedEventBytes), w, h,
                                      block_events, threads);
    EXPECT_TRUE(encoded.ok()) << (encoded.ok() ? "" : encoded.error().message);
    return encoded.ok() ? std::move(encoded).value() : Bytes{};
}

// Time-ordered rows of a small sensor, as cameras write them.
Bytes camera_like(Rng& rng, std::size_t n) {
    EventList events(n);
    std::uint32_t t = 5000;
    for (std::size_t i = 0; i < n; ++i) {
        t += static_cast<std::uint32_t>(rng() % 3);
        events[i] = Event{static_cast<std::uint16_t>(rng() % 346), static_cast<std::uint16_t>(rng() % 260), t,
                          static_cast<std::uint8_t>(rng() % 2)};
    }
    return pack(events);
}

Bytes arbitrary(Rng& rng, std::size_t n) {
    Bytes records(n * kPackedEventBytes);
    for (auto& b : records) b = static_cast<std::uint8_t>(rng());
    return records;
}

// What decoding `records` shows of their extent: the largest x and y and
// the first event's t (all 0 for none).
EventStoreReader::Extent extent_of(const Bytes& records) {
    EventStoreReader::Extent e;
    for (std::size_t at = 0; at < records.size(); at += kPackedEventBytes) {
        e.x_max = std::max<std::uint16_t>(e.x_max, static_cast<std::uint16_t>(load_le16(records.data() + at)));
        e.y_max = std::max<std::uint16_t>(e.y_max, static_cast<std::uint16_t>(load_le16(records.data() + at + 2)));
    }
    if (!records.empty()) e.t_first = load_le32(records.data() + 4);
    return e;
}

void expect_extent(const Result<EventStoreReader::Extent>& found, const EventStoreReader::Extent& expected) {
    ASSERT_TRUE(found.ok()) << found.error().message;
    EXPECT_EQ(found.value().x_max, expected.x_max);
    EXPECT_EQ(found.value().y_max, expected.y_max);
    EXPECT_EQ(found.value().t_first, expected.t_first);
}

using Case = std::tuple<int, std::size_t, std::uint64_t>;  // shape, events, block size

class StoreRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(StoreRoundTrip, ReadsBackExactlyOnAnyNumberOfThreads) {
    const auto [shape, n, block_events] = GetParam();
    Rng rng(static_cast<std::uint64_t>(shape) * 1000 + n);
    const Bytes records = shape == 0   ? camera_like(rng, n)
                          : shape == 1 ? arbitrary(rng, n)
                                       : pack(make_events(rng, static_cast<Shape>(shape - 2), n, {640, 480, 1}));
    const Bytes file = store_of(records, block_events, 640, 480);
    auto reader = open_bytes(file);
    ASSERT_TRUE(reader.ok()) << reader.error().message;
    EXPECT_EQ(reader.value().header().width, 640);
    EXPECT_EQ(reader.value().blocks().size(), (n + block_events - 1) / block_events);
    expect_extent(reader.value().extent(), extent_of(records));
    for (unsigned threads : {1u, 3u}) {
        auto back = read_all(file, threads);
        ASSERT_TRUE(back.ok()) << back.error().message;
        EXPECT_EQ(back.value(), records) << "threads " << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, StoreRoundTrip,
                         ::testing::Combine(::testing::Range(0, 8),
                                            ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{2000}),
                                            ::testing::Values(std::uint64_t{1}, std::uint64_t{333},
                                                              lossless::kDefaultBlockEvents)));

TEST(StoreRoundTrip, BlocksInTheMiddleReadAlone) {
    Rng rng(7);
    const Bytes records = camera_like(rng, 1000);
    const Bytes file = store_of(records, 100);
    auto reader = open_bytes(file);
    ASSERT_TRUE(reader.ok());
    ByteBuffer out;
    ASSERT_TRUE(reader.value().read(3, 4, 0, 2, out).ok());
    EXPECT_EQ(Bytes(out.data(), out.data() + out.size()),
              Bytes(records.data() + 300 * kPackedEventBytes, records.data() + 700 * kPackedEventBytes));
    EXPECT_FALSE(reader.value().read(8, 3, 0, 1, out).ok());
    const auto& b = reader.value().blocks()[5];
    EXPECT_EQ(b.n_events, 100u);
    EXPECT_EQ(b.t_first, load_le32(records.data() + 500 * kPackedEventBytes + 4));
}

// Blocks coded several at a time, on threads, are the blocks coded one by
// one: the same bytes whether the queue fills, a time base closes a block
// early, or finish() drains a partial queue.
Bytes streamed(const Bytes& records, std::uint64_t block_events, unsigned threads) {
    EventStoreWriter writer(0, 0, block_events, threads);
    Bytes file;
    EXPECT_TRUE(writer.begin(file).ok());
    const std::size_t n = records.size() / kPackedEventBytes;
    std::uint64_t base = 0;
    for (std::size_t at = 0, piece = 1; at < n; at += piece, piece = piece * 3 % 97 + 1) {
        piece = std::min(piece, n - at);
        if (piece % 5 == 0) base += std::uint64_t{1} << 32;  // cannot share the open block's base
        EXPECT_TRUE(writer.add(PackedEvents(records.data() + at * kPackedEventBytes, piece), base, file).ok());
    }
    EXPECT_TRUE(writer.finish(file).ok());
    const auto header = writer.final_header();
    std::memcpy(file.data(), header.data(), header.size());
    return file;
}

class StoreThreads : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(StoreThreads, AnyNumberOfThreadsWritesTheSameBytes) {
    const std::uint64_t block_events = GetParam();
    Rng rng(block_events);
    const Bytes records = camera_like(rng, 2000);
    const Bytes whole = store_of(records, block_events);
    const Bytes pieces = streamed(records, block_events, 1);
    for (unsigned threads : {2u, 3u, 5u}) {
        EXPECT_EQ(store_of(records, block_events, 0, 0, threads), whole) << "threads " << threads;
        EXPECT_EQ(streamed(records, block_events, threads), pieces) << "threads " << threads;
    }
    auto back = read_all(store_of(records, block_events, 0, 0, 3), 2);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(back.value(), records);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, StoreThreads, ::testing::Values(1, 7, 333, 5000));

// With helper threads a call may return before the blocks it closed are
// coded, but never holds more than `threads` of them: what the writer has
// given out is, after every call, the closed blocks but the last `threads`
// at most, each read back exactly. A writer left before finish(), with
// blocks in flight, stops its helpers (no hang; under the sanitizers,
// nothing leaks or is touched after it is gone).
TEST(StoreThreads, BlocksAppearWithinThreadsOfBeingClosed) {
    Rng rng(8);
    const Bytes records = camera_like(rng, 600);
    constexpr std::size_t kBlock = 10, kPiece = 25;
    for (unsigned threads : {2u, 3u}) {
        EventStoreWriter writer(0, 0, kBlock, threads);
        Bytes file;
        ASSERT_TRUE(writer.begin(file).ok());
        for (std::size_t at = 0; at < 600; at += kPiece) {
            ASSERT_TRUE(writer.add(PackedEvents(records.data() + at * kPackedEventBytes, kPiece), 0, file).ok());
            const std::size_t closed = (at + kPiece) / kBlock;
            auto reader = open_bytes(file);
            ASSERT_TRUE(reader.ok()) << reader.error().message;
            const std::size_t given = reader.value().blocks().size();
            EXPECT_LE(given, closed) << "threads " << threads << ", " << at + kPiece << " events";
            EXPECT_GE(given + threads, closed) << "threads " << threads << ", " << at + kPiece << " events";
            ByteBuffer out;
            ASSERT_TRUE(reader.value().read(0, given, 0, 1, out).ok());
            EXPECT_EQ(out.size(), given * kBlock * kPackedEventBytes);
            EXPECT_TRUE(std::equal(out.data(), out.data() + out.size(), records.begin()));
        }
    }
}

// A process forked while the helpers code has none of them: its copy of
// the writer codes what they held and goes on, and both processes write
// the bytes one thread writes. A hang in the child is ended by its alarm.
TEST(StoreThreads, AForkedProcessFinishesTheWriterItInherited) {
#if defined(__SANITIZE_ADDRESS__)
    // Its allocator keeps its locks across a fork: the child can wait
    // forever on one a helper held (glibc's malloc takes them all first).
    GTEST_SKIP() << "AddressSanitizer's allocator is not fork-safe while threads allocate";
#endif
    Rng rng(11);
    constexpr std::size_t kEvents = 20000, kBlock = 500;
    const Bytes records = camera_like(rng, kEvents);
    const Bytes expected = store_of(records, kBlock);
    const auto add_range = [&](EventStoreWriter& writer, std::size_t from, std::size_t to, Bytes& file) {
        for (std::size_t at = from; at < to; at += 700) {
            const std::size_t piece = std::min<std::size_t>(700, to - at);
            if (!writer.add(PackedEvents(records.data() + at * kPackedEventBytes, piece), 0, file).ok()) return false;
        }
        return true;
    };
    const auto finished = [&](EventStoreWriter& writer, Bytes& file) {
        if (!add_range(writer, kEvents / 2, kEvents, file) || !writer.finish(file).ok()) return false;
        const auto header = writer.final_header();
        std::memcpy(file.data(), header.data(), header.size());
        return file == expected;
    };
    EventStoreWriter writer(0, 0, kBlock, 3);
    Bytes file;
    ASSERT_TRUE(writer.begin(file).ok());
    ASSERT_TRUE(add_range(writer, 0, kEvents / 2, file));
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(60);
        _exit(finished(writer, file) ? 0 : 1);
    }
    EXPECT_TRUE(finished(writer, file));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child was ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child wrote other bytes";
}

// A camera clock past 32 bits: each add() gives events relative to a base.
TEST(StoreClock, CameraTimesSurviveAcrossBlocksAndBases) {
    EventStoreWriter writer(0, 0, 4);
    Bytes file;
    ASSERT_TRUE(writer.begin(file).ok());
    const std::uint64_t bases[] = {0, 10, std::uint64_t{1} << 33, (std::uint64_t{1} << 33) + 3};
    std::vector<std::uint64_t> camera;
    for (std::uint64_t base : bases) {
        EventList events;
        for (std::uint32_t i = 0; i < 3; ++i) events.push_back(Event{1, 2, 100 + i, 1});
        for (const Event& e : events) camera.push_back(base + e.t);
        const Bytes records = pack(events);
        ASSERT_TRUE(writer.add(PackedEvents(records.data(), 3), base, file).ok());
    }
    ASSERT_TRUE(writer.finish(file).ok());
    const auto header = writer.final_header();
    std::memcpy(file.data(), header.data(), header.size());

    auto reader = open_bytes(file);
    ASSERT_TRUE(reader.ok()) << reader.error().message;
    // Base 10's first event joins base 0's block, its others start one of
    // their own; 2^33 cannot join base 10, and 2^33 + 3 joins 2^33.
    ASSERT_EQ(reader.value().blocks().size(), 4u);
    const std::uint64_t counts[] = {4, 2, 4, 2};
    const std::uint64_t block_bases[] = {0, 10, std::uint64_t{1} << 33, (std::uint64_t{1} << 33) + 3};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(reader.value().blocks()[k].n_events, counts[k]);
        EXPECT_EQ(reader.value().blocks()[k].t_base, block_bases[k]);
    }

    auto absolute = read_all(file, 1, 0);
    ASSERT_FALSE(absolute.ok());
    EXPECT_EQ(absolute.error().kind, ErrorKind::Timestamp);
    EXPECT_NE(absolute.error().message.find("event 6 "), std::string::npos) << absolute.error().message;

    auto later = open_bytes(file);
    ByteBuffer out;
    ASSERT_TRUE(later.value().read(2, 2, std::uint64_t{1} << 33, 1, out).ok());
    ASSERT_EQ(out.size(), 6 * kPackedEventBytes);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ((std::uint64_t{1} << 33) + load_le32(out.data() + i * kPackedEventBytes + 4), camera[6 + i]);
    }
    // Below the subtracted time is as much an overflow as above 32 bits.
    ByteBuffer early;
    const Status below = later.value().read(0, 1, 101, 1, early);
    ASSERT_FALSE(below.ok());
    EXPECT_EQ(below.error().kind, ErrorKind::Timestamp);
    EXPECT_NE(below.error().message.find("event 0 has timestamp 100 us (101 us subtracted)"), std::string::npos);

    // In the blocks' own clocks, bases 2^33 apart are read together, on any
    // number of threads, from any first block.
    for (unsigned threads : {1u, 2u, 3u}) {
        for (const auto& [first, count] : {std::pair<std::size_t, std::size_t>{0, 4}, {1, 2}, {3, 1}}) {
            ByteBuffer own;
            ASSERT_TRUE(later.value().read_in_block_clocks(first, count, threads, own).ok());
            std::vector<std::uint64_t> expected;
            std::size_t before = 0;
            for (std::size_t k = 0; k < first + count; ++k) {
                for (std::size_t i = 0; i < counts[k]; ++i) {
                    if (k >= first) expected.push_back(camera[before + i] - block_bases[k]);
                }
                before += counts[k];
            }
            ASSERT_EQ(own.size(), expected.size() * kPackedEventBytes) << threads << " " << first;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(load_le32(own.data() + i * kPackedEventBytes + 4), expected[i]) << threads << " " << i;
            }
        }
    }
}

// One event at t 0 for each base, written as separate adds, header fixed up.
Bytes store_of_bases(std::span<const std::uint64_t> bases, std::uint64_t block_events) {
    EventStoreWriter writer(0, 0, block_events);
    Bytes file;
    EXPECT_TRUE(writer.begin(file).ok());
    const Bytes record = pack(EventList{Event{3, 4, 0, 1}});
    for (std::uint64_t base : bases) EXPECT_TRUE(writer.add(PackedEvents(record.data(), 1), base, file).ok());
    EXPECT_TRUE(writer.finish(file).ok());
    const auto header = writer.final_header();
    std::memcpy(file.data(), header.data(), header.size());
    return file;
}

// A block spans 2^32 us of camera time, its last microsecond included and
// no more: the base's 32-bit field holds the rest, and reads that subtract
// a time refuse an event exactly 2^32 us past it.
TEST(StoreClock, ABlockHoldsTimesUpTo32BitsPastItsBaseAndNoFurther) {
    constexpr std::uint64_t span = std::uint64_t{1} << 32;
    const std::uint64_t bases[] = {0, span - 1, span, 2 * span};
    const Bytes file = store_of_bases(bases, 8);
    auto reader = open_bytes(file);
    ASSERT_TRUE(reader.ok()) << reader.error().message;
    const auto blocks = reader.value().blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].t_base, 0u);
    EXPECT_EQ(blocks[0].n_events, 2u);
    EXPECT_EQ(blocks[0].t_last, span - 1);
    EXPECT_EQ(blocks[1].t_base, span);
    EXPECT_EQ(blocks[2].t_base, 2 * span);

    struct Read {
        std::uint64_t first, count, subtract;
        std::vector<std::uint64_t> camera;  // empty: refused
    };
    const Read reads[] = {
        {0, 1, 0, {0, span - 1}},
        {0, 2, 0, {}},                       // 2^32 itself does not fit
        {0, 2, 1, {}},                       // 0 lies before the subtracted time
        {1, 1, 1, {span}},                   // 2^32 - 1 after subtracting 1
        {1, 1, span, {span}},
        {1, 2, span, {}},                    // 2^33 is 2^32 past the subtracted time
        {2, 1, span + 1, {2 * span}},
    };
    for (const Read& r : reads) {
        ByteBuffer out;
        const Status read = reader.value().read(r.first, r.count, r.subtract, 1, out);
        if (r.camera.empty()) {
            ASSERT_FALSE(read.ok()) << "blocks " << r.first << "+" << r.count << " less " << r.subtract;
            EXPECT_EQ(read.error().kind, ErrorKind::Timestamp);
            continue;
        }
        ASSERT_TRUE(read.ok()) << read.error().message;
        ASSERT_EQ(out.size(), r.camera.size() * kPackedEventBytes);
        for (std::size_t i = 0; i < r.camera.size(); ++i) {
            EXPECT_EQ(r.subtract + load_le32(out.data() + i * kPackedEventBytes + 4), r.camera[i])
                << "blocks " << r.first << "+" << r.count << " less " << r.subtract << ", event " << i;
        }
    }
}

Bytes small_store() {
    Rng rng(3);
    return store_of(arbitrary(rng, 40), 16, 12, 34);
}

// The extent read from the block headers keeps the camera clock: the first
// event's time is its block's base plus its t, whatever the later bases.
TEST(StoreExtent, TheFirstTimeIsTheFirstBlocksCameraTime) {
    const std::uint64_t bases[] = {(std::uint64_t{1} << 40) + 9, 5, std::uint64_t{1} << 33};
    const Bytes file = store_of_bases(bases, 1);
    auto reader = open_bytes(file);
    ASSERT_TRUE(reader.ok()) << reader.error().message;
    ASSERT_EQ(reader.value().blocks().size(), 3u);
    expect_extent(reader.value().extent(), {3, 4, (std::uint64_t{1} << 40) + 9});
}

// Damage anywhere is refused, but for the trailer's magic: without it the
// blocks are walked from the header, which names their count.
TEST(StoreDamage, EveryFlippedByteIsRefusedOrReadExactly) {
    const Bytes file = small_store();
    const Bytes good = read_all(file).value();
    for (std::size_t at = 0; at < file.size(); ++at) {
        Bytes bad = file;
        bad[at] ^= 0x10;
        auto back = read_all(bad);
        if (back.ok()) {
            EXPECT_EQ(back.value(), good) << "flip at " << at;
        }
        // Only the trailer's magic may go: the header's count still finds every block.
        if (at < file.size() - 8) {
            EXPECT_FALSE(back.ok()) << "flip at " << at << " went unnoticed";
        }
    }
}

// The extent reads every record and checks it as a read does: a flipped
// byte in any record fails it, one elsewhere (index, trailer) either fails
// the open or leaves the extent as it was.
TEST(StoreDamage, EveryFlippedByteInARecordFailsTheExtent) {
    const Bytes file = small_store();
    auto good_reader = open_bytes(file);
    ASSERT_TRUE(good_reader.ok());
    const auto good = good_reader.value().extent().value();
    const std::size_t records_end = load_le64(file.data() + file.size() - kTrailerBytes);
    for (std::size_t at = kHeaderBytes; at < file.size(); ++at) {
        Bytes bad = file;
        bad[at] ^= 0x10;
        auto reader = open_bytes(bad);
        if (!reader.ok()) continue;
        auto found = reader.value().extent();
        if (at < records_end) {
            EXPECT_FALSE(found.ok()) << "flip at " << at << " went unnoticed";
        } else if (found.ok()) {
            EXPECT_EQ(found.value().x_max, good.x_max) << "flip at " << at;
            EXPECT_EQ(found.value().t_first, good.t_first) << "flip at " << at;
        }
    }
}

// A payload whose own check fails, inside a record resealed around it, is
// refused by the extent as by a read: at the payload's check field.
TEST(StoreDamage, APayloadFaultFailsTheExtentWhereAReadFails) {
    const Bytes records = pack(EventList{Event{1, 2, 100, 1}, Event{3, 4, 200, 0}});
    Bytes file = store_of(records, 8);
    const std::size_t record_at = kHeaderBytes;
    const std::uint64_t payload = load_le64(file.data() + record_at + block_field::payload_bytes.at);
    file[record_at + kBlockHeaderBytes + 2] ^= 0x01;  // the payload's x_max, outside the record's check now
    const std::size_t record_crc_at = kBlockHeaderBytes + payload;
    store_le32(file.data() + record_at + record_crc_at,
               crc32c(std::span<const std::uint8_t>(file.data() + record_at, record_crc_at)));
    auto reader = open_bytes(file);
    ASSERT_TRUE(reader.ok()) << reader.error().message;
    auto found = reader.value().extent();
    ASSERT_FALSE(found.ok());
    auto back = read_all(file);
    ASSERT_FALSE(back.ok());
    EXPECT_EQ(found.error().offset, back.error().offset);
    EXPECT_EQ(found.error().offset, record_at + kBlockHeaderBytes + 10) << found.error().message;
    EXPECT_EQ(found.error().message, back.error().message);
}

// A cut before the last block ends is refused (the header names the block
// count); a cut in the index leaves every block, which read exactly.
TEST(StoreDamage, EveryCutIsRefusedOrReadExactly) {
    const Bytes file = small_store();
    const Bytes good = read_all(file).value();
    const std::size_t blocks_end = open_bytes(file).value().blocks().back().offset;
    for (std::size_t size = 0; size < file.size(); ++size) {
        auto back = read_all(Bytes(file.data(), file.data() + size));
        if (size <= blocks_end) {
            EXPECT_FALSE(back.ok()) << "cut at " << size;
        } else if (back.ok()) {
            EXPECT_EQ(back.value(), good) << "cut at " << size;
        }
    }
}

// What an interrupted writer leaves: the header without a count, then
// records. Every complete block is read; the file says it is incomplete.
TEST(StoreDamage, AnInterruptedWriterKeepsItsCompleteBlocks) {
    Rng rng(5);
    const Bytes records = arbitrary(rng, 40);
    EventStoreWriter writer(0, 0, 16);
    Bytes file;
    ASSERT_TRUE(writer.begin(file).ok());
    ASSERT_TRUE(writer.add(PackedEvents(records.data(), 40), 0, file).ok());
    auto full = file;
    ASSERT_TRUE(writer.finish(full).ok());
    {
        auto reader = EventStoreReader::open(memory_source(full));
        ASSERT_FALSE(reader.ok());  // the header still says "unknown": no index may be believed
    }
    // Cut anywhere, in the blocks or in the index finish() was writing:
    // whole blocks only, and all three once the index has begun.
    const std::size_t index_at = full.size() - kTrailerBytes - (kIndexHeadBytes + 3 * kBlockEntryBytes + kCrcBytes);
    for (std::size_t size = 36; size < full.size(); ++size) {
        const Bytes cut(full.data(), full.data() + size);
        auto reader = open_bytes(cut);
        ASSERT_TRUE(reader.ok()) << "cut at " << size << ": " << reader.error().message;
        EXPECT_FALSE(reader.value().complete());
        ByteBuffer out;
        ASSERT_TRUE(reader.value().read(0, reader.value().blocks().size(), 0, 1, out).ok());
        const std::size_t events = out.size() / kPackedEventBytes;
        EXPECT_TRUE(events % 16 == 0 || events == 40) << "cut at " << size;
        if (size >= index_at) {
            EXPECT_EQ(events, 40u) << "cut at " << size;
        }
        EXPECT_TRUE(std::equal(out.data(), out.data() + out.size(), records.begin()));
    }
}

void reseal_header(Bytes& file) {
    const std::uint32_t crc = crc32c(std::span<const std::uint8_t>(file.data(), 32));
    store_le32(file.data() + 32, crc);
}

TEST(StoreDamage, HeaderFaultsNameTheirByte) {
    struct Fault {
        std::size_t at;
        std::uint8_t value;
        std::uint64_t offset;
        const char* says;
    };
    const Fault faults[] = {
        {8, 1, 8, "occupancy frames"}, {8, 3, 8, "unknown format version 3"},
        {10, 1, 10, "reserved"},       {17, 1, 16, "reserved"},
        {18, 2, 18, "content"},        {19, 1, 19, "reserved"},
        {20, 0, 20, "per block"},      {22, 0x40, 20, "per block"},
    };
    for (const Fault& f : faults) {
        Bytes file = small_store();
        file[f.at] = f.value;
        if (f.at == 20) file[21] = file[22] = file[23] = 0;
        reseal_header(file);
        auto reader = open_bytes(file);
        ASSERT_FALSE(reader.ok()) << "byte " << f.at;
        EXPECT_EQ(reader.error().offset, f.offset) << reader.error().message;
        EXPECT_NE(reader.error().message.find(f.says), std::string::npos) << reader.error().message;
    }
}

// A block whose own header claims more events than the file allows is
// refused before its count sizes anything.
// Block 0's index entry claiming no events, or more than a block holds
// (16 here), index checksum fixed: refused at open, at the count.
TEST(StoreDamage, ACountOfNoneOrAboveTheBlockSizeIsRefused) {
    for (std::uint64_t count : {std::uint64_t{0}, std::uint64_t{17}}) {
        Bytes file = small_store();
        const std::size_t entry = file.size() - 16 - 4 - 3 * 32;
        store_le64(file.data() + entry + 24, count);
        const std::size_t index_at = entry - 16;
        const std::uint32_t crc = crc32c(std::span<const std::uint8_t>(file.data() + index_at, 16 + 3 * 32));
        store_le32(file.data() + file.size() - 20, crc);
        auto reader = open_bytes(file);
        ASSERT_FALSE(reader.ok()) << count;
        EXPECT_EQ(reader.error().offset, entry + 24) << count;
        EXPECT_NE(reader.error().message.find("claims " + std::to_string(count) + " events"), std::string::npos)
            << reader.error().message;
    }
}

// An index entry that disagrees with its block's record in any field is
// refused when the block is read, at the record's field.
TEST(StoreDamage, AnIndexEntryThatDisagreesWithItsRecordIsRefused) {
    namespace e = block_entry_field;
    const std::uint64_t bases[] = {0, std::uint64_t{1} << 33};
    const Bytes file = store_of_bases(bases, 1);
    const std::uint64_t index_at = load_le64(file.data() + file.size() - kTrailerBytes);
    const std::uint64_t record_at = open_bytes(file).value().blocks()[1].offset;
    struct Forgery {
        std::size_t at;  // in block 1's entry
        std::uint64_t value;
        std::size_t record_field;
        const char* says;
    };
    const Forgery forgeries[] = {
        {e::t_base.at, (std::uint64_t{1} << 33) + 5, block_field::t_base.at, "t_base differs"},
        {e::t_base.at, 0, block_field::t_base.at, "t_base differs"},
        {e::t_last.at, 7, block_field::t_last.at, "t_last differs"},
    };
    for (const Forgery& f : forgeries) {
        Bytes bad = file;
        std::uint8_t* entry = bad.data() + index_at + kIndexHeadBytes + kBlockEntryBytes;
        if (f.at == e::t_base.at) {
            store_le64(entry + f.at, f.value);
        } else {
            store_le32(entry + f.at, static_cast<std::uint32_t>(f.value));
        }
        const std::size_t crc_at = kIndexHeadBytes + 2 * kBlockEntryBytes;
        store_le32(bad.data() + index_at + crc_at,
                   crc32c(std::span<const std::uint8_t>(bad.data() + index_at, crc_at)));
        auto reader = open_bytes(bad);
        ASSERT_TRUE(reader.ok()) << f.says << ": " << reader.error().message;
        ByteBuffer out;
        const Status read = reader.value().read(1, 1, std::uint64_t{1} << 33, 1, out);
        ASSERT_FALSE(read.ok()) << f.says;
        EXPECT_EQ(read.error().offset, record_at + f.record_field) << read.error().message;
        EXPECT_NE(read.error().message.find(f.says), std::string::npos) << read.error().message;
    }
}

// A record and its index entry that agree on a time range the block's
// events do not span (checksums fixed up) are refused when it is read.
TEST(StoreDamage, ATimeRangeTheEventsDoNotSpanIsRefused) {
    const Bytes records = pack(EventList{Event{1, 2, 100, 1}, Event{3, 4, 200, 0}, Event{5, 6, 150, 1}});
    const Bytes file = store_of(records, 8);
    const std::uint64_t index_at = load_le64(file.data() + file.size() - kTrailerBytes);
    const std::uint64_t record_at = kHeaderBytes;
    const std::uint64_t payload = load_le64(file.data() + record_at + block_field::payload_bytes.at);
    struct Forgery {
        std::size_t record_field, entry_field;
        std::uint32_t value;
    };
    const Forgery forgeries[] = {
        {block_field::t_first.at, block_entry_field::t_first.at, 99},
        {block_field::t_first.at, block_entry_field::t_first.at, 101},
        {block_field::t_last.at, block_entry_field::t_last.at, 199},
        {block_field::t_last.at, block_entry_field::t_last.at, 201},
    };
    for (const Forgery& f : forgeries) {
        Bytes bad = file;
        store_le32(bad.data() + record_at + f.record_field, f.value);
        const std::size_t record_crc_at = kBlockHeaderBytes + payload;
        store_le32(bad.data() + record_at + record_crc_at,
                   crc32c(std::span<const std::uint8_t>(bad.data() + record_at, record_crc_at)));
        store_le32(bad.data() + index_at + kIndexHeadBytes + f.entry_field, f.value);
        const std::size_t index_crc_at = kIndexHeadBytes + kBlockEntryBytes;
        store_le32(bad.data() + index_at + index_crc_at,
                   crc32c(std::span<const std::uint8_t>(bad.data() + index_at, index_crc_at)));
        auto back = read_all(bad);
        ASSERT_FALSE(back.ok()) << "forged " << f.value;
        EXPECT_EQ(back.error().offset, record_at + block_field::t_first.at) << back.error().message;
        EXPECT_NE(back.error().message.find("do not span the time range"), std::string::npos) << back.error().message;
    }
}

// The extent a writer reports is the events' own, over every block and on
// any number of threads; a final header with another size differs from
// the writer's only in the size, and the store reads with it.
TEST(StoreWriter, TheExtentIsTheEventsAndAResizedHeaderReads) {
    Rng rng(21);
    for (const auto& [records, threads] : {std::pair{camera_like(rng, 3000), 1u}, std::pair{arbitrary(rng, 3000), 3u},
                                           std::pair{Bytes{}, 2u}}) {
        EventStoreWriter writer(346, 260, 700, threads);
        Bytes file;
        ASSERT_TRUE(writer.begin(file).ok());
        const std::size_t n = records.size() / kPackedEventBytes;
        ASSERT_TRUE(writer.add(PackedEvents(records.data(), n), 0, file).ok());
        ASSERT_TRUE(writer.finish(file).ok());
        const EventStoreReader::Extent expected = extent_of(records);
        EXPECT_EQ(writer.x_max(), expected.x_max);
        EXPECT_EQ(writer.y_max(), expected.y_max);
        const auto kept = writer.final_header();
        const auto resized = writer.final_header(65535, 7);
        std::memcpy(file.data(), resized.data(), resized.size());
        auto reader = open_bytes(file);
        ASSERT_TRUE(reader.ok()) << reader.error().message;
        EXPECT_EQ(reader.value().header().width, 65535);
        EXPECT_EQ(reader.value().header().height, 7);
        std::memcpy(file.data(), kept.data(), kept.size());
        auto original = open_bytes(file);
        ASSERT_TRUE(original.ok());
        EXPECT_EQ(original.value().header().width, 346);
        EXPECT_EQ(original.value().header().block_events, reader.value().header().block_events);
        EXPECT_EQ(original.value().header().n_blocks, reader.value().header().n_blocks);
        ASSERT_EQ(read_all(file, 2).value(), records);
    }
}

TEST(StoreWriter, CallsOutOfOrderAndBadSizesAreRefused) {
    Bytes out;
    EventStoreWriter unsized(0, 0, 0);
    EXPECT_EQ(unsized.begin(out).error().kind, ErrorKind::InvalidInput);
    EventStoreWriter huge(0, 0, lossless::kMaxBlockEvents + 1);
    EXPECT_FALSE(huge.begin(out).ok());
    EventStoreWriter writer(0, 0, 8);
    EXPECT_FALSE(writer.add(PackedEvents(), 0, out).ok());
    EXPECT_FALSE(writer.finish(out).ok());
    ASSERT_TRUE(writer.begin(out).ok());
    EXPECT_FALSE(writer.begin(out).ok());
    ASSERT_TRUE(writer.finish(out).ok());
    EXPECT_FALSE(writer.finish(out).ok());
    EXPECT_EQ(out.size(), 36u + 20u + 16u);
}

// Fast blocks through the writer: every block is one, on any number of
// threads the same bytes, read back exactly, its extent that of its events.
TEST(StoreWriter, FastBlocksAreWrittenWhenAskedAndReadLikeAnyOther) {
    Rng rng(3);
    const Bytes records = arbitrary(rng, 900);
    Bytes files[2];
    for (const unsigned threads : {1u, 3u}) {
        Bytes& file = files[threads / 2];
        EventStoreWriter writer(0, 0, 128, threads, lossless::kFastBlockVersion);
        ASSERT_TRUE(writer.begin(file).ok());
        ASSERT_TRUE(writer.add(PackedEvents(records.data(), 900), 0, file).ok());
        ASSERT_TRUE(writer.finish(file).ok());
        const auto header = writer.final_header();
        std::memcpy(file.data(), header.data(), header.size());
    }
    EXPECT_EQ(files[0], files[1]);
    auto reader = open_bytes(files[0]);
    ASSERT_TRUE(reader.ok()) << reader.error().message;
    ASSERT_EQ(reader.value().blocks().size(), 8u);
    for (const BlockSummary& block : reader.value().blocks()) {
        EXPECT_EQ(files[0][block.offset + 48], lossless::kFastBlockVersion);
    }
    auto back = read_all(files[0], 2);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(back.value(), records);
    expect_extent(reader.value().extent(), extent_of(records));
    EventStoreWriter unknown(0, 0, 8, 1, lossless::kFastBlockVersion + 1);
    Bytes out;
    const Status refused = unknown.begin(out);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
    EXPECT_TRUE(out.empty());
}

// The occupancy reader points readers of an event store to the right call.
TEST(StoreVersions, TheOccupancyReaderNamesTheEventStore) {
    auto frames = parse_header(small_store());
    ASSERT_FALSE(frames.ok());
    EXPECT_EQ(frames.error().offset, 8u);
    EXPECT_NE(frames.error().message.find("without loss"), std::string::npos);
}

// The worked example of docs/format.md: the bytes of version 2 are fixed.
// Files written before lossless blocks had version 2 hold the same example
// with a version 1 block; they keep reading to the same events.
TEST(StoreVersions, TheDocumentedExampleKeepsItsBytes) {
    const Bytes with_block_version1 = {
        0x89, 0x5a, 0x45, 0x4c, 0x0d, 0x0a, 0x1a, 0x0a, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00,
        0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0xa8, 0x6b, 0xf4, 0x53, 0x42, 0x4c, 0x4f, 0x4b, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x03, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x01, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x24, 0x60, 0x22,
        0x0c, 0x00, 0x00, 0x00, 0x7d, 0x8e, 0x7e, 0x00, 0x4a, 0x07, 0x75, 0x00, 0xa7, 0x0b,
        0x58, 0x89, 0xb3, 0x9d, 0x35, 0x63, 0x49, 0x4e, 0x44, 0x58, 0x00, 0x00, 0x00, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x14, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc7, 0x16,
        0x02, 0x0a, 0x76, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x5a, 0x45, 0x4c, 0x49,
        0x4e, 0x44, 0x45, 0x58
    };
    // Today's writer: block version 2, so the block's version byte, its
    // check and the block record's CRC differ.
    Bytes expected = with_block_version1;
    const std::pair<std::ptrdiff_t, Bytes> changed[] = {
        {0x54, {0x02}}, {0x5e, {0x71, 0xb8, 0x7d, 0xa1}}, {0x72, {0x53, 0x85, 0xce, 0x42}}};
    for (const auto& [at, bytes] : changed) std::copy(bytes.begin(), bytes.end(), expected.begin() + at);
    const Bytes records = pack(EventList{{0, 0, 0, 1}, {1, 1, 10, 0}, {1, 0, 20, 1}});
    EXPECT_EQ(store_of(records, lossless::kDefaultBlockEvents, 2, 2), expected);
    EXPECT_EQ(read_all(expected).value(), records);
    EXPECT_EQ(read_all(with_block_version1).value(), records);
}

}  // namespace
}  // namespace zel::container
