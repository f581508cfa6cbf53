#include "codec/context_codec.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "codec/bit_window.hpp"
#include "codec/child_rows.hpp"
#include "codec/context_model.hpp"
#include "codec/context_rans.hpp"
#include "codec/voxel.hpp"

namespace zel::context {

namespace {

constexpr unsigned kMaxLevels = 17;  // dimensions are at most 2^16
constexpr unsigned kYShift = 16;
constexpr unsigned kBinShift = 32;

// The tree's levels for one grid. A node of level j is named by its key:
// the child numbers on its path from the root, concatenated, so key order is
// breadth-first order on every level and a parent's children are the keys
// (parent << bits) | c. Within a child number x is the most significant
// choice and t the least, as in the bitstream.
struct LevelPlan {
    struct Level {
        unsigned bits = 0;                // bits of a child number at this level (1..3)
        unsigned key_bits = 0;            // bits of a key at this level
        std::array<std::uint64_t, 3> axis_mask{};  // key bits holding x, y, t
        std::array<unsigned, 3> child_bit{};       // each axis's bit in a child number, 0 unsplit
        std::array<unsigned, 3> extent_log2{};     // log2 of the node's extent along each axis
    };
    std::array<Level, kMaxLevels + 1> level{};  // level[0] is the root
    unsigned depth = 0;                          // levels below the root
};

LevelPlan plan_levels(const GridParams& params) {
    LevelPlan plan;
    const std::array<unsigned, 3> log2 = {
        static_cast<unsigned>(std::countr_zero(next_pow2(params.width))),
        static_cast<unsigned>(std::countr_zero(next_pow2(params.height))),
        static_cast<unsigned>(std::countr_zero(next_pow2(params.time_bins)))};
    const unsigned levels = std::max({log2[0], log2[1], log2[2]});
    plan.depth = std::min<unsigned>(levels, params.max_depth);
    plan.level[0].extent_log2 = log2;
    for (unsigned j = 1; j <= plan.depth; ++j) {
        const LevelPlan::Level& up = plan.level[j - 1];
        LevelPlan::Level& l = plan.level[j];
        unsigned next_bit = 1;
        for (unsigned a = 3; a-- > 0;) {  // t takes the lowest bit of a child number
            const bool split = j <= log2[a];
            l.child_bit[a] = split ? next_bit : 0;
            next_bit <<= split ? 1 : 0;
            l.extent_log2[a] = up.extent_log2[a] - (split ? 1 : 0);
        }
        l.bits = static_cast<unsigned>(std::countr_zero(next_bit));
        l.key_bits = up.key_bits + l.bits;
        for (unsigned a = 0; a < 3; ++a) l.axis_mask[a] = (up.axis_mask[a] << l.bits) | l.child_bit[a];
    }
    return plan;
}

// A level's occupancy bitmap (bit `key` set for every node) is kept only
// while it is small next to the nodes it can hold: at most this many bits
// per possible node, or kFreeBitmapBits whatever the count. Larger grids
// code their levels without neighbours.
constexpr std::uint64_t kBitmapBitsPerNode = 256;
constexpr unsigned kFreeBitmapLog2 = 16;
constexpr unsigned kMaxBitmapLog2 = 32;

bool bitmap_allowed(unsigned key_bits, std::uint64_t possible_nodes) {
    if (key_bits <= kFreeBitmapLog2) return true;
    if (key_bits > kMaxBitmapLog2) return false;
    return (std::uint64_t{1} << key_bits) <= possible_nodes * kBitmapBitsPerNode;
}

// The key of a node's neighbour one step along one axis, or false at the
// grid's edge. The axis's key bits are counted up or down as one number
// while the other axes' bits stay put.
inline bool step_down(std::uint64_t key, std::uint64_t axis, std::uint64_t& out) {
    const std::uint64_t along = key & axis;
    if (along == 0) return false;
    out = ((along - 1) & axis) | (key & ~axis);
    return true;
}
inline bool step_up(std::uint64_t key, std::uint64_t axis, std::uint64_t& out) {
    const std::uint64_t along = key & axis;
    if (along == axis) return false;
    out = (((key | ~axis) + 1) & axis) | (key & ~axis);
    return true;
}

inline unsigned bitmap_bit(const std::uint64_t* bitmap, std::uint64_t key) {
    return static_cast<unsigned>(bitmap[key >> 6] >> (key & 63)) & 1u;
}

// The children of `key` as a group of 2^bits bits (child c in bit c).
inline unsigned bitmap_group(const std::uint64_t* bitmap, std::uint64_t key, unsigned bits) {
    const std::uint64_t first = key << bits;
    const unsigned width = 1u << bits;
    return static_cast<unsigned>(bitmap[first >> 6] >> (first & 63)) & ((1u << width) - 1);
}

// Mask of 2^bits children in the bitstream's order (first child highest)
// to group order (child c in bit c) and back: the mask read backwards.
inline unsigned reverse_mask(unsigned mask, unsigned bits) {
    return unsigned{kReversedBytes[mask]} >> (8 - (1u << bits));
}

// Byte c of spread[set] is 1 for every child c in the 8-bit set.
constexpr std::array<std::uint64_t, 256> kSpread = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned v = 0; v < 256; ++v)
        for (unsigned c = 0; c < 8; ++c)
            if ((v >> c) & 1u) t[v] |= std::uint64_t{1} << (8 * c);
    return t;
}();

