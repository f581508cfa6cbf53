#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/crc32c.hpp"
#include "lossless/adaptive_rans.hpp"
#include "lossless/bit_stream.hpp"
#include "lossless/block_codec.hpp"
#include "lossless/event_model.hpp"
#include "lossless/plane_block.hpp"

namespace zel::lossless {
namespace {

// 32-bit draws (std::mt19937's result type is wider on LP64).
struct Rng {
    explicit Rng(unsigned seed) : engine(seed) {}
    std::uint32_t operator()() { return static_cast<std::uint32_t>(engine()); }
    std::mt19937 engine;
};

using Records = std::vector<std::uint8_t>;

void put_event(Records& r, const Event& e) {
    const std::uint8_t bytes[kPackedEventBytes] = {
        static_cast<std::uint8_t>(e.x), static_cast<std::uint8_t>(e.x >> 8),
        static_cast<std::uint8_t>(e.y), static_cast<std::uint8_t>(e.y >> 8),
        static_cast<std::uint8_t>(e.t), static_cast<std::uint8_t>(e.t >> 8),
        static_cast<std::uint8_t>(e.t >> 16), static_cast<std::uint8_t>(e.t >> 24), e.p};
    r.insert(r.end(), bytes, bytes + kPackedEventBytes);
}

std::size_t count_of(const Records& r) { return r.size() / kPackedEventBytes; }

ByteBuffer encode(const Records& r, std::uint8_t version = kBlockVersion) {
    ByteBuffer out;
    const Status status = encode_block(PackedEvents(r.data(), count_of(r)), out, version);
    EXPECT_TRUE(status.ok());
    return out;
}

std::vector<std::uint8_t> bytes_of(const ByteBuffer& b) { return {b.data(), b.data() + b.size()}; }

// Decodes, and checks that what the decoder reports the events span is what
// they span.
Status decode(std::span<const std::uint8_t> payload, std::uint64_t count, Records& out) {
    out.assign(count * kPackedEventBytes, 0xAA);
    DecodedBounds bounds{1, 2, 3, 4};
    Status status = decode_block(payload, count, out.data(), &bounds);
    if (status.ok()) {
        DecodedBounds spanned;
        for (std::size_t i = 0; i < count; ++i) {
            const Event e = load_packed_event(out.data() + i * kPackedEventBytes);
            spanned.x_max = std::max(spanned.x_max, e.x);
            spanned.y_max = std::max(spanned.y_max, e.y);
            spanned.t_min = i == 0 ? e.t : std::min(spanned.t_min, e.t);
            spanned.t_max = std::max(spanned.t_max, e.t);
        }
        EXPECT_EQ(bounds.x_max, spanned.x_max);
        EXPECT_EQ(bounds.y_max, spanned.y_max);
        EXPECT_EQ(bounds.t_min, spanned.t_min);
        EXPECT_EQ(bounds.t_max, spanned.t_max);
    }
    return status;
}

// Streams of every shape a caller may hand over.
Records camera_rows(Rng& rng, std::size_t n, unsigned width, unsigned height) {
    // Row readout: a timestamp holds a few rows, each with ascending x of
    // one polarity, then the other.
    Records r;
    std::uint32_t t = 1'000'000;
    while (count_of(r) < n) {
        t += rng() % 3;
        for (unsigned rows = 1 + rng() % 4; rows > 0 && count_of(r) < n; --rows) {
            const auto y = static_cast<std::uint16_t>(rng() % height);
            for (std::uint8_t p = 0; p < 2; ++p) {
                unsigned x = rng() % width;
                for (unsigned k = rng() % 4; k > 0 && x < width && count_of(r) < n; --k) {
                    put_event(r, {static_cast<std::uint16_t>(x), y, t, p});
                    x += 1 + rng() % 40;
                }
            }
        }
    }
    return r;
}

Records sparse_scene(Rng& rng, std::size_t n) {
    // A DAVIS-like scene: an edge moving over 346 x 260, noise, hot pixels.
    Records r;
    std::uint32_t t = 0;
    for (std::size_t i = 0; i < n; ++i) {
        t += rng() % 20;
        const unsigned kind = rng() % 10;
        std::uint16_t x, y;
        if (kind < 6) {
            x = static_cast<std::uint16_t>((i / 50 + rng() % 7) % 346);
            y = static_cast<std::uint16_t>(rng() % 260);
        } else if (kind < 8) {
            x = static_cast<std::uint16_t>(rng() % 346);
            y = static_cast<std::uint16_t>(rng() % 260);
        } else {
            x = static_cast<std::uint16_t>(17 * (rng() % 4));
            y = static_cast<std::uint16_t>(5 + rng() % 4);
        }
        put_event(r, {x, y, t, static_cast<std::uint8_t>(rng() % 2)});
    }
    return r;
}

Records anything(Rng& rng, std::size_t n) {
    Records r;
    for (std::size_t i = 0; i < n; ++i) {
        put_event(r, {static_cast<std::uint16_t>(rng()), static_cast<std::uint16_t>(rng()),
                      static_cast<std::uint32_t>(rng()), static_cast<std::uint8_t>(rng())});
    }
    return r;
}

Records edge_values(Rng& rng, std::size_t n) {
    // Extremes of every field, mixed: coordinates 0 and 65535, times that
    // wrap, jump and go backwards, polarities 0, 1, 2 and 255.
    const std::uint16_t coords[] = {0, 1, 65534, 65535, 640};
    const std::uint32_t times[] = {0, 1, 2, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 12345};
    const std::uint8_t pols[] = {0, 1, 2, 255};
    Records r;
    for (std::size_t i = 0; i < n; ++i) {
        put_event(r, {coords[rng() % 5], coords[rng() % 5], times[rng() % 8], pols[rng() % 4]});
    }
    return r;
}

Records duplicates(Rng&, std::size_t n) {
    Records r;
    for (std::size_t i = 0; i < n; ++i) put_event(r, {300, 200, 77, 1});
    return r;
}

Records decreasing_times(Rng& rng, std::size_t n) {
    Records r;
    std::uint32_t t = 5'000'000;
    for (std::size_t i = 0; i < n; ++i) {
        t -= rng() % 1000;
        put_event(r, {static_cast<std::uint16_t>(rng() % 128), static_cast<std::uint16_t>(rng() % 128), t,
                      static_cast<std::uint8_t>(rng() % 2)});
    }
    return r;
}

Records huge_sensor_rows(Rng& rng, std::size_t n) {
    // Camera-like structure on a 65536 x 65536 sensor: the pixel history
    // cannot be exact there.
    Records r = camera_rows(rng, n, 65536, 65536);
    return r;
}

using Generator = std::function<Records(Rng&, std::size_t)>;

struct Shape {
    const char* name;
    Generator make;
};

const Shape kShapes[] = {
    {"camera_rows", [](Rng& g, std::size_t n) { return camera_rows(g, n, 1280, 720); }},
    {"sparse_scene", sparse_scene},
    {"anything", anything},
    {"edge_values", edge_values},
    {"duplicates", duplicates},
    {"decreasing_times", decreasing_times},
    {"huge_sensor_rows", huge_sensor_rows},
};

class BlockRoundTrip : public ::testing::TestWithParam<std::tuple<Shape, std::size_t, std::uint8_t>> {};

TEST_P(BlockRoundTrip, DecodesExactly) {
    const auto& [shape, n, version] = GetParam();
    Rng rng(static_cast<unsigned>(n) * 31 + 7);
    const Records records = shape.make(rng, n);
    ASSERT_EQ(count_of(records), n);
    const ByteBuffer payload = encode(records, version);
    ASSERT_EQ(payload.data()[0], version);
    Records back;
    const Status status = decode({payload.data(), payload.size()}, n, back);
    ASSERT_TRUE(status.ok()) << status.error().message;
    EXPECT_EQ(back, records);
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlockRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(kShapes),
                                            ::testing::Values(0, 1, 2, 17, 5000, 120000),
                                            ::testing::Values(std::uint8_t{1}, std::uint8_t{2},
                                                              kFastBlockVersion)),
                         [](const auto& test) {
                             return std::string(std::get<0>(test.param).name) + "_" +
                                    std::to_string(std::get<1>(test.param)) + "_v" +
                                    std::to_string(std::get<2>(test.param));
                         });

TEST(Block, CameraStreamsTakeFewBits) {
    // Structure must pay: camera-like rows cost well under their 72 raw
    // bits, and far under what the same events in random order cost.
    Rng rng(3);
    const Records records = camera_rows(rng, 50000, 1280, 720);
    const double bits = 8.0 * double(encode(records).size()) / 50000;
    EXPECT_LT(bits, 16.0);
    const double random_bits = 8.0 * double(encode(anything(rng, 50000)).size()) / 50000;
    EXPECT_GT(random_bits, 60.0);
}

// Cost accounting: the parts add up to what the encoder writes, and each
// part is charged for what codes it.
double part_total(const PartCosts& c) {
    double total = 0;
    for (unsigned p = 0; p < kEventParts; ++p) total += c.symbol_bits[p] + double(c.raw_bits[p]);
    return total;
}

class BlockPartCosts : public ::testing::TestWithParam<std::tuple<Shape, std::size_t>> {};

TEST_P(BlockPartCosts, AddUpToThePayload) {
    const auto& [shape, n] = GetParam();
    Rng rng(static_cast<unsigned>(n) * 13 + 5);
    const Records records = shape.make(rng, n);
    const Result<PartCosts> costs = part_costs(PackedEvents(records.data(), count_of(records)));
    ASSERT_TRUE(costs.ok());
    const double ideal = part_total(costs.value());
    // Beyond the ideal cost: the 18-byte header; the two 32-bit states,
    // which start at 2^16 and end below 2^32, so they add 32 to 64 bits;
    // the raw bits' padding (under 8) and the coder's rounding.
    const double written = 8.0 * double(encode(records).size());
    EXPECT_GE(written, ideal + 8 * 18 + 32 - 4) << "ideal " << ideal;
    EXPECT_LE(written, ideal * 1.002 + 8 * 18 + 64 + 8 + 4) << "ideal " << ideal;
}

INSTANTIATE_TEST_SUITE_P(Shapes, BlockPartCosts,
                         ::testing::Combine(::testing::ValuesIn(kShapes), ::testing::Values(1, 5000)),
                         [](const auto& test) {
                             return std::string(std::get<0>(test.param).name) + "_" +
                                    std::to_string(std::get<1>(test.param));
                         });

TEST(BlockPartCosts, EachPartIsChargedForWhatCodesIt) {
    const auto part = [](const PartCosts& c, EventPart p) {
        return c.symbol_bits[static_cast<unsigned>(p)] + double(c.raw_bits[static_cast<unsigned>(p)]);
    };
    const auto costs_of = [](const Records& r) {
        const Result<PartCosts> c = part_costs(PackedEvents(r.data(), count_of(r)));
        EXPECT_TRUE(c.ok());
        return c.ok() ? c.value() : PartCosts{};
    };
    // One row at one time: no time steps, no other lines; positions and
    // polarities vary.
    Rng rng(9);
    std::vector<std::uint16_t> xs(2000);
    Records still;
    for (std::uint16_t& x : xs) {
        x = static_cast<std::uint16_t>(rng() % 600);
        put_event(still, Event{x, 0, 500, static_cast<std::uint8_t>(rng() % 2)});
    }
    const PartCosts a = costs_of(still);
    EXPECT_EQ(part(a, EventPart::Time), 0.0);
    EXPECT_EQ(part(a, EventPart::Line), 0.0);
    EXPECT_GT(part(a, EventPart::Position), 2000 * 6.0);  // log2(600) each, less what the kind says
    EXPECT_GT(part(a, EventPart::Polarity), 2000 * 0.9);
    EXPECT_EQ(a.raw_bits[static_cast<unsigned>(EventPart::Polarity)], 0u);

    // The same positions with random rows and random steps of time, and a
    // polarity other than 0 and 1: its 8 raw bits each.
    Records moving;
    std::uint32_t t = 500;
    for (const std::uint16_t x : xs) {
        t += 2 + rng() % 1000;
        put_event(moving, Event{x, static_cast<std::uint16_t>(rng() % 480), t, 7});
    }
    const PartCosts b = costs_of(moving);
    EXPECT_GT(part(b, EventPart::Time), 2000 * 8.0);  // about log2(1000) each
    EXPECT_GT(part(b, EventPart::Line), 2000 * 7.0);  // about log2(480) each
    EXPECT_EQ(b.raw_bits[static_cast<unsigned>(EventPart::Polarity)], 2000u * 8);
    EXPECT_LT(b.symbol_bits[static_cast<unsigned>(EventPart::Polarity)], 2000 * 0.25);
}

TEST(BlockPartCosts, RefusesWhatTheEncoderRefuses) {
    // The count is refused before any event is read.
    const Records one(kPackedEventBytes, 0);
    const auto too_many = part_costs(PackedEvents(one.data(), kMaxBlockEvents + 1));
    ASSERT_FALSE(too_many.ok());
    EXPECT_EQ(too_many.error().kind, ErrorKind::InvalidInput);
}

// Damage: every payload that is not what the encoder wrote for this count
// is refused, with an offset inside the payload.
class BlockDamage : public ::testing::Test {
protected:
    void SetUp() override { make(kBlockVersion); }
    void make(std::uint8_t version) {
        Rng rng(11);
        records_ = sparse_scene(rng, 300);
        payload_ = encode(records_, version);
        bytes_.assign(payload_.data(), payload_.data() + payload_.size());
    }
    void expect_refused(const std::vector<std::uint8_t>& bytes, std::uint64_t count, const std::string& what) {
        Records back;
        const Status status = decode(bytes, count, back);
        ASSERT_FALSE(status.ok()) << what;
        EXPECT_EQ(status.error().kind, ErrorKind::InvalidData) << what;
        ASSERT_TRUE(status.error().offset.has_value()) << what;
        EXPECT_LE(*status.error().offset, bytes.size()) << what;
    }

