#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "base/memory_limits.hpp"

namespace zel {

// A growable byte block that, unlike std::vector, leaves new capacity
// uninitialised: readers fill it straight from read() or a decoder, so
// zeroing it first would only cost a pass over memory. Large blocks grow
// without copying what they hold (below).
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          mapped_(std::exchange(other.mapped_, false)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            deallocate();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            mapped_ = std::exchange(other.mapped_, false);
        }
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { deallocate(); }

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

private:
    static constexpr std::size_t kHugePage = std::size_t{1} << 21;
    // Below this, malloc keeps freed blocks in its heap, and a buffer taken
    // again (the next file's) reuses pages that are already there: cheaper
    // than fresh huge pages. Past it, a block is a mapping of its own. At
    // 16 MiB, a store read on two threads starts its output as a mapping
    // (two blocks of 2^20 events are 18 MiB), so growing it never copies.
    static constexpr std::size_t kMappedBytes = std::size_t{16} << 20;

    void reallocate(std::size_t capacity) {
        if (mapped_) return capacity > capacity_ ? grow_mapping(capacity) : shrink_mapping(capacity);
        if (capacity >= kMappedBytes && capacity > capacity_) return move_to_mapping(capacity);
        void* grown = std::realloc(data_, capacity == 0 ? 1 : capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<std::uint8_t*>(grown);
        capacity_ = capacity;
    }

    void deallocate() {
        if (mapped_) {
            ::munmap(data_, capacity_);
        } else {
            std::free(data_);
        }
    }

    // Large blocks are filled once, front to back, often by several threads
    // at once. Backed by huge pages they take one page fault per 2 MiB
    // instead of one per 4 KiB (NumPy advises its arrays the same way), so
    // they are mappings on 2 MiB boundaries, advised before anything touches
    // them. A mapping grows by moving its page tables (mremap) to a larger
    // aligned range: nothing is copied, and the pages already filled are
    // neither cleared again nor split, where a copy into a new block would
    // clear and fill the whole content again on the growing thread.
    static std::size_t whole_huge_pages(std::size_t bytes) {
        if (bytes > kAddressSpaceBytes - kHugePage) throw std::bad_alloc();
        return (bytes + kHugePage - 1) & ~(kHugePage - 1);
    }

    // A fresh mapping of `bytes` (whole huge pages) on a 2 MiB boundary:
    // mapped a huge page larger, and the ends trimmed.
    static std::uint8_t* map_aligned(std::size_t bytes) {
        void* at = ::mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED) throw std::bad_alloc();
        const auto start = reinterpret_cast<std::uintptr_t>(at);
        const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
        if (aligned > start) ::munmap(at, aligned - start);
        const std::uintptr_t end = start + bytes + kHugePage;
        if (end > aligned + bytes) ::munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
        auto* block = reinterpret_cast<std::uint8_t*>(aligned);
        advise_huge_pages(block, bytes);
        return block;
    }

    static void advise_huge_pages([[maybe_unused]] std::uint8_t* block, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
        ::madvise(block, bytes, MADV_HUGEPAGE);
#endif
    }

    void move_to_mapping(std::size_t capacity) {
        const std::size_t bytes = whole_huge_pages(capacity);
        std::uint8_t* block = map_aligned(bytes);
        if (size_ > 0) __builtin_memcpy(block, data_, size_);
        std::free(data_);
        data_ = block;
        capacity_ = bytes;
        mapped_ = true;
    }

    void grow_mapping(std::size_t capacity) {
        const std::size_t bytes = whole_huge_pages(capacity);
#ifdef MREMAP_FIXED
        std::uint8_t* target = map_aligned(bytes);
        void* moved = ::mremap(data_, capacity_, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
        if (moved == MAP_FAILED) {
            ::munmap(target, bytes);
            throw std::bad_alloc();
        }
        advise_huge_pages(target, bytes);
        data_ = target;
#else
        std::uint8_t* target = map_aligned(bytes);
        if (size_ > 0) __builtin_memcpy(target, data_, size_);
        ::munmap(data_, capacity_);
        data_ = target;
#endif
        capacity_ = bytes;
    }

    // To whole pages, so that the slack stays under a page: only the last
    // huge page is split.
    void shrink_mapping(std::size_t capacity) {
        static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t bytes = (std::max<std::size_t>(capacity, 1) + page - 1) / page * page;
        if (bytes < capacity_) {
            ::munmap(data_ + bytes, capacity_ - bytes);
            capacity_ = bytes;
        }
    }

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false;  // a mapping of its own (munmap), else from malloc (free)
};

}  // namespace zel
