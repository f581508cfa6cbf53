#include "codec/sparse_octree.hpp"

#include <algorithm>
#include <bit>

#include "codec/key_sort.hpp"
#include "codec/level_bitmaps.hpp"
#include "codec/time_binner.hpp"
#include "codec/voxel.hpp"

namespace zel {

struct CoderBuffers {
    KeyBuffer keys;
    std::vector<std::uint8_t> masks;  // child masks of all levels, deepest first
    std::array<std::size_t, kLevelSlots> level_count{};
    std::array<std::size_t, kLevelSlots> level_offset{};
    KeySorter sorter;
    LevelBitmaps levels;
};

namespace {

// Buffers kept per thread between calls, and the most each may keep: enough
// for several million events, so steady workloads never fault in new pages
// while one huge call does not pin its memory for the life of the thread.
constexpr std::size_t kPooledBuffers = 2;
constexpr std::size_t kKeepBytes = std::size_t{64} << 20;

std::vector<std::unique_ptr<CoderBuffers>>& buffer_pool() {
    thread_local std::vector<std::unique_ptr<CoderBuffers>> pool;
    return pool;
}

std::unique_ptr<CoderBuffers> acquire_buffers() {
    auto& pool = buffer_pool();
    if (pool.empty()) return std::make_unique<CoderBuffers>();
    std::unique_ptr<CoderBuffers> buffers = std::move(pool.back());
    pool.pop_back();
    return buffers;
}

void release_buffers(std::unique_ptr<CoderBuffers> buffers) {
    if (buffers->keys.capacity() * sizeof(std::uint64_t) > kKeepBytes) {
        KeyBuffer().swap(buffers->keys);
    }
    if (buffers->masks.capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(buffers->masks);
    buffers->sorter.trim(kKeepBytes);
    buffers->levels.trim(kKeepBytes);
    auto& pool = buffer_pool();
    if (pool.size() < kPooledBuffers) pool.push_back(std::move(buffers));
}

// Groups sorted boxes (node ids of one level after shifting right by
// `shift`; duplicates allowed) by parent. Writes each parent's child mask,
// first child in the most significant of the 2^bits mask bits, and the
// parents themselves over the front of `nodes`. Returns the parent count.
// Branch-free: every box rewrites its group's slot, so a new group costs no
// misprediction.
std::size_t group_by_parent(std::uint64_t* nodes, std::size_t n, unsigned shift, unsigned bits,
                            std::uint8_t* masks) {
    const unsigned children = 1u << bits;
    std::size_t group = 0;
    std::uint64_t parent = (nodes[0] >> shift) >> bits;
    unsigned mask = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t child = nodes[i] >> shift;
        const std::uint64_t p = child >> bits;
        const bool fresh = p != parent;
        group += fresh;
        mask = (fresh ? 0u : mask) | (1u << (children - 1 - (child & (children - 1))));
        parent = p;
        masks[group] = static_cast<std::uint8_t>(mask);
        nodes[group] = p;
    }
    return group + 1;
}

std::size_t count_distinct(const std::uint64_t* sorted, std::size_t n) {
    std::size_t distinct = 1;
    for (std::size_t i = 1; i < n; ++i) distinct += sorted[i] != sorted[i - 1];
    return distinct;
}

}  // namespace

SparseOctreeCoder::SparseOctreeCoder(std::uint16_t width, std::uint16_t height,
                                     std::uint16_t time_bins, std::uint8_t max_depth)
    : dim_x_(next_pow2(width)),
      dim_y_(next_pow2(height)),
      dim_t_(next_pow2(time_bins)),
      time_bins_(time_bins),
      buffers_(acquire_buffers()) {
    const std::array<unsigned, kAxes> log2 = {
        static_cast<unsigned>(std::countr_zero(dim_x_)),
        static_cast<unsigned>(std::countr_zero(dim_y_)),
        static_cast<unsigned>(std::countr_zero(dim_t_))};
    levels_ = std::max({log2[0], log2[1], log2[2]});
    tree_levels_ = std::min<unsigned>(levels_, max_depth);

    // An axis splits at level j while j <= its log2 extent.
    for (unsigned j = 1; j <= levels_; ++j) {
        for (unsigned a = 0; a < kAxes; ++a) level_bits_[j] += j <= log2[a] ? 1u : 0u;
    }
    for (unsigned j = levels_; j-- > 1;) {
        level_shift_[j] = level_shift_[j + 1] + level_bits_[j + 1];
    }
    key_bits_ = log2[0] + log2[1] + log2[2];

    // Coordinate bit b of axis a is the axis's choice at level log2[a] - b;
    // within a level x is the most significant choice and t the least.
    KeyInterleaver::Positions position{};
    for (unsigned a = 0; a < kAxes; ++a) {
        for (unsigned b = 0; b < log2[a]; ++b) {
            const unsigned j = log2[a] - b;
            position[a][b] = level_shift_[j];
            for (unsigned later = a + 1; later < kAxes; ++later) {
                position[a][b] += j <= log2[later] ? 1u : 0u;
            }
        }
    }
    interleaver_ = std::make_unique<KeyInterleaver>(log2, position);
}

SparseOctreeCoder::~SparseOctreeCoder() { release_buffers(std::move(buffers_)); }

// Bins over a guessed time range cost nothing extra when the guess holds:
// for time-ordered events, the usual case, the first and last timestamps are
// the range, and the pass that would otherwise look for it is skipped. Any
// event outside the guess is noticed within a block of the pass, which then
// starts again from the true range after `restart` has undone what the
// abandoned pass left in the sink.
template <class Source, class Sink, class Restart>
void SparseOctreeCoder::make_keys(const Source& events, Sink sink, Restart restart) {
    std::uint32_t tmin = events[0].t;
    std::uint32_t tmax = events[events.size() - 1].t;
    if (tmin > tmax) min_max_time(events, tmin, tmax);
    if (key_pass(events, tmin, tmax, sink)) return;
    restart();
    min_max_time(events, tmin, tmax);
    key_pass(events, tmin, tmax, sink);
}

template <class Source, class Sink>
bool SparseOctreeCoder::key_pass(const Source& events, std::uint32_t tmin, std::uint32_t tmax,
                                 Sink sink) {
#ifdef ZEL_HAVE_BIT_DEPOSIT
    if (fast_bit_deposit()) return keys_by_deposit(events, tmin, tmax, sink);
#endif
    return keys_by_tables(events, tmin, tmax, sink);
}

namespace {

// Events per check of the time range: small enough that a wrong guess is
// dropped early, large enough that the check is off the loop's path.
constexpr std::size_t kRangeCheckBlock = 4096;

// Hands sink(i, key) every event's key, its coordinates clamped to `last`
// and its time binned over [tmin, tmax] by time_slot's rule (whose cap at
// 2^64 cannot apply to time bins). Returns false once a block held an event
// outside that range. `interleave` makes the key of clamped (x, y, bin).
template <class Source, class Sink, class Interleave>
[[gnu::always_inline]] inline bool binned_keys(const Source& events, std::uint32_t tmin,
                                               std::uint32_t tmax, std::uint16_t time_bins,
                                               const std::array<std::uint64_t, kAxes>& last,
                                               Sink sink, Interleave interleave) {
    const std::uint32_t span = tmax - tmin;
    const TimeBinner binner(span == 0 ? 1u : span, time_bins);
    for (std::size_t begin = 0; begin < events.size(); begin += kRangeCheckBlock) {
        const std::size_t end = std::min(events.size(), begin + kRangeCheckBlock);
        bool outside = false;
        for (std::size_t i = begin; i < end; ++i) {
            const Event e = events[i];
            const std::uint32_t d = e.t - tmin;
            outside |= d > span;
            sink(i, interleave(std::min<std::uint64_t>(e.x, last[0]),
                               std::min<std::uint64_t>(e.y, last[1]),
                               std::min(binner.bin(d), last[2])));
        }
        if (outside) return false;
    }
    return true;
}

#ifdef ZEL_HAVE_BIT_DEPOSIT
struct DepositInterleave {
    std::array<std::uint64_t, kAxes> masks;
    __attribute__((target("bmi2"))) std::uint64_t operator()(std::uint64_t x, std::uint64_t y,
                                                             std::uint64_t t) const {
        return interleave_by_deposit(masks, x, y, t);
    }
};
#endif

}  // namespace

// The two key loops differ only in how a key is interleaved; each is its own
// function so the bit-deposit one can be compiled for BMI2 alone.
template <class Source, class Sink>
bool SparseOctreeCoder::keys_by_tables(const Source& events, std::uint32_t tmin,
                                       std::uint32_t tmax, Sink sink) {
    const KeyInterleaver& keyer = *interleaver_;
    return binned_keys(events, tmin, tmax, time_bins_, {dim_x_ - 1, dim_y_ - 1, dim_t_ - 1}, sink,
                       [&keyer](std::uint64_t x, std::uint64_t y, std::uint64_t t) {
                           return keyer.by_tables(x, y, t);
                       });
}

#ifdef ZEL_HAVE_BIT_DEPOSIT
template <class Source, class Sink>
bool SparseOctreeCoder::keys_by_deposit(const Source& events, std::uint32_t tmin,
                                        std::uint32_t tmax, Sink sink) {
    return binned_keys(events, tmin, tmax, time_bins_, {dim_x_ - 1, dim_y_ - 1, dim_t_ - 1}, sink,
                       DepositInterleave{interleaver_->masks()});
}
#endif

std::uint64_t SparseOctreeCoder::group_levels(bool distinct_keys) {
    CoderBuffers& b = *buffers_;
    std::uint64_t* nodes = b.keys.data();
    std::size_t n = b.keys.size();
    const std::size_t distinct = distinct_keys ? n : count_distinct(nodes, n);
    // Level j has no more masks than level j + 1 has boxes.
    if (b.masks.size() < n * tree_levels_) b.masks.resize(n * tree_levels_);
    std::size_t used = 0;
    unsigned shift = level_shift_[tree_levels_];
    for (unsigned j = tree_levels_; j >= 1; --j) {
        n = group_by_parent(nodes, n, shift, level_bits_[j], b.masks.data() + used);
        b.level_offset[j] = used;
        b.level_count[j] = n;
        used += n;
        shift = 0;  // the parents are already the next level's node ids
    }
    return distinct;
}

void SparseOctreeCoder::write_levels(OctreeBitstream& out) const {
    const CoderBuffers& b = *buffers_;
    std::uint64_t n_bits = 1;
    for (unsigned j = 1; j <= tree_levels_; ++j) n_bits += b.level_count[j] << level_bits_[j];
    out.n_bits = n_bits;
    out.packed.resize((n_bits + 7) / 8);
    std::uint8_t* dst = out.packed.data();

    // Fewer than 32 bits wait in the accumulator; 32 go out at once.
    std::uint64_t acc = 1;  // the root holds at least one voxel
    unsigned pending = 1;
    for (unsigned j = 1; j <= tree_levels_; ++j) {
        const unsigned width = 1u << level_bits_[j];
        const std::uint8_t* masks = b.masks.data() + b.level_offset[j];
        for (std::size_t i = 0, n = b.level_count[j]; i < n; ++i) {
            acc = (acc << width) | masks[i];
            pending += width;
            if (pending >= 32) {
                pending -= 32;
                const auto word = static_cast<std::uint32_t>(acc >> pending);
                dst[0] = static_cast<std::uint8_t>(word >> 24);
                dst[1] = static_cast<std::uint8_t>(word >> 16);
                dst[2] = static_cast<std::uint8_t>(word >> 8);
                dst[3] = static_cast<std::uint8_t>(word);
                dst += 4;
                acc &= (std::uint64_t{1} << pending) - 1;
            }
        }
    }
    for (; pending >= 8; pending -= 8) *dst++ = static_cast<std::uint8_t>(acc >> (pending - 8));
    if (pending > 0) *dst = static_cast<std::uint8_t>(acc << (8 - pending));
}

template <class Source>
std::uint64_t SparseOctreeCoder::encode_source(const Source& events, OctreeBitstream& out) {
    if (events.empty()) {
        out.packed.assign(1, 0x00);  // a single Empty root
        out.n_bits = 1;
        return 0;
    }
    CoderBuffers& b = *buffers_;
    if (KeySorter::takes_bitmap(events.size(), key_bits_)) {
        // Keys go straight into a bitmap, never into a buffer, and the
        // levels are built from that bitmap instead of from sorted keys.
        std::uint64_t* bits = b.sorter.bitmap(key_bits_);
        // The pooled bitmap must be zero for the next call on this thread,
        // also when an allocation below fails.
        struct ClearOnExit {
            KeySorter& sorter;
            unsigned key_bits;
            ~ClearOnExit() { sorter.clear_bitmap(key_bits); }
        } clear_on_exit{b.sorter, key_bits_};
        make_keys(
            events,
            [bits](std::size_t, std::uint64_t key) {
                bits[key >> 6] |= std::uint64_t{1} << (key & 63);
            },
            [&] { b.sorter.clear_bitmap(key_bits_); });
        b.levels.build(bits, level_bits_.data(), levels_);
        out.n_bits = b.levels.stream_bits(tree_levels_);
        b.levels.write_stream(tree_levels_, out.packed);
        return b.levels.occupied();
    }
    b.keys.resize(events.size());
    make_keys(
        events, [keys = b.keys.data()](std::size_t i, std::uint64_t key) { keys[i] = key; },
        [] {});
    const bool distinct = b.sorter.sort(b.keys, key_bits_);
    const std::uint64_t occupied = group_levels(distinct);
    write_levels(out);
    return occupied;
}

std::uint64_t SparseOctreeCoder::encode(std::span<const Event> events, OctreeBitstream& out) {
    return encode_source(events, out);
}

std::uint64_t SparseOctreeCoder::encode(PackedEvents events, OctreeBitstream& out) {
    return encode_source(events, out);
}

std::uint64_t SparseOctreeCoder::encode(GatheredEvents<std::span<const Event>> events,
                                        OctreeBitstream& out) {
    return encode_source(events, out);
}

std::uint64_t SparseOctreeCoder::encode(GatheredEvents<PackedEvents> events,
                                        OctreeBitstream& out) {
    return encode_source(events, out);
}

}  // namespace zel