    Records records_;
    ByteBuffer payload_;
    std::vector<std::uint8_t> bytes_;
};

// The same damage in a block of each version written.
class BlockDamageOfEveryVersion : public BlockDamage, public ::testing::WithParamInterface<std::uint8_t> {
protected:
    void SetUp() override { make(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Versions, BlockDamageOfEveryVersion,
                         ::testing::Values(kBlockVersion, kFastBlockVersion),
                         [](const auto& test) { return "v" + std::to_string(test.param); });

TEST_P(BlockDamageOfEveryVersion, EveryFlippedByteIsRefused) {
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        for (const unsigned flip : {0x01u, 0x80u, 0xFFu}) {
            std::vector<std::uint8_t> damaged = bytes_;
            damaged[i] = static_cast<std::uint8_t>(damaged[i] ^ flip);
            expect_refused(damaged, count_of(records_), "byte " + std::to_string(i));
        }
    }
}

TEST_P(BlockDamageOfEveryVersion, EveryTruncationIsRefused) {
    for (std::size_t cut = 0; cut < bytes_.size(); ++cut) {
        expect_refused({bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(cut)}, count_of(records_),
                       "cut " + std::to_string(cut));
    }
    std::vector<std::uint8_t> longer = bytes_;
    longer.push_back(0);
    longer.push_back(0);
    expect_refused(longer, count_of(records_), "two extra bytes");
}

TEST_P(BlockDamageOfEveryVersion, AnotherCountIsRefused) {
    for (const std::uint64_t count : {std::uint64_t{0}, std::uint64_t{1}, count_of(records_) - 1,
                                      count_of(records_) + 1, count_of(records_) * 2}) {
        expect_refused(bytes_, count, "count " + std::to_string(count));
    }
}

TEST_F(BlockDamage, ResealedDamageIsCaughtInsideTheStream) {
    // seal_block reproduces the encoder's checksum; with the checksum fixed
    // up, damage must still be refused, by the stream's own consistency.
    std::vector<std::uint8_t> v = bytes_;
    seal_block(v, count_of(records_));
    EXPECT_EQ(v, bytes_);
    std::size_t refused = 0;
    for (std::size_t i = 14; i < v.size(); ++i) {
        std::vector<std::uint8_t> damaged = bytes_;
        damaged[i] = static_cast<std::uint8_t>(damaged[i] ^ 0x10);
        seal_block(damaged, count_of(records_));
        Records back;
        const Status status = decode(damaged, count_of(records_), back);
        if (!status.ok()) {
            ++refused;
            ASSERT_TRUE(status.error().offset.has_value());
            EXPECT_LE(*status.error().offset, damaged.size());
        } else {
            EXPECT_NE(back, records_) << "byte " << i;  // accepted: then it decoded to other events
        }
    }
    // Raw bits pass through the states unmixed, so not all; but most.
    EXPECT_GT(refused, (v.size() - 14) / 2);
}

// Bytes after the raw bits, even with the checksum fixed up to cover them,
// belong to no event: the block is refused, not read as if they were not there.
TEST_F(BlockDamage, ResealedTrailingBytesAreRefused) {
    for (const std::vector<std::uint8_t>& extra :
         {std::vector<std::uint8_t>{0}, std::vector<std::uint8_t>{0, 0}, std::vector<std::uint8_t>{0x80}}) {
        std::vector<std::uint8_t> longer = bytes_;
        longer.insert(longer.end(), extra.begin(), extra.end());
        seal_block(longer, count_of(records_));
        Records back;
        const Status status = decode(longer, count_of(records_), back);
        ASSERT_FALSE(status.ok()) << extra.size() << " extra bytes";
        EXPECT_NE(status.error().message.find("raw bits do not end"), std::string::npos) << status.error().message;
        EXPECT_LE(*status.error().offset, longer.size());
    }
}

// The rANS length must leave room for the two coder states and end inside
// the block; with the checksum fixed up, a length outside that is refused at
// its own field, before the coder reads a byte.
TEST_F(BlockDamage, ResealedRansLengthOutsideTheBlockIsRefusedAtItsField) {
    const std::uint32_t room = static_cast<std::uint32_t>(bytes_.size() - 18);
    for (const std::uint32_t length : {0u, 1u, 4u, 7u, room + 1, 0xFFFFFFFFu}) {
        std::vector<std::uint8_t> v = bytes_;
        for (unsigned k = 0; k < 4; ++k) v[14 + k] = static_cast<std::uint8_t>(length >> (8 * k));
        seal_block(v, count_of(records_));
        Records back;
        const Status status = decode(v, count_of(records_), back);
        ASSERT_FALSE(status.ok()) << "length " << length;
        EXPECT_EQ(status.error().offset, 14u) << "length " << length;
        EXPECT_NE(status.error().message.find("rANS stream of " + std::to_string(length) + " bytes does not fit"),
                  std::string::npos)
            << status.error().message;
    }
}

TEST_F(BlockDamage, HeaderFaultsNameTheirByte) {
    std::vector<std::uint8_t> v = bytes_;
    v[0] = kFastBlockVersion + 1;  // a version this decoder does not know
    Records back;
    Status status = decode(v, count_of(records_), back);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().offset, 0u);
    v = bytes_;
    v[1] |= 0x80;  // an unknown flag
    status = decode(v, count_of(records_), back);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().offset, 1u);
}