// A level's child patterns, in the byte-per-child layout of the walk:
// for child c, bit 5 - a says the parent's neighbour on c's side of axis a
// is occupied, bit 2 - a that c's neighbour one step down axis a is.
struct LevelTables {
    std::array<std::uint8_t, 3> upper{};        // children in the upper half of each axis
    std::array<unsigned, 3> child_bit{};        // as in the plan
    std::array<unsigned, 8> child_offset{};     // ContextIndex offset of child c
    std::array<std::uint64_t, 8> sibling_pattern{};  // what an occupied child c tells later ones
    unsigned all = 0;                           // every child of the level

    // The patterns axis a contributes for every child, given the children of
    // the parent's neighbour one step down (`below`, group order) and whether
    // the one step up is occupied.
    std::uint64_t axis_pattern(unsigned a, unsigned below, unsigned above) const {
        const unsigned cb = child_bit[a];
        const unsigned touching_shift = 5 - a, causal_shift = 2 - a;
        if (cb == 0) {  // the axis is not split: every child touches both sides
            const unsigned touching = (above | (below != 0 ? 1u : 0u)) != 0 ? all : 0u;
            return (kSpread[touching] << touching_shift) | (kSpread[below] << causal_shift);
        }
        const unsigned lower = all & ~unsigned{upper[a]};
        const unsigned touching = (above ? upper[a] : 0u) | (below != 0 ? lower : 0u);
        const unsigned causal = (below >> cb) & lower;
        return (kSpread[touching] << touching_shift) | (kSpread[causal] << causal_shift);
    }
};

const LevelTables& tables(const LevelPlan::Level& l) {
    thread_local LevelTables t;
    const unsigned width = 1u << l.bits;
    t.all = (1u << width) - 1;
    t.child_bit = l.child_bit;
    for (unsigned a = 0; a < 3; ++a) {
        t.upper[a] = 0;
        for (unsigned c = 0; c < width; ++c)
            if (c & l.child_bit[a]) t.upper[a] = static_cast<std::uint8_t>(t.upper[a] | (1u << c));
    }
    for (unsigned c = 0; c < 8; ++c) {
        t.child_offset[c] = ContextIndex::of(0, c, 0, 0);
        t.sibling_pattern[c] = 0;
        for (unsigned a = 0; a < 3; ++a) {
            const unsigned cb = l.child_bit[a];
            if (cb != 0 && (c & cb) == 0 && c < width) {
                t.sibling_pattern[c] |= std::uint64_t{1} << (8 * (c | cb) + 2 - a);
            }
        }
    }
    return t;
}

// Buffers one walk uses, kept per thread between frames.
struct WalkBuffers {
    std::vector<std::uint64_t> parents, children;
    std::vector<std::uint64_t> parent_bitmap, child_bitmap;
    std::vector<CodedBit> coded;
    std::vector<std::uint16_t> words;
    BitModels models;
};

constexpr std::size_t kKeepBytes = std::size_t{64} << 20;

std::unique_ptr<WalkBuffers>& pooled_buffers() {
    thread_local std::unique_ptr<WalkBuffers> pool;
    return pool;
}

