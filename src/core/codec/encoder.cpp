#include "codec/encoder.hpp"

namespace zel {

OctreeBitstream encode_octree(const OctreeNode& root) {
    // The queue holds pointers into the tree and is never popped from the
    // front: a read index walks it, which is cheaper than a deque.
    std::vector<const OctreeNode*> queue{&root};
    std::vector<std::uint8_t> values;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const OctreeNode& node = *queue[head];
        values.push_back(node.kind == NodeKind::Empty ? 0 : 1);
        if (node.kind == NodeKind::Subdivided) {
            for (const OctreeNode& child : node.children) queue.push_back(&child);
        }
    }

    OctreeBitstream out;
    out.n_bits = values.size();
    out.packed.assign((out.n_bits + 7) / 8, 0);
    for (std::uint64_t i = 0; i < out.n_bits; ++i) {
        if (values[i] != 0) out.packed[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
    }
    return out;
}

}  // namespace zel