// Payloads as written when their version was fixed: blocks stored in
// containers must keep decoding to the same events, and an encoder must
// keep writing the same bytes (any change to the model is a new version).
// The events take every kind of step: ascending and restarting runs, same,
// next, later and earlier times with same, near and far lines, polarities
// beyond 0 and 1, duplicates and revisited pixels.
TEST(BlockFormat, StoredPayloadsKeepTheirMeaning) {
    const Event events[] = {
        {10, 5, 1000, 0},  {12, 5, 1000, 0},  {20, 5, 1000, 1},        {3, 5, 1000, 1},
        {7, 9, 1000, 0},   {100, 200, 1000, 1}, {101, 200, 1001, 0},   {90, 203, 1001, 1},
        {5, 40, 1002, 255}, {6, 40, 1500, 1}, {8, 44, 90000, 0},       {300, 2, 4000000000u, 2},
        {301, 2, 10, 0},   {310, 12, 9, 1},   {0, 479, 3, 0},          {639, 479, 3, 1},
        {639, 479, 3, 1},  {638, 470, 2, 0},  {100, 200, 1001, 0},
    };
    const std::uint8_t stored[] = {
        0x01, 0x00, 0x7f, 0x02, 0xdf, 0x01, 0xe8, 0x03, 0x00, 0x00, 0xbc, 0xdf,
        0x00, 0xfa, 0x30, 0x00, 0x00, 0x00, 0x8e, 0x1c, 0x97, 0x95, 0xc0, 0x46,
        0x24, 0x02, 0x6f, 0x0e, 0x03, 0x0e, 0xc5, 0x26, 0xf8, 0xa5, 0x04, 0x2b,
        0x87, 0x99, 0x92, 0x2f, 0xca, 0xed, 0x70, 0xb4, 0x17, 0xa9, 0x4e, 0x17,
        0xcd, 0xf0, 0xab, 0x1d, 0xb7, 0x01, 0xae, 0x61, 0x42, 0x6a, 0xb8, 0x42,
        0x67, 0x92, 0xd2, 0x2d, 0xd3, 0x59, 0x40, 0xff, 0x20, 0x9b, 0x7b, 0xbc,
        0xb1, 0x64, 0x81, 0x21, 0x60, 0x53, 0xda, 0x7b, 0x5f, 0x00
    };
    Records records;
    for (const Event& e : events) put_event(records, e);
    // Version 2 differs only in its pixel history, where these 19 events
    // share no slot in either layout: its payload is version 1's but for
    // the version and the check.
    for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{2}}) {
        std::vector<std::uint8_t> want(std::begin(stored), std::end(stored));
        if (version == 2) {
            want[0] = 2;
            const std::uint8_t check[] = {0x68, 0x12, 0x42, 0x6e};
            std::copy(std::begin(check), std::end(check), want.begin() + 10);
        }
        EXPECT_EQ(bytes_of(encode(records, version)), want) << "version " << int{version};
        Records back;
        const Status status = decode(want, count_of(records), back);
        ASSERT_TRUE(status.ok()) << status.error().message;
        EXPECT_EQ(back, records);
    }
}