// Borrows the thread's buffers for one call and hands them back trimmed.
class BorrowedBuffers {
public:
    BorrowedBuffers() : b_(std::move(pooled_buffers())) {
        if (!b_) b_ = std::make_unique<WalkBuffers>();
        b_->models.reset();
    }
    ~BorrowedBuffers() {
        const auto trim = [](auto& v) {
            if (v.capacity() * sizeof(v[0]) > kKeepBytes) std::decay_t<decltype(v)>().swap(v);
        };
        trim(b_->parents);
        trim(b_->children);
        trim(b_->parent_bitmap);
        trim(b_->child_bitmap);
        trim(b_->coded);
        trim(b_->words);
        pooled_buffers() = std::move(b_);
    }
    BorrowedBuffers(const BorrowedBuffers&) = delete;
    BorrowedBuffers& operator=(const BorrowedBuffers&) = delete;
    WalkBuffers& operator*() { return *b_; }
    WalkBuffers* operator->() { return b_.get(); }

private:
    std::unique_ptr<WalkBuffers> b_;
};

void clear_bitmap(std::vector<std::uint64_t>& bitmap, unsigned key_bits) {
    const std::size_t words = static_cast<std::size_t>(((std::uint64_t{1} << key_bits) + 63) / 64);
    if (bitmap.size() < words) bitmap.resize(words);
    std::memset(bitmap.data(), 0, words * sizeof(std::uint64_t));
}

Error payload_error(std::string message, std::uint64_t offset) {
    return Error::invalid_data("context payload: " + std::move(message), offset);
}

// Visits the tree level by level in breadth-first order and codes every
// child bit that the tree does not imply. Coder supplies the bits:
//   void level(unsigned bits)   a level of 2^bits children per parent starts
//   void begin()                the next parent's children follow
//   unsigned bit(unsigned context, unsigned coarse, unsigned child)   codes child's bit
//   void end(unsigned mask, unsigned bits)   the parent's mask, child c in bit c
//   bool healthy()              false once the coded stream is known bad
// `node_limit` bounds every level's occupied nodes, `bit_limit` the tree's
// bits. On success `keys` holds the leaves' keys and n_bits the tree's bits.
template <class Coder>
Status walk_levels(const LevelPlan& plan, std::uint64_t node_limit, std::uint64_t bit_limit,
                   Coder& coder, WalkBuffers& b, std::uint64_t& n_bits,
                   std::uint64_t error_offset) {
    n_bits = 1;
    b.parents.assign(1, 0);
    bool parent_mapped = true;  // the root's level is one bit
    clear_bitmap(b.parent_bitmap, 0);
    b.parent_bitmap[0] = 1;
    for (unsigned j = 1; j <= plan.depth; ++j) {
        const LevelPlan::Level& l = plan.level[j];
        const LevelPlan::Level& up = plan.level[j - 1];
        const std::size_t parents = b.parents.size();
        const std::uint64_t level_bits = std::uint64_t{parents} << l.bits;
        if (level_bits > bit_limit - n_bits) {
            return payload_error("the tree has more bits than its frame declares", error_offset);
        }
        n_bits += level_bits;
        const bool child_mapped = bitmap_allowed(l.key_bits, level_bits);
        if (child_mapped) clear_bitmap(b.child_bitmap, l.key_bits);
        const bool neighbours = parent_mapped && child_mapped;
        const unsigned level_class =
            std::min(plan.depth - j, 3u) + (neighbours ? 0 : ContextIndex::kNoNeighbours);
        const unsigned width = 1u << l.bits;
        coder.level(l.bits);
        b.children.clear();
        b.children.reserve(static_cast<std::size_t>(std::min(level_bits, node_limit)));
        std::uint64_t* const child_bitmap = b.child_bitmap.data();
        const std::uint64_t* const parent_bitmap = b.parent_bitmap.data();
        const LevelTables& t = tables(l);
        const unsigned context_base = ContextIndex::of(level_class, 0, 0, 0);
        const unsigned coarse_base = ContextIndex::coarse(level_class, 0, 0);
        for (std::size_t i = 0; i < parents; ++i) {
            const std::uint64_t key = b.parents[i];
            // Byte c of `known` holds child c's neighbour pattern: touching
            // faces in bits 5..3, causal neighbours in bits 2..0 (x, y, t).
            std::uint64_t known = 0;
            if (neighbours) {
                for (unsigned a = 0; a < 3; ++a) {
                    std::uint64_t other = 0;
                    unsigned below = 0, above = 0;
                    if (step_down(key, up.axis_mask[a], other)) {
                        below = bitmap_group(child_bitmap, other, l.bits);
                    }
                    if (step_up(key, up.axis_mask[a], other)) {
                        above = bitmap_bit(parent_bitmap, other);
                    }
                    known |= t.axis_pattern(a, below, above);
                }
            }
            coder.begin();
            // The parent's occupied siblings (its own group one level up)
            // and how many children its predecessor on the level had.
            unsigned parent_siblings = 0, column = 0;
            if (parent_mapped) {
                parent_siblings = kChildRows.count[bitmap_group(parent_bitmap, key >> up.bits, up.bits)] - 1u;
                // The parent's block two bins earlier and later.
                std::uint64_t near = 0, far = 0;
                const std::uint64_t time_axis = up.axis_mask[2];
                if (step_down(key, time_axis, near) && step_down(near, time_axis, far))
                    column += bitmap_bit(parent_bitmap, far);
                if (step_up(key, time_axis, near) && step_up(near, time_axis, far))
                    column += bitmap_bit(parent_bitmap, far);
            }
            unsigned mask = 0;
            unsigned siblings = 0;
            for (unsigned c = 0; c < width; ++c) {
                unsigned bit = 1;
                if (c + 1 < width || mask != 0) {
                    const auto pattern = static_cast<unsigned>(known >> (8 * c)) & 63u;
                    const unsigned sib = std::min(siblings, ContextIndex::kSiblingCounts - 1);
                    bit = coder.bit(context_base + t.child_offset[c] + pattern * 3 + sib,
                                    coarse_base + kChildRows.count[pattern] * 3 + sib,
                                    ContextIndex::third(level_class, c, siblings, parent_siblings,
                                                        column, kChildRows.count[pattern]),
                                    c);
                }
                if (bit) {
                    mask |= 1u << c;
                    ++siblings;
                    known |= t.sibling_pattern[c];
                    const std::uint64_t child = (key << l.bits) | c;
                    b.children.push_back(child);
                    if (child_mapped) child_bitmap[child >> 6] |= std::uint64_t{1} << (child & 63);
                }
            }
            coder.end(mask, l.bits);
            if (b.children.size() > node_limit) {
                return payload_error("a level has more occupied nodes than the frame has events",
                                     error_offset);
            }
        }
        if (!coder.healthy()) {
            return payload_error("the coded stream ends before the tree does", error_offset);
        }
        std::swap(b.parents, b.children);
        std::swap(b.parent_bitmap, b.child_bitmap);
        parent_mapped = child_mapped;
    }
    return kOk;
}

