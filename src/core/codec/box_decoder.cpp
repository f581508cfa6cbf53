#include "codec/box_decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "base/bit_count.hpp"
#include "codec/bit_window.hpp"
#include "codec/child_rows.hpp"
#include "codec/grid_params.hpp"
#include "codec/voxel.hpp"

namespace zel {

namespace {

constexpr unsigned kYShift = 16;
constexpr unsigned kBinShift = 32;

std::uint64_t pack_origin(std::uint64_t x, std::uint64_t y, std::uint64_t bin) {
    return x | (y << kYShift) | (bin << kBinShift);
}


// Set bits in [begin, end), both within the data.
std::uint64_t count_ones(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end) {
    if (begin >= end) return 0;
    const std::uint64_t first = begin / 8;
    const std::uint64_t last = (end - 1) / 8;
    const unsigned head_mask = 0xFFu >> (begin % 8);
    const unsigned tail_mask = (0xFFu << (7 - (end - 1) % 8)) & 0xFFu;
    if (first == last) return static_cast<unsigned>(std::popcount(data[first] & head_mask & tail_mask));
    std::uint64_t ones = static_cast<unsigned>(std::popcount(data[first] & head_mask)) +
                         static_cast<unsigned>(std::popcount(data[last] & tail_mask));
    return ones + count_set_bits(data + first + 1, last - first - 1);
}

bool splits_at(unsigned depth, std::uint8_t max_depth, std::uint64_t dx, std::uint64_t dy,
               std::uint64_t dt) {
    return depth < max_depth && (dx >= 2 || dy >= 2 || dt >= 2);
}

}  // namespace

LeafBox LeafBoxes::operator[](std::size_t i) const {
    const std::uint64_t o = origins[i];
    return {static_cast<std::uint16_t>(o), static_cast<std::uint16_t>(o >> kYShift),
            static_cast<std::uint16_t>(o >> kBinShift), dx, dy, dbin};
}

std::vector<LeafBox> LeafBoxes::list() const {
    std::vector<LeafBox> out;
    out.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) out.push_back((*this)[i]);
    return out;
}

LeafDecode decode_leaf_boxes(std::span<const std::uint8_t> bits, std::uint64_t n_bits,
                             std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                             std::uint8_t max_depth, std::uint64_t max_boxes) {
    LeafDecode out;
    const std::uint64_t size = bits.size();
    const std::uint64_t avail =
        size > std::numeric_limits<std::uint64_t>::max() / 8 ? n_bits : std::min(n_bits, size * 8);
    if (avail == 0) return out;
    out.bits_used = 1;
    if (((bits[0] >> 7) & 1u) == 0) return out;
    if (!splits_at(0, max_depth, dim_x, dim_y, dim_t)) {
        if (max_boxes == 0) {
            out.too_many = true;
        } else {
            out.boxes.origins.push_back(0);
            out.boxes.dx = static_cast<std::uint32_t>(dim_x);
            out.boxes.dy = static_cast<std::uint32_t>(dim_y);
            out.boxes.dbin = static_cast<std::uint32_t>(dim_t);
        }
        return out;
    }
    const std::uint8_t* data = bits.data();
    // Only the set nodes of a level are kept: the next level is their
    // children, read a parent's worth of bits at a time.
    std::vector<std::uint64_t> parents{0};
    std::vector<std::uint64_t> next;
    std::uint64_t cursor = 1;
    unsigned depth = 0;  // of the parents
    while (!parents.empty() && cursor < avail) {
        const AxisSplit sx = split_axis(dim_x);
        const AxisSplit sy = split_axis(dim_y);
        const AxisSplit st = split_axis(dim_t);
        const unsigned n_children = sx.parts * sy.parts * st.parts;
        std::uint64_t offsets[kMaxChildren] = {};
        for (unsigned ix = 0, c = 0; ix < sx.parts; ++ix)
            for (unsigned iy = 0; iy < sy.parts; ++iy)
                for (unsigned it = 0; it < st.parts; ++it, ++c)
                    offsets[c] = pack_origin(sx.offset[ix], sy.offset[iy], st.offset[it]);
        dim_x = sx.extent[0];
        dim_y = sy.extent[0];
        dim_t = st.extent[0];
        ++depth;
        const bool children_split = splits_at(depth, max_depth, dim_x, dim_y, dim_t);

        // Parents past the available bits have Empty children; the last one
        // read may be cut short, its missing bits reading as 0.
        const std::uint64_t level_end =
            std::min(avail, cursor + static_cast<std::uint64_t>(parents.size()) * n_children);
        const std::uint64_t ones = count_ones(data, cursor, level_end);
        if (ones > max_boxes) {
            out.too_many = true;
            return out;
        }
        std::vector<std::uint64_t>& level = children_split ? next : out.boxes.origins;
        level.resize(ones + kMaxChildren);  // a row may write a whole row past the last child
        std::uint64_t* write = level.data();
        const unsigned keep_mask = (0xFFu << (8 - n_children)) & 0xFFu;
        const std::uint64_t readable = (level_end - cursor + n_children - 1) / n_children;
        std::uint64_t pos = cursor;
        for (std::uint64_t i = 0; i < readable; ++i, pos += n_children) {
            const unsigned set = bits_at(data, pos, level_end) & keep_mask;
            const std::uint64_t parent = parents[i];
            const auto& order = kChildRows.order[set];
            for (unsigned j = 0; j < kMaxChildren; ++j) write[j] = parent + offsets[order[j]];
            write += kChildRows.count[set];
        }
        level.resize(ones);
        cursor = level_end;
        if (!children_split) {
            out.boxes.dx = static_cast<std::uint32_t>(dim_x);
            out.boxes.dy = static_cast<std::uint32_t>(dim_y);
            out.boxes.dbin = static_cast<std::uint32_t>(dim_t);
            break;
        }
        std::swap(parents, next);
    }
    out.bits_used = std::min(cursor, avail);
    return out;
}

void write_box_records(const LeafBoxes& boxes, std::span<std::uint8_t> out) {
    std::uint8_t extents[kBoxExtentBytes];
    const std::uint32_t sizes[kAxes] = {boxes.dx, boxes.dy, boxes.dbin};
    for (unsigned f = 0; f < kAxes; ++f) {
        for (unsigned b = 0; b < sizeof sizes[f]; ++b) {
            extents[f * sizeof sizes[f] + b] = static_cast<std::uint8_t>(sizes[f] >> (8 * b));
        }
    }
    std::uint8_t* p = out.data();
    for (const std::uint64_t origin : boxes.origins) {
        if constexpr (std::endian::native == std::endian::little) {
            // Eight bytes of origin, the last two overwritten by the extents.
            std::memcpy(p, &origin, sizeof origin);
        } else {
            for (unsigned b = 0; b < kBoxOriginBytes; ++b) {
                p[b] = static_cast<std::uint8_t>(origin >> (8 * b));
            }
        }
        std::memcpy(p + kBoxOriginBytes, extents, sizeof extents);
        p += kBoxRecordBytes;
    }
}

}  // namespace zel
