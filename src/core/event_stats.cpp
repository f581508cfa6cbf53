#include "event_stats.hpp"

#include <algorithm>

namespace zel {

std::optional<EventSummary> summarize_events(const EventList& events) {
    if (events.empty()) return std::nullopt;
    EventSummary s;
    s.count = events.size();
    s.x_min = s.x_max = events.front().x;
    s.y_min = s.y_max = events.front().y;
    s.t_min = s.t_max = events.front().t;
    for (const Event& e : events) {
        s.x_min = std::min(s.x_min, e.x);
        s.x_max = std::max(s.x_max, e.x);
        s.y_min = std::min(s.y_min, e.y);
        s.y_max = std::max(s.y_max, e.y);
        s.t_min = std::min(s.t_min, e.t);
        s.t_max = std::max(s.t_max, e.t);
    }
    return s;
}

}  // namespace zel
