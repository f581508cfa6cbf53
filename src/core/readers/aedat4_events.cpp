#include "readers/aedat4_events.hpp"

#include <cstring>
#include <string>

#include "readers/flatbuffer_view.hpp"

namespace zel::camera {
namespace {

constexpr std::size_t kEventBytes = 16;
constexpr unsigned kFieldElements = 0;

// Writes the events from `i` up to `end` that pass every check in one test,
// each at record time t - origin, and returns where the run stopped: at an
// event the careful path must look at. Negative fields read as unsigned
// fail the bounds (which are at most 32768), and a time before the origin
// or 2^32 us past it wraps past the 32-bit range. Most events of a
// recording take this loop, whose state stays in registers.
std::size_t fast_events(const std::uint8_t* events, std::size_t i, std::size_t end, std::uint8_t* out,
                        std::uint64_t origin, std::uint32_t x_limit, std::uint32_t y_limit) {
    for (; i < end; ++i, out += kPackedEventBytes) {
        const std::uint8_t* e = events + i * kEventBytes;
        const std::uint64_t t = load_le64(e);
        const std::uint16_t x = load_le16(e + 8);
        const std::uint16_t y = load_le16(e + 10);
        const std::uint8_t on = e[12];
        if (!((x < x_limit) & (y < y_limit) & (on <= 1) & (t >> 63 == 0) & (t - origin <= 0xFFFFFFFFull))) break;
        store_packed(out, packed_head(x, y, static_cast<std::uint32_t>(t - origin)), on);
    }
    return i;
}

}  // namespace

std::optional<Error> Aedat4EventDecoder::reject(Error error) {
    if (options_.bad_words == BadWords::Strict) return error;
    ++bad_words_;
    return std::nullopt;
}

Result<std::size_t> Aedat4EventDecoder::decode_packet(std::span<const std::uint8_t> payload,
                                                            std::uint64_t packet_offset,
                                                            ByteBuffer& out, std::size_t first,
                                                            std::size_t max_events) {
    resume_event_ = packet_events_ = 0;
    const std::string where = "event packet at byte offset " + std::to_string(packet_offset);
    const FlatView whole(payload, packet_offset, where);
    auto size = whole.u32(0);
    if (!size) {
        if (auto error = reject(size.error())) return *error;
        return std::size_t{0};
    }
    auto structural = [&]() -> Result<FlatView::Vector> {
        if (size.value() > payload.size() - 4) {
            return whole.fault("size prefix " + std::to_string(size.value()) + " exceeds the " +
                               std::to_string(payload.size() - 4) + " bytes present");
        }
        const FlatView fb(payload.subspan(4, size.value()), packet_offset, where);
        if (fb.size() < 8 || std::memcmp(fb.data() + 4, "EVTS", 4) != 0) {
            return fb.fault("not an EVTS event packet");
        }
        auto table = fb.table_at(0);
        if (!table) return table.error();
        auto field = fb.field(table.value(), kFieldElements, 4);
        if (!field) return field.error();
        if (!field.value()) return FlatView::Vector{};
        auto vec = fb.vector_at(*field.value(), kEventBytes);
        if (!vec) return vec.error();
        FlatView::Vector v = vec.value();
        v.data += 4;  // relative to the payload, which starts with the size prefix
        return v;
    }();
    if (!structural) {
        if (auto error = reject(structural.error())) return *error;
        return std::size_t{0};
    }

    const FlatView::Vector v = structural.value();
    packet_events_ = v.length;
    if (first > v.length) first = v.length;
    const std::size_t end = v.length - first > max_events ? first + max_events : v.length;
    // Bounded by the payload already in memory, never by a stated count.
    out.reserve_more((end - first) * kPackedEventBytes);
    std::uint8_t* dst = out.tail();
    std::size_t written = 0;
    std::size_t i = first;
    // What the time of an event must be to map by a subtraction; unknown
    // until the first event of a batch sets it.
    std::optional<std::uint64_t> origin = time_.origin();
    const std::uint8_t* events = payload.data() + v.data;
    // The events before a fault are kept, whatever the call's size: a read in
    // small pieces has handed them over before it meets the fault, so one
    // large read hands over the same ones.
    auto keep = [&](std::size_t n) {
        out.commit(n * kPackedEventBytes);
        events_ += n;
        resume_event_ = i;
    };
    for (; i < end; ++i) {
        if (origin) {
            const std::size_t stop = fast_events(events, i, end, dst + written * kPackedEventBytes, *origin,
                                                 options_.x_limit, options_.y_limit);
            written += stop - i;
            i = stop;
            if (i == end) break;
        }
        const std::uint8_t* e = events + i * kEventBytes;
        const std::uint64_t t = load_le64(e);
        const std::uint16_t x = load_le16(e + 8);
        const std::uint16_t y = load_le16(e + 10);
        const std::uint8_t on = e[12];
        const auto signed_t = static_cast<std::int64_t>(t);
        const auto signed_x = static_cast<std::int16_t>(x);
        const auto signed_y = static_cast<std::int16_t>(y);
        if (signed_t < 0 || signed_x < 0 || signed_y < 0 || x >= options_.x_limit || y >= options_.y_limit ||
            on > 1) {
            std::optional<Error> bad = reject(Error::invalid_data(
                where + ": event " + std::to_string(i) + " has t=" + std::to_string(signed_t) +
                    " x=" + std::to_string(signed_x) + " y=" + std::to_string(signed_y) + " on=" + std::to_string(on) +
                    ", outside the sensor or the format",
                packet_offset));
            if (bad) {
                keep(written);
                return *bad;
            }
            continue;
        }
        auto mapped = time_.map(t);
        if (!mapped) {
            if (options_.time.mode == TimeBase::Mode::EachBatch) {
                batch_full_ = true;
                break;
            }
            Error overflow = TimeMapper::overflow(events_ + written, t, time_.origin());
            keep(written);
            return overflow;
        }
        origin = time_.origin();
        store_packed(dst + written * kPackedEventBytes, packed_head(x, y, *mapped), on);
        ++written;
    }
    keep(written);
    return written;
}

}  // namespace zel::camera
