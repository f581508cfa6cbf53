#pragma once

// The model of the lossless event blocks, written once for both directions:
// EventModel::code<Io> is run by the encoder with an Io that records the
// symbols of a known event and by the decoder with an Io that reads them,
// so both sides keep identical state by construction.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/event.hpp"
#include "lossless/adaptive_rans.hpp"
#include "lossless/bit_stream.hpp"
#include "lossless/event_part.hpp"

namespace zel::lossless {

// The model names each part of an event before coding it (EventPart), to
// an Io that has a part() member: cost accounting (part_costs in
// block_codec.hpp) does, the coders do not.
template <class Io>
ZEL_LOSSLESS_HOT void enter_part(Io& io, EventPart part) {
    if constexpr (requires { io.part(part); }) io.part(part);
}

// Records the symbols of known values (encoder side).
class EncodeIo {
public:
    static constexpr bool kEncoding = true;
    EncodeIo(SymbolLog& log, BitWriter& bits) : log_(log), bits_(bits) {}
    ZEL_LOSSLESS_HOT unsigned symbol(AdaptiveCdf& cdf, unsigned s) {
        log_.add(cdf.start(s), cdf.frequency(s));
        cdf.update(s);
        return s;
    }
    ZEL_LOSSLESS_HOT std::uint32_t bits(std::uint32_t value, unsigned n) {
        bits_.put(value, n);
        return value;
    }

private:
    SymbolLog& log_;
    BitWriter& bits_;
};

// Reads the symbols back (decoder side); the value arguments are ignored.
class DecodeIo {
public:
    static constexpr bool kEncoding = false;
    DecodeIo(RansReader& reader, BitReader& bits) : reader_(reader), bits_(bits) {}
    ZEL_LOSSLESS_HOT unsigned symbol(AdaptiveCdf& cdf, unsigned) { return reader_.decode(cdf); }
    ZEL_LOSSLESS_HOT std::uint32_t bits(std::uint32_t, unsigned n) { return bits_.get(n); }

private:
    RansReader& reader_;
    BitReader& bits_;
};

// A non-negative integer: a token for 0..7 or for the power of two below
// the value (which then follows as raw bits), adaptive per context.
class ValueModel {
public:
    ValueModel() : token_(16), wide_(16) {
        // Sizes 3 and 4 model all their bits below the leading one, larger
        // ones their top four; the rest follows raw.
        for (unsigned i = 0; i < kTopTables; ++i) top_[i].reset(i == 0 ? 8 : 16);
    }

    template <class Io>
    ZEL_LOSSLESS_HOT std::uint32_t code(Io& io, std::uint32_t value) {
        unsigned token = 0;
        unsigned exponent = 0;
        if constexpr (Io::kEncoding) {
            exponent = value < 8 ? 0 : 31 - static_cast<unsigned>(__builtin_clz(value));
            token = value < 8 ? value : exponent < 10 ? exponent + 5 : 15;
        }
        token = io.symbol(token_, token);
        if (token < 8) return token;
        if (token < 15) {
            exponent = token - 5;
        } else {
            const unsigned wide = io.symbol(wide_, exponent < 25 ? exponent - 10 : 15);
            exponent = wide < 15 ? wide + 10 : 25 + io.bits(exponent - 25, 3);
            if (exponent > 31) exponent = 31;  // only a damaged stream says more
        }
        // The bits below the leading one, high part first: the top ones
        // through a table per size, the rest raw.
        const unsigned modelled = exponent < 4 ? exponent : 4;
        unsigned left = exponent - modelled;
        std::uint32_t mantissa = io.symbol(top_[exponent < 3 + kTopTables ? exponent - 3 : kTopTables - 1],
                                           (value >> left) & ((1u << modelled) - 1));
        if (left > 0) mantissa = (mantissa << left) | io.bits(value, left);
        return (std::uint32_t{1} << exponent) | mantissa;
    }

private:
    static constexpr unsigned kTopTables = 8;
    AdaptiveCdf token_;
    AdaptiveCdf wide_;
    AdaptiveCdf top_[kTopTables];
};

// Which coordinate a block walks along: rows (y changes rarely between
// consecutive events, as in row readout) or columns.
enum class LineAxis : std::uint8_t { Rows = 0, Columns = 1 };

struct BlockGeometry {
    LineAxis axis = LineAxis::Rows;
    std::uint16_t x_max = 0;
    std::uint16_t y_max = 0;
};

// How an event's time relates to the previous event's.
enum : unsigned {
    kSameTime = 0,
    kNextTime = 1,  // one microsecond later
    kLaterTime = 2,    // two or more later
    kEarlierTime = 3,  // any time before
};
// How an event's line relates to the previous event's: the same, one
// less than kNearLines away, or any other.
enum : unsigned {
    kSameLine = 0,
    kNearLine = 1,
    kFarLine = 2,
};
inline constexpr int kNearLines = 16;
// The first symbol of each event: its time and line relation, and for the
// same time and line whether it moves further along the line. 1 + 3 * time
// class + line relation for the others (2, 3: same time; 4-6: next; 7-9:
// later; 10-12: earlier).
enum : unsigned {
    kRunAscending = 0,
    kRunRestart = 1,
};
inline constexpr unsigned kKinds = 13;

// How a block version keeps the pixel history: at most 2^max_bits slots,
// exact while the sensor's pixels fit them; beyond, every pixel hashed on
// its own (version 1) or each line at a hashed start with its positions in
// a row from there (version 2), which keeps a line's neighbours as close
// in memory as the exact layout does.
// Each version's layout is history_layout() in block_codec.hpp.
struct HistoryLayout {
    unsigned max_bits;
    bool lines_hashed;
};

class EventModel {
public:
    // `events` is the block's event count, which sizes the pixel history.
    EventModel(const BlockGeometry& geometry, std::uint32_t t_first, std::uint64_t events,
               HistoryLayout layout);