// Where the versions part: a 1280 x 720 block of 20,000 events has a
// history of 2^18 slots hashed by pixel in version 1, and of 2^16 hashed
// by line in version 2. Its payloads, pinned by length and CRC-32C, must
// keep their bytes and their events.
TEST(BlockFormat, LargeSensorPayloadsKeepTheirBytes) {
    Rng rng(5);
    const Records records = camera_rows(rng, 20000, 1280, 720);
    const struct {
        std::uint8_t version;
        std::size_t size;
        std::uint32_t crc;
    } stored[] = {{1, 33533, 0xdfd807b0}, {2, 33541, 0xb4b58812}};
    for (const auto& want : stored) {
        const std::vector<std::uint8_t> payload = bytes_of(encode(records, want.version));
        EXPECT_EQ(payload.size(), want.size) << "version " << int{want.version};
        EXPECT_EQ(crc32c(payload), want.crc) << "version " << int{want.version};
        Records back;
        ASSERT_TRUE(decode(payload, count_of(records), back).ok());
        EXPECT_EQ(back, records);
    }
}

TEST(BlockLimits, CountsBeyondTheMaximumAreRefusedUpFront) {
    // The decoder must not touch `out` (nor size anything) for such a count.
    const std::uint8_t payload[32] = {1};
    const Status status = decode_block(payload, kMaxBlockEvents + 1, nullptr);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::InvalidData);
    ByteBuffer out;
    // encode_block refuses by count before reading a single record.
    const Status too_many = encode_block(PackedEvents(payload, kMaxBlockEvents + 1), out);
    ASSERT_FALSE(too_many.ok());
    EXPECT_EQ(too_many.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(out.size(), 0u);
}

TEST(BlockLimits, AppendsToWhatTheBufferHolds) {
    Rng rng(5);
    const Records a = sparse_scene(rng, 100), b = camera_rows(rng, 100, 640, 480);
    ByteBuffer both;
    ASSERT_TRUE(encode_block(PackedEvents(a.data(), 100), both).ok());
    const std::size_t first = both.size();
    ASSERT_TRUE(encode_block(PackedEvents(b.data(), 100), both).ok());
    Records back;
    ASSERT_TRUE(decode({both.data(), first}, 100, back).ok());
    EXPECT_EQ(back, a);
    ASSERT_TRUE(decode({both.data() + first, both.size() - first}, 100, back).ok());
    EXPECT_EQ(back, b);
}

// Header fields, each bound at its edge and one past, checksum fixed up.
std::uint32_t rans_length(const std::vector<std::uint8_t>& v) {
    return std::uint32_t{v[14]} | std::uint32_t{v[15]} << 8 | std::uint32_t{v[16]} << 16 |
           std::uint32_t{v[17]} << 24;
}

class BlockBounds : public ::testing::TestWithParam<unsigned> {};

// Bits 1 to 7 of the flags mean nothing yet: each alone is refused at byte 1,
// with the columns bit set or not.
TEST_P(BlockBounds, EveryReservedFlagBitIsRefused) {
    Rng rng(2);
    const Records records = sparse_scene(rng, 50);
    for (const std::uint8_t columns : {std::uint8_t{0}, std::uint8_t{1}}) {
        std::vector<std::uint8_t> v = bytes_of(encode(records));
        v[1] = static_cast<std::uint8_t>(columns | (1u << GetParam()));
        seal_block(v, count_of(records));
        Records back;
        const Status status = decode(v, count_of(records), back);
        ASSERT_FALSE(status.ok()) << "bit " << GetParam();
        EXPECT_EQ(status.error().offset, 1u);
        EXPECT_NE(status.error().message.find("unknown flags"), std::string::npos) << status.error().message;
    }
}

INSTANTIATE_TEST_SUITE_P(Bits, BlockBounds, ::testing::Range(1u, 8u));

// The header's version decides the pixel history the decoder keeps: a
// 1280 x 720 block of 120,000 events has an exact one in version 1 (one
// slot per pixel) and 2^16 slots hashed by line in version 2, so a payload
// relabelled as the other version (and resealed) no longer decodes to its
// events.
TEST(BlockVersions, TheHeaderVersionPicksTheHistory) {
    Rng rng(21);
    const Records records = camera_rows(rng, 120000, 1280, 720);
    for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{2}}) {
        std::vector<std::uint8_t> v = bytes_of(encode(records, version));
        Records back;
        ASSERT_TRUE(decode(v, count_of(records), back).ok());
        ASSERT_EQ(back, records);
        v[0] = version == 1 ? 2 : 1;
        seal_block(v, count_of(records));
        const Status relabelled = decode(v, count_of(records), back);
        EXPECT_TRUE(!relabelled.ok() || back != records) << "version " << int{version};
    }
}

TEST(BlockBounds, UnknownVersionsAreRefusedAtByteZero) {
    Rng rng(2);
    const Records records = sparse_scene(rng, 20);
    for (const std::uint8_t version : {std::uint8_t{0}, std::uint8_t{4}, std::uint8_t{0x81}}) {
        ByteBuffer unwritten;
        const Status refused = encode_block(PackedEvents(records.data(), count_of(records)), unwritten, version);
        ASSERT_FALSE(refused.ok()) << int{version};
        EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
        EXPECT_EQ(unwritten.size(), 0u);
        std::vector<std::uint8_t> v = bytes_of(encode(records));
        v[0] = version;
        seal_block(v, count_of(records));
        Records back;
        const Status status = decode(v, count_of(records), back);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().offset, 0u);
        EXPECT_NE(status.error().message.find("unknown version " + std::to_string(version)), std::string::npos)
            << status.error().message;
    }
}

