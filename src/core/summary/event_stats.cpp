#include "summary/event_stats.hpp"

namespace zel {

std::optional<EventSummary> summarize_events(const EventList& events) {
    if (events.empty()) return std::nullopt;
    EventSummary s = summary_of(events.front());
    for (std::size_t i = 1; i < events.size(); ++i) fold_event(s, events[i]);
    return s;
}

}  // namespace zel
