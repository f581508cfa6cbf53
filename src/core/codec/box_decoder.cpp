#include "box_decoder.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "voxel.hpp"

namespace zel {

namespace {

struct Origin {
    std::uint32_t x, y, t;
};

// `count` (1..8) bits from position i, the first in the highest place; bits
// at or beyond `avail` read as 0 and nothing past the buffer is touched.
std::uint32_t peek_bits(std::span<const std::uint8_t> bits, std::uint64_t i, unsigned count,
                        std::uint64_t avail) {
    const std::uint64_t byte = i / 8;
    std::uint32_t window = static_cast<std::uint32_t>(bits[byte]) << 8;
    if (byte + 1 < bits.size()) window |= bits[byte + 1];
    std::uint32_t v = ((window << (i % 8)) & 0xFFFFu) >> (16 - count);
    if (i + count > avail) {
        const unsigned keep = static_cast<unsigned>(avail - i);
        v &= ((1u << keep) - 1) << (count - keep);
    }
    return v;
}

LeafBox leaf(const Origin& o, std::uint64_t dx, std::uint64_t dy, std::uint64_t dt) {
    return {static_cast<std::uint16_t>(o.x), static_cast<std::uint16_t>(o.y),
            static_cast<std::uint16_t>(o.t), static_cast<std::uint32_t>(dx),
            static_cast<std::uint32_t>(dy), static_cast<std::uint32_t>(dt)};
}

}  // namespace

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
    auto splits = [&](unsigned depth, std::uint64_t dx, std::uint64_t dy, std::uint64_t dt) {
        return depth < max_depth && (dx >= 2 || dy >= 2 || dt >= 2);
    };
    if (!splits(0, dim_x, dim_y, dim_t)) {
        if (max_boxes == 0) {
            out.too_many = true;
        } else {
            out.boxes.push_back(leaf({0, 0, 0}, dim_x, dim_y, dim_t));
        }
        return out;
    }
    // Only the set nodes of a level are kept: the next level is their
    // children, read a parent's worth of bits at a time.
    std::vector<Origin> parents{{0, 0, 0}};
    std::vector<Origin> next;
    std::uint64_t cursor = 1;
    unsigned depth = 0;  // of the parents
    while (!parents.empty() && cursor < avail) {
        const AxisSplit sx = split_axis(dim_x);
        const AxisSplit sy = split_axis(dim_y);
        const AxisSplit st = split_axis(dim_t);
        const unsigned n_children = sx.parts * sy.parts * st.parts;
        Origin offsets[8];
        for (unsigned ix = 0, c = 0; ix < sx.parts; ++ix)
            for (unsigned iy = 0; iy < sy.parts; ++iy)
                for (unsigned it = 0; it < st.parts; ++it, ++c)
                    offsets[c] = {static_cast<std::uint32_t>(sx.offset[ix]),
                                  static_cast<std::uint32_t>(sy.offset[iy]),
                                  static_cast<std::uint32_t>(st.offset[it])};
        dim_x = sx.extent[0];
        dim_y = sy.extent[0];
        dim_t = st.extent[0];
        ++depth;
        const bool children_split = splits(depth, dim_x, dim_y, dim_t);
        next.clear();
        for (const Origin& p : parents) {
            if (cursor >= avail) break;
            std::uint32_t set = peek_bits(bits, cursor, n_children, avail);
            cursor += n_children;
            while (set != 0) {
                const unsigned c = n_children - 1 - static_cast<unsigned>(std::bit_width(set) - 1);
                set &= ~(1u << (n_children - 1 - c));
                const Origin o{p.x + offsets[c].x, p.y + offsets[c].y, p.t + offsets[c].t};
                if (children_split) {
                    next.push_back(o);
                } else if (out.boxes.size() >= max_boxes) {
                    out.too_many = true;
                    out.bits_used = std::min(cursor, avail);
                    return out;
                } else {
                    out.boxes.push_back(leaf(o, dim_x, dim_y, dim_t));
                }
            }
        }
        if (!children_split) break;
        std::swap(parents, next);
    }
    out.bits_used = std::min(cursor, avail);
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