// 26 bytes (header and the two states) is the shortest payload: that of a
// block without events, which decodes; one byte less is refused at 0.
TEST(BlockBounds, TheShortestPayloadIsTwoStatesAfterTheHeader) {
    const ByteBuffer empty = encode(Records{});
    ASSERT_EQ(empty.size(), 26u);
    Records back;
    EXPECT_TRUE(decode({empty.data(), empty.size()}, 0, back).ok());
    const Status cut = decode({empty.data(), 25}, 0, back);
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error().offset, 0u);
    EXPECT_NE(cut.error().message.find("25 bytes is shorter than its header"), std::string::npos)
        << cut.error().message;
}

// The largest count a decoder takes is 2^22; it then reads the payload
// (whose check names another count); one more is refused before that.
TEST(BlockBounds, TheLargestCountIsReadAndOneMoreIsNot) {
    Rng rng(4);
    const Records records = sparse_scene(rng, 10);
    const ByteBuffer payload = encode(records);
    std::vector<std::uint8_t> out(kPackedEventBytes);
    const Status most = decode_block({payload.data(), payload.size()}, kMaxBlockEvents, out.data());
    ASSERT_FALSE(most.ok());
    EXPECT_EQ(most.error().offset, 10u);
    EXPECT_NE(most.error().message.find("checksum mismatch"), std::string::npos) << most.error().message;
    const Status over = decode_block({payload.data(), payload.size()}, kMaxBlockEvents + 1, out.data());
    ASSERT_FALSE(over.ok());
    EXPECT_NE(over.error().message.find("claims " + std::to_string(kMaxBlockEvents + 1) + " events"),
              std::string::npos)
        << over.error().message;
}

// A rANS length of exactly the room after the header (no raw bits) is
// right for a block that needs none.
TEST(BlockBounds, TheRansLengthMayReachTheEndOfThePayload) {
    Records plain;
    put_event(plain, Event{1, 0, 100, 0});
    put_event(plain, Event{2, 0, 100, 1});
    const std::vector<std::uint8_t> v = bytes_of(encode(plain));
    ASSERT_EQ(rans_length(v), v.size() - 18);  // ascending run, polarities 0 and 1: no raw bits
    Records back;
    ASSERT_TRUE(decode(v, 2, back).ok());
    EXPECT_EQ(back, plain);
}

// A far line's value above 31 leaves raw bits below its mantissa; the
// event's "other" polarity is 8 raw bits. Raw bits are outside the rANS
// states, so they can be set on their own (checksum fixed up) to what a
// decoder must refuse: a polarity "other" of 0 or 1, or padding that is not
// zero; and the edges it must take.
Records raw_bit_events(std::uint8_t p) {
    Records r;
    put_event(r, Event{1, 0, 100, p});  // ascending from (0, 0): no raw bits but the polarity's
    return r;
}

TEST(BlockBounds, AnOtherPolarityOfZeroOrOneIsRefused) {
    const std::vector<std::uint8_t> good = bytes_of(encode(raw_bit_events(2)));
    const std::size_t raw_at = 18 + rans_length(good);
    ASSERT_EQ(good.size(), raw_at + 1);
    ASSERT_EQ(good.back(), 2u);  // the polarity's 8 bits, least significant first
    for (const unsigned p : {0u, 1u, 2u, 3u, 255u}) {
        std::vector<std::uint8_t> v = good;
        v.back() = static_cast<std::uint8_t>(p);
        seal_block(v, 1);
        Records back;
        const Status status = decode(v, 1, back);
        if (p < 2) {
            ASSERT_FALSE(status.ok()) << "p " << p;
            EXPECT_NE(status.error().message.find("event 0 does not decode"), std::string::npos)
                << status.error().message;
            EXPECT_GE(*status.error().offset, 18u);
            EXPECT_LE(*status.error().offset, raw_at);
        } else {
            ASSERT_TRUE(status.ok()) << "p " << p << ": " << status.error().message;
            EXPECT_EQ(back, raw_bit_events(static_cast<std::uint8_t>(p)));
        }
    }
}

TEST(BlockBounds, RawBitsMustEndInZeroPaddingOfTheLastByte) {
    // Lines are columns (x stays); positions 40 then 63 ascend: gaps 39 (one
    // raw bit below its mantissa, 1) and 22 (none).
    Records r;
    put_event(r, Event{0, 40, 7, 0});
    put_event(r, Event{0, 63, 7, 0});
    const std::vector<std::uint8_t> good = bytes_of(encode(r));
    ASSERT_EQ(good[1] & 1, 1);
    const std::size_t raw_at = 18 + rans_length(good);
    ASSERT_EQ(good.size(), raw_at + 1);
    ASSERT_EQ(good.back(), 0b1u);
    Records back;
    for (unsigned pad = 1; pad < 8; ++pad) {
        std::vector<std::uint8_t> v = good;
        v.back() = static_cast<std::uint8_t>(v.back() | (1u << pad));
        seal_block(v, 2);
        const Status status = decode(v, 2, back);
        ASSERT_FALSE(status.ok()) << "padding bit " << pad;
        EXPECT_EQ(status.error().offset, raw_at);
        EXPECT_NE(status.error().message.find("raw bits do not end after 2 events"), std::string::npos)
            << status.error().message;
    }
    // The gap's raw bit cleared: 38, so positions 39 and 62, read as such
    // once the header's y_max says 62 too (with 63 the block is refused for
    // a maximum its events do not reach).
    std::vector<std::uint8_t> v = good;
    v.back() = 0;
    seal_block(v, 2);
    ASSERT_FALSE(decode(v, 2, back).ok());
    ASSERT_EQ(v[4], 63u);
    v[4] = 62;
    seal_block(v, 2);
    ASSERT_TRUE(decode(v, 2, back).ok());
    Records moved;
    put_event(moved, Event{0, 39, 7, 0});
    put_event(moved, Event{0, 62, 7, 0});
    EXPECT_EQ(back, moved);
    // The raw byte gone (checksum fixed up): the raw bits run out, which is
    // told once the events are read.
    std::vector<std::uint8_t> cut(good.begin(), good.end() - 1);
    seal_block(cut, 2);
    const Status short_raw = decode(cut, 2, back);
    ASSERT_FALSE(short_raw.ok());
    EXPECT_EQ(short_raw.error().offset, cut.size());
    EXPECT_NE(short_raw.error().message.find("raw bits do not end after 2 events"), std::string::npos)
        << short_raw.error().message;
}

// A near line step is coded as u = zigzag(step) - 1 < 30 (|step| < 16); an
// encoder never writes more, so a block that says 30 or 31 is forged here:
// the events coded as the encoder does, but for one symbol, then framed and
// sealed as encode_block frames them.
struct ForgingIo {
    static constexpr bool kEncoding = true;
    SymbolLog& log;
    BitWriter& raw;
    std::size_t target = ~std::size_t{0};
    unsigned replacement = 0;
    std::size_t calls = 0;
    std::vector<unsigned> symbols;
    unsigned symbol(AdaptiveCdf& cdf, unsigned s) {
        if (calls++ == target) s = replacement;
        symbols.push_back(s);
        log.add(cdf.start(s), cdf.frequency(s));
        cdf.update(s);
        return s;
    }
    std::uint32_t bits(std::uint32_t value, unsigned n) {
        raw.put(value, n);
        return value;
    }
};