// Lanes by decision count: every lane costs its 4-byte final state, worth it
// only when the decisions are many enough to keep several in flight.
unsigned lanes_for(std::size_t decisions) {
    if (decisions < 256) return 1;
    if (decisions < 2048) return 2;
    return 4;
}

}  // namespace

ContextEncoder::ContextEncoder(const GridParams& params)
    : params_(params),
      coder_(params.width, params.height, params.time_bins, params.max_depth) {}

FrameFigures ContextEncoder::encode(std::span<const Event> events,
                                    std::vector<std::uint8_t>& payload) {
    const std::uint64_t occupied = coder_.encode(events, bits_);
    encode_bitstream(bits_.packed, bits_.n_bits, !events.empty(), payload);
    return {bits_.n_bits, occupied};
}

FrameFigures ContextEncoder::encode(PackedEvents events, std::vector<std::uint8_t>& payload) {
    const std::uint64_t occupied = coder_.encode(events, bits_);
    encode_bitstream(bits_.packed, bits_.n_bits, !events.empty(), payload);
    return {bits_.n_bits, occupied};
}

namespace {

// The walk's coder for encoding: reads each parent's mask from the bitstream
// at begin(), records the decisions.
class EncodingCoder {
public:
    EncodingCoder(const std::uint8_t* packed, std::uint64_t n_bits, WalkBuffers& b)
        : packed_(packed), n_bits_(n_bits), b_(b) {}

