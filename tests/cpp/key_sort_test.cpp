#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/key_sort.hpp"

namespace zel {
namespace {

using Keys = KeyBuffer;

// Sizes and widths around every switch of the sorter: the comparison sort
// below 64 keys, the bitmap's size limit, and radix sorts of one to six
// digits, with keys that are all alike, all distinct or mostly repeated.
TEST(KeySorter, SortsLikeStdSortOnBothSidesOfEverySwitch) {
    std::mt19937_64 rng(3);
    KeySorter sorter;  // one sorter throughout: its buffers must not leak state
    const std::vector<unsigned> widths = {0, 1, 8, 14, 15, 20, 27, 28, 33, 47, 48};
    const std::vector<std::size_t> sizes = {1, 2, 63, 64, 65, 300, 4095, 4096, 4097, 70'000};
    for (const unsigned bits : widths) {
        for (const std::size_t n : sizes) {
            for (const int pattern : {0, 1, 2}) {
                SCOPED_TRACE("bits " + std::to_string(bits) + " n " + std::to_string(n) +
                             " pattern " + std::to_string(pattern));
                const std::uint64_t mask = bits == 0 ? 0 : (~std::uint64_t{0} >> (64 - bits));
                Keys keys(n);
                for (std::uint64_t& k : keys) {
                    if (pattern == 0) k = rng() & mask;              // spread
                    if (pattern == 1) k = (rng() % 5) * (mask / 5);  // few values, far apart
                    if (pattern == 2) k = mask;                       // all alike, top value
                }
                Keys expected = keys;
                std::sort(expected.begin(), expected.end());
                Keys distinct = expected;
                distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

                const bool deduplicated = sorter.sort(keys, bits);
                if (deduplicated) {
                    EXPECT_EQ(keys, distinct);
                } else {
                    EXPECT_EQ(keys, expected);
                }
            }
        }
    }
}

TEST(KeySorter, BitmapChoiceFollowsKeySpaceAndCount) {
    EXPECT_TRUE(bitmap_sort_fits(1'000'000, 24));
    EXPECT_TRUE(bitmap_sort_fits(1'000'000, 27));
    EXPECT_FALSE(bitmap_sort_fits(1'000'000, 28));  // key space too large
    EXPECT_FALSE(bitmap_sort_fits(100, 24));         // too few keys for the scan
    EXPECT_TRUE(bitmap_sort_fits(100, 8));
}

TEST(KeySorter, TrimKeepsItUsable) {
    KeySorter sorter;
    Keys keys = {5, 3, 9, 3};
    keys.resize(5000, 7);
    sorter.sort(keys, 20);
    sorter.trim(0);
    Keys again(5000);
    for (std::size_t i = 0; i < again.size(); ++i) again[i] = (again.size() - i) * 3;
    Keys expected = again;
    std::sort(expected.begin(), expected.end());
    sorter.sort(again, 20);
    EXPECT_EQ(again, expected);
}

}  // namespace
}  // namespace zel