// The model starts from, and the header states, `start_time` (the first
// event's t unless given).
std::vector<std::uint8_t> forged_block(const std::vector<Event>& events, const BlockGeometry& g,
                                       std::size_t target, unsigned replacement,
                                       std::vector<std::size_t>* starts = nullptr,
                                       std::vector<unsigned>* symbols = nullptr,
                                       std::optional<std::uint32_t> start_time = std::nullopt) {
    SymbolLog log;
    BitWriter raw;
    ForgingIo io{log, raw, target, replacement, 0, {}};
    const std::uint32_t t_first = start_time.value_or(events.front().t);
    EventModel model(g, t_first, events.size(), history_layout(kBlockVersion));
    for (Event e : events) {
        if (starts) starts->push_back(io.calls);
        model.code(io, e);
    }
    if (symbols) *symbols = io.symbols;
    std::vector<std::uint8_t> out(18, 0);
    out[0] = kBlockVersion;
    out[1] = g.axis == LineAxis::Columns ? 1 : 0;
    out[2] = static_cast<std::uint8_t>(g.x_max);
    out[3] = static_cast<std::uint8_t>(g.x_max >> 8);
    out[4] = static_cast<std::uint8_t>(g.y_max);
    out[5] = static_cast<std::uint8_t>(g.y_max >> 8);
    for (unsigned k = 0; k < 4; ++k) out[6 + k] = static_cast<std::uint8_t>(t_first >> (8 * k));
    ByteBuffer stream;
    rans_encode_log(log.ranges(), stream);
    out.insert(out.end(), stream.data(), stream.data() + stream.size());
    const std::vector<std::uint8_t>& bits = raw.finish();
    out.insert(out.end(), bits.begin(), bits.end());
    for (unsigned k = 0; k < 4; ++k) out[14 + k] = static_cast<std::uint8_t>(stream.size() >> (8 * k));
    seal_block(out, events.size());
    return out;
}

TEST(BlockBounds, ANearLineStepOf30OrMoreIsRefused) {
    // Lines are columns (x moves less than y); event 1 steps from line 20
    // to 35, near, u = 29: token 9 (16..31), then 13 in its mantissa table.
    const std::vector<Event> events = {{20, 0, 5, 0}, {35, 100, 5, 1}};
    Records records;
    for (const Event& e : events) put_event(records, e);
    std::vector<std::size_t> starts;
    std::vector<unsigned> symbols;
    const BlockGeometry own{LineAxis::Columns, 35, 100};
    const std::vector<std::uint8_t> honest = forged_block(events, own, ~std::size_t{0}, 0, &starts, &symbols);
    ASSERT_EQ(honest, bytes_of(encode(records)));  // the framing is encode_block's
    Records decoded;
    ASSERT_TRUE(decode(honest, 2, decoded).ok());
    EXPECT_EQ(decoded, records);
    // A wider sensor, so that the forged lines below lie on it.
    const BlockGeometry g{LineAxis::Columns, 200, 200};
    // Event 1: its kind, the step's token, the step's mantissa.
    const std::size_t mantissa = starts[1] + 2;
    ASSERT_EQ(symbols[starts[1] + 1], 9u);
    ASSERT_EQ(symbols[mantissa], 13u);
    for (const unsigned forged : {13u, 14u, 15u}) {
        // 14 and 15: u 30 and 31, lines 20 - 16 and 20 + 16, both on the sensor.
        const std::vector<std::uint8_t> block = forged_block(events, g, mantissa, forged);
        Records back;
        const Status status = decode(block, 2, back);
        if (forged == 13) {
            // The honest step decodes, but the wider header claims maxima
            // its events do not reach.
            ASSERT_FALSE(status.ok());
            EXPECT_NE(status.error().message.find("reach x 35 and y 100, not the header's 200 and 200"),
                      std::string::npos) << status.error().message;
            EXPECT_EQ(status.error().offset, 2u);
            continue;
        }
        ASSERT_FALSE(status.ok()) << "u " << 16 + forged;
        EXPECT_NE(status.error().message.find("event 1 does not decode"), std::string::npos)
            << status.error().message;
        EXPECT_GE(*status.error().offset, 18u);
        EXPECT_LE(*status.error().offset, block.size());
    }
}

// One step of x from 0 to 40,000 and its y one higher, then y up by one
// `y_steps` - 1 more times.
std::vector<Event> steps_of_y_after_x_jump(std::uint16_t y_steps) {
    std::vector<Event> events{{0, 0, 9, 0}};
    for (std::uint16_t y = 1; y <= y_steps; ++y) events.push_back({40000, y, 9, 0});
    return events;
}

// The writer's header: x_max, y_max and t_first of the block, and lines as
// columns exactly when the columns' steps (bit widths of |x_i - x_{i-1}|,
// the first event against itself) are fewer than the rows'.
TEST(BlockBounds, TheHeaderStatesTheBlockAndItsLineAxis) {
    struct Case {
        std::vector<Event> events;
        bool columns;
    };
    const Case cases[] = {
        {{{0, 0, 9, 0}, {1, 1, 9, 0}}, false},         // one step each way: a tie, rows
        {{{0, 0, 9, 0}, {1, 2, 9, 0}}, true},          // x moves by 1 bit, y by 2
        {{{0, 0, 9, 0}, {2, 1, 9, 0}}, false},
        {{{100, 0, 9, 0}, {100, 1, 9, 0}}, true},      // the first x counts for nothing
        {{{0, 100, 9, 0}, {1, 100, 9, 0}}, false},
        {{{5, 5, 9, 0}, {6, 4, 9, 0}, {6, 8, 9, 0}, {9, 8, 9, 0}}, true},   // x 1+0+2 against y 1+3+0
        {{{7, 3, 40, 1}}, false},                       // one event: no steps, rows
        {steps_of_y_after_x_jump(16), false},           // x's one step of 40,000 takes 16 bits: a tie
        {steps_of_y_after_x_jump(17), true},
    };
    for (const Case& c : cases) {
        Records records;
        std::uint16_t x_max = 0, y_max = 0;
        for (const Event& e : c.events) {
            put_event(records, e);
            x_max = std::max(x_max, e.x);
            y_max = std::max(y_max, e.y);
        }
        const std::vector<std::uint8_t> v = bytes_of(encode(records));
        EXPECT_EQ(v[1], c.columns ? 1u : 0u) << c.events.size() << " events from x " << c.events[0].x;
        EXPECT_EQ(v[2] | v[3] << 8, x_max);
        EXPECT_EQ(v[4] | v[5] << 8, y_max);
        EXPECT_EQ(std::uint32_t(v[6]) | std::uint32_t(v[7]) << 8 | std::uint32_t(v[8]) << 16 |
                      std::uint32_t(v[9]) << 24,
                  c.events[0].t);
        Records back;
        ASSERT_TRUE(decode(v, c.events.size(), back).ok());
        EXPECT_EQ(back, records);
    }
}

