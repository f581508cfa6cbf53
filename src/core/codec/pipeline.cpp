#include "codec/pipeline.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "base/clock.hpp"
#include "codec/decoder.hpp"
#include "codec/delta.hpp"
#include "codec/frames.hpp"
#include "codec/rans.hpp"
#include "codec/record_source.hpp"
#include "codec/sparse_octree.hpp"

// The drivers here use the sparse coder and in-place delta decoding; the
// straightforward stage-by-stage drivers in pipeline_reference.cpp produce the
// same bytes and figures and are what the tests compare against. Both input
// forms (EventList and packed records) run the same templates, reading the
// events where they lie.

namespace zel {

namespace {

std::span<const Event> slice(std::span<const Event> events, std::size_t begin, std::size_t end) {
    return events.subspan(begin, end - begin);
}

PackedEvents slice(PackedEvents events, std::size_t begin, std::size_t end) {
    return PackedEvents(events.data() + begin * kPackedEventBytes, end - begin);
}

template <class Source>
TimeRange range_of(const Source& events) {
    if (events.empty()) return {};
    std::uint32_t tmin = 0;
    std::uint32_t tmax = 0;
    min_max_time(events, tmin, tmax);
    return {tmin, tmax == tmin ? 1u : tmax - tmin};
}

template <class Source>
bool time_sorted(const Source& events) {
    for (std::size_t i = 1; i < events.size(); ++i) {
        if (events[i].t < events[i - 1].t) return false;
    }
    return true;
}

// Buffers a driver call needs only while it runs. They stay with the thread
// between calls (trimmed to a cap), because mapping and faulting in fresh
// megabytes on every call costs as much as some stages, and does so only on
// some calls, depending on the heap's history.
struct DriverScratch {
    OctreeBitstream bits;
    OctreeBitstream previous;
    std::vector<std::uint8_t> decoded;
    std::vector<NodeKind> kinds;

    static DriverScratch& acquire() {
        thread_local DriverScratch scratch;
        return scratch;
    }

