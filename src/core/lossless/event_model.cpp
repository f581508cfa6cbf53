#include "lossless/event_model.hpp"

#include <algorithm>
#include <bit>

namespace zel::lossless {

EventModel::EventModel(const BlockGeometry& geometry, std::uint32_t t_first, std::uint64_t events,
                       HistoryLayout layout)
    : pt_(t_first) {
    columns_ = geometry.axis == LineAxis::Columns;
    a_max_ = columns_ ? geometry.x_max : geometry.y_max;
    b_max_ = columns_ ? geometry.y_max : geometry.x_max;
    lines_b_ = std::uint64_t{b_max_} + 1;
    const std::uint64_t pixels = (std::uint64_t{a_max_} + 1) * lines_b_;
    // Eight slots per event, a power of two from 2^12 up to the bound.
    const unsigned hash_bits =
        std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(events * 8)), kMinHashBits, layout.max_bits);
    const std::uint64_t slots = std::uint64_t{1} << hash_bits;
    hash_shift_ = pixels <= slots ? 0 : 64 - hash_bits;
    lines_hashed_ = layout.lines_hashed;
    slot_mask_ = slots - 1;
    pixel_history_.assign(hash_shift_ == 0 ? pixels : slots, 0);
    line_last_b_.assign(a_max_ + 1, 0);
    line_last_index_.assign(a_max_ + 1, 0);
    for (AdaptiveCdf& cdf : kind_) cdf.reset(kKinds);
    for (AdaptiveCdf& cdf : polarity_) cdf.reset(3);
}

}  // namespace zel::lossless