    void level(unsigned bits) { bits_ = bits; }
    void begin() {
        const unsigned width = 1u << bits_;
        const unsigned raw = bits_at(packed_, cursor_, n_bits_) >> (8 - width);
        cursor_ += width;
        mask_ = reverse_mask(raw, bits_);
    }
    unsigned bit(unsigned context, unsigned coarse, unsigned third, unsigned child) {
        const unsigned bit = (mask_ >> child) & 1u;
        b_.coded.push_back(coded_bit(b_.models.predict(context, coarse, third), bit));
        b_.models.update(bit);
        return bit;
    }
    void end(unsigned, unsigned) {}
    bool healthy() const { return true; }

private:
    const std::uint8_t* packed_;
    std::uint64_t n_bits_;
    WalkBuffers& b_;
    std::uint64_t cursor_ = 1;  // past the root's bit
    unsigned mask_ = 0;
    unsigned bits_ = 0;
};

}  // namespace

void ContextEncoder::encode_bitstream(std::span<const std::uint8_t> packed, std::uint64_t n_bits,
                                      bool has_events, std::vector<std::uint8_t>& payload) {
    payload.clear();
    const LevelPlan plan = plan_levels(params_);
    BorrowedBuffers b;
    b->coded.clear();
    if (has_events && plan.depth > 0) {
        EncodingCoder coder(packed.data(), n_bits, *b);
        std::uint64_t walked = 0;
        (void)walk_levels(plan, UINT64_MAX, n_bits, coder, *b, walked, 0);
    }
    const unsigned lanes = lanes_for(b->coded.size());
    payload.push_back(static_cast<std::uint8_t>(kPayloadVersion | (std::countr_zero(lanes) << 4)));
    if (!b->coded.empty()) rans_encode_bits(b->coded, lanes, b->words, payload);
}

}  // namespace zel::context

namespace zel::context {

namespace {

// The walk's coder for decoding: every decision from the rANS stream, and
// the masks written out as the bitstream when one is wanted.
class DecodingCoder {
public:
    DecodingCoder(RansBitDecoder& decoder, BitModels& models, BitWriter* writer)
        : decoder_(decoder), models_(models), writer_(writer) {}

