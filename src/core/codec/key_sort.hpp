#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zel {

// An allocator whose resize leaves new elements uninitialised: key buffers
// are always written before they are read, and zero-filling millions of
// slots that are about to be overwritten would cost a pass over memory.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using KeyBuffer = std::vector<std::uint64_t, UninitialisedAllocator<std::uint64_t>>;

// Sorts voxel keys (each below 2^key_bits, key_bits <= kMaxKeyBits of
// grid_params.hpp) ascending. The
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
    bool sort(KeyBuffer& keys, unsigned key_bits);

    // Whether sort() would take the bitmap for n keys of key_bits bits. A
    // caller that makes its keys one at a time can then set them in
    // bitmap() itself and use the bitmap as it is, skipping the key buffer.
    static bool takes_bitmap(std::size_t n, unsigned key_bits);
    // A bitmap of 2^key_bits bits, all zero.
    std::uint64_t* bitmap(unsigned key_bits);
    // Zeroes the bitmap again; a caller that set bits must call it.
    void clear_bitmap(unsigned key_bits);

    // Releases buffers above `keep_bytes` so an idle sorter does not pin the
    // memory of its largest job.
    void trim(std::size_t keep_bytes);

private:
    // Replaces keys with the set bits' positions, ascending, each once, and
    // leaves the bitmap zero. At most `capacity_hint` keys are expected.
    void collect_bitmap(KeyBuffer& keys, unsigned key_bits, std::size_t capacity_hint);
    void sort_by_radix(KeyBuffer& keys);

    KeyBuffer scratch_;
    std::vector<std::uint64_t> bitmap_;  // all zero between calls
};

// Whether sort() takes the bitmap path for n keys of key_bits bits, leaving
// aside the comparison sort of very short inputs; exposed so tests can aim
// at both sides of the choice.
bool bitmap_sort_fits(std::size_t n, unsigned key_bits);

}  // namespace zel
