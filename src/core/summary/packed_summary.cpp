#include "summary/packed_summary.hpp"

namespace zel {

std::optional<PackedSummary> summarize_packed(PackedEvents events) {
    if (events.empty()) return std::nullopt;
    PackedSummary s;
    const Event first = events[0];
    s.ranges = summary_of(first);
    std::uint32_t previous_t = first.t;
    bool ordered = true;
    for (std::size_t i = 1; i < events.size(); ++i) {
        const Event e = events[i];
        fold_event(s.ranges, e);
        ordered = ordered && e.t >= previous_t;
        previous_t = e.t;
    }
    s.t_first = first.t;
    s.t_last = previous_t;
    s.time_ordered = ordered;
    return s;
}

}  // namespace zel
