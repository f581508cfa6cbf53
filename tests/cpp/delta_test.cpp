#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/delta.hpp"

namespace zel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes repeat(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Buffers with long runs, short runs and lone bytes, as frame deltas have.
Bytes random_runs(std::mt19937_64& rng, std::size_t max_len) {
    Bytes out;
    const std::size_t target = rng() % (max_len + 1);
    while (out.size() < target) {
        const std::size_t run = rng() % 4 == 0 ? rng() % 600 : 1 + rng() % 3;
        const auto value = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0 : rng());
        out.insert(out.end(), std::min(run, target - out.size()), value);
    }
    return out;
}

struct XorCase {
    Bytes a, b, expected;
};

TEST(XorDelta, Examples) {
    const std::vector<XorCase> cases = {
        {{0xf0, 0x0f}, {0xff}, {0x0f, 0x0f}},
        {{0xff}, {0xf0, 0x0f}, {0x0f, 0x0f}},
        {{}, {}, {}},
        {{}, {0x01, 0x02}, {0x01, 0x02}},
        {{0x12, 0x34, 0x56}, {0x12, 0x34, 0x56}, {0x00, 0x00, 0x00}},
    };
    for (const XorCase& c : cases) EXPECT_EQ(xor_delta(c.a, c.b), c.expected);
}

TEST(XorDelta, IsItsOwnInverseWithZeroPadding) {
    std::mt19937_64 rng(4);
    for (int trial = 0; trial < 300; ++trial) {
        const Bytes a = random_runs(rng, 40), b = random_runs(rng, 40);
        Bytes b_padded = b;
        b_padded.resize(std::max(a.size(), b.size()), 0);
        EXPECT_EQ(xor_delta(a, xor_delta(a, b)), b_padded);
        EXPECT_EQ(xor_delta(a, b), xor_delta(b, a));
    }
}

struct RleCase {
    const char* name;
    Bytes data, encoded;
};

TEST(RleEncode, Examples) {
    const std::vector<RleCase> cases = {
        {"runs_split_at_255", concat({repeat(300, 0x00), {0x05, 0x05, 0x07}}),
         {0xff, 0x00, 0x2d, 0x00, 0x02, 0x05, 0x01, 0x07}},
        {"run_of_255", repeat(255, 0x09), {0xff, 0x09}},
        {"run_of_256", repeat(256, 0x09), {0xff, 0x09, 0x01, 0x09}},
        {"run_of_510", repeat(510, 0x00), {0xff, 0x00, 0xff, 0x00}},
        {"empty", {}, {}},
        {"no_equal_neighbours", {0x01, 0x02, 0x01, 0x03},
         {0x01, 0x01, 0x01, 0x02, 0x01, 0x01, 0x01, 0x03}},
    };
    for (const RleCase& c : cases) {
        EXPECT_EQ(rle_encode(c.data), c.encoded) << c.name;
        EXPECT_EQ(rle_decode(c.encoded), c.data) << c.name;
    }
}

TEST(RleDecode, ZeroCountsAndTrailingByte) {
    EXPECT_EQ(rle_decode(Bytes{0x00, 0x41, 0x03, 0x42}), (Bytes{0x42, 0x42, 0x42}));
    EXPECT_EQ(rle_decode(Bytes{0x02, 0x41, 0x07}), (Bytes{0x41, 0x41}));
    EXPECT_TRUE(rle_decode(Bytes{0x07}).empty());
    EXPECT_TRUE(rle_decode(Bytes{}).empty());
}

TEST(Rle, RoundTripsAndKeepsRunsMaximal) {
    std::mt19937_64 rng(10);
    for (int trial = 0; trial < 500; ++trial) {
        const Bytes data = random_runs(rng, 2000);
        const Bytes encoded = rle_encode(data);
        ASSERT_EQ(encoded.size() % 2, 0u);
        ASSERT_EQ(rle_decode(encoded), data);
        // Greedy runs: a pair shorter than 255 is never followed by its own value.
        for (std::size_t j = 0; j + 2 < encoded.size(); j += 2) {
            ASSERT_GE(encoded[j], 1);
            if (encoded[j] < 255) {
                ASSERT_NE(encoded[j + 1], encoded[j + 3]);
            }
        }
    }
}

// The drivers code and decode deltas through fused helpers; they must agree
// with the plain compositions byte for byte.
TEST(FusedDelta, AppendMatchesEncodeOfXor) {
    std::mt19937_64 rng(12);
    for (int trial = 0; trial < 500; ++trial) {
        const Bytes a = random_runs(rng, 700), b = random_runs(rng, 700);
        Bytes out = {0xAA, 0xBB};  // appends after what is there
        append_rle_xor(a, b, out);
        EXPECT_EQ(out, concat({{0xAA, 0xBB}, rle_encode(xor_delta(a, b))}));
    }
}

TEST(FusedDelta, ApplyMatchesXorOfDecode) {
    std::mt19937_64 rng(13);
    for (int trial = 0; trial < 500; ++trial) {
        Bytes buffer = random_runs(rng, 700);
        Bytes rle = rle_encode(random_runs(rng, 700));
        // Hand-made forms too: zero counts and an odd trailing byte.
        if (trial % 5 == 0) rle.insert(rle.begin(), {0x00, 0x33});
        if (trial % 7 == 0) rle.push_back(0x44);
        const Bytes expected = xor_delta(buffer, rle_decode(rle));
        apply_rle_xor(rle, buffer);
        EXPECT_EQ(buffer, expected);
    }
}

}  // namespace
}  // namespace zel
