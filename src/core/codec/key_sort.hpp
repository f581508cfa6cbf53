#pragma once

#include <cstdint>
#include <vector>

namespace zel {

// Sorts voxel keys (each below 2^key_bits, key_bits <= 48) ascending. The
// result may or may not keep duplicates; callers must accept both. Buffers
// live in the sorter so repeated sorts of similar sizes allocate nothing.
//
// Dense key sets in a small key space are sorted through a bitmap, which
// drops duplicates as a side effect; everything else goes through an LSD
// radix sort over only the bits that differ between keys, split into equal
// digits of at most 9 bits so no pass is wasted on a short remainder.
class KeySorter {
public:
    // Returns true when the result is known to hold each key once.
    bool sort(std::vector<std::uint64_t>& keys, unsigned key_bits);

    // Releases buffers above `keep_bytes` so an idle sorter does not pin the
    // memory of its largest job.
    void trim(std::size_t keep_bytes);

private:
    void sort_by_bitmap(std::vector<std::uint64_t>& keys, unsigned key_bits);
    void sort_by_radix(std::vector<std::uint64_t>& keys);

    std::vector<std::uint64_t> scratch_;
    std::vector<std::uint64_t> bitmap_;  // all zero between calls
};

// Whether sort() takes the bitmap path for n keys of key_bits bits; exposed
// so tests can aim at both sides of the choice.
bool bitmap_sort_fits(std::size_t n, unsigned key_bits);

}  // namespace zel
