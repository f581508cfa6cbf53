#pragma once

#include <bit>
#include <cstdint>

namespace zel {

// GCC and clang's 128-bit integer, for the exact 64x64-bit products below;
// __extension__ keeps -Wpedantic quiet about a type ISO C++ lacks.
__extension__ using Uint128 = unsigned __int128;

// time_slot's double rule, trunc((d / span) * (count + -1.0)), for one event
// set: d = t - tmin with d <= span < 2^32 and count < 2^16 (time bins). A
// double division per event is the costliest step of building voxel keys;
// this gets the same bins from a multiplication in integers.
//
// Why it is exact: with x = d * scale / span (scale = count - 1), each of
// the two double roundings errs by at most 2^-53 relative, so the double
// result v satisfies |v - x| <= x * 2^-52 < 2^16 * 2^-52 = 2^-36. When x is
// not an integer, its distance to the nearest integer is at least
// 1 / span > 2^-32 (numerator and denominator are integers), so trunc(v) =
// floor(x). Only when x is an integer can the roundings land just below it
// (1 / 49 * 49 gives 0.9999999999999999), and those events, whose remainder
// is 0, take the double rule itself.
//
// floor(n / span) for n = d * scale < 2^48 comes from the high half of one
// 64 x 64-bit product: with c = ceil(log2 span), a = max(0, 16 - c),
// b = max(0, c - 16) and m = ceil(2^(48 + c) / span) < 2^49 + 1, it is
// ((n << a) * m / 2^64) >> b. That is floor(n * m / 2^(48 + c)), which
// exceeds n / span by less than 2^48 / 2^(48 + c) <= 1 / span and so cannot
// carry floor past the next integer; n << a stays below 2^64. Fixed 64-bit
// halves keep a 128-bit variable shift out of the per-event loop.
class TimeBinner {
public:
    // count is the number of time bins (0 and 1 put every event in bin 0).
    TimeBinner(std::uint32_t span, std::uint16_t count)
        : span_(span == 0 ? 1 : span),
          scale_(count == 0 ? 0 : count - 1),
          span_d_(static_cast<double>(span_)),
          scale_d_(static_cast<double>(count) + -1.0) {
        const unsigned c = span_ <= 1 ? 0u : static_cast<unsigned>(std::bit_width(span_ - 1));
        pre_shift_ = c < kSpareBits ? kSpareBits - c : 0;
        post_shift_ = c > kSpareBits ? c - kSpareBits : 0;
        multiplier_ = static_cast<std::uint64_t>(
            ((static_cast<Uint128>(1) << (kNumeratorBits + c)) + span_ - 1) / span_);
    }

    // Bin of an offset d <= span, before the caller's cap at its last bin.
    std::uint64_t bin(std::uint32_t d) const {
        const std::uint64_t n = std::uint64_t{d} * scale_;
        const auto high = static_cast<std::uint64_t>(
            (static_cast<Uint128>(n << pre_shift_) * multiplier_) >> 64);
        const std::uint64_t q = high >> post_shift_;
        if (n - q * span_ != 0 || n == 0) [[likely]] return q;
        return by_double(d);
    }

    // The double rule the fast path must agree with (also its fallback).
    std::uint64_t by_double(std::uint32_t d) const {
        const double v = (static_cast<double>(d) / span_d_) * scale_d_;
        return v > 0.0 ? static_cast<std::uint64_t>(v) : 0;
    }

private:
    // The 48 and 16 above: n = d * scale has at most 32 + 16 bits, which
    // leaves 16 of a 64-bit word to shift it into.
    static constexpr unsigned kNumeratorBits = 32 + 16;
    static constexpr unsigned kSpareBits = 64 - kNumeratorBits;

    std::uint64_t span_;
    std::uint64_t scale_;
    double span_d_;
    double scale_d_;
    unsigned pre_shift_ = 0;
    unsigned post_shift_ = 0;
    std::uint64_t multiplier_ = 0;
};

}  // namespace zel
