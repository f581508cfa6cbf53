#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/crc32c.hpp"

namespace zel {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// Check values from RFC 3720 (iSCSI), appendix B.4, and the common "123456789".
TEST(Crc32c, StandardVectors) {
    EXPECT_EQ(crc32c(bytes_of("123456789")), 0xE3069283u);
    EXPECT_EQ(crc32c(std::vector<std::uint8_t>(32, 0x00)), 0x8A9136AAu);
    EXPECT_EQ(crc32c(std::vector<std::uint8_t>(32, 0xFF)), 0x62A8AB43u);
    std::vector<std::uint8_t> ascending(32);
    for (std::size_t i = 0; i < 32; ++i) ascending[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(crc32c(ascending), 0x46DD794Eu);
    EXPECT_EQ(crc32c({}), 0u);
}

// The eight-byte loop and the byte tail must agree at every split point.
TEST(Crc32c, RunningChecksumMatchesWholeAtEverySplit) {
    std::vector<std::uint8_t> data(77);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::uint32_t whole = crc32c(data);
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        const std::span<const std::uint8_t> all(data);
        EXPECT_EQ(crc32c(all.subspan(cut), crc32c(all.first(cut))), whole) << cut;
    }
}

}  // namespace
}  // namespace zel
