#pragma once

#include <cstdint>
#include <span>

#include "base/event.hpp"

namespace zel {

// The coder reads events through any indexable source whose operator[]
// yields an Event: a span of Event, PackedEvents (a slice of either is the
// same type again), or a frame's events picked out of either by index.
// Templating over the source lets packed arrays and frames be coded where
// they lie instead of first being copied into an EventList.

// Events of `source` at the positions listed in `order`, in that order.
template <class Source>
class GatheredEvents {
public:
    GatheredEvents(const Source& source, std::span<const std::uint64_t> order)
        : source_(&source), order_(order) {}

    std::size_t size() const { return order_.size(); }
    bool empty() const { return order_.empty(); }
    Event operator[](std::size_t i) const { return (*source_)[order_[i]]; }

private:
    const Source* source_;
    std::span<const std::uint64_t> order_;
};

// Smallest and largest timestamp in one pass; the pair TimeRange is built from.
template <class Source>
void min_max_time(const Source& events, std::uint32_t& tmin, std::uint32_t& tmax) {
    tmin = tmax = events[0].t;
    for (std::size_t i = 1; i < events.size(); ++i) {
        const std::uint32_t t = events[i].t;
        tmin = t < tmin ? t : tmin;
        tmax = t > tmax ? t : tmax;
    }
}

}  // namespace zel
