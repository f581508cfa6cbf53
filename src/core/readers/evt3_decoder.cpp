#include "readers/evt3_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

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
        put_record(out + n * kPackedEventBytes, static_cast<std::uint16_t>(base + bit), y, t, p);
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
        const std::uint32_t word = load_u16(words + 2 * i);
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
                    const std::uint64_t record =
                        head | (base_x + static_cast<std::uint32_t>(std::countr_zero(mask)));
                    std::memcpy(out + written * kPackedEventBytes, &record, 8);
                    out[written * kPackedEventBytes + 8] = static_cast<std::uint8_t>(polarity);
                    ++written;
                    mask &= mask - 1;
                } while (mask != 0);
            }
            base_x += width;
            continue;
        }
        const std::uint64_t record = head | value;
        std::memcpy(out + written * kPackedEventBytes, &record, 8);
        out[written * kPackedEventBytes + 8] = static_cast<std::uint8_t>((word >> 11) & 1);
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

DecodeResult<std::uint32_t> Evt3Decoder::refresh_time(std::size_t written) {
    const State& s = state_;
    const std::uint64_t t = (s.wraps << 24) | (static_cast<std::uint64_t>(s.time_high) << 12) | s.time_low;
    auto mapped = record_time(t, written);
    if (!mapped) return mapped;
    state_.record_time = mapped.value();
    state_.time_fresh = true;
    time_base_changed_ = false;
    return mapped;
}