    // Codes one event. The decoder's Io fills `e`; false when the stream
    // holds a coordinate outside the block's geometry (damaged data).
    template <class Io>
    ZEL_LOSSLESS_HOT bool code(Io& io, Event& e);

private:
    // A pixel's slot in the history: exact when the sensor has few pixels
    // for the block's events, hashed otherwise (the history only steers
    // contexts), so the table stays near the event count whatever the
    // coordinates.
    std::size_t pixel_slot(std::uint32_t a, std::uint32_t b) const {
        constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15u;
        const std::uint64_t index = std::uint64_t{a} * lines_b_ + b;
        if (hash_shift_ == 0) return static_cast<std::size_t>(index);
        if (lines_hashed_) return static_cast<std::size_t>((((a * kGolden) >> hash_shift_) + b) & slot_mask_);
        return static_cast<std::size_t>((index * kGolden) >> hash_shift_);
    }

    static constexpr unsigned kMinHashBits = 12;

    std::uint32_t a_max_, b_max_;
    std::uint64_t lines_b_;
    unsigned hash_shift_;  // 64 - hash bits, or 0 for exact slots
    bool lines_hashed_;
    std::uint64_t slot_mask_;  // slots - 1
    bool columns_;

    // The previous event, in line coordinates.
    std::uint32_t pa_ = 0, pb_ = 0, pt_;
    unsigned pp_ = 0;
    unsigned prev_kind_ = 0;
    std::uint32_t index_ = 0;  // events coded so far

    std::vector<std::uint16_t> line_last_b_;
    std::vector<std::uint32_t> line_last_index_;  // index + 1; 0 for never
    // Per pixel: (index of its last event + 1) << 2 | polarity state (0 none,
    // 1 + p for p 0/1, 3 other).
    std::vector<std::uint32_t> pixel_history_;

    AdaptiveCdf kind_[kKinds * 3];  // by the previous kind and polarity
    ValueModel time_step_[2];  // by whether the previous event was later too
    ValueModel time_back_;
    // Near-line steps by time class (0..3), far lines by time class (3..6)
    // and ascending-run gaps by whether the previous event ascended too
    // (6, 7) in one row of tables whose boundaries are shared: a near line
    // at an earlier time uses the table of far lines at the same time, a far
    // line at an earlier time the first run-gap table. Earlier times are rare
    // in recordings, so they get no tables of their own; the sharing is part
    // of the block format.
    static constexpr unsigned kNearLineModels = 0;
    static constexpr unsigned kFarLineModels = 3;
    static constexpr unsigned kRunGapModels = 6;
    ValueModel step_models_[8];
    ValueModel run_restart_;
    static constexpr unsigned kStaleAge = 6;  // age classes from here on: the line's last position says nothing
    ValueModel line_offset_[kStaleAge * 2];
    ValueModel line_start_[(8 - kStaleAge) * 2];
    AdaptiveCdf polarity_[4 * 4 * 3 * 3];
};

}  // namespace zel::lossless

#include "lossless/event_model_impl.hpp"