    // Empties the buffers as the call's own buffers would be released, and
    // gives back any that grew past the cap.
    void release() {
        constexpr std::size_t kKeepBytes = std::size_t{32} << 20;
        for (auto* buffer : {&bits.packed, &previous.packed, &decoded}) {
            buffer->clear();
            if (buffer->capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(*buffer);
        }
        kinds.clear();
        if (kinds.capacity() > kKeepBytes) std::vector<NodeKind>().swap(kinds);
    }
};

// Hands the scratch back however the call ends (std::bad_alloc included).
class ScratchLease {
public:
    ScratchLease() : scratch_(DriverScratch::acquire()) {}
    ~ScratchLease() { scratch_.release(); }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    DriverScratch& operator*() const { return scratch_; }

private:
    DriverScratch& scratch_;
};

template <class Source>
CompressOutput compress_source(const Source& events, std::uint16_t width, std::uint16_t height,
                               std::uint16_t time_bins, std::uint8_t max_depth) {
    CompressOutput out;
    out.stats.n_events = events.size();
    out.stats.raw_bytes = kPackedEventBytes * out.stats.n_events;

    const ScratchLease lease;
    DriverScratch& scratch = *lease;
    const auto encode_start = MonotonicClock::now();
    SparseOctreeCoder coder(width, height, time_bins, max_depth);
    OctreeBitstream& bits = scratch.bits;
    const std::uint64_t occupied = coder.encode(events, bits);
    out.stats.sparsity = grid_sparsity(occupied, coder.volume());
    out.stream = rans_encode(bits.packed, bits.n_bits);
    out.stats.encode_us = microseconds_since(encode_start);

    const auto decode_start = MonotonicClock::now();
    rans_decode_into(out.stream, bits.n_bits, scratch.decoded);
    decode_octree_flat(scratch.decoded, bits.n_bits, coder.dim_x(), coder.dim_y(), coder.dim_t(),
                       max_depth, scratch.kinds);
    scratch.kinds.clear();  // releasing the rebuilt tree belongs to the decode phase
    out.stats.decode_us = microseconds_since(decode_start);

    out.stats.bitstream_bytes = out.stream.size();
    out.stats.n_bits = bits.n_bits;
    return out;
}

// Codes the frames that frame_at(0), frame_at(1), ... hand out, in order.
template <class FrameAt>
SequenceOutput code_frames(FrameAt&& frame_at, std::uint64_t n_events, std::uint16_t width,
                           std::uint16_t height, std::uint16_t time_bins, std::uint8_t max_depth,
                           std::uint64_t n_frames) {
    SequenceOutput out;
    std::vector<std::uint64_t> frame_bits(n_frames);
    out.frame_ends.reserve(n_frames);
    // The smallest payloads possible: a bare rANS header, then one run each.
    out.bytes.reserve(kRansHeaderBytes + kMinDeltaPayloadBytes * (n_frames - 1));
    out.stats.n_events = n_events;
    out.stats.raw_bytes = kPackedEventBytes * out.stats.n_events;

    const ScratchLease lease;
    DriverScratch& scratch = *lease;
    const auto encode_start = MonotonicClock::now();
    SparseOctreeCoder coder(width, height, time_bins, max_depth);
    OctreeBitstream& previous = scratch.previous;
    OctreeBitstream& current = scratch.bits;
    double sparsity_sum = 0.0;
    const double empty_sparsity = grid_sparsity(0, coder.volume());
    for (std::uint64_t k = 0; k < n_frames; ++k) {
        const auto frame = frame_at(k);
        if (frame.empty() && k > 0 && previous.n_bits == 1 && previous.packed[0] == 0) {
            // An empty frame after an empty frame: its bitstream is the lone
            // 0 bit again, so the delta is one zero run and the previous
            // bitstream stays as it is. Long runs of such frames cost little.
            out.bytes.push_back(1);
            out.bytes.push_back(0);
            out.frame_ends.push_back(out.bytes.size());
            frame_bits[k] = 1;
            out.stats.n_bits += 1;
            sparsity_sum += empty_sparsity;
            continue;
        }
        const std::uint64_t occupied = coder.encode(frame, current);
        if (k == 0) {
            const RansStream stream = rans_encode(current.packed, current.n_bits);
            out.bytes.insert(out.bytes.end(), stream.begin(), stream.end());
        } else {
            append_rle_xor(previous.packed, current.packed, out.bytes);
        }
        out.frame_ends.push_back(out.bytes.size());
        frame_bits[k] = current.n_bits;
        out.stats.n_bits += current.n_bits;
        sparsity_sum += grid_sparsity(occupied, coder.volume());
        std::swap(previous, current);
    }
    out.stats.encode_us = microseconds_since(encode_start);

    const auto decode_start = MonotonicClock::now();
    {
        // One buffer carries the chain: each delta is xor-ed into it in place,
        // leaving frame k's bitstream followed by zero padding.
        std::vector<std::uint8_t>& decoded = scratch.decoded;
        const std::span<const std::uint8_t> all(out.bytes);
        for (std::uint64_t k = 0; k < n_frames; ++k) {
            const std::uint64_t begin = k == 0 ? 0 : out.frame_ends[k - 1];
            const auto payload = all.subspan(begin, out.frame_ends[k] - begin);
            if (k == 0) {
                rans_decode_into(payload, frame_bits[0], decoded);
            } else {
                apply_rle_xor(payload, decoded);
            }
            decode_octree_flat(decoded, frame_bits[k], coder.dim_x(), coder.dim_y(),
                               coder.dim_t(), max_depth, scratch.kinds);
        }
        scratch.kinds.clear();
    }
    out.stats.decode_us = microseconds_since(decode_start);

    out.stats.bitstream_bytes = out.bytes.size();
    out.stats.sparsity = sparsity_sum / static_cast<double>(n_frames);
    return out;
}

template <class Source>
SequenceOutput sequence_source(const Source& events, std::uint16_t width, std::uint16_t height,
                               std::uint16_t time_bins, std::uint8_t max_depth,
                               std::uint64_t n_frames) {
    if (sequence_is_empty(n_frames, events.size())) return {};
    check_frame_budget(n_frames);
    const TimeRange range = range_of(events);
    const std::size_t n = events.size();
    const auto frame_at_index = [&](std::size_t i) { return frame_of(events[i].t, range, n_frames); };

    if (time_sorted(events)) {
        // Frames are consecutive slices of the input. A frame's end is found
        // by galloping from its start, so the cost follows the frame count
        // and the log of the frame sizes rather than the event count.
        std::size_t cursor = 0;
        std::uint64_t next_frame = frame_at_index(0);
        const auto frame_at = [&](std::uint64_t k) {
            const std::size_t begin = cursor;
            if (next_frame != k) return slice(events, begin, begin);
            std::size_t known_in = begin;  // an index whose event is in frame k
            std::size_t step = 1;
            while (known_in + step < n && frame_at_index(known_in + step) == k) {
                known_in += step;
                step *= 2;
            }
            std::size_t past = std::min(n, known_in + step);  // first index known past frame k
            while (past - known_in > 1) {
                const std::size_t mid = known_in + (past - known_in) / 2;
                (frame_at_index(mid) == k ? known_in : past) = mid;
            }
            cursor = past;
            next_frame = cursor < n ? frame_at_index(cursor) : n_frames;
            return slice(events, begin, cursor);
        };
        return code_frames(frame_at, n, width, height, time_bins, max_depth, n_frames);
    }

    // Otherwise a stable counting sort orders event indices by frame; the
    // frames are read through those indices without copying any event.
    std::vector<std::uint64_t> ends(n_frames, 0);
    for (std::size_t i = 0; i < n; ++i) ++ends[frame_at_index(i)];
    std::uint64_t running = 0;
    for (std::uint64_t& slot : ends) {
        const std::uint64_t count = slot;
        slot = running;
        running += count;
    }
    std::vector<std::uint64_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[ends[frame_at_index(i)]++] = i;
    const std::span<const std::uint64_t> ordered(order);
    const auto frame_at = [&](std::uint64_t k) {
        const std::uint64_t begin = k == 0 ? 0 : ends[k - 1];
        return GatheredEvents<Source>(events, ordered.subspan(begin, ends[k] - begin));
    };
    return code_frames(frame_at, n, width, height, time_bins, max_depth, n_frames);
}

}  // namespace

namespace {

bool frames_fit(std::uint64_t n_frames, std::uint64_t bytes_per_frame, std::uint64_t limit) {
    return n_frames <= limit / std::max<std::uint64_t>(bytes_per_frame, 1);
}

}  // namespace

Status check_frames_fit_in_memory(std::uint64_t n_frames, std::uint64_t bytes_per_frame,
                                  std::uint64_t memory) {
    if (memory == 0 || frames_fit(n_frames, bytes_per_frame, memory)) return kOk;
    return Error::out_of_memory("n_frames " + std::to_string(n_frames) + " needs at least " +
                                std::to_string(bytes_per_frame) +
                                " bytes per frame, more than the " + std::to_string(memory) +
                                " bytes of memory this machine has");
}

void check_frame_budget(std::uint64_t n_frames) {
    if (!frames_fit(n_frames, kMinBytesPerFrame, kAddressSpaceBytes)) throw std::bad_alloc();
}

double grid_sparsity(std::uint64_t occupied, std::uint64_t volume) {
    return 1.0 - static_cast<double>(occupied) / static_cast<double>(volume);
}

CompressOutput run_compress(const EventList& events, std::uint16_t width, std::uint16_t height,
                            std::uint16_t time_bins, std::uint8_t max_depth) {
    return compress_source(std::span<const Event>(events), width, height, time_bins, max_depth);
}

SequenceOutput run_compress_sequence(const EventList& events, std::uint16_t width,
                                     std::uint16_t height, std::uint16_t time_bins,
                                     std::uint8_t max_depth, std::uint64_t n_frames) {
    return sequence_source(std::span<const Event>(events), width, height, time_bins, max_depth,
                           n_frames);
}

CompressOutput run_compress(PackedEvents events, std::uint16_t width, std::uint16_t height,
                            std::uint16_t time_bins, std::uint8_t max_depth) {
    return compress_source(events, width, height, time_bins, max_depth);
}

SequenceOutput run_compress_sequence(PackedEvents events, std::uint16_t width,
                                     std::uint16_t height, std::uint16_t time_bins,
                                     std::uint8_t max_depth, std::uint64_t n_frames) {
    return sequence_source(events, width, height, time_bins, max_depth, n_frames);
}

}  // namespace zel
