#include "packed_summary.hpp"

#include <algorithm>

namespace zel {

std::optional<PackedSummary> summarize_packed(PackedEvents events) {
    if (events.empty()) return std::nullopt;
    PackedSummary s;
    EventSummary& r = s.ranges;
    const Event first = events[0];
    r.count = events.size();
    r.x_min = r.x_max = first.x;
    r.y_min = r.y_max = first.y;
    r.t_min = r.t_max = first.t;
    std::uint32_t previous_t = first.t;
    bool ordered = true;
    for (std::size_t i = 1; i < events.size(); ++i) {
        const Event e = events[i];
        r.x_min = std::min(r.x_min, e.x);
        r.x_max = std::max(r.x_max, e.x);
        r.y_min = std::min(r.y_min, e.y);
        r.y_max = std::max(r.y_max, e.y);
        r.t_min = std::min(r.t_min, e.t);
        r.t_max = std::max(r.t_max, e.t);
        ordered = ordered && e.t >= previous_t;
        previous_t = e.t;
    }
    s.t_first = first.t;
    s.t_last = previous_t;
    s.time_ordered = ordered;
    return s;
}

}  // namespace zel
