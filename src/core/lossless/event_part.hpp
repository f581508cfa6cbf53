#pragma once

// The parts of an event, in the order the lossless model codes them.

namespace zel::lossless {

enum class EventPart : unsigned {
    Kind = 0,  // the first symbol: time class and line relation
    Time,      // a step of two or more microseconds, forwards or back
    Line,      // a line other than the previous event's
    Position,  // the position along the line
    Polarity,
};
inline constexpr unsigned kEventParts = 5;

}  // namespace zel::lossless
