#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "base/crc32c.hpp"

namespace zel {
namespace {

using Checksum = std::uint32_t (*)(std::span<const std::uint8_t>, std::uint32_t);

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// Both ways of computing the checksum: the one callers get (the CPU's
// instruction where it has one) and the table loop.
class Crc32cBothWays : public ::testing::TestWithParam<Checksum> {};

// Check values from RFC 3720 (iSCSI), appendix B.4, and the common "123456789".
TEST_P(Crc32cBothWays, StandardVectors) {
    const Checksum crc = GetParam();
    EXPECT_EQ(crc(bytes_of("123456789"), 0), 0xE3069283u);
    EXPECT_EQ(crc(std::vector<std::uint8_t>(32, 0x00), 0), 0x8A9136AAu);
    EXPECT_EQ(crc(std::vector<std::uint8_t>(32, 0xFF), 0), 0x62A8AB43u);
    std::vector<std::uint8_t> ascending(32);
    for (std::size_t i = 0; i < 32; ++i) ascending[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(crc(ascending, 0), 0x46DD794Eu);
    EXPECT_EQ(crc({}, 0), 0u);
}

// The eight-byte loop and the byte tail must agree at every split point.
TEST_P(Crc32cBothWays, RunningChecksumMatchesWholeAtEverySplit) {
    const Checksum crc = GetParam();
    std::vector<std::uint8_t> data(77);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::uint32_t whole = crc(data, 0);
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        const std::span<const std::uint8_t> all(data);
        EXPECT_EQ(crc(all.subspan(cut), crc(all.first(cut), 0)), whole) << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, Crc32cBothWays, ::testing::Values(&crc32c, &crc32c_portable),
                         [](const ::testing::TestParamInfo<Checksum>& way) {
                             return way.index == 0 ? "dispatched" : "portable";
                         });

// Random bytes at every start offset and length around the word size, and a
// running value carried in: the two ways agree everywhere.
TEST(Crc32c, DispatchedAgreesWithPortable) {
    std::mt19937 rng(17);
    std::vector<std::uint8_t> data(200);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const std::span<const std::uint8_t> all(data);
    for (std::size_t start = 0; start < 9; ++start) {
        for (std::size_t length = 0; start + length <= data.size(); ++length) {
            const std::uint32_t running = static_cast<std::uint32_t>(rng());
            EXPECT_EQ(crc32c(all.subspan(start, length), running),
                      crc32c_portable(all.subspan(start, length), running))
                << "start " << start << " length " << length;
        }
    }
}

}  // namespace
}  // namespace zel
