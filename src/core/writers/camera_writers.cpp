#include "writers/camera_writers.hpp"

#include <cstring>
#include <optional>

#include "base/byte_order.hpp"

namespace zel::camera {
namespace {

EncodeError too_large(const char* field, std::uint64_t index, std::uint64_t value, std::uint64_t limit,
                      const char* what) {
    EncodeError e{field, index, value, limit, {}};
    e.message = std::string(field) + " at index " + std::to_string(index) + " is " + std::to_string(value) +
                ", " + what + " " + std::to_string(limit);
    return e;
}

std::optional<EncodeError> check_sensor(Geometry sensor, std::uint32_t max_side) {
    if (sensor.width == 0 || sensor.width > max_side) {
        return too_large("width", 0, sensor.width, max_side, "outside 1 to");
    }
    if (sensor.height == 0 || sensor.height > max_side) {
        return too_large("height", 0, sensor.height, max_side, "outside 1 to");
    }
    return std::nullopt;
}

std::optional<EncodeError> check_event(const Event& e, std::size_t i, Geometry sensor) {
    if (e.x >= sensor.width) return too_large("x", i, e.x, sensor.width, "not below the sensor width");
    if (e.y >= sensor.height) return too_large("y", i, e.y, sensor.height, "not below the sensor height");
    if (e.p > 1) return too_large("p", i, e.p, 1, "above the largest polarity");
    return std::nullopt;
}

void append_text(ByteBuffer& out, std::string_view text) {
    out.reserve_more(text.size());
    std::memcpy(out.tail(), text.data(), text.size());
    out.commit(text.size());
}

void append_byte(ByteBuffer& out, std::uint8_t v) {
    out.reserve_more(1);
    *out.tail() = v;
    out.commit(1);
}

// Time-high words are 28 bits of camera time from bit 6; a reader counts a
// wrap where the counter steps back by half its range or more.
constexpr std::uint64_t kEvt2HighRange = std::uint64_t{1} << 28;
constexpr std::uint64_t kEvt2TimeRange = kEvt2HighRange << 6;

// The camera time of an event, saturated rather than wrapped: a sum past
// 2^64 fails every limit instead of passing as a small time.
std::uint64_t camera_time(std::uint64_t t_base, std::uint32_t t) {
    return t_base > ~std::uint64_t{0} - t ? ~std::uint64_t{0} : t_base + t;
}

// Names the camera time in messages as what the caller gave.
const char* time_field(std::uint64_t t_base) { return t_base == 0 ? "t" : "t_base + t"; }

}  // namespace

EncodeStatus write_dat_header(Geometry sensor, std::string_view date, ByteBuffer& out) {
    if (auto bad = check_sensor(sensor, kMaxDatSide)) return *bad;
    const std::string w = std::to_string(sensor.width), h = std::to_string(sensor.height);
    append_text(out, "% Data file containing CD events\n% Version 2\n% Date ");
    append_text(out, date);
    append_text(out, "\n% Width " + w + "\n% Height " + h + "\n");
    append_byte(out, 12);  // EventCD
    append_byte(out, 8);   // record size
    return kOk;
}

EncodeStatus write_dat_records(PackedEvents events, Geometry sensor, std::uint64_t t_base,
                               std::uint64_t first_index, ByteBuffer& out) {
    if (auto bad = check_sensor(sensor, kMaxDatSide)) return *bad;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        if (auto bad = check_event(e, first_index + i, sensor)) return *bad;
        if (camera_time(t_base, e.t) > 0xFFFFFFFFull) {
            return too_large(time_field(t_base), first_index + i, camera_time(t_base, e.t), 0xFFFFFFFFull,
                             "above the largest DAT time");
        }
    }
    out.reserve_more(events.size() * 8);
    std::uint8_t* record = out.tail();
    for (std::size_t i = 0; i < events.size(); ++i, record += 8) {
        const Event e = events[i];
        store_le32(record, static_cast<std::uint32_t>(t_base + e.t));
        store_le32(record + 4, static_cast<std::uint32_t>(e.x) | (static_cast<std::uint32_t>(e.y) << 14) |
                                   (static_cast<std::uint32_t>(e.p) << 28));
    }
    out.commit(events.size() * 8);
    return kOk;
}

EncodeStatus write_evt2_header(Geometry sensor, std::string_view date, ByteBuffer& out) {
    if (auto bad = check_sensor(sensor, kMaxPropheseeSide)) return *bad;
    const std::string w = std::to_string(sensor.width), h = std::to_string(sensor.height);
    append_text(out, "% date ");
    append_text(out, date);
    append_text(out, "\n% evt 2.0\n% format EVT2;height=" + h + ";width=" + w + "\n% geometry " + w + "x" + h +
                         "\n% end\n");
    return kOk;
}

EncodeStatus write_evt2_records(PackedEvents events, Geometry sensor, std::uint64_t t_base,
                                std::uint64_t first_index, Evt2Clock& clock, ByteBuffer& out) {
    if (auto bad = check_sensor(sensor, kMaxPropheseeSide)) return *bad;
    std::optional<std::uint64_t> last = clock.last_time;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        const std::uint64_t index = first_index + i;
        if (auto bad = check_event(e, index, sensor)) return *bad;
        const std::uint64_t t = camera_time(t_base, e.t);
        if (!last && t >= kEvt2TimeRange) {
            return too_large(time_field(t_base), index, t, kEvt2TimeRange, "but an EVT 2.0 file starts below");
        }
        if (last && t < *last) return too_large(time_field(t_base), index, t, *last, "below the previous timestamp");
        last = t;
    }
    out.reserve_more(events.size() * 4 + 64);
    std::optional<std::uint64_t> high = clock.last_time ? std::optional(*clock.last_time >> 6) : std::nullopt;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        const std::uint64_t t = camera_time(t_base, e.t);
        if (high != (t >> 6)) {
            // Steps of a quarter of the counter's range keep every wrap
            // visible across a long gap.
            for (std::uint64_t between = high ? *high + kEvt2HighRange / 4 : t >> 6; between < (t >> 6);
                 between += kEvt2HighRange / 4) {
                out.reserve_more(4);
                store_le32(out.tail(), (0x8u << 28) | static_cast<std::uint32_t>(between % kEvt2HighRange));
                out.commit(4);
            }
            high = t >> 6;
            out.reserve_more(4);
            store_le32(out.tail(), (0x8u << 28) | static_cast<std::uint32_t>(*high % kEvt2HighRange));
            out.commit(4);
        }
        out.reserve_more(4);
        store_le32(out.tail(), (static_cast<std::uint32_t>(e.p) << 28) | ((static_cast<std::uint32_t>(t) & 0x3Fu) << 22) |
                                   (static_cast<std::uint32_t>(e.x) << 11) | e.y);
        out.commit(4);
    }
    clock.last_time = last;
    return kOk;
}

EncodeResult encode_dat(PackedEvents events, Geometry sensor, std::string_view date) {
    ByteBuffer out;
    ZEL_TRY(write_dat_header(sensor, date, out));
    ZEL_TRY(write_dat_records(events, sensor, 0, 0, out));
    return out;
}

EncodeResult encode_evt2(PackedEvents events, Geometry sensor, std::string_view date) {
    ByteBuffer out;
    ZEL_TRY(write_evt2_header(sensor, date, out));
    Evt2Clock clock;
    ZEL_TRY(write_evt2_records(events, sensor, 0, 0, clock, out));
    return out;
}

}  // namespace zel::camera
