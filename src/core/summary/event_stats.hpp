#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "base/event.hpp"

namespace zel {

struct EventSummary {
    std::uint64_t count = 0;
    std::uint16_t x_min = 0, x_max = 0;
    std::uint16_t y_min = 0, y_max = 0;
    std::uint32_t t_min = 0, t_max = 0;
    std::uint32_t duration_us() const { return t_max - t_min; }
};

// A summary of the one event `e`, and `e` folded into an existing summary;
// the packed-record summary shares them.
inline EventSummary summary_of(const Event& e) {
    return {1, e.x, e.x, e.y, e.y, e.t, e.t};
}
inline void fold_event(EventSummary& s, const Event& e) {
    ++s.count;
    s.x_min = std::min(s.x_min, e.x);
    s.x_max = std::max(s.x_max, e.x);
    s.y_min = std::min(s.y_min, e.y);
    s.y_max = std::max(s.y_max, e.y);
    s.t_min = std::min(s.t_min, e.t);
    s.t_max = std::max(s.t_max, e.t);
}

// True minima and maxima over the whole list (never assumed time-sorted);
// nothing for an empty list.
std::optional<EventSummary> summarize_events(const EventList& events);

}  // namespace zel
