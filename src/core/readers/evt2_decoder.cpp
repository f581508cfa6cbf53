#include "readers/evt2_decoder.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace zel::camera {
namespace {

enum Evt2Type : std::uint32_t {
    kCdOff = 0x0,
    kCdOn = 0x1,
    kTimeHigh = 0x8,
    kExtTrigger = 0xA,
    kOthers = 0xE,
    kContinued = 0xF,
};

constexpr std::uint64_t kTimeHighRange = std::uint64_t{1} << 28;

// For an event with x or y at or beyond the sensor's bounds: the first
// coordinate out, its value and the bound it passed.
std::string outside_sensor(std::uint32_t x, std::uint32_t y, const DecodeOptions& options) {
    const bool wide = x >= options.x_limit;
    return std::string(wide ? "x " : "y ") + std::to_string(wide ? x : y) +
           " is outside the sensor " + (wide ? "width " : "height ") +
           std::to_string(wide ? options.x_limit : options.y_limit);
}

// Writes the run of CD words from `i` up to `end` whose coordinates are
// within the limits, every one at `rel_base` plus its 6 low time bits;
// returns where the run stopped (at a word of another type or a bad
// coordinate, which the general path then takes). Most words of a real
// recording are CD words, so they take one branch on their type.
std::size_t cd_run(const std::uint8_t* words, std::size_t i, std::size_t end, std::uint8_t* out,
                   std::uint32_t rel_base, std::uint32_t x_limit, std::uint32_t y_limit) {
    for (; i < end; ++i) {
        const std::uint32_t word = load_le32(words + 4 * i);
        const std::uint32_t type = word >> 28;
        const std::uint32_t x = (word >> 11) & 0x7FF;
        const std::uint32_t y = word & 0x7FF;
        if ((type > kCdOn) | (x >= x_limit) | (y >= y_limit)) break;
        store_packed(out, packed_head(x, y, rel_base + ((word >> 22) & 0x3F)), static_cast<std::uint8_t>(type));
        out += kPackedEventBytes;
    }
    return i;
}

}  // namespace

std::size_t Evt2Decoder::fast_words(const std::uint8_t* words, std::size_t i, std::size_t n_words,
                                    std::uint8_t* out, std::size_t room) const {
    // Every time of the current time-high window must map by a subtraction.
    if (!fast_ || !has_time_) return i;
    const std::optional<std::uint64_t> origin = batch_origin();
    const std::uint64_t base = (wraps_ << 34) | time_high_;
    if (!origin || base < *origin || base - *origin > 0xFFFFFFFFull - 0x3F) return i;
    return cd_run(words, i, i + std::min(n_words - i, room), out, static_cast<std::uint32_t>(base - *origin),
                  options_.x_limit, options_.y_limit);
}

Result<DecodeProgress> Evt2Decoder::decode_words(const std::uint8_t* words,
                                                       std::size_t n_words, std::uint64_t offset,
                                                       std::uint8_t* out, std::size_t capacity) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < n_words; ++i) {
        const std::size_t run_end =
            fast_words(words, i, n_words, out + written * kPackedEventBytes, capacity - written);
        written += run_end - i;
        i = run_end;
        if (i == n_words) break;
        const std::uint32_t word = load_le32(words + 4 * i);
        const std::uint32_t type = word >> 28;
        const std::uint64_t at = offset + 4 * i;
        std::optional<Error> bad;

        switch (type) {
            case kCdOff:
            case kCdOn: {
                const std::uint32_t x = (word >> 11) & 0x7FF;
                const std::uint32_t y = word & 0x7FF;
                if (!has_time_) {
                    bad = reject(at, "event before any time-high word");
                } else if (x >= options_.x_limit || y >= options_.y_limit) {
                    bad = reject(at, outside_sensor(x, y, options_));
                } else {
                    if (written == capacity) return DecodeProgress{i, written};
                    const std::uint64_t t = (wraps_ << 34) | time_high_ | ((word >> 22) & 0x3F);
                    auto mapped = record_time(t, written);
                    if (!mapped) {
                        if (batch_full_) return DecodeProgress{i, written};
                        return mapped.error();
                    }
                    store_packed(out + written * kPackedEventBytes, packed_head(x, y, mapped.value()),
                                 static_cast<std::uint8_t>(type));
                    ++written;
                }
                break;
            }
            case kTimeHigh: {
                const std::uint64_t high = word & 0x0FFFFFFF;
                const std::uint64_t previous = time_high_ >> 6;
                if (has_time_ && high < previous) {
                    // The 28-bit counter wraps every 4.8 hours; a small step
                    // back cannot be a wrap and would reorder time.
                    if (previous - high < kTimeHighRange / 2) {
                        bad = reject(at, "time-high goes back from " + std::to_string(previous) +
                                             " to " + std::to_string(high));
                        break;
                    }
                    ++wraps_;
                }
                time_high_ = high << 6;
                has_time_ = true;
                break;
            }
            case kExtTrigger:
            case kOthers:
            case kContinued:
                break;
            default:
                bad = reject(at, "reserved EVT 2.0 word type " + std::to_string(type) + " (word " +
                                     hex_word(word, 8) + ")");
                break;
        }
        if (bad) return *bad;
    }
    return DecodeProgress{n_words, written};
}

Result<DecodeProgress> DatDecoder::decode_words(const std::uint8_t* words, std::size_t n_words,
                                                      std::uint64_t offset, std::uint8_t* out,
                                                      std::size_t capacity) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < n_words; ++i) {
        const std::uint8_t* record = words + 8 * i;
        const std::uint32_t t = load_le32(record);
        const std::uint32_t data = load_le32(record + 4);
        const std::uint32_t x = data & 0x3FFF;
        const std::uint32_t y = (data >> 14) & 0x3FFF;
        const std::uint32_t p = data >> 28;
        std::optional<Error> bad;
        if (p > 1) {
            bad = reject(offset + 8 * i, "polarity " + std::to_string(p) + " is not 0 or 1");
        } else if (x >= options_.x_limit || y >= options_.y_limit) {
            bad = reject(offset + 8 * i, outside_sensor(x, y, options_));
        } else {
            if (written == capacity) return DecodeProgress{i, written};
            auto mapped = record_time(t, written);
            if (!mapped) {
                if (batch_full_) return DecodeProgress{i, written};
                return mapped.error();
            }
            store_packed(out + written * kPackedEventBytes, packed_head(x, y, mapped.value()),
                         static_cast<std::uint8_t>(p));
            ++written;
        }
        if (bad) return *bad;
    }
    return DecodeProgress{n_words, written};
}

}  // namespace zel::camera