    void level(unsigned) {}
    void begin() {}
    unsigned bit(unsigned context, unsigned coarse, unsigned third, unsigned) {
        const unsigned bit = decoder_.next(models_.predict(context, coarse, third));
        models_.update(bit);
        return bit;
    }
    void end(unsigned mask, unsigned bits) {
        if (writer_) writer_->put(reverse_mask(mask, bits), 1u << bits);
    }
    bool healthy() const { return !decoder_.overrun(); }

private:
    RansBitDecoder& decoder_;
    BitModels& models_;
    BitWriter* writer_;
};

// Origins of the leaves from their keys: per key byte, a table of what its
// bits add to the packed origin (x | y << 16 | bin << 32, in voxels).
void leaf_origins(const LevelPlan& plan, const std::vector<std::uint64_t>& keys,
                  std::vector<std::uint64_t>& origins) {
    const LevelPlan::Level& leaf = plan.level[plan.depth];
    const unsigned key_bytes = (leaf.key_bits + 7) / 8;
    std::vector<std::array<std::uint64_t, 256>> table(key_bytes);
    constexpr std::array<unsigned, 3> kShift = {0, kYShift, kBinShift};
    // For every key bit, the origin bit it stands for.
    std::array<std::uint64_t, 64> origin_of_bit{};
    for (unsigned a = 0; a < 3; ++a) {
        unsigned coordinate_bit = 0;
        for (unsigned k = 0; k < leaf.key_bits; ++k) {
            if ((leaf.axis_mask[a] >> k) & 1u) {
                origin_of_bit[k] = std::uint64_t{1}
                                   << (kShift[a] + leaf.extent_log2[a] + coordinate_bit++);
            }
        }
    }
    for (unsigned byte = 0; byte < key_bytes; ++byte) {
        for (unsigned v = 0; v < 256; ++v) {
            std::uint64_t o = 0;
            for (unsigned k = 0; k < 8 && 8 * byte + k < leaf.key_bits; ++k)
                if ((v >> k) & 1u) o |= origin_of_bit[8 * byte + k];
            table[byte][v] = o;
        }
    }
    origins.resize(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::uint64_t o = 0;
        for (unsigned byte = 0; byte < key_bytes; ++byte) o |= table[byte][(keys[i] >> (8 * byte)) & 0xFFu];
        origins[i] = o;
    }
}

// Decodes a payload into leaves or a bitstream (whichever is asked for).
Status decode_payload(std::span<const std::uint8_t> payload, const GridParams& params,
                      std::uint64_t n_bits, std::uint64_t n_events, LeafBoxes* leaves,
                      std::vector<std::uint8_t>* bitstream) {
    if (payload.empty()) return payload_error("no header byte", 0);
    const unsigned header = payload[0];
    if ((header & 15u) != kPayloadVersion) {
        return payload_error("unknown version " + std::to_string(header & 15u), 0);
    }
    if ((header >> 6) != 0 || ((header >> 4) & 3u) == 3) {
        return payload_error("reserved header bits are set", 0);
    }
    const unsigned lanes = 1u << ((header >> 4) & 3u);
    const LevelPlan plan = plan_levels(params);
    const LevelPlan::Level& leaf = plan.level[plan.depth];
    // The root: occupied exactly when the frame has events.
    if (n_events == 0 || plan.depth == 0) {
        if (payload.size() != 1) return payload_error("bytes after a tree without decisions", 1);
        if (n_bits != 1) {
            return payload_error("the tree has 1 bit, its frame declares " + std::to_string(n_bits),
                                 0);
        }
        if (bitstream) bitstream->assign(1, n_events == 0 ? 0x00 : 0x80);
        if (leaves && n_events > 0) {
            leaves->origins.assign(1, 0);
            leaves->dx = 1u << leaf.extent_log2[0];
            leaves->dy = 1u << leaf.extent_log2[1];
            leaves->dbin = 1u << leaf.extent_log2[2];
        }
        return kOk;
    }
    if (payload.size() < 1 + 4 * std::size_t{lanes}) {
        return payload_error("the coder's states are cut short", payload.size());
    }
    RansBitDecoder decoder(payload.data() + 1, payload.size() - 1, lanes);
    BorrowedBuffers b;
    std::vector<std::uint8_t> packed;
    BitWriter bit_writer(packed);
    if (bitstream) bit_writer.put(1, 1);
    DecodingCoder coder(decoder, b->models, bitstream ? &bit_writer : nullptr);
    std::uint64_t walked = 0;
    ZEL_TRY(walk_levels(plan, n_events, n_bits, coder, *b, walked, 1));
    if (!decoder.finished_cleanly()) {
        return payload_error("the coded stream does not end where the tree does",
                             1 + decoder.consumed(payload.data() + 1));
    }
    if (walked != n_bits) {
        return payload_error("the tree has " + std::to_string(walked) + " bits, its frame declares " +
                                 std::to_string(n_bits),
                             0);
    }
    if (bitstream) {
        bit_writer.finish();
        *bitstream = std::move(packed);
    }
    if (leaves) {
        leaf_origins(plan, b->parents, leaves->origins);
        leaves->dx = 1u << leaf.extent_log2[0];
        leaves->dy = 1u << leaf.extent_log2[1];
        leaves->dbin = 1u << leaf.extent_log2[2];
    }
    return kOk;
}

}  // namespace

Result<LeafBoxes> decode_boxes(std::span<const std::uint8_t> payload, const GridParams& params,
                               std::uint64_t n_bits, std::uint64_t n_events) {
    LeafBoxes boxes;
    ZEL_TRY(decode_payload(payload, params, n_bits, n_events, &boxes, nullptr));
    return boxes;
}

Status decode_tree(std::span<const std::uint8_t> payload, const GridParams& params,
                   std::uint64_t n_bits, std::uint64_t n_events,
                   std::vector<std::uint8_t>& bitstream, LeafBoxes* leaves) {
    return decode_payload(payload, params, n_bits, n_events, leaves, &bitstream);
}

std::uint64_t tree_bit_capacity(std::span<const std::uint8_t> payload) {
    const double min_cost = -std::log2(static_cast<double>(kProbScale - 1) / kProbScale);
    const double state_bits = 8.0 * static_cast<double>(payload.size()) + 32.0 * kMaxLanes;
    const double decisions = 2.0 * state_bits / min_cost;
    const double capacity = 1.0 + 8.0 * decisions;
    return capacity >= 0x1p62 ? std::uint64_t{1} << 62 : static_cast<std::uint64_t>(capacity);
}

Result<OctreeBitstream> decode_bitstream(std::span<const std::uint8_t> payload,
                                         const GridParams& params, std::uint64_t n_bits,
                                         std::uint64_t n_events) {
    OctreeBitstream bits;
    ZEL_TRY(decode_payload(payload, params, n_bits, n_events, nullptr, &bits.packed));
    bits.n_bits = n_bits;
    return bits;
}

}  // namespace zel::context
