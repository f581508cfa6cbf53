#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "base/bit_count.hpp"

namespace zel {
namespace {

// Every length around the eight-byte word and every start offset, so both
// the word loop and the byte tail see unaligned data.
TEST(CountSetBits, AgreesWithBitByBitCount) {
    std::mt19937 rng(5);
    std::vector<std::uint8_t> data(80);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    data[0] = 0xFF;
    data[79] = 0xFF;
    for (std::size_t start = 0; start < 9; ++start) {
        for (std::size_t length = 0; start + length <= data.size(); ++length) {
            std::uint64_t expected = 0;
            for (std::size_t i = start; i < start + length; ++i) {
                for (unsigned k = 0; k < 8; ++k) expected += (unsigned{data[i]} >> k) & 1u;
            }
            EXPECT_EQ(count_set_bits(data.data() + start, length), expected)
                << "start " << start << " length " << length;
        }
    }
}

}  // namespace
}  // namespace zel