DecodeResult<DecodeProgress> Evt3Decoder::decode_words(const std::uint8_t* words,
                                                       std::size_t n_words, std::uint64_t offset,
                                                       std::uint8_t* out, std::size_t capacity) {
    std::size_t written = 0;
    if (state_.pending_mask != 0) {
        // A new batch may have moved the time origin since these were decoded.
        if (time_base_changed_) {
            auto t = refresh_time(0);
            if (!t) return t.error();
        }
        written = emit_mask(state_.pending_mask, state_.pending_base, static_cast<std::uint16_t>(state_.y),
                            state_.record_time, state_.polarity, out, capacity);
        if (state_.pending_mask != 0) return DecodeProgress{0, written};
    }
    if (time_base_changed_) state_.time_fresh = false;

    // The loop works on locals whose address is never taken: the output is
    // written through byte pointers, which may alias anything addressable,
    // and members or escaped locals would be reloaded after every record.
    // Slow paths sync through state_ and return values.
    State s = state_;
    const std::uint32_t x_limit = options_.x_limit;
    const std::uint32_t y_limit = options_.y_limit;
    // Events pass one comparison: x below `x_bound`, which is the sensor
    // width while an event may be written as is, and 0 while the y address,
    // the time or its record-time mapping is missing, so the first event
    // after any such change takes the careful path.
    std::uint32_t x_bound = (s.has_time && s.has_y && s.time_fresh) ? x_limit : 0;

#define ZEL_EVT3_STOP(consumed)                   \
    do {                                          \
        state_ = s;                               \
        return DecodeProgress{(consumed), written}; \
    } while (0)
#define ZEL_EVT3_REJECT(message)                                 \
    do {                                                         \
        if (auto bad = reject(offset + 2 * i, (message))) return *bad; \
    } while (0)
// `undo` puts back what the word changed before its time was needed, so a
// full batch can stop before the word.
#define ZEL_EVT3_FRESH_TIME(undo)                        \
    do {                                                 \
        if (!s.time_fresh) {                             \
            state_ = s;                                  \
            auto t = refresh_time(written);              \
            if (!t) {                                    \
                if (!batch_full_) return t.error();      \
                undo;                                    \
                ZEL_EVT3_STOP(i);                        \
            }                                            \
            s.record_time = t.value();                   \
            s.time_fresh = true;                         \
        }                                                \
        x_bound = (s.has_time && s.has_y) ? x_limit : 0; \
    } while (0)

    for (std::size_t i = 0; i < n_words; ++i) {
        // The fast loop stores record heads as little-endian 64-bit values.
        if (std::endian::native == std::endian::little && fast_ && s.has_time && s.has_y) {
            // The time window of the current time-high: the fast loop may run
            // when every time-low in it maps to a 32-bit record time.
            const std::optional<std::uint64_t> origin = batch_origin();
            const std::uint64_t high = (s.wraps << 24) | (static_cast<std::uint64_t>(s.time_high) << 12);
            const std::size_t budget = (capacity - written) / kMaxRecordsPerWord;
            if (origin && high >= *origin && high - *origin <= 0xFFFFFFFFull - 0xFFF && budget > 0) {
                const auto rel_base = static_cast<std::uint32_t>(high - *origin);
                FastRun run{i, written, s.y, s.time_low, s.base_x, s.polarity, s.has_base};
                fast_run(words, i + std::min(n_words - i, budget), out, rel_base, x_limit, y_limit, run);
                if (run.i != i) {
                    i = run.i;
                    written = run.written;
                    s.y = run.y;
                    s.time_low = run.time_low;
                    s.base_x = run.base_x;
                    s.polarity = static_cast<std::uint8_t>(run.polarity);
                    s.has_base = run.has_base;
                    // With the origin known, mapping is a subtraction and
                    // has no side effect, so this is the general path's value.
                    s.record_time = rel_base + s.time_low;
                    s.time_fresh = true;
                    x_bound = x_limit;
                    if (i == n_words) break;
                }
            }
        }
        const std::uint32_t word = load_u16(words + 2 * i);
        const std::uint32_t type = word >> 12;

        switch (type) {
            case kAddrX: {
                const std::uint32_t x = word & 0x7FF;
                if (x >= x_bound) [[unlikely]] {
                    if (!s.has_time || !s.has_y || x >= x_limit) {
                        ZEL_EVT3_REJECT(!s.has_time ? "event before any time-high word"
                                        : !s.has_y  ? "event before any y address word"
                                                    : "x address " + std::to_string(x) +
                                                          " is outside the sensor width " + std::to_string(x_limit));
                        break;
                    }
                    if (written == capacity) ZEL_EVT3_STOP(i);
                    ZEL_EVT3_FRESH_TIME((void)0);
                }
                if (written == capacity) ZEL_EVT3_STOP(i);
                put_record(out + written * kPackedEventBytes, static_cast<std::uint16_t>(x),
                           static_cast<std::uint16_t>(s.y), s.record_time,
                           static_cast<std::uint8_t>((word >> 11) & 1));
                ++written;
                break;
            }
            case kAddrY: {
                const std::uint32_t y = word & 0x7FF;
                if (y >= y_limit) [[unlikely]] {
                    s.has_y = false;
                    x_bound = 0;
                    ZEL_EVT3_REJECT("y address " + std::to_string(y) + " is outside the sensor height " +
                                    std::to_string(y_limit));
                    break;
                }
                s.y = y;
                s.has_y = true;
                x_bound = (s.has_time && s.time_fresh) ? x_limit : 0;
                break;
            }
            case kVectBaseX:
                s.base_x = word & 0x7FF;
                s.polarity = static_cast<std::uint8_t>((word >> 11) & 1);
                s.has_base = true;
                break;
            case kVect12:
            case kVect8: {
                const std::uint32_t width = type == kVect12 ? 12 : 8;
                std::uint32_t mask = word & ((1u << width) - 1);
                const std::uint32_t base = s.base_x;
                s.base_x += width;
                if (mask == 0) break;
                const std::uint32_t last_x = base + 31 - static_cast<std::uint32_t>(std::countl_zero(mask));
                if (last_x >= x_bound || !s.has_base) [[unlikely]] {
                    if (!s.has_time || !s.has_y || !s.has_base || last_x >= x_limit) {
                        ZEL_EVT3_REJECT(!s.has_time  ? "event before any time-high word"
                                        : !s.has_y   ? "event before any y address word"
                                        : !s.has_base ? "vector event before any vector base word"
                                                      : "vector event at x " + std::to_string(last_x) +
                                                            " is outside the sensor width " + std::to_string(x_limit));
                        break;
                    }
                    if (written == capacity) {
                        s.base_x = base;
                        ZEL_EVT3_STOP(i);
                    }
                    ZEL_EVT3_FRESH_TIME(s.base_x = base);
                }
                if (written == capacity) {
                    s.base_x = base;
                    ZEL_EVT3_STOP(i);
                }
                written += emit_mask(mask, base, static_cast<std::uint16_t>(s.y), s.record_time, s.polarity,
                                     out + written * kPackedEventBytes, capacity - written);
                if (mask != 0) {
                    s.pending_mask = mask;
                    s.pending_base = base;
                    ZEL_EVT3_STOP(i + 1);
                }
                break;
            }
            case kTimeLow:
                s.time_low = word & 0xFFF;
                s.time_fresh = false;
                x_bound = 0;
                break;
            case kTimeHigh: {
                const std::uint32_t high = word & 0xFFF;
                if (s.has_time && high < s.time_high) {
                    // The 12-bit counter wraps every 16.7 s; a small step back
                    // cannot be a wrap and would reorder time.
                    if (s.time_high - high < kTimeHighRange / 2) {
                        ZEL_EVT3_REJECT("time-high goes back from " + std::to_string(s.time_high) + " to " +
                                        std::to_string(high));
                        break;
                    }
                    ++s.wraps;
                }
                s.time_high = high;
                s.has_time = true;
                s.time_fresh = false;
                x_bound = 0;
                break;
            }
            case kContinued4:
            case kExtTrigger:
            case kOthers:
            case kContinued12:
                // Triggers and vendor extensions carry no pixel events.
                break;
            default:
                ZEL_EVT3_REJECT("reserved EVT 3.0 word type " + std::to_string(type) + " (word " +
                                hex_word(word, 4) + ")");
                break;
        }
    }
    ZEL_EVT3_STOP(n_words);
#undef ZEL_EVT3_STOP
#undef ZEL_EVT3_REJECT
#undef ZEL_EVT3_FRESH_TIME
}

}  // namespace zel::camera