// A line or position past the block's x_max / y_max (header lowered by one,
// checksum fixed up) is refused at that event, whichever axis the lines take;
// at the true maxima the block decodes.
TEST(BlockBounds, CoordinatesPastTheHeaderMaximaAreRefused) {
    struct Case {
        Event first;
        std::size_t field;  // 2: x_max, 4: y_max
        bool columns;
    };
    // Rows when y moves no less than x; a new line codes its position
    // whole, a far line its number whole.
    const Case cases[] = {
        {Event{300, 200, 5, 0}, 2, false},  // position x = x_max
        {Event{300, 200, 5, 0}, 4, false},  // line y = y_max
        {Event{200, 300, 5, 0}, 2, true},   // line x = x_max
        {Event{200, 300, 5, 0}, 4, true},   // position y = y_max
    };
    for (const Case& c : cases) {
        Records r;
        put_event(r, c.first);
        // A second event that keeps the axis choice (steps along the line).
        const Event second = c.columns ? Event{c.first.x, 0, 6, 1} : Event{0, c.first.y, 6, 1};
        put_event(r, second);
        const std::vector<std::uint8_t> good = bytes_of(encode(r));
        ASSERT_EQ((good[1] & 1) != 0, c.columns);
        Records back;
        ASSERT_TRUE(decode(good, 2, back).ok());
        std::vector<std::uint8_t> v = good;
        const unsigned most = unsigned{v[c.field]} | unsigned{v[c.field + 1]} << 8;
        ASSERT_EQ(most, c.field == 2 ? c.first.x : c.first.y);
        v[c.field] = static_cast<std::uint8_t>(most - 1);
        v[c.field + 1] = static_cast<std::uint8_t>((most - 1) >> 8);
        seal_block(v, 2);
        const Status status = decode(v, 2, back);
        ASSERT_FALSE(status.ok()) << c.field << " " << c.columns;
        EXPECT_NE(status.error().message.find("event 0 does not decode"), std::string::npos)
            << status.error().message;
    }
}

