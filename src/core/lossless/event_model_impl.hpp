#pragma once

#include <algorithm>
#include <bit>

// EventModel::code, included by event_model.hpp: a template, so both the
// encoder's and the decoder's copies inline their Io.

namespace zel::lossless {

namespace detail {

// Signed differences as non-negative integers, 0 -> 0, -1 -> 1, 1 -> 2 ...
// Both ways without branches: which way a step goes is as good as random
// to a predictor.
inline std::uint32_t zigzag(std::int64_t d) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(d) << 1 ^ static_cast<std::uint64_t>(d >> 63));
}
inline std::int64_t unzigzag(std::uint32_t u) {
    return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
}

// How many events ago a line last had one, in classes 0..6 (6: long ago or
// never, when the line's last position says nothing). Counted rather than
// branched on: consecutive events' ages follow no pattern a predictor learns.
inline unsigned age_class(std::uint32_t age) {
    return unsigned{age >= 2} + unsigned{age >= 4} + unsigned{age >= 16} + unsigned{age >= 64} +
           unsigned{age >= 256} + unsigned{age >= 1024};
}

// What each kind says about time and line.
inline constexpr std::uint8_t kKindTime[kKinds] = {0, 0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3};
inline constexpr std::uint8_t kKindLine[kKinds] = {0, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2};

}  // namespace detail

template <class Io>
ZEL_LOSSLESS_HOT bool EventModel::code(Io& io, Event& e) {
    std::uint32_t ea = 0, eb = 0, dt = 0;
    unsigned kind = 0;
    if constexpr (Io::kEncoding) {
        ea = columns_ ? e.x : e.y;
        eb = columns_ ? e.y : e.x;
        dt = e.t - pt_;
        const unsigned time_class = dt == 0                           ? kSameTime
                                    : dt == 1                         ? kNextTime
                                    : static_cast<std::int32_t>(dt) > 0 ? kLaterTime
                                                                        : kEarlierTime;
        const std::int64_t step = std::int64_t{ea} - pa_;
        const unsigned line = step == 0 ? kSameLine : (step < kNearLines && step > -kNearLines) ? kNearLine : kFarLine;
        kind = time_class == kSameTime && line == kSameLine ? (eb > pb_ ? kRunAscending : kRunRestart)
                                                            : 1 + 3 * time_class + line;
    }
    enter_part(io, EventPart::Kind);
    kind = io.symbol(kind_[prev_kind_ * 3 + pp_], kind);
    const unsigned time_class = detail::kKindTime[kind];
    const unsigned line_relation = detail::kKindLine[kind];

    // Time: the same, one later, or a step of 2 to 2^31 - 1 forwards or
    // of 1 to 2^31 backwards (32-bit times wrap).
    enter_part(io, EventPart::Time);
    std::uint32_t t = pt_ + time_class;
    if (time_class == kLaterTime) {
        const std::uint32_t later = detail::kKindTime[prev_kind_] == kLaterTime;
        t = pt_ + 2 + time_step_[later].code(io, dt - 2);
    } else if (time_class == kEarlierTime) {
        t = pt_ - 1 - time_back_.code(io, 0u - dt - 1);
    }

    // The line: the previous one, a near one as a step from it, or any
    // other as its number.
    enter_part(io, EventPart::Line);
    std::uint32_t a = pa_;
    if (line_relation == kNearLine) {
        std::uint32_t u = 0;
        if constexpr (Io::kEncoding) u = detail::zigzag(std::int64_t{ea} - pa_) - 1;
        u = step_models_[kNearLineModels + time_class].code(io, u);
        const std::int64_t line = std::int64_t{pa_} + detail::unzigzag(u + 1);
        if (u >= 2 * (kNearLines - 1) || line < 0 || line > a_max_) return false;
        a = static_cast<std::uint32_t>(line);
    } else if (line_relation == kFarLine) {
        a = step_models_[kFarLineModels + time_class].code(io, ea);
        if (a > a_max_) return false;
    }

    // The position along the line: in an ascending run a gap from the
    // previous event, when a run restarts how far back it goes, otherwise
    // an offset from the line's last event when that was recent, else the
    // position itself.
    enter_part(io, EventPart::Position);
    std::int64_t b = 0;
    unsigned direction = 0;  // polarity context: 0 no run, 1 ascending, 2 restart
    if (kind == kRunAscending) {
        b = std::int64_t{pb_} + 1 + step_models_[kRunGapModels + (prev_kind_ == kRunAscending)].code(io, eb - pb_ - 1);
        direction = 1;
    } else if (kind == kRunRestart) {
        b = std::int64_t{pb_} - run_restart_.code(io, pb_ - eb);
        direction = 2;
    } else {
        const std::uint32_t last = line_last_index_[a];
        const unsigned age = last == 0 ? 7 : detail::age_class(index_ + 1 - last);
        if (age < kStaleAge) {
            std::uint32_t u = 0;
            const std::uint32_t ref = line_last_b_[a];
            if constexpr (Io::kEncoding) u = detail::zigzag(std::int64_t{eb} - ref);
            u = line_offset_[age * 2 + (time_class == kSameTime)].code(io, u);
            b = std::int64_t{ref} + detail::unzigzag(u);
        } else {
            b = line_start_[(age - kStaleAge) * 2 + (time_class == kSameTime)].code(io, eb);
        }
    }
    if (b < 0 || b > b_max_) return false;
    const auto line_pos = static_cast<std::uint32_t>(b);

    // Polarity: the pixel's last one, the previous event's, and the run.
    enter_part(io, EventPart::Polarity);
    const std::size_t slot = pixel_slot(a, line_pos);
    const std::uint32_t history = pixel_history_[slot];
    const std::uint32_t since = index_ + 1 - (history >> 2);  // events since the pixel's last, if any
    // A pixel that never fired counts as long ago (3). Counted rather than
    // branched on: the classes follow each other in no order a predictor
    // could learn.
    const unsigned recency =
        (unsigned{since >= 64} + unsigned{since >= 1024} + unsigned{since >= 16384}) | (3u * (history == 0));
    const unsigned context = ((recency * 4 + (history & 3)) * 3 + pp_) * 3 + direction;
    unsigned p_symbol = 0;
    if constexpr (Io::kEncoding) p_symbol = e.p < 2 ? e.p : 2;
    p_symbol = io.symbol(polarity_[context], p_symbol);
    unsigned p = p_symbol;
    if (p_symbol == 2) {
        p = io.bits(e.p, 8);
        if (p < 2) return false;  // 0 and 1 have their own symbols
    }

    if constexpr (!Io::kEncoding) {
        e.t = t;
        e.x = static_cast<std::uint16_t>(columns_ ? a : line_pos);
        e.y = static_cast<std::uint16_t>(columns_ ? line_pos : a);
        e.p = static_cast<std::uint8_t>(p);
    }
    ++index_;
    pixel_history_[slot] = index_ << 2 | (p < 2 ? p + 1 : 3);
    line_last_b_[a] = static_cast<std::uint16_t>(line_pos);
    line_last_index_[a] = index_;
    pa_ = a;
    pb_ = line_pos;
    pt_ = t;
    pp_ = p < 2 ? p : 2;
    prev_kind_ = kind;
    return true;
}

}  // namespace zel::lossless
