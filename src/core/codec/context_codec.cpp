#include "codec/context_codec.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <string>

#include "codec/bit_window.hpp"
#include "codec/child_rows.hpp"
#include "codec/context_rans.hpp"
#include "codec/voxel.hpp"

namespace zel::context {

namespace {

constexpr unsigned kMaxLevels = 17;  // dimensions are at most 2^16
constexpr unsigned kYShift = 16;
constexpr unsigned kBinShift = 32;

// The tree's levels for one grid: level j holds the children of the
// occupied nodes of level j - 1, `children` per parent (2, 4 or 8), in the
// split rule's order. Every node of a level has the same extents.
struct LevelPlan {
    struct Level {
        unsigned children = 0;
        std::uint64_t offsets[8] = {};  // child origin minus parent origin, packed
        std::uint32_t dx = 1, dy = 1, dt = 1;  // the children's extents
    };
    std::array<Level, kMaxLevels> level{};  // level[j - 1] describes level j
    unsigned depth = 0;                      // levels below the root
    std::uint32_t root_dx = 1, root_dy = 1, root_dt = 1;
};

LevelPlan plan_levels(const GridParams& params) {
    LevelPlan plan;
    std::uint64_t dx = next_pow2(params.width);
    std::uint64_t dy = next_pow2(params.height);
    std::uint64_t dt = next_pow2(params.time_bins);
    plan.root_dx = static_cast<std::uint32_t>(dx);
    plan.root_dy = static_cast<std::uint32_t>(dy);
    plan.root_dt = static_cast<std::uint32_t>(dt);
    // A node splits below max_depth while one of its extents is 2 or more.
    while (plan.depth < params.max_depth && (dx >= 2 || dy >= 2 || dt >= 2)) {
        const AxisSplit sx = split_axis(dx);
        const AxisSplit sy = split_axis(dy);
        const AxisSplit st = split_axis(dt);
        LevelPlan::Level& l = plan.level[plan.depth];
        l.children = sx.parts * sy.parts * st.parts;
        unsigned c = 0;
        for (unsigned ix = 0; ix < sx.parts; ++ix)
            for (unsigned iy = 0; iy < sy.parts; ++iy)
                for (unsigned it = 0; it < st.parts; ++it, ++c)
                    l.offsets[c] = sx.offset[ix] | (sy.offset[iy] << kYShift) |
                                   (st.offset[it] << kBinShift);
        dx = sx.extent[0];
        dy = sy.extent[0];
        dt = st.extent[0];
        l.dx = static_cast<std::uint32_t>(dx);
        l.dy = static_cast<std::uint32_t>(dy);
        l.dt = static_cast<std::uint32_t>(dt);
        ++plan.depth;
    }
    return plan;
}

// Child masks put the first child in the highest of `children` bits, as
// the bitstream does; kChildRows reads them as eight-bit rows.

// The contexts. A parent's mask is coded with the distribution of
// (its level, what its own parent's mask says about it, the mask coded just
// before it on the level). Masks of 8 children are two nibbles, the first
// four children then the last four, the second coded in a context of the
// first: a mask of 2 or 4 children is one nibble.
struct ContextRule {
    static constexpr unsigned kSeeds = 4;        // siblings of the parent: 0, 1, 2, 3 or more
    static constexpr unsigned kPrevBuckets = 4;  // previous mask: none, 1, 2, 3+ children
    static constexpr unsigned kFirstPerLevel = kSeeds * kPrevBuckets;
    static constexpr unsigned kSecondPerLevel = 16 * 2;
    static constexpr unsigned kPerLevel = kFirstPerLevel + kSecondPerLevel;
    static constexpr unsigned kModels = kMaxLevels * kPerLevel;

