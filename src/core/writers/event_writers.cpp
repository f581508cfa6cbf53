#include "writers/event_writers.hpp"

#include <charconv>
#include <string>

#include "readers/record_codecs.hpp"

namespace zel {
namespace {

struct FieldLimits {
    std::uint32_t x, y, t, p;
};

// N-MNIST packs 8-bit coordinates, a polarity bit and a 23-bit timestamp;
// AEDAT2, as zel reads it, 7-bit coordinates and a polarity bit in the
// address and the full 32-bit timestamp.
constexpr FieldLimits kNmnistLimits{0xFF, 0xFF, (1u << 23) - 1, 1};
constexpr FieldLimits kAedat2Limits{0x7F, 0x7F, 0xFFFFFFFFu, 1};
constexpr FieldLimits kCsvLimits{0xFFFF, 0xFFFF, 0xFFFFFFFFu, 0xFF};

FieldLimits limits_of(WriteFormat format) {
    switch (format) {
        case WriteFormat::Nmnist: return kNmnistLimits;
        case WriteFormat::Aedat2: return kAedat2Limits;
        case WriteFormat::Csv: return kCsvLimits;
    }
    return kCsvLimits;
}

const char* format_title(WriteFormat format) {
    switch (format) {
        case WriteFormat::Nmnist: return "N-MNIST";
        case WriteFormat::Aedat2: return "AEDAT2";
        case WriteFormat::Csv: return "CSV";
    }
    return "";
}

Error unrepresentable(WriteFormat format, const char* field, std::uint64_t index, std::uint64_t value,
                      std::uint64_t limit) {
    return Error::invalid_input(std::string("cannot write as ") + format_title(format) + ": field '" + field +
                                "' at index " + std::to_string(index) + " is " + std::to_string(value) +
                                ", above the format's limit of " + std::to_string(limit));
}

Status check_representable(WriteFormat format, PackedEvents events, std::uint64_t first_index) {
    const FieldLimits limits = limits_of(format);
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        const std::uint64_t index = first_index + i;
        if (e.x > limits.x) return unrepresentable(format, "x", index, e.x, limits.x);
        if (e.y > limits.y) return unrepresentable(format, "y", index, e.y, limits.y);
        if (e.t > limits.t) return unrepresentable(format, "t", index, e.t, limits.t);
        if (e.p > limits.p) return unrepresentable(format, "p", index, e.p, limits.p);
    }
    return kOk;
}

void encode_nmnist(PackedEvents events, std::uint8_t* out) {
    for (std::size_t i = 0; i < events.size(); ++i, out += kNmnistRecordBytes) {
        const Event e = events[i];
        out[0] = static_cast<std::uint8_t>(e.x);
        out[1] = static_cast<std::uint8_t>(e.y);
        out[2] = static_cast<std::uint8_t>((std::uint32_t{e.p} << 7) | (e.t >> 16));
        out[3] = static_cast<std::uint8_t>(e.t >> 8);
        out[4] = static_cast<std::uint8_t>(e.t);
    }
}

void encode_aedat2(PackedEvents events, std::uint8_t* out) {
    for (std::size_t i = 0; i < events.size(); ++i, out += kAedat2RecordBytes) {
        const Event e = events[i];
        const std::uint32_t address = (static_cast<std::uint32_t>(e.y) << 8) |
                                      (static_cast<std::uint32_t>(e.x) << 1) | e.p;
        for (int b = 0; b < 4; ++b) {
            out[b] = static_cast<std::uint8_t>(address >> (24 - 8 * b));
            out[4 + b] = static_cast<std::uint8_t>(e.t >> (24 - 8 * b));
        }
    }
}

// "x,y,t,p\n" per event; returns the bytes written.
std::size_t encode_csv(PackedEvents events, std::uint8_t* out, std::size_t capacity) {
    char* const begin = reinterpret_cast<char*>(out);
    char* cursor = begin;
    char* const end = begin + capacity;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        cursor = std::to_chars(cursor, end, e.x).ptr;
        *cursor++ = ',';
        cursor = std::to_chars(cursor, end, e.y).ptr;
        *cursor++ = ',';
        cursor = std::to_chars(cursor, end, e.t).ptr;
        *cursor++ = ',';
        cursor = std::to_chars(cursor, end, static_cast<unsigned>(e.p)).ptr;
        *cursor++ = '\n';
    }
    return static_cast<std::size_t>(cursor - begin);
}

// Longest CSV line: 65535,65535,4294967295,255 and a line feed.
constexpr std::size_t kMaxCsvLine = 5 + 1 + 5 + 1 + 10 + 1 + 3 + 1;

}  // namespace

std::string_view file_header(WriteFormat format) {
    switch (format) {
        case WriteFormat::Nmnist: return {};
        case WriteFormat::Aedat2:
            return "#!AER-DAT2.0\r\n"
                   "# This is a raw AE data file written by zelkit\r\n"
                   "# Data format is int32 address, int32 timestamp (8 bytes total), "
                   "repeated for each event\r\n"
                   "# Timestamps tick is 1 us\r\n"
                   "# address = (y << 8) | (x << 1) | polarity\r\n";
        case WriteFormat::Csv: return "x,y,t,p\n";
    }
    return {};
}

Result<std::size_t> encode_events(WriteFormat format, PackedEvents events, std::uint64_t first_index,
                                  ByteBuffer& out) {
    ZEL_TRY(check_representable(format, events, first_index));
    std::size_t written = 0;
    switch (format) {
        case WriteFormat::Nmnist:
            written = events.size() * kNmnistRecordBytes;
            out.reserve_more(written);
            encode_nmnist(events, out.tail());
            break;
        case WriteFormat::Aedat2:
            written = events.size() * kAedat2RecordBytes;
            out.reserve_more(written);
            encode_aedat2(events, out.tail());
            break;
        case WriteFormat::Csv: {
            const std::size_t capacity = events.size() * kMaxCsvLine;
            out.reserve_more(capacity);
            written = encode_csv(events, out.tail(), capacity);
            break;
        }
    }
    out.commit(written);
    return written;
}

}  // namespace zel
