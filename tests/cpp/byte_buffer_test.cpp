#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include "base/byte_buffer.hpp"

namespace zel {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Byte i of the content is pattern()[i % kPeriod]; the period is no power
// of two, so content copied to a wrong offset shows.
constexpr std::size_t kPeriod = kMiB + 17;

const std::vector<std::uint8_t>& pattern() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b(kPeriod);
        for (std::size_t i = 0; i < kPeriod; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + (i >> 11));
        return b;
    }();
    return bytes;
}

void fill_pattern(std::uint8_t* to, std::size_t from, std::size_t n) {
    while (n > 0) {
        const std::size_t at = from % kPeriod, run = std::min(n, kPeriod - at);
        std::memcpy(to, pattern().data() + at, run);
        to += run, from += run, n -= run;
    }
}

void append_pattern(ByteBuffer& buffer, std::size_t n) {
    const std::size_t from = buffer.size();
    buffer.reserve_more(n);
    fill_pattern(buffer.tail(), from, n);
    buffer.commit(n);
}

// The content is the pattern from byte `from` on.
::testing::AssertionResult holds_pattern(const ByteBuffer& buffer, std::size_t from = 0) {
    std::vector<std::uint8_t> expected(buffer.size());
    fill_pattern(expected.data(), from, expected.size());
    if (buffer.size() > 0 && std::memcmp(buffer.data(), expected.data(), buffer.size()) != 0) {
        return ::testing::AssertionFailure() << "content differs from the pattern at " << from;
    }
    return ::testing::AssertionSuccess();
}

// Appends in steps of each size, past the point where large blocks grow
// into new aligned ones, and from there on: what was written stays.
class ByteBufferGrowth : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ByteBufferGrowth, KeepsContentAcrossEveryReallocation) {
    const std::size_t step = GetParam();
    ByteBuffer buffer;
    std::size_t reallocations = 0;
    while (buffer.size() < 72 * kMiB) {
        const std::size_t before = buffer.capacity();
        append_pattern(buffer, step);
        reallocations += buffer.capacity() != before;
        ASSERT_GE(buffer.capacity(), buffer.size());
    }
    EXPECT_TRUE(holds_pattern(buffer));
    EXPECT_GE(reallocations, 2u);
}

INSTANTIATE_TEST_SUITE_P(Steps, ByteBufferGrowth,
                         ::testing::Values(std::size_t{4093}, std::size_t{3 * kMiB + 5}, std::size_t{33 * kMiB},
                                           std::size_t{40 * kMiB}));

// Large blocks start on a 2 MiB boundary so the kernel can back them with
// huge pages, and stay on one as they grow (moved to a larger range, even
// when the addresses past them are taken), shrink and grow again.
TEST(ByteBuffer, LargeBlockStaysAlignedAsItGrowsAndShrinks) {
    ByteBuffer buffer;
    const auto aligned = [&] {
        return reinterpret_cast<std::uintptr_t>(buffer.data()) % (2 * kMiB) == 0 &&
               buffer.capacity() % (2 * kMiB) == 0;
    };
    append_pattern(buffer, 40 * kMiB);
    ASSERT_TRUE(aligned());
    // A page mapped right past the block, which must survive its growth.
    void* fence = ::mmap(buffer.data() + buffer.capacity(), 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(fence, MAP_FAILED);
    for (const std::size_t step : {30 * kMiB, 100 * kMiB, 7 * kMiB}) {
        append_pattern(buffer, step);
        EXPECT_TRUE(aligned()) << buffer.size();
        ASSERT_TRUE(holds_pattern(buffer)) << buffer.size();
    }
    EXPECT_EQ(static_cast<const std::uint8_t*>(fence)[0], 0);
    buffer.reserve_more(300 * kMiB);
    buffer.shrink_to_fit();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % (2 * kMiB), 0u);
    EXPECT_LT(buffer.capacity(), buffer.size() + 64 * 1024);  // whole pages
    append_pattern(buffer, 20 * kMiB);  // and grows again from there
    EXPECT_TRUE(aligned());
    EXPECT_TRUE(holds_pattern(buffer));
    ::munmap(fence, 4096);
}

// Shrinking, moving and discarding work the same on blocks from either path.
TEST(ByteBuffer, ShrinkMoveAndDiscardKeepContent) {
    for (const std::size_t n : {std::size_t{100}, 5 * kMiB, 40 * kMiB}) {
        ByteBuffer buffer;
        append_pattern(buffer, n);
        buffer.reserve_more(3 * n);
        buffer.shrink_to_fit();
        EXPECT_LE(buffer.capacity(), n + n / 8) << n;
        ASSERT_TRUE(holds_pattern(buffer)) << n;

        ByteBuffer moved(std::move(buffer));
        EXPECT_EQ(buffer.size(), 0u);
        ASSERT_EQ(moved.size(), n);
        moved.discard_front(n / 3);
        EXPECT_EQ(moved.size(), n - n / 3);
        EXPECT_TRUE(holds_pattern(moved, n / 3)) << n;

        ByteBuffer assigned;
        assigned = std::move(moved);
        EXPECT_TRUE(holds_pattern(assigned, n / 3)) << n;
    }
}

}  // namespace
}  // namespace zel
