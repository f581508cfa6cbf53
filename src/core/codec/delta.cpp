#include "codec/delta.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace zel {

namespace {

constexpr std::size_t kMaxRun = 255;

// The word's bytes in memory order, first byte lowest.
std::uint64_t little_endian(std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(word);
    return word;
}

std::uint8_t at_or_zero(std::span<const std::uint8_t> v, std::size_t i) {
    return i < v.size() ? v[i] : 0;
}

// Emits the greedy runs of byte_at(0 .. n-1); shared by both encoders so
// they cannot disagree on run boundaries.
template <class ByteAt>
void append_runs(std::size_t n, ByteAt byte_at, std::vector<std::uint8_t>& out) {
    std::size_t p = 0;
    while (p < n) {
        const std::uint8_t v = byte_at(p);
        std::size_t run = 1;
        while (p + run < n && run < kMaxRun && byte_at(p + run) == v) ++run;
        out.push_back(static_cast<std::uint8_t>(run));
        out.push_back(v);
        p += run;
    }
}

}  // namespace

std::vector<std::uint8_t> xor_delta(std::span<const std::uint8_t> a,
                                    std::span<const std::uint8_t> b) {
    std::vector<std::uint8_t> out(std::max(a.size(), b.size()), 0);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(at_or_zero(a, i) ^ at_or_zero(b, i));
    }
    return out;
}

std::vector<std::uint8_t> rle_encode(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out;
    out.reserve(data.size());
    append_runs(data.size(), [&](std::size_t i) { return data[i]; }, out);
    return out;
}

std::vector<std::uint8_t> rle_decode(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> out;
    for (std::size_t j = 1; j < data.size(); j += 2) out.insert(out.end(), data[j - 1], data[j]);
    return out;
}

void append_rle_xor(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                    std::vector<std::uint8_t>& out) {
    const std::size_t common = std::min(a.size(), b.size());
    // Within the common part a run is measured eight bytes at a time: the
    // words' xor against the run value is zero until the first differing byte.
    std::size_t p = 0;
    while (p < common) {
        const std::uint8_t v = static_cast<std::uint8_t>(a[p] ^ b[p]);
        const std::uint64_t spread = std::uint64_t{v} * 0x0101010101010101u;
        std::size_t run = 1;
        while (run + 8 <= kMaxRun && p + run + 8 <= common) {
            std::uint64_t wa = 0;
            std::uint64_t wb = 0;
            std::memcpy(&wa, a.data() + p + run, 8);
            std::memcpy(&wb, b.data() + p + run, 8);
            const std::uint64_t differ = little_endian(wa ^ wb) ^ spread;
            if (differ != 0) {
                run += static_cast<std::size_t>(std::countr_zero(differ)) / 8;
                break;
            }
            run += 8;
        }
        while (run < kMaxRun && p + run < common &&
               static_cast<std::uint8_t>(a[p + run] ^ b[p + run]) == v) {
            ++run;
        }
        out.push_back(static_cast<std::uint8_t>(run));
        out.push_back(v);
        p += run;
    }
    // Past the common part the delta is the longer input itself. Runs do not
    // stop at that boundary, so the last run of the common part carries on
    // into the tail while the values agree.
    if (a.size() == b.size()) return;
    const std::span<const std::uint8_t> tail = a.size() > b.size() ? a : b;
    std::size_t q = common;
    if (common > 0) {
        std::uint8_t& count = out[out.size() - 2];
        const std::uint8_t v = out.back();
        while (count < kMaxRun && q < tail.size() && tail[q] == v) {
            ++count;
            ++q;
        }
    }
    append_runs(tail.size() - q, [&](std::size_t i) { return tail[q + i]; }, out);
}

void apply_rle_xor(std::span<const std::uint8_t> rle, std::vector<std::uint8_t>& buffer) {
    std::size_t pos = 0;
    for (std::size_t j = 1; j < rle.size(); j += 2) {
        const std::size_t count = rle[j - 1];
        const std::uint8_t value = rle[j];
        if (buffer.size() < pos + count) buffer.resize(pos + count, 0);
        if (value != 0) {
            for (std::size_t i = pos; i < pos + count; ++i) buffer[i] ^= value;
        }
        pos += count;
    }
}

}  // namespace zel
