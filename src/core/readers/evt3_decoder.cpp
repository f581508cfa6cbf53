#include "evt3_decoder.hpp"

#include <bit>

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
        const int bit = std::countr_zero(mask);
        put_record(out + n * kPackedEventBytes, static_cast<std::uint16_t>(base + bit), y, t, p);
        ++n;
        mask &= mask - 1;
    }
    return n;
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
