#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel {

// Every octree bitstream has at least one byte, so a frame's delta payload
// holds at least one (count, value) run: two bytes.
inline constexpr std::size_t kMinDeltaPayloadBytes = 2;

// Byte-wise exclusive or; the shorter input counts as zero-extended, so the
// result has the longer length. Symmetric, and its own inverse.
std::vector<std::uint8_t> xor_delta(std::span<const std::uint8_t> a,
                                    std::span<const std::uint8_t> b);

// Run-length form: (count, value) byte pairs, greedy from the left, runs of
// at most 255 bytes, no header or terminator.
std::vector<std::uint8_t> rle_encode(std::span<const std::uint8_t> data);

// Expands (count, value) pairs; a count of 0 adds nothing and a trailing odd
// byte is ignored.
std::vector<std::uint8_t> rle_decode(std::span<const std::uint8_t> data);

// Appends rle_encode(xor_delta(a, b)) to out without materialising the delta.
void append_rle_xor(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                    std::vector<std::uint8_t>& out);

// Replaces buffer by xor_delta(buffer, rle_decode(rle)) in place, so a long
// buffer is only touched where the delta reaches.
void apply_rle_xor(std::span<const std::uint8_t> rle, std::vector<std::uint8_t>& buffer);

}  // namespace zel
