#include "writers/camera_writers.hpp"

#include <cstring>
#include <optional>

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

void append_u32(ByteBuffer& out, std::uint32_t v) {
    out.reserve_more(4);
    for (int i = 0; i < 4; ++i) out.tail()[i] = static_cast<std::uint8_t>(v >> (8 * i));
    out.commit(4);
}

}  // namespace

EncodeResult encode_dat(PackedEvents events, Geometry sensor, std::string_view date) {
    if (auto bad = check_sensor(sensor, 1u << 14)) return *bad;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (auto bad = check_event(events[i], i, sensor)) return *bad;
    }
    ByteBuffer out;
    const std::string w = std::to_string(sensor.width), h = std::to_string(sensor.height);
    append_text(out, "% Data file containing CD events\n% Version 2\n% Date ");
    append_text(out, date);
    append_text(out, "\n% Width " + w + "\n% Height " + h + "\n");
    append_byte(out, 12);  // EventCD
    append_byte(out, 8);  // record size
    out.reserve_more(events.size() * 8);
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        append_u32(out, e.t);
        append_u32(out, static_cast<std::uint32_t>(e.x) | (static_cast<std::uint32_t>(e.y) << 14) |
                            (static_cast<std::uint32_t>(e.p) << 28));
    }
    return out;
}

EncodeResult encode_evt2(PackedEvents events, Geometry sensor, std::string_view date) {
    if (auto bad = check_sensor(sensor, kMaxPropheseeSide)) return *bad;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        if (auto bad = check_event(e, i, sensor)) return *bad;
        if (i > 0 && e.t < events[i - 1].t) {
            return too_large("t", i, e.t, events[i - 1].t, "below the previous timestamp");
        }
    }
    ByteBuffer out;
    const std::string w = std::to_string(sensor.width), h = std::to_string(sensor.height);
    append_text(out, "% date ");
    append_text(out, date);
    append_text(out, "\n% evt 2.0\n% format EVT2;height=" + h + ";width=" + w + "\n% geometry " + w + "x" + h +
                         "\n% end\n");
    out.reserve_more(events.size() * 4 + 64);
    std::optional<std::uint32_t> time_high;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        const std::uint32_t high = e.t >> 6;
        if (time_high != high) {
            append_u32(out, (0x8u << 28) | high);
            time_high = high;
        }
        append_u32(out, (static_cast<std::uint32_t>(e.p) << 28) | ((e.t & 0x3Fu) << 22) |
                            (static_cast<std::uint32_t>(e.x) << 11) | e.y);
    }
    return out;
}

}  // namespace zel::camera
