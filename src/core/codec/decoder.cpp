#include "codec/decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <limits>

#include "codec/bit_window.hpp"

namespace zel {

namespace {

// Bits that may be read: n_bits, but never past the end of data.
std::uint64_t readable_bits(std::span<const std::uint8_t> data, std::uint64_t n_bits) {
    const std::uint64_t size = data.size();
    if (size > std::numeric_limits<std::uint64_t>::max() / 8) return n_bits;
    return std::min(n_bits, size * 8);
}

bool read_bit(std::span<const std::uint8_t> data, std::uint64_t i) {
    return (unsigned{data[i / 8]} >> (7 - i % 8)) & 1u;
}

bool is_pow2(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

struct TableEntry {
    NodeKind kind = NodeKind::Empty;
    std::uint64_t first_child = 0;  // children occupy consecutive entries
    unsigned n_children = 0;
};

struct PendingNode {
    std::uint64_t entry;
    std::uint64_t dx, dy, dt;
    std::uint8_t depth;
};

// Recursion depth equals the tree's depth, which is bounded by the number of
// halvings of the largest dimension.
OctreeNode to_tree(const std::vector<TableEntry>& table, std::uint64_t index) {
    const TableEntry& entry = table[index];
    OctreeNode node;
    node.kind = entry.kind;
    node.children.reserve(entry.n_children);
    for (unsigned c = 0; c < entry.n_children; ++c) {
        node.children.push_back(to_tree(table, entry.first_child + c));
    }
    return node;
}

}  // namespace

OctreeNode decode_octree(std::span<const std::uint8_t> data, std::uint64_t n_bits,
                         std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                         std::uint8_t max_depth) {
    const std::uint64_t avail = readable_bits(data, n_bits);
    if (avail == 0) return {};

    std::vector<TableEntry> table(1);
    std::deque<PendingNode> queue{{0, dim_x, dim_y, dim_t, 0}};
    std::uint64_t i = 0;
    while (!queue.empty()) {
        const PendingNode p = queue.front();
        queue.pop_front();
        if (i >= avail) continue;
        if (!read_bit(data, i++)) continue;
        if (p.depth >= max_depth || (p.dx < 2 && p.dy < 2 && p.dt < 2)) {
            table[p.entry].kind = NodeKind::Full;
            continue;
        }
        const AxisSplit sx = split_axis(p.dx);
        const AxisSplit sy = split_axis(p.dy);
        const AxisSplit st = split_axis(p.dt);
        const std::uint64_t first = table.size();
        table[p.entry] = {NodeKind::Subdivided, first, sx.parts * sy.parts * st.parts};
        for (unsigned ix = 0; ix < sx.parts; ++ix) {
            for (unsigned iy = 0; iy < sy.parts; ++iy) {
                for (unsigned it = 0; it < st.parts; ++it) {
                    queue.push_back({table.size(), sx.extent[ix], sy.extent[iy], st.extent[it],
                                     static_cast<std::uint8_t>(p.depth + 1)});
                    table.emplace_back();
                }
            }
        }
    }
    return to_tree(table, 0);
}

std::vector<NodeKind> breadth_first_kinds(const OctreeNode& root) {
    std::vector<const OctreeNode*> queue{&root};
    std::vector<NodeKind> kinds;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        kinds.push_back(queue[head]->kind);
        for (const OctreeNode& child : queue[head]->children) queue.push_back(&child);
    }
    return kinds;
}

namespace {

// For each occupancy byte, the kinds of its eight nodes (first node in the
// lowest byte), with a set bit standing for `kind`, and the byte's set bits.
struct KindsTable {
    explicit KindsTable(NodeKind kind) {
        for (unsigned v = 0; v < 256; ++v) {
            std::uint64_t pattern = 0;
            for (unsigned k = 0; k < 8; ++k) {
                if ((v >> (7 - k)) & 1u) pattern |= std::uint64_t{static_cast<std::uint8_t>(kind)} << (8 * k);
            }
            patterns[v] = pattern;
            ones[v] = static_cast<std::uint8_t>(std::popcount(v));
        }
    }
    std::uint64_t patterns[256];
    std::uint8_t ones[256];  // set bits of each byte, without a popcount per byte
};

const KindsTable kFullKinds(NodeKind::Full);
const KindsTable kSubdividedKinds(NodeKind::Subdivided);

}  // namespace

void decode_octree_flat(std::span<const std::uint8_t> data, std::uint64_t n_bits,
                        std::uint64_t dim_x, std::uint64_t dim_y, std::uint64_t dim_t,
                        std::uint8_t max_depth, std::vector<NodeKind>& kinds) {
    if (!is_pow2(dim_x) || !is_pow2(dim_y) || !is_pow2(dim_t)) {
        kinds = breadth_first_kinds(decode_octree(data, n_bits, dim_x, dim_y, dim_t, max_depth));
        return;
    }
    const std::uint64_t avail = readable_bits(data, n_bits);
    if (avail == 0 || (data[0] & 0x80) == 0) {
        // An empty root is the whole tree: the common case of a sequence's
        // empty frames, worth sparing the level loop's set-up.
        kinds.assign(1, NodeKind::Empty);
        return;
    }
    // Every node with a bit is one of the first `avail` nodes; one level of
    // Empty nodes past the bits at most follows.
    kinds.clear();
    kinds.reserve(avail + 8);
    std::uint64_t level_nodes = 1;
    std::uint64_t cursor = 0;  // bits consumed so far; node index while bits last
    unsigned depth = 0;
    while (level_nodes > 0) {
        const bool splits = depth < max_depth && (dim_x >= 2 || dim_y >= 2 || dim_t >= 2);
        const KindsTable& table = splits ? kSubdividedKinds : kFullKinds;
        const std::uint64_t base = kinds.size();
        const std::uint64_t readable = std::min(level_nodes, avail - cursor);
        // Eight nodes at a time from one table row; the row may run up to
        // seven entries past the level, which the resize below trims.
        kinds.resize(base + ((readable + 7) & ~std::uint64_t{7}));
        std::uint8_t* out = reinterpret_cast<std::uint8_t*>(kinds.data()) + base;
        const std::uint64_t end = cursor + readable;
        std::uint64_t ones = 0;
        for (std::uint64_t pos = cursor; pos < end; pos += 8, out += 8) {
            const unsigned value = bits_at(data.data(), pos, end);
            std::memcpy(out, &table.patterns[value], 8);
            ones += table.ones[value];
        }
        kinds.resize(base + level_nodes, NodeKind::Empty);
        cursor = end;
        if (!splits || ones == 0) break;  // no node of this level has children
        const std::uint64_t children = split_axis(dim_x).parts * split_axis(dim_y).parts *
                                       split_axis(dim_t).parts;
        level_nodes = ones * children;
        // Power-of-two extents halve evenly, so one box size describes a level.
        dim_x = split_axis(dim_x).extent[0];
        dim_y = split_axis(dim_y).extent[0];
        dim_t = split_axis(dim_t).extent[0];
        ++depth;
    }
}

}  // namespace zel