// The header is what read_block_extent reports in the events' place, so a
// block whose decoded events contradict it is refused after decoding: a
// first event off t_first (its time coded as a step from the header's), or
// maxima above those the events reach (raised by one, checksum fixed up).
TEST(BlockBounds, EventsThatContradictTheirHeaderAreRefused) {
    const std::vector<Event> events = {{300, 200, 7, 0}, {301, 200, 7, 1}, {5, 9, 8, 0}};
    Records records;
    for (const Event& e : events) put_event(records, e);
    const BlockGeometry g{LineAxis::Rows, 301, 200};
    for (const std::uint32_t start : {5u, 6u, 7u, 8u, 4'000'000'000u}) {
        const std::vector<std::uint8_t> block = forged_block(events, g, ~std::size_t{0}, 0, nullptr, nullptr, start);
        Records back;
        const Status status = decode(block, events.size(), back);
        if (start == 7) {
            ASSERT_EQ(block, bytes_of(encode(records)));
            ASSERT_TRUE(status.ok()) << status.error().message;
            EXPECT_EQ(back, records);
            continue;
        }
        ASSERT_FALSE(status.ok()) << "start " << start;
        EXPECT_NE(status.error().message.find("first event is at t 7, not at the header's " + std::to_string(start)),
                  std::string::npos) << status.error().message;
        EXPECT_EQ(status.error().offset, 6u);
    }
    for (const std::size_t field : {std::size_t{2}, std::size_t{4}}) {
        std::vector<std::uint8_t> v = bytes_of(encode(records));
        const unsigned most = unsigned{v[field]} | unsigned{v[field + 1]} << 8;
        v[field] = static_cast<std::uint8_t>(most + 1);
        v[field + 1] = static_cast<std::uint8_t>((most + 1) >> 8);
        seal_block(v, events.size());
        Records back;
        const Status status = decode(v, events.size(), back);
        ASSERT_FALSE(status.ok()) << "field " << field;
        EXPECT_NE(status.error().message.find("reach x 301 and y 200, not the header's"), std::string::npos)
            << status.error().message;
        EXPECT_EQ(status.error().offset, 2u);
        // What the header says without decoding is what was refused.
        const Result<BlockExtent> extent = read_block_extent(v, events.size());
        ASSERT_TRUE(extent.ok());
        EXPECT_EQ(field == 2 ? extent.value().x_max : extent.value().y_max, most + 1);
    }
}


// A fast block built by hand from its planes, as docs/format.md states
// them: header, the plane lengths, each plane a Zstandard frame, sealed.
std::vector<std::uint8_t> fast_payload(const std::vector<std::vector<std::uint8_t>>& planes, std::uint16_t x_max,
                                       std::uint16_t y_max, std::uint32_t t_first, std::uint64_t count,
                                       std::uint8_t flags = 0) {
    std::vector<std::uint8_t> v(14 + 4 * kPlanes, 0);
    v[0] = kFastBlockVersion;
    v[1] = flags;
    v[2] = static_cast<std::uint8_t>(x_max);
    v[3] = static_cast<std::uint8_t>(x_max >> 8);
    v[4] = static_cast<std::uint8_t>(y_max);
    v[5] = static_cast<std::uint8_t>(y_max >> 8);
    for (unsigned k = 0; k < 4; ++k) v[6 + k] = static_cast<std::uint8_t>(t_first >> (8 * k));
    for (std::size_t k = 0; k < planes.size(); ++k) {
        std::vector<std::uint8_t> frame(ZSTD_compressBound(planes[k].size()));
        const std::size_t n = ZSTD_compress(frame.data(), frame.size(), planes[k].data(), planes[k].size(), 3);
        EXPECT_FALSE(ZSTD_isError(n));
        for (unsigned b = 0; b < 4; ++b) v[14 + 4 * k + b] = static_cast<std::uint8_t>(n >> (8 * b));
        v.insert(v.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
    }
    seal_block(v, count);
    return v;
}

// Three events: (5, 2, t 100, p 1), (3, 300, t 400, p 0), (65535, 300, t 100400, p 7).
// Time steps 0, 300 and 100000 (past 16 bits: escaped); y steps 2, 298, 0;
// x steps 5, -2, 65532 = -4 in 16 bits.
std::vector<std::vector<std::uint8_t>> three_event_planes() {
    return {{0, 88, 255},    // time: zigzag 0, 600 = 0x258, escape
            {0, 2, 255},
            {4, 84, 0},      // y: zigzag 4, 596 = 0x254, 0
            {0, 2, 0},
            {10, 3, 7},      // x: zigzag 10, 3, 7
            {0, 0, 0},
            {1, 0, 7},       // polarities as bytes: 7 is one
            {64, 13, 3, 0}};  // zigzag 200000 = 0x30D40
}

Records three_events() {
    Records r;
    put_event(r, {5, 2, 100, 1});
    put_event(r, {3, 300, 400, 0});
    put_event(r, {65535, 300, 100400, 7});
    return r;
}

TEST(FastBlockFormat, PlanesKeepTheirMeaning) {
    const std::vector<std::uint8_t> v = fast_payload(three_event_planes(), 65535, 300, 100, 3);
    Records back;
    const Status status = decode(v, 3, back);
    ASSERT_TRUE(status.ok()) << status.error().message;
    EXPECT_EQ(back, three_events());
    // Polarities of 0 and 1 only, as bits.
    auto planes = three_event_planes();
    planes[6] = {0b001};
    Records bits = three_events();
    bits[2 * kPackedEventBytes + 8] = 0;
    ASSERT_TRUE(decode(fast_payload(planes, 65535, 300, 100, 3, kPolarityBits), 3, back).ok());
    EXPECT_EQ(back, bits);
    // The encoder chooses bits exactly when every polarity is 0 or 1.
    EXPECT_EQ(encode(three_events(), kFastBlockVersion).data()[1], 0);
    EXPECT_EQ(encode(bits, kFastBlockVersion).data()[1], kPolarityBits);
}

// Resealed payloads: the checksum matches, the planes themselves are wrong.
TEST(FastBlockFormat, MalformedPlanesAreRefusedWhereTheyShow) {
    struct Case {
        const char* what;
        std::function<void(std::vector<std::vector<std::uint8_t>>&)> change;
        std::uint8_t flags;
        std::size_t offset;
        std::string message;
    };
    const std::size_t first_frame = 14 + 4 * kPlanes;
    const Case cases[] = {
        {"a time escape for a step that needs none", [](auto& p) { p[7] = {254, 255, 0, 0}; }, 0, 0,
         "escapes the time step 65534 of event 2"},
        {"an escape plane a byte short", [](auto& p) { p[7].pop_back(); }, 0, 0, "plane 7 does not hold 4 bytes"},
        {"an escape plane a byte long", [](auto& p) { p[7].push_back(0); }, 0, 0, "plane 7 does not hold 4 bytes"},
        {"a time plane of four events", [](auto& p) { p[0].push_back(0); }, 0, first_frame,
         "plane 0 does not hold 3 bytes"},
        {"a polarity plane of two events", [](auto& p) { p[6].pop_back(); }, 0, 0, "plane 6 does not hold 3 bytes"},
        {"polarity bits for the wrong count", [](auto& p) { p[6] = {1, 0}; }, kPolarityBits, 0,
         "plane 6 does not hold 1 bytes"},
        {"polarity bits padded with ones", [](auto& p) { p[6] = {0b1001}; }, kPolarityBits, 0,
         "not padded with zeros"},
        {"polarities of 0 and 1 as bytes", [](auto& p) { p[6] = {1, 0, 1}; }, 0, 1, "as bytes, not bits"},
    };
    for (const Case& c : cases) {
        auto planes = three_event_planes();
        c.change(planes);
        const std::vector<std::uint8_t> v = fast_payload(planes, 65535, 300, 100, 3, c.flags);
        Records back;
        const Status status = decode(v, 3, back);
        ASSERT_FALSE(status.ok()) << c.what;
        EXPECT_EQ(status.error().kind, ErrorKind::InvalidData) << c.what;
        if (c.offset != 0) {
            EXPECT_EQ(status.error().offset, c.offset) << c.what;
        }
        EXPECT_NE(status.error().message.find(c.message), std::string::npos) << c.what << ": "
                                                                             << status.error().message;
    }
}

TEST(FastBlockFormat, PlaneLengthsMustTileThePayload) {
    const std::vector<std::uint8_t> good = fast_payload(three_event_planes(), 65535, 300, 100, 3);
    for (unsigned k = 0; k < kPlanes; ++k) {
        std::vector<std::uint8_t> v = good;
        v[14 + 4 * k + 3] = 0x7F;  // far past the end
        seal_block(v, 3);
        Records back;
        const Status status = decode(v, 3, back);
        ASSERT_FALSE(status.ok()) << k;
        EXPECT_EQ(status.error().offset, 14 + 4 * k) << status.error().message;
    }
    std::vector<std::uint8_t> longer = good;
    longer.push_back(0);
    seal_block(longer, 3);
    Records back;
    const Status status = decode(longer, 3, back);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().offset, good.size()) << status.error().message;
    EXPECT_NE(status.error().message.find("after its last plane"), std::string::npos);
}

TEST(FastBlockFormat, APlaneIsExactlyOneFrame) {
    // The polarity plane's frame twice over, its length doubled: two frames
    // that would decompress to six bytes, and a frame followed by garbage.
    const std::vector<std::uint8_t> good = fast_payload(three_event_planes(), 65535, 300, 100, 3);
    const auto length_of = [&](unsigned k) {
        return std::size_t{good[14 + 4 * k]} | std::size_t{good[15 + 4 * k]} << 8;
    };
    std::size_t start = 14 + 4 * kPlanes;
    for (unsigned k = 0; k < 6; ++k) start += length_of(k);
    const std::size_t length = length_of(6);
    for (const bool garbage : {false, true}) {
        std::vector<std::uint8_t> v = good;
        std::vector<std::uint8_t> extra(v.begin() + static_cast<std::ptrdiff_t>(start),
                                        v.begin() + static_cast<std::ptrdiff_t>(start + length));
        if (garbage) std::fill(extra.begin(), extra.end(), std::uint8_t{0x5A});
        v.insert(v.begin() + static_cast<std::ptrdiff_t>(start + length), extra.begin(), extra.end());
        v[14 + 4 * 6] = static_cast<std::uint8_t>(2 * length);
        seal_block(v, 3);
        Records back;
        const Status status = decode(v, 3, back);
        ASSERT_FALSE(status.ok()) << garbage;
        EXPECT_EQ(status.error().offset, start) << status.error().message;
        EXPECT_NE(status.error().message.find("not one Zstandard frame"), std::string::npos)
            << status.error().message;
    }
}

TEST(FastBlockFormat, OnlyThePolarityFlagIsKnown) {
    for (const unsigned flag : {0x02u, 0x04u, 0x80u}) {
        std::vector<std::uint8_t> v =
            fast_payload(three_event_planes(), 65535, 300, 100, 3, static_cast<std::uint8_t>(flag));
        Records back;
        const Status status = decode(v, 3, back);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().offset, 1u);
    }
}

TEST(FastBlockFormat, TheHeaderMustStateItsEvents) {
    // Planes that decode, under a header that says otherwise.
    for (const auto& [x_max, y_max] : {std::pair<std::uint16_t, std::uint16_t>{65534, 300}, {65535, 301}}) {
        const std::vector<std::uint8_t> v = fast_payload(three_event_planes(), x_max, y_max, 100, 3);
        Records back;
        const Status status = decode(v, 3, back);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().offset, 2u) << status.error().message;
    }
    // Steps start from the header's t_first, so a first step other than 0
    // puts the first event elsewhere.
    auto planes = three_event_planes();
    planes[0][0] = 2;
    const std::vector<std::uint8_t> v = fast_payload(planes, 65535, 300, 100, 3);
    Records back;
    const Status status = decode(v, 3, back);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().offset, 6u) << status.error().message;
}

TEST(FastBlockFormat, CameraRowsTakeAFewBytesAnEvent) {
    Rng rng(5);
    const Records records = camera_rows(rng, 50000, 1280, 720);
    const ByteBuffer fast = encode(records, kFastBlockVersion);
    const ByteBuffer small = encode(records);
    EXPECT_LT(fast.size(), records.size() / 2);
    EXPECT_LT(small.size(), fast.size());
}

}  // namespace
}  // namespace zel::lossless
