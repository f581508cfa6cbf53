#include "codec/frames.hpp"

namespace zel {

std::uint64_t frame_of(std::uint32_t t, const TimeRange& range, std::uint64_t n_frames) {
    return time_slot(t, range, n_frames, n_frames - 1);
}

FrameSplit split_frames(const EventList& events, std::uint64_t n_frames) {
    const TimeRange range = time_range(events);
    std::vector<std::uint64_t> frame_index(events.size());
    FrameSplit split;
    split.ends.assign(n_frames, 0);
    for (std::size_t i = 0; i < events.size(); ++i) {
        frame_index[i] = frame_of(events[i].t, range, n_frames);
        ++split.ends[frame_index[i]];
    }
    // Turn counts into starts, place events stably, and the starts have then
    // advanced to become the ends.
    std::uint64_t running = 0;
    for (std::uint64_t& slot : split.ends) {
        const std::uint64_t count = slot;
        slot = running;
        running += count;
    }
    split.events.resize(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        split.events[split.ends[frame_index[i]]++] = events[i];
    }
    return split;
}

}  // namespace zel
