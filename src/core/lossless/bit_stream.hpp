#pragma once

// Raw bits of the lossless blocks (the low bits of large values), kept in a
// stream of their own beside the rANS stream: reading them then costs a
// shift and a mask, off the chain of rANS state updates. Bits are packed
// from the least significant bit of each byte up.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel::lossless {

class BitWriter {
public:
    // `n` (0..32) low bits of `value`.
    [[gnu::always_inline]] inline void put(std::uint32_t value, unsigned n) {
        pending_ |= std::uint64_t{value & static_cast<std::uint32_t>((std::uint64_t{1} << n) - 1)} << count_;
        count_ += n;
        if (count_ >= 32) {
            for (int k = 0; k < 4; ++k) bytes_.push_back(static_cast<std::uint8_t>(pending_ >> (8 * k)));
            pending_ >>= 32;
            count_ -= 32;
        }
    }
    // The stream, its last byte padded with zero bits.
    const std::vector<std::uint8_t>& finish() {
        while (count_ > 0) {
            bytes_.push_back(static_cast<std::uint8_t>(pending_));
            pending_ >>= 8;
            count_ = count_ > 8 ? count_ - 8 : 0;
        }
        return bytes_;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t pending_ = 0;
    unsigned count_ = 0;
};

// Reads a BitWriter's stream. Reading past its end yields zero bits and
// marks the reader overrun; finish() says whether the stream was read to
// its last byte exactly, with zero padding.
class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes)
        : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    [[gnu::always_inline]] inline std::uint32_t get(unsigned n) {  // n <= 32
        if (count_ < n) refill(n);
        const auto value = static_cast<std::uint32_t>(buffer_ & ((std::uint64_t{1} << n) - 1));
        buffer_ >>= n;
        count_ -= n;
        return value;
    }

    bool finish() const { return !overrun_ && next_ == end_ && count_ < 8 && buffer_ == 0; }

private:
    void refill(unsigned n) {
        while (count_ <= 56 && next_ != end_) {
            buffer_ |= std::uint64_t{*next_++} << count_;
            count_ += 8;
        }
        if (count_ < n) {  // past the end: zeros from here on
            overrun_ = true;
            count_ = 64;
        }
    }

    const std::uint8_t* next_;
    const std::uint8_t* end_;
    std::uint64_t buffer_ = 0;
    unsigned count_ = 0;
    bool overrun_ = false;
};

}  // namespace zel::lossless
