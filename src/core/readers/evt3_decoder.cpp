#include "readers/evt3_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace zel::camera {
namespace {

enum Evt3Type : std::uint32_t {
    kAddrY = 0x0,
    kAddrX = 0x2,
    kVectBaseX = 0x3,
    kVect12 = 0x4,
    kVect8 = 0x5,
    kTimeLow = 0x6,
    kContinued4 = 0x7,
    kTimeHigh = 0x8,
    kExtTrigger = 0xA,
    kOthers = 0xE,
    kContinued12 = 0xF,
};

constexpr std::uint32_t kTimeHighRange = 1u << 12;

// Writes the events of `mask` (bit i: x = base + i) while there is room and
// returns how many; the bits left over stay in `mask`.
inline std::size_t emit_mask(std::uint32_t& mask, std::uint32_t base, std::uint16_t y, std::uint32_t t,
                             std::uint8_t p, std::uint8_t* out, std::size_t room) {
    std::size_t n = 0;
    while (mask != 0 && n < room) {
        const auto bit = static_cast<std::uint32_t>(std::countr_zero(mask));
        store_packed(out + n * kPackedEventBytes, packed_head(base + bit, y, t), p);
        ++n;
        mask &= mask - 1;
    }
    return n;
}

// Word types the fast loop takes: the address, time-low and vector words,
// and the words that carry no pixel events. Time-high words change the
// time window the loop relies on and go through the general path.
constexpr std::uint32_t kFastTypes = (1u << kAddrY) | (1u << kAddrX) | (1u << kVectBaseX) | (1u << kVect12) |
                                     (1u << kVect8) | (1u << kTimeLow) | (1u << kContinued4) |
                                     (1u << kExtTrigger) | (1u << kOthers) | (1u << kContinued12);

// Most records one word can write (a 12-bit vector mask).
constexpr std::size_t kMaxRecordsPerWord = 12;

// What the fast loop reads and changes.
struct FastRun {
    std::size_t i;
    std::size_t written;
    std::uint32_t y;
    std::uint32_t time_low;
    std::uint32_t base_x;
    std::uint32_t polarity;
    bool has_base;
};

// Decodes words from run.i up to `end` while each is valid in the current
// state, and stops before the first that is not (a bad coordinate, a vector
// before any base, a time-high word): the general path handles that word, so
// every error, skip count and batch decision is made in one place.
//
// Preconditions, checked by the caller: the y address and time-high are
// set, the batch origin is known, and `rel_base + time_low` fits 32 bits for
// every 12-bit time_low, so no event of the run needs a time check; the
// output has room for kMaxRecordsPerWord records per word.
//
// The common words differ from one word to the next about half the time,
// so a switch on the type mispredicts often. Address and time-low words,
// the bulk, take no branch on their type: each writes an address-event
// record that only counts for an x word, and updates y and time through a
// per-type mask. The first 8 bytes of every record (x, y, time) are kept
// as one register with the x bits clear. Vector words come in runs (base,
// masks) and take one branch per run. Kept out of line: inlined into the
// general path, the loop shared registers with its state and spilled.
[[gnu::noinline]] void fast_run(const std::uint8_t* words, std::size_t end, std::uint8_t* out,
                                std::uint32_t rel_base, std::uint32_t x_limit, std::uint32_t y_limit,
                                FastRun& run) {
    // Word values at or above the limit of their type leave the loop: the
    // sensor bounds for addresses, 0 for the types the loop does not take.
    std::uint32_t limit[16];
    for (std::uint32_t type = 0; type < 16; ++type) {
        limit[type] = ((kFastTypes >> type) & 1) != 0 ? 0x800 : 0;
    }
    limit[kAddrX] = x_limit;
    limit[kAddrY] = y_limit;
    // Bits of the record head a word of each type replaces.
    static constexpr std::uint64_t kReplace[16] = {
        0xFFFF0000ull, 0, 0, 0, 0, 0, 0xFFFFFFFF00000000ull, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    constexpr std::uint32_t kVectorTypes = (1u << kVectBaseX) | (1u << kVect12) | (1u << kVect8);

    std::size_t i = run.i;
    std::size_t written = run.written;
    std::uint64_t head = (static_cast<std::uint64_t>(run.y) << 16) |
                         (static_cast<std::uint64_t>(rel_base + run.time_low) << 32);
    std::uint32_t base_x = run.base_x;
    std::uint32_t polarity = run.polarity;
    bool has_base = run.has_base;
    for (; i < end; ++i) {
        const std::uint32_t word = load_le16(words + 2 * i);
        const std::uint32_t type = word >> 12;
        const std::uint32_t value = word & 0x7FF;
        if (value >= limit[type]) [[unlikely]] break;
        if ((kVectorTypes >> type) & 1) {
            if (type == kVectBaseX) {
                base_x = value;
                polarity = (word >> 11) & 1;
                has_base = true;
                continue;
            }
            const std::uint32_t width = type == kVect12 ? 12 : 8;
            std::uint32_t mask = word & ((1u << width) - 1);
            if (mask != 0) {
                const std::uint32_t last_x = base_x + 31 - static_cast<std::uint32_t>(std::countl_zero(mask));
                if (!has_base || last_x >= x_limit) break;
                do {
                    store_packed(out + written * kPackedEventBytes,
                                 head | (base_x + static_cast<std::uint32_t>(std::countr_zero(mask))),
                                 static_cast<std::uint8_t>(polarity));
                    ++written;
                    mask &= mask - 1;
                } while (mask != 0);
            }
            base_x += width;
            continue;
        }
        store_packed(out + written * kPackedEventBytes, head | value, static_cast<std::uint8_t>((word >> 11) & 1));
        written += type == kAddrX;
        const std::uint64_t replaced = (static_cast<std::uint64_t>(value) << 16) |
                                       (static_cast<std::uint64_t>(rel_base + (word & 0xFFF)) << 32);
        head ^= (head ^ replaced) & kReplace[type];
    }
    const auto y = static_cast<std::uint32_t>((head >> 16) & 0xFFFF);
    const auto time_low = static_cast<std::uint32_t>(head >> 32) - rel_base;
    run = FastRun{i, written, y, time_low, base_x, polarity, has_base};
}

}  // namespace

Result<std::uint32_t> Evt3Decoder::map_time(State& s, std::size_t written) {
    const std::uint64_t t = (s.wraps << 24) | (static_cast<std::uint64_t>(s.time_high) << 12) | s.time_low;
    ZEL_ASSIGN_OR_RETURN(const std::uint32_t mapped, record_time(t, written));
    s.record_time = mapped;
    s.time_fresh = true;
    time_base_changed_ = false;
    return mapped;
}

Result<bool> Evt3Decoder::fresh_time(Run& run) {
    if (!run.s.time_fresh) {
        Result<std::uint32_t> mapped = map_time(run.s, run.written);
        if (!mapped) {
            if (!batch_full_) return std::move(mapped).take_error();
            return false;
        }
    }
    run.x_bound = (run.s.has_time && run.s.has_y) ? options_.x_limit : 0;
    return true;
}

Result<bool> Evt3Decoder::flush_pending(Run& run) {
    State& s = run.s;
    if (s.pending_mask == 0) return true;
    // A new batch may have moved the time origin since these were decoded.
    if (time_base_changed_) ZEL_TRY(map_time(s, 0));
    run.written = emit_mask(s.pending_mask, s.pending_base, static_cast<std::uint16_t>(s.y), s.record_time,
                            s.polarity, run.out, run.capacity);
    return s.pending_mask == 0;
}

Result<Evt3Decoder::Flow> Evt3Decoder::bad_word(std::uint64_t at, std::string message) {
    if (auto bad = reject(at, std::move(message))) return *bad;
    return Flow::Next;
}

std::size_t Evt3Decoder::fast_words(const std::uint8_t* words, std::size_t i, std::size_t n_words,
                                    Run& run) const {
    State& s = run.s;
    if (!s.has_time || !s.has_y) return i;
    // The time window of the current time-high: the fast loop may run when
    // every time-low in it maps to a 32-bit record time.
    const std::optional<std::uint64_t> origin = batch_origin();
    const std::uint64_t high = (s.wraps << 24) | (static_cast<std::uint64_t>(s.time_high) << 12);
    const std::size_t budget = (run.capacity - run.written) / kMaxRecordsPerWord;
    if (!origin || high < *origin || high - *origin > 0xFFFFFFFFull - 0xFFF || budget == 0) return i;
    const auto rel_base = static_cast<std::uint32_t>(high - *origin);
    FastRun fast{i, run.written, s.y, s.time_low, s.base_x, s.polarity, s.has_base};
    fast_run(words, i + std::min(n_words - i, budget), run.out, rel_base, options_.x_limit, options_.y_limit,
             fast);
    if (fast.i == i) return i;
    run.written = fast.written;
    s.y = fast.y;
    s.time_low = fast.time_low;
    s.base_x = fast.base_x;
    s.polarity = static_cast<std::uint8_t>(fast.polarity);
    s.has_base = fast.has_base;
    // With the origin known, mapping is a subtraction and has no side
    // effect, so this is the general path's value.
    s.record_time = rel_base + s.time_low;
    s.time_fresh = true;
    run.x_bound = options_.x_limit;
    return fast.i;
}

Result<Evt3Decoder::Flow> Evt3Decoder::x_address(std::uint32_t word, std::uint64_t at, Run& run) {
    const State& s = run.s;
    const std::uint32_t x = word & 0x7FF;
    if (x >= run.x_bound) [[unlikely]] {
        if (!s.has_time) return bad_word(at, "event before any time-high word");
        if (!s.has_y) return bad_word(at, "event before any y address word");
        if (x >= options_.x_limit) {
            return bad_word(at, "x address " + std::to_string(x) + " is outside the sensor width " +
                                    std::to_string(options_.x_limit));
        }
        // No time is mapped for an event that has no room: in FirstEvent
        // mode the mapping fixes the origin.
        if (run.written == run.capacity) return Flow::StopBefore;
        ZEL_ASSIGN_OR_RETURN(const bool ready, fresh_time(run));
        if (!ready) return Flow::StopBefore;
    }
    if (run.written == run.capacity) return Flow::StopBefore;
    store_packed(run.out + run.written * kPackedEventBytes, packed_head(x, s.y, s.record_time),
                 static_cast<std::uint8_t>((word >> 11) & 1));
    ++run.written;
    return Flow::Next;
}

Result<Evt3Decoder::Flow> Evt3Decoder::y_address(std::uint32_t word, std::uint64_t at, Run& run) {
    State& s = run.s;
    const std::uint32_t y = word & 0x7FF;
    if (y >= options_.y_limit) [[unlikely]] {
        s.has_y = false;
        run.x_bound = 0;
        return bad_word(at, "y address " + std::to_string(y) + " is outside the sensor height " +
                                std::to_string(options_.y_limit));
    }
    s.y = y;
    s.has_y = true;
    run.x_bound = (s.has_time && s.time_fresh) ? options_.x_limit : 0;
    return Flow::Next;
}

Result<Evt3Decoder::Flow> Evt3Decoder::vector_mask(std::uint32_t word, std::uint32_t width,
                                                         std::uint64_t at, Run& run) {
    State& s = run.s;
    std::uint32_t mask = word & ((1u << width) - 1);
    const std::uint32_t base = s.base_x;
    s.base_x += width;
    if (mask == 0) return Flow::Next;
    const std::uint32_t last_x = base + 31 - static_cast<std::uint32_t>(std::countl_zero(mask));
    if (last_x >= run.x_bound || !s.has_base) [[unlikely]] {
        if (!s.has_time) return bad_word(at, "event before any time-high word");
        if (!s.has_y) return bad_word(at, "event before any y address word");
        if (!s.has_base) return bad_word(at, "vector event before any vector base word");
        if (last_x >= options_.x_limit) {
            return bad_word(at, "vector event at x " + std::to_string(last_x) + " is outside the sensor width " +
                                    std::to_string(options_.x_limit));
        }
        // Stopping before the word puts back the base it moved.
        if (run.written == run.capacity) {
            s.base_x = base;
            return Flow::StopBefore;
        }
        ZEL_ASSIGN_OR_RETURN(const bool ready, fresh_time(run));
        if (!ready) {
            s.base_x = base;
            return Flow::StopBefore;
        }
    }
    if (run.written == run.capacity) {
        s.base_x = base;
        return Flow::StopBefore;
    }
    run.written += emit_mask(mask, base, static_cast<std::uint16_t>(s.y), s.record_time, s.polarity,
                             run.out + run.written * kPackedEventBytes, run.capacity - run.written);
    if (mask == 0) return Flow::Next;
    // The rest waits for room; the word itself is consumed.
    s.pending_mask = mask;
    s.pending_base = base;
    return Flow::StopAfter;
}

Result<Evt3Decoder::Flow> Evt3Decoder::time_high(std::uint32_t word, std::uint64_t at, Run& run) {
    State& s = run.s;
    const std::uint32_t high = word & 0xFFF;
    if (s.has_time && high < s.time_high) {
        // The 12-bit counter wraps every 16.7 s; a small step back cannot be
        // a wrap and would reorder time.
        if (s.time_high - high < kTimeHighRange / 2) {
            return bad_word(at, "time-high goes back from " + std::to_string(s.time_high) + " to " +
                                    std::to_string(high));
        }
        ++s.wraps;
    }
    s.time_high = high;
    s.has_time = true;
    s.time_fresh = false;
    run.x_bound = 0;
    return Flow::Next;
}

Result<Evt3Decoder::Flow> Evt3Decoder::general_word(std::uint32_t word, std::uint64_t at, Run& run) {
    State& s = run.s;
    const std::uint32_t type = word >> 12;
    switch (type) {
        case kAddrX: return x_address(word, at, run);
        case kAddrY: return y_address(word, at, run);
        case kVectBaseX:
            s.base_x = word & 0x7FF;
            s.polarity = static_cast<std::uint8_t>((word >> 11) & 1);
            s.has_base = true;
            return Flow::Next;
        case kVect12: return vector_mask(word, 12, at, run);
        case kVect8: return vector_mask(word, 8, at, run);
        case kTimeLow:
            s.time_low = word & 0xFFF;
            s.time_fresh = false;
            run.x_bound = 0;
            return Flow::Next;
        case kTimeHigh: return time_high(word, at, run);
        case kContinued4:
        case kExtTrigger:
        case kOthers:
        case kContinued12:
            // Triggers and vendor extensions carry no pixel events.
            return Flow::Next;
        default:
            return bad_word(at, "reserved EVT 3.0 word type " + std::to_string(type) + " (word " +
                                    hex_word(word, 4) + ")");
    }
}

Result<DecodeProgress> Evt3Decoder::decode_words(const std::uint8_t* words, std::size_t n_words,
                                                       std::uint64_t offset, std::uint8_t* out,
                                                       std::size_t capacity) {
    Run run{state_, out, capacity};
    ZEL_ASSIGN_OR_RETURN(const bool flushed, flush_pending(run));
    if (!flushed) {
        state_ = run.s;
        return DecodeProgress{0, run.written};
    }
    State& s = run.s;
    if (time_base_changed_) s.time_fresh = false;
    run.x_bound = (s.has_time && s.has_y && s.time_fresh) ? options_.x_limit : 0;
    for (std::size_t i = 0; i < n_words; ++i) {
        if (fast_) {
            i = fast_words(words, i, n_words, run);
            if (i == n_words) break;
        }
        ZEL_ASSIGN_OR_RETURN(const Flow flow, general_word(load_le16(words + 2 * i), offset + 2 * i, run));
        if (flow != Flow::Next) {
            state_ = run.s;
            return DecodeProgress{flow == Flow::StopAfter ? i + 1 : i, run.written};
        }
    }
    state_ = run.s;
    return DecodeProgress{n_words, run.written};
}

}  // namespace zel::camera
