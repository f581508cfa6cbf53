#pragma once

#include <cstdint>
#include <optional>

#include "event.hpp"

namespace zel {

struct EventSummary {
    std::uint64_t count = 0;
    std::uint16_t x_min = 0, x_max = 0;
    std::uint16_t y_min = 0, y_max = 0;
    std::uint32_t t_min = 0, t_max = 0;
    std::uint32_t duration_us() const { return t_max - t_min; }
};

// True minima and maxima over the whole list (never assumed time-sorted);
// nothing for an empty list.
std::optional<EventSummary> summarize_events(const EventList& events);

}  // namespace zel
