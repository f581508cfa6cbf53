#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/event.hpp"
#include "codec/voxel.hpp"

namespace zel {

// Frame of an event at time t: the time-bin rule applied with n_frames in
// place of time_bins (q * (n_frames - 1.0), truncated, capped at
// n_frames - 1). n_frames must be at least 1.
std::uint64_t frame_of(std::uint32_t t, const TimeRange& range, std::uint64_t n_frames);

// Events grouped by frame in one flat array, each frame keeping input order;
// frame k is events[ends[k-1] .. ends[k]) with ends[-1] taken as 0. A flat
// array keeps millions of mostly empty frames cheap.
struct FrameSplit {
    EventList events;
    std::vector<std::uint64_t> ends;

    std::span<const Event> frame(std::uint64_t k) const {
        const std::uint64_t begin = k == 0 ? 0 : ends[k - 1];
        return std::span<const Event>(events).subspan(begin, ends[k] - begin);
    }
};

// Counting sort of events into n_frames (>= 1) frames. Needs memory for
// n_frames counters; std::bad_alloc when that cannot be had.
FrameSplit split_frames(const EventList& events, std::uint64_t n_frames);

}  // namespace zel
