#pragma once

#include <cstdint>
#include <optional>

#include "base/event.hpp"
#include "summary/event_stats.hpp"

namespace zel {

// event_stats' figures over packed records, plus what only file order
// tells: the first and last timestamps and whether they never decrease.
struct PackedSummary {
    EventSummary ranges;
    std::uint32_t t_first = 0;
    std::uint32_t t_last = 0;
    bool time_ordered = true;
};

std::optional<PackedSummary> summarize_packed(PackedEvents events);

}  // namespace zel