    // Seed of each set child of a mask, in child order.
    static std::uint8_t seed_of(unsigned mask) {
        const unsigned siblings = static_cast<unsigned>(std::popcount(mask)) - 1;
        return static_cast<std::uint8_t>(std::min(siblings, kSeeds - 1));
    }
    static unsigned prev_bucket(unsigned prev_mask) {
        return std::min(static_cast<unsigned>(std::popcount(prev_mask)), kPrevBuckets - 1);
    }
    static unsigned first(unsigned level, unsigned seed, unsigned prev_mask) {
        return level * kPerLevel + seed * kPrevBuckets + prev_bucket(prev_mask);
    }
    static unsigned second(unsigned level, unsigned seed, unsigned high) {
        return level * kPerLevel + kFirstPerLevel + high * 2 + (seed == 0 ? 0u : 1u);
    }
};

// Per-level node data the walk keeps: every node's seed and, when boxes
// are wanted, its origin.
struct WalkBuffers {
    std::vector<std::uint8_t> seeds, next_seeds;
    std::vector<std::uint64_t> origins, next_origins;
};

Error payload_error(std::string message, std::uint64_t offset) {
    return Error::invalid_data("context payload: " + std::move(message), offset);
}

// Visits the tree level by level in breadth-first order. For every
// occupied node that splits, code(first, second) hands out its child mask,
// given the models of its first nibble and the base of its second (the
// encoder reads the mask from the bitstream, the decoder decodes it).
// With kOrigins the leaves' origins end up in `leaves`. `node_limit` bounds
// every level's occupied nodes; `bit_limit` the tree's bits.
template <bool kOrigins, class Code>
Status walk_levels(const LevelPlan& plan, std::uint64_t node_limit, std::uint64_t bit_limit,
                   Code&& code, WalkBuffers& b, LeafBoxes* leaves, std::uint64_t& n_bits,
                   std::uint64_t stream_offset) {
    n_bits = 1;
    b.seeds.assign(1, 0);
    if constexpr (kOrigins) b.origins.assign(1, 0);
    std::size_t parents = 1;
    for (unsigned j = 0; j < plan.depth; ++j) {
        const LevelPlan::Level& l = plan.level[j];
        const std::uint64_t level_bits = std::uint64_t{parents} * l.children;
        if (level_bits > bit_limit - n_bits) {
            return payload_error("the tree has more bits than its frame declares", stream_offset);
        }
        n_bits += level_bits;
        const bool last = j + 1 == plan.depth;
        // Rows write eight entries whatever the count: room for that.
        b.next_seeds.resize(parents * l.children + 8);
        if constexpr (kOrigins) b.next_origins.resize(parents * l.children + 8);
        std::uint8_t* seeds_out = b.next_seeds.data();
        std::uint64_t* origins_out = b.next_origins.data();
        std::size_t children = 0;
        unsigned prev_mask = 0;
        const unsigned shift = 8 - l.children;
        for (std::size_t i = 0; i < parents; ++i) {
            const unsigned seed = b.seeds[i];
            const unsigned mask = code(ContextRule::first(j, seed, prev_mask),
                                       ContextRule::second(j, seed, 0), l.children);
            prev_mask = mask;
            const unsigned row = (mask << shift) & 0xFFu;
            const std::uint8_t n = kChildRows.count[row];
            const std::uint8_t child_seed = n == 0 ? 0 : ContextRule::seed_of(mask);
            for (unsigned k = 0; k < 8; ++k) seeds_out[children + k] = child_seed;
            if constexpr (kOrigins) {
                const std::uint64_t origin = b.origins[i];
                const auto& order = kChildRows.order[row];
                for (unsigned k = 0; k < 8; ++k)
                    origins_out[children + k] = origin + l.offsets[order[k]];
            }
            children += n;
        }
        if (children > node_limit) {
            return payload_error("a level has more occupied nodes than the frame has events",
                                 stream_offset);
        }
        b.next_seeds.resize(children);
        std::swap(b.seeds, b.next_seeds);
        if constexpr (kOrigins) {
            b.next_origins.resize(children);
            std::swap(b.origins, b.next_origins);
            if (last) {
                leaves->origins = std::move(b.origins);
                leaves->dx = l.dx;
                leaves->dy = l.dy;
                leaves->dbin = l.dt;
            }
        }
        parents = children;
        if (parents == 0) break;  // only a damaged stream gets here
    }
    return kOk;
}

// Lanes by symbol count: every lane costs its 4-byte final state, worth it
// only when the symbols are many enough to keep several in flight.
unsigned lanes_for(std::size_t symbols) {
    if (symbols < 64) return 1;
    if (symbols < 512) return 2;
    return 4;
}

struct ModelBank {
    std::vector<NibbleModel> models = std::vector<NibbleModel>(ContextRule::kModels);
};

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

void ContextEncoder::encode_bitstream(std::span<const std::uint8_t> packed, std::uint64_t n_bits,
                                      bool has_events, std::vector<std::uint8_t>& payload) {
    payload.clear();
    const LevelPlan plan = plan_levels(params_);
    std::vector<CodedSymbol> symbols;
    if (has_events && n_bits > 1) {
        ModelBank bank;
        const std::uint8_t* data = packed.data();
        std::uint64_t cursor = 1;  // past the root's bit
        const auto code = [&](unsigned first, unsigned second_base, unsigned children) {
            const unsigned mask = bits_at(data, cursor, n_bits) >> (8 - children);
            cursor += children;
            const auto put = [&](NibbleModel& m, unsigned s) {
                symbols.push_back({static_cast<std::uint16_t>(m.start(s)),
                                   static_cast<std::uint16_t>(m.freq(s))});
                m.update(s);
            };
            if (children == 8) {
                put(bank.models[first], mask >> 4);
                put(bank.models[second_base + (mask >> 4) * 2], mask & 15u);
            } else {
                put(bank.models[first], mask);
            }
            return mask;
        };
        WalkBuffers buffers;
        std::uint64_t walked = 0;
        (void)walk_levels<false>(plan, UINT64_MAX, n_bits, code, buffers, nullptr, walked, 0);
    }
    const unsigned lanes = lanes_for(symbols.size());
    payload.push_back(static_cast<std::uint8_t>(kPayloadVersion | (std::countr_zero(lanes) << 4)));
    if (!symbols.empty()) rans_encode_symbols(symbols, lanes, payload);
}

namespace {

// Decodes a payload into leaves (kOrigins) or a bitstream.
template <bool kOrigins>
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
    // The root: occupied exactly when the frame has events.
    if (n_events == 0 || plan.depth == 0) {
        if (payload.size() != 1) return payload_error("bytes after a tree without symbols", 1);
        if (n_bits != 1) {
            return payload_error("the tree has 1 bit, its frame declares " + std::to_string(n_bits),
                                 0);
        }
        if (bitstream) bitstream->assign(1, n_events == 0 ? 0x00 : 0x80);
        if (leaves && n_events > 0) {
            leaves->origins.assign(1, 0);
            leaves->dx = plan.root_dx;
            leaves->dy = plan.root_dy;
            leaves->dbin = plan.root_dt;
        }
        return kOk;
    }
    if (payload.size() < 1 + 4 * std::size_t{lanes}) {
        return payload_error("the coder's states are cut short", payload.size());
    }
    RansWordDecoder decoder(payload.data() + 1, payload.size() - 1, lanes);
    ModelBank bank;
    BitWriter* writer = nullptr;
    std::vector<std::uint8_t> packed;
    BitWriter bit_writer(packed);
    if (bitstream) {
        bit_writer.put(1, 1);
        writer = &bit_writer;
    }
    const auto code = [&](unsigned first, unsigned second_base, unsigned children) {
        unsigned mask;
        if (children == 8) {
            const unsigned high = decoder.next(bank.models[first]);
            mask = (high << 4) | decoder.next(bank.models[second_base + high * 2]);
        } else {
            mask = decoder.next(bank.models[first]) & ((1u << children) - 1);
        }
        if (writer) writer->put(mask, children);
        return mask;
    };
    WalkBuffers buffers;
    std::uint64_t walked = 0;
    ZEL_TRY(walk_levels<kOrigins>(plan, n_events, n_bits, code, buffers, leaves, walked, 1));
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
    return kOk;
}

}  // namespace

Result<LeafBoxes> decode_boxes(std::span<const std::uint8_t> payload, const GridParams& params,
                               std::uint64_t n_bits, std::uint64_t n_events) {
    LeafBoxes boxes;
    ZEL_TRY(decode_payload<true>(payload, params, n_bits, n_events, &boxes, nullptr));
    return boxes;
}

Result<OctreeBitstream> decode_bitstream(std::span<const std::uint8_t> payload,
                                         const GridParams& params, std::uint64_t n_bits,
                                         std::uint64_t n_events) {
    OctreeBitstream bits;
    ZEL_TRY(decode_payload<false>(payload, params, n_bits, n_events, nullptr, &bits.packed));
    bits.n_bits = n_bits;
    return bits;
}

}  // namespace zel::context
