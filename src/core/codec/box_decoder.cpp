#include "box_decoder.hpp"

#include <algorithm>
#include <limits>

#include "voxel.hpp"

namespace zel {

namespace {

struct Origin {
    std::uint32_t x, y, t;
};

}  // namespace

LeafDecode decode_leaf_boxes(std::span<const std::uint8_t> bits, std::uint64_t n_bits,
                             std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                             std::uint8_t max_depth, std::uint64_t max_boxes) {
    LeafDecode out;
    const std::uint64_t size = bits.size();
    const std::uint64_t avail =
        size > std::numeric_limits<std::uint64_t>::max() / 8 ? n_bits : std::min(n_bits, size * 8);
    std::vector<Origin> level{{0, 0, 0}};
    std::vector<Origin> next;
    std::uint64_t cursor = 0;
    unsigned depth = 0;
    while (!level.empty() && cursor < avail) {
        const bool splits = depth < max_depth && (dim_x >= 2 || dim_y >= 2 || dim_t >= 2);
        const AxisSplit sx = split_axis(dim_x);
        const AxisSplit sy = split_axis(dim_y);
        const AxisSplit st = split_axis(dim_t);
        next.clear();
        const std::uint64_t readable = std::min<std::uint64_t>(level.size(), avail - cursor);
        for (std::uint64_t n = 0; n < readable; ++n) {
            const std::uint64_t i = cursor + n;
            if (((bits[i / 8] >> (7 - i % 8)) & 1u) == 0) continue;
            const Origin o = level[n];
            if (!splits) {
                if (out.boxes.size() >= max_boxes) {
                    out.too_many = true;
                    out.bits_used = i + 1;
                    return out;
                }
                out.boxes.push_back({static_cast<std::uint16_t>(o.x), static_cast<std::uint16_t>(o.y),
                                     static_cast<std::uint16_t>(o.t),
                                     static_cast<std::uint32_t>(dim_x),
                                     static_cast<std::uint32_t>(dim_y),
                                     static_cast<std::uint32_t>(dim_t)});
                continue;
            }
            for (unsigned ix = 0; ix < sx.parts; ++ix) {
                for (unsigned iy = 0; iy < sy.parts; ++iy) {
                    for (unsigned it = 0; it < st.parts; ++it) {
                        next.push_back({o.x + static_cast<std::uint32_t>(sx.offset[ix]),
                                        o.y + static_cast<std::uint32_t>(sy.offset[iy]),
                                        o.t + static_cast<std::uint32_t>(st.offset[it])});
                    }
                }
            }
        }
        cursor += readable;
        if (!splits) break;
        std::swap(level, next);
        dim_x = sx.extent[0];
        dim_y = sy.extent[0];
        dim_t = st.extent[0];
        ++depth;
    }
    out.bits_used = cursor;
    return out;
}

void append_box_records(std::span<const LeafBox> boxes, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.resize(start + boxes.size() * kBoxRecordBytes);
    std::uint8_t* p = out.data() + start;
    for (const LeafBox& b : boxes) {
        const std::uint32_t fields16[3] = {b.x, b.y, b.bin};
        const std::uint32_t fields32[3] = {b.dx, b.dy, b.dbin};
        for (std::uint32_t v : fields16) {
            *p++ = static_cast<std::uint8_t>(v);
            *p++ = static_cast<std::uint8_t>(v >> 8);
        }
        for (std::uint32_t v : fields32) {
            for (int s = 0; s < 32; s += 8) *p++ = static_cast<std::uint8_t>(v >> s);
        }
    }
}

}  // namespace zel
