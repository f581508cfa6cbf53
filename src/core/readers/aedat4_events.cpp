#include "readers/aedat4_events.hpp"

#include <cstring>
#include <string>

#include "readers/flatbuffer_view.hpp"

namespace zel::camera {
namespace {

constexpr std::size_t kEventBytes = 16;
constexpr unsigned kFieldElements = 0;

}  // namespace

std::optional<DecodeError> Aedat4EventDecoder::reject(DecodeError error) {
    if (options_.bad_words == BadWords::Strict) return error;
    ++bad_words_;
    return std::nullopt;
}

DecodeResult<std::size_t> Aedat4EventDecoder::decode_packet(std::span<const std::uint8_t> payload,
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
    auto structural = [&]() -> DecodeResult<FlatView::Vector> {
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
    for (; i < end; ++i) {
        const std::uint8_t* e = payload.data() + v.data + i * kEventBytes;
        const auto t = static_cast<std::int64_t>(load_le64(e));
        const auto x = static_cast<std::int16_t>(load_le16(e + 8));
        const auto y = static_cast<std::int16_t>(load_le16(e + 10));
        const std::uint8_t on = e[12];
        std::optional<DecodeError> bad;
        if (t < 0 || x < 0 || y < 0 || static_cast<std::uint32_t>(x) >= options_.x_limit ||
            static_cast<std::uint32_t>(y) >= options_.y_limit || on > 1) {
            bad = reject(DecodeError::format(
                packet_offset, where + ": event " + std::to_string(i) + " has t=" + std::to_string(t) +
                                   " x=" + std::to_string(x) + " y=" + std::to_string(y) +
                                   " on=" + std::to_string(on) + ", outside the sensor or the format"));
            if (bad) return *bad;
            continue;
        }
        auto mapped = time_.map(static_cast<std::uint64_t>(t));
        if (!mapped) {
            if (options_.time.mode == TimeBase::Mode::EachBatch) {
                batch_full_ = true;
                break;
            }
            return TimeMapper::overflow(events_ + written, static_cast<std::uint64_t>(t), time_.origin());
        }
        store_packed(dst + written * kPackedEventBytes,
                     packed_head(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), *mapped), on);
        ++written;
    }
    out.commit(written * kPackedEventBytes);
    events_ += written;
    resume_event_ = i;
    return written;
}

}  // namespace zel::camera
