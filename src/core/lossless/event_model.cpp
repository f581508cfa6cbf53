#include "lossless/event_model.hpp"

namespace zel::lossless {

EventModel::EventModel(const BlockGeometry& geometry, std::uint32_t t_first)
    : pt_(t_first) {
    columns_ = geometry.axis == LineAxis::Columns;
    a_max_ = columns_ ? geometry.x_max : geometry.y_max;
    b_max_ = columns_ ? geometry.y_max : geometry.x_max;
    lines_b_ = std::uint64_t{b_max_} + 1;
    const std::uint64_t pixels = (std::uint64_t{a_max_} + 1) * lines_b_;
    exact_pixels_ = pixels <= kExactPixels;
    pixel_history_.assign(exact_pixels_ ? pixels : kExactPixels, 0);
    line_last_b_.assign(a_max_ + 1, 0);
    line_last_index_.assign(a_max_ + 1, 0);
    for (AdaptiveCdf& cdf : kind_) cdf.reset(kKinds);
    for (AdaptiveCdf& cdf : polarity_) cdf.reset(3);
}

}  // namespace zel::lossless
