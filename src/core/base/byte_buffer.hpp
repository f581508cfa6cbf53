#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>

#include "base/memory_limits.hpp"

namespace zel {

// A growable byte block that, unlike std::vector, leaves new capacity
// uninitialised: readers fill it straight from read() or a decoder, so
// zeroing it first would only cost a pass over memory. Its block can be
// handed on whole (to a Python buffer object) without a copy.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data_); }

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    std::uint8_t* tail() { return data_ + size_; }
    std::size_t spare() const { return capacity_ - size_; }

    // Makes room for `extra` bytes past size(); grows at least geometrically
    // so repeated appends stay linear. Throws std::bad_alloc on failure.
    void reserve_more(std::size_t extra) {
        if (extra <= spare()) return;
        if (extra > kAddressSpaceBytes - size_) throw std::bad_alloc();
        std::size_t wanted = size_ + extra;
        if (capacity_ < kAddressSpaceBytes / 2 && wanted < capacity_ * 2) wanted = capacity_ * 2;
        reallocate(wanted);
    }

    // Counts `n` bytes written into the spare capacity as content.
    void commit(std::size_t n) { size_ += n; }
    void clear() { size_ = 0; }

    // Gives unused capacity back, for results that are kept. Slack under an
    // eighth is kept: shrinking in place is not free either.
    void shrink_to_fit() {
        if (size_ > 0 && capacity_ - size_ > size_ / 8) reallocate(size_);
    }

    // Moves the unread bytes [from, size) to the front.
    void discard_front(std::size_t from) {
        const std::size_t keep = size_ - from;
        if (from > 0 && keep > 0) __builtin_memmove(data_, data_ + from, keep);
        size_ = keep;
    }

    // Hands the block to a new owner, who frees it with std::free.
    std::uint8_t* release() {
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    static constexpr std::size_t kHugePage = std::size_t{1} << 21;
    // Below this, malloc keeps freed blocks in its heap, and a buffer taken
    // again (the next file's) reuses pages that are already there: cheaper
    // than fresh huge pages. Past it, every block is a fresh mapping.
    static constexpr std::size_t kAlignedGrowthBytes = std::size_t{32} << 20;

    void reallocate(std::size_t capacity) {
        if (capacity >= kAlignedGrowthBytes && capacity > capacity_) return grow_aligned(capacity);
        void* grown = std::realloc(data_, capacity == 0 ? 1 : capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(grown);
        capacity_ = capacity;
    }

    // Large blocks are filled once, front to back: backed by huge pages they
    // take one page fault per 2 MiB instead of one per 4 KiB (NumPy advises
    // its arrays the same way). realloc would move the pages already filled
    // to an address of its choosing, where they no longer line up with huge
    // pages, and fills the rest page by page (34,000 faults for 113 MB
    // against 125): so a large block grows into a new aligned one, advised
    // before anything touches it, and the content is copied over.
    void grow_aligned(std::size_t capacity) {
        if (capacity > kAddressSpaceBytes - kHugePage) throw std::bad_alloc();
        capacity = (capacity + kHugePage - 1) & ~(kHugePage - 1);
        void* grown = nullptr;
        if (::posix_memalign(&grown, kHugePage, capacity) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(grown, capacity, MADV_HUGEPAGE);
#endif
        if (size_ > 0) __builtin_memcpy(grown, data_, size_);
        std::free(data_);
        data_ = static_cast<std::uint8_t*>(grown);
        capacity_ = capacity;
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace zel
