#include "writers/camera_writers.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "base/byte_order.hpp"

namespace zel::camera {
namespace {

Error too_large(const char* field, std::uint64_t index, std::uint64_t value, std::uint64_t limit,
                const char* what) {
    return Error::invalid_input(std::string(field) + " at index " + std::to_string(index) + " is " +
                                std::to_string(value) + ", " + what + " " + std::to_string(limit));
}

std::optional<Error> check_sensor(Geometry sensor, std::uint32_t max_side) {
    for (const auto& [side, value] : {std::pair{"width", sensor.width}, std::pair{"height", sensor.height}}) {
        if (value == 0 || value > max_side) {
            return Error::invalid_input(std::string("sensor ") + side + " " + std::to_string(value) +
                                        " is outside 1 to " + std::to_string(max_side));
        }
    }
    return std::nullopt;
}

std::optional<Error> check_event(const Event& e, std::uint64_t i, Geometry sensor) {
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
static_assert(kEvt2FirstTimeLimit == kEvt2HighRange << 6);

// The camera time of an event, saturated rather than wrapped: a sum past
// 2^64 fails every limit instead of passing as a small time.
std::uint64_t camera_time(std::uint64_t t_base, std::uint32_t t) {
    return t_base > ~std::uint64_t{0} - t ? ~std::uint64_t{0} : t_base + t;
}

// Names the camera time in messages as what the caller gave.
const char* time_field(std::uint64_t t_base) { return t_base == 0 ? "t" : "t_base + t"; }

}  // namespace

Result<CameraFileWriter> CameraFileWriter::open(CameraWriteFormat format, Geometry sensor) {
    if (auto bad = check_sensor(sensor, format == CameraWriteFormat::Dat ? kMaxDatSide : kMaxPropheseeSide)) {
        return *std::move(bad);
    }
    return CameraFileWriter(format, sensor);
}

void CameraFileWriter::write_header(std::string_view date, ByteBuffer& out) const {
    const std::string w = std::to_string(sensor_.width), h = std::to_string(sensor_.height);
    if (format_ == CameraWriteFormat::Dat) {
        append_text(out, "% Data file containing CD events\n% Version 2\n% Date ");
        append_text(out, date);
        append_text(out, "\n% Width " + w + "\n% Height " + h + "\n");
        append_byte(out, 12);  // EventCD
        append_byte(out, 8);   // record size
        return;
    }
    append_text(out, "% date ");
    append_text(out, date);
    append_text(out, "\n% evt 2.0\n% format EVT2;height=" + h + ";width=" + w + "\n% geometry " + w + "x" + h +
                         "\n% end\n");
}

Status CameraFileWriter::write(PackedEvents events, std::uint64_t t_base, ByteBuffer& out) {
    ZEL_TRY(format_ == CameraWriteFormat::Dat ? write_dat(events, t_base, out) : write_evt2(events, t_base, out));
    events_written_ += events.size();
    return kOk;
}

Status CameraFileWriter::write_dat(PackedEvents events, std::uint64_t t_base, ByteBuffer& out) const {
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        const std::uint64_t index = events_written_ + i;
        if (auto bad = check_event(e, index, sensor_)) return *std::move(bad);
        if (camera_time(t_base, e.t) >= kDatTimeLimit) {
            return too_large(time_field(t_base), index, camera_time(t_base, e.t), kDatTimeLimit - 1,
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

Status CameraFileWriter::write_evt2(PackedEvents events, std::uint64_t t_base, ByteBuffer& out) {
    std::optional<std::uint64_t> last = last_time_;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        const std::uint64_t index = events_written_ + i;
        if (auto bad = check_event(e, index, sensor_)) return *std::move(bad);
        const std::uint64_t t = camera_time(t_base, e.t);
        if (!last && t >= kEvt2FirstTimeLimit) {
            return too_large(time_field(t_base), index, t, kEvt2FirstTimeLimit, "but an EVT 2.0 file starts below");
        }
        if (last && t < *last) return too_large(time_field(t_base), index, t, *last, "below the previous timestamp");
        last = t;
    }
    out.reserve_more(events.size() * 4 + 64);
    std::optional<std::uint64_t> high = last_time_ ? std::optional(*last_time_ >> 6) : std::nullopt;
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
        store_le32(out.tail(), (static_cast<std::uint32_t>(e.p) << 28) |
                                   ((static_cast<std::uint32_t>(t) & 0x3Fu) << 22) |
                                   (static_cast<std::uint32_t>(e.x) << 11) | e.y);
        out.commit(4);
    }
    last_time_ = last;
    return kOk;
}

}  // namespace zel::camera
