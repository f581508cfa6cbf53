#include "delta.hpp"

#include <algorithm>

namespace zel {

namespace {

constexpr std::size_t kMaxRun = 255;

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
    append_runs(
        std::max(a.size(), b.size()),
        [&](std::size_t i) {
            if (i < common) return static_cast<std::uint8_t>(a[i] ^ b[i]);
            return i < a.size() ? a[i] : b[i];
        },
        out);
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
