#include "lossless/block_codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "base/crc32c.hpp"
#include "lossless/adaptive_rans.hpp"
#include "lossless/bit_stream.hpp"
#include "lossless/event_model.hpp"
#include "lossless/plane_block.hpp"

namespace zel::lossless {

namespace {

constexpr std::uint8_t kFlagColumns = 0x01;
constexpr std::size_t kXMaxOffset = 2;
constexpr std::size_t kYMaxOffset = 4;
constexpr std::size_t kTFirstOffset = 6;
constexpr std::size_t kCheckOffset = 10;
constexpr std::size_t kCheckedFrom = 14;      // the check covers everything from here on
constexpr std::size_t kRansBytesOffset = 14;  // length of the rANS stream
constexpr std::size_t kHeaderBytes = 18;
constexpr std::size_t kStatesBytes = 8;

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}
std::uint32_t get16(const std::uint8_t* p) { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8; }
std::uint32_t get32(const std::uint8_t* p) { return get16(p) | get16(p + 2) << 16; }

// CRC-32C of the header's first ten bytes, the event count (u64 LE) and
// all bytes after the check field: what the check field holds.
std::uint32_t block_check(const std::uint8_t* header, std::uint64_t count, std::span<const std::uint8_t> stream) {
    std::uint8_t count_bytes[8];
    put32(count_bytes, static_cast<std::uint32_t>(count));
    put32(count_bytes + 4, static_cast<std::uint32_t>(count >> 32));
    return crc32c(stream, crc32c(count_bytes, crc32c({header, kCheckOffset})));
}

// std::bit_width without its branch on zero, which steps of a row readout
// (half of them zero, in no order) mispredict.
unsigned bit_width_branchless(unsigned v) {
    return static_cast<unsigned>(31 - __builtin_clz(v | 1u)) + unsigned{v != 0};
}

// The axis whose coordinate moves less between consecutive events becomes
// the line: rows for row readout, columns for column scans.
BlockGeometry measure_geometry(PackedEvents events) {
    BlockGeometry g;
    std::uint64_t row_steps = 0, column_steps = 0;
    Event prev = events.empty() ? Event{} : events[0];
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event e = events[i];
        if (e.x > g.x_max) g.x_max = e.x;
        if (e.y > g.y_max) g.y_max = e.y;
        row_steps += bit_width_branchless(static_cast<unsigned>(e.y > prev.y ? e.y - prev.y : prev.y - e.y));
        column_steps += bit_width_branchless(static_cast<unsigned>(e.x > prev.x ? e.x - prev.x : prev.x - e.x));
        prev = e;
    }
    g.axis = column_steps < row_steps ? LineAxis::Columns : LineAxis::Rows;
    return g;
}

Status check_block_size(PackedEvents events) {
    if (events.size() > kMaxBlockEvents) {
        return Error::invalid_input("a lossless block holds at most " + std::to_string(kMaxBlockEvents) +
                                    " events, not " + std::to_string(events.size()));
    }
    return kOk;
}

// Codes like EncodeIo, but only adds up what each symbol and raw bit costs.
class CostIo {
public:
    static constexpr bool kEncoding = true;
    explicit CostIo(PartCosts& costs) : costs_(costs) {}
    void part(EventPart part) { part_ = static_cast<unsigned>(part); }
    unsigned symbol(AdaptiveCdf& cdf, unsigned s) {
        costs_.symbol_bits[part_] += kProbBits - std::log2(static_cast<double>(cdf.frequency(s)));
        cdf.update(s);
        return s;
    }
    std::uint32_t bits(std::uint32_t value, unsigned n) {
        costs_.raw_bits[part_] += n;
        return value;
    }

private:
    PartCosts& costs_;
    unsigned part_ = 0;
};

}  // namespace

bool known_block_version(std::uint8_t version) {
    return version >= kOldestBlockVersion && version <= kFastBlockVersion;
}

// Version 1's 2^22 slots (16 MiB) outgrow the caches on a large sensor,
// where every event's polarity context then waited on memory: at 2^16
// (256 KiB) EVT 3.0 at 1280 x 720 decodes about a third faster for 0.015
// more bits an event, the most any recording lost. Hashing every pixel on
// its own scattered a blob's neighbours (EVT 2.0 decoded 5 % slower than
// with exact slots); hashing lines keeps them together.
HistoryLayout history_layout(std::uint8_t version) {
    return version == 1 ? HistoryLayout{22, false} : HistoryLayout{16, true};
}

Status encode_block(PackedEvents events, ByteBuffer& out, std::uint8_t version, BlockExtent* extent) {
    ZEL_TRY(check_block_size(events));
    if (!known_block_version(version)) {
        return Error::invalid_input("no lossless block version " + std::to_string(version) + " to write");
    }
    const std::uint32_t t_first = events.empty() ? 0 : events[0].t;
    if (version == kFastBlockVersion) {
        // No line axis to choose: the planes' own pass finds the extent.
        const std::size_t begin = out.size();
        out.reserve_more(kCheckedFrom);
        out.commit(kCheckedFrom);
        const PlanesHeader planes = encode_planes(events, t_first, out);
        std::uint8_t* h = out.data() + begin;
        h[0] = version;
        h[1] = planes.flags;
        put16(h + kXMaxOffset, planes.x_max);
        put16(h + kYMaxOffset, planes.y_max);
        put32(h + kTFirstOffset, t_first);
        seal_block({h, out.size() - begin}, events.size());
        if (extent != nullptr) *extent = {planes.x_max, planes.y_max, t_first};
        return kOk;
    }
    const BlockGeometry geometry = measure_geometry(events);
    if (extent != nullptr) *extent = {geometry.x_max, geometry.y_max, t_first};
    EventModel model(geometry, t_first, events.size(), history_layout(version));
    SymbolLog log;
    // The streams of bench/ take 4.2 to 6.8 symbols an event: room for 7
    // keeps the log from being copied as it grows. Only the pages written
    // count towards resident memory.
    log.reserve(events.size() * 7);
    BitWriter raw_bits;
    EncodeIo io(log, raw_bits);
    for (std::size_t i = 0; i < events.size(); ++i) {
        Event e = events[i];
        model.code(io, e);
    }
    const std::size_t begin = out.size();
    out.reserve_more(kHeaderBytes);
    std::uint8_t* h = out.tail();
    h[0] = version;
    h[1] = geometry.axis == LineAxis::Columns ? kFlagColumns : 0;
    put16(h + kXMaxOffset, geometry.x_max);
    put16(h + kYMaxOffset, geometry.y_max);
    put32(h + kTFirstOffset, t_first);
    out.commit(kHeaderBytes);
    rans_encode_log(log.ranges(), out);
    const std::size_t rans_bytes = out.size() - begin - kHeaderBytes;
    const std::vector<std::uint8_t>& bits = raw_bits.finish();
    out.reserve_more(bits.size());
    std::copy(bits.begin(), bits.end(), out.tail());
    out.commit(bits.size());
    h = out.data() + begin;  // the streams may have moved the buffer
    put32(h + kRansBytesOffset, static_cast<std::uint32_t>(rans_bytes));
    seal_block({h, out.size() - begin}, events.size());
    return kOk;
}

Result<PartCosts> part_costs(PackedEvents events) {
    ZEL_TRY(check_block_size(events));
    const BlockGeometry geometry = measure_geometry(events);
    EventModel model(geometry, events.empty() ? 0 : events[0].t, events.size(), history_layout(kBlockVersion));
    PartCosts costs;
    CostIo io(costs);
    for (std::size_t i = 0; i < events.size(); ++i) {
        Event e = events[i];
        model.code(io, e);
    }
    return costs;
}

void seal_block(std::span<std::uint8_t> payload, std::uint64_t count) {
    if (payload.size() < kHeaderBytes) return;
    std::uint8_t* h = payload.data();
    put32(h + kCheckOffset, block_check(h, count, payload.subspan(kCheckedFrom)));
}

namespace {

// The header of a payload for `count` events, checked: its version, flags,
// checksum over the whole payload and the rANS stream's length.
struct CheckedHeader {
    std::uint8_t version = 0;
    BlockGeometry geometry;
    std::uint32_t t_first = 0;
    std::uint32_t rans_bytes = 0;
};

Result<CheckedHeader> check_header(std::span<const std::uint8_t> payload, std::uint64_t count) {
    if (count > kMaxBlockEvents) {
        return Error::invalid_data("lossless block claims " + std::to_string(count) + " events, more than " +
                                   std::to_string(kMaxBlockEvents));
    }
    if (payload.size() < kHeaderBytes + kStatesBytes) {
        return Error::invalid_data("lossless block of " + std::to_string(payload.size()) +
                                   " bytes is shorter than its header", 0);
    }
    const std::uint8_t* h = payload.data();
    if (!known_block_version(h[0])) {
        return Error::invalid_data("lossless block has unknown version " + std::to_string(h[0]), 0);
    }
    if ((h[1] & ~(h[0] == kFastBlockVersion ? kPolarityBits : kFlagColumns)) != 0) {
        return Error::invalid_data("lossless block has unknown flags", 1);
    }
    if (get32(h + kCheckOffset) != block_check(h, count, payload.subspan(kCheckedFrom))) {
        return Error::invalid_data("lossless block is damaged or holds another number of events than " +
                                   std::to_string(count) + " (checksum mismatch)", kCheckOffset);
    }
    CheckedHeader header;
    header.version = h[0];
    header.rans_bytes = h[0] == kFastBlockVersion ? 0 : get32(h + kRansBytesOffset);
    if (h[0] != kFastBlockVersion &&
        (header.rans_bytes < kStatesBytes || header.rans_bytes > payload.size() - kHeaderBytes)) {
        return Error::invalid_data("lossless block's rANS stream of " + std::to_string(header.rans_bytes) +
                                   " bytes does not fit its " + std::to_string(payload.size()) + " bytes",
                                   kRansBytesOffset);
    }
    header.geometry.axis = (h[1] & kFlagColumns) ? LineAxis::Columns : LineAxis::Rows;
    header.geometry.x_max = static_cast<std::uint16_t>(get16(h + kXMaxOffset));
    header.geometry.y_max = static_cast<std::uint16_t>(get16(h + kYMaxOffset));
    header.t_first = get32(h + kTFirstOffset);
    return header;
}

}  // namespace

Result<BlockExtent> read_block_extent(std::span<const std::uint8_t> payload, std::uint64_t count) {
    ZEL_ASSIGN_OR_RETURN(const CheckedHeader header, check_header(payload, count));
    return BlockExtent{header.geometry.x_max, header.geometry.y_max, header.t_first};
}

namespace {

// What the header says of the events must hold, so that it can be read in
// their place (read_block_extent).
Status check_extent(const CheckedHeader& header, std::uint64_t count, const std::uint8_t* out,
                    const DecodedBounds& found) {
    const std::uint32_t t_first = count == 0 ? 0 : load_packed_event(out).t;
    if (t_first != header.t_first) {
        return Error::invalid_data("lossless block's first event is at t " + std::to_string(t_first) +
                                   ", not at the header's " + std::to_string(header.t_first), kTFirstOffset);
    }
    if (found.x_max != header.geometry.x_max || found.y_max != header.geometry.y_max) {
        return Error::invalid_data("lossless block's events reach x " + std::to_string(found.x_max) + " and y " +
                                   std::to_string(found.y_max) + ", not the header's " +
                                   std::to_string(header.geometry.x_max) + " and " +
                                   std::to_string(header.geometry.y_max), kXMaxOffset);
    }
    return kOk;
}

}  // namespace

Status decode_block(std::span<const std::uint8_t> payload, std::uint64_t count, std::uint8_t* out,
                    DecodedBounds* bounds) {
    ZEL_ASSIGN_OR_RETURN(const CheckedHeader header, check_header(payload, count));
    DecodedBounds found;
    if (header.version == kFastBlockVersion) {
        ZEL_TRY(decode_planes(payload.subspan(kCheckedFrom), kCheckedFrom, count, header.t_first,
                              payload[1], out, found));
        ZEL_TRY(check_extent(header, count, out, found));
        if (bounds != nullptr) *bounds = found;
        return kOk;
    }
    const std::uint32_t rans_bytes = header.rans_bytes;
    const std::span<const std::uint8_t> stream = payload.subspan(kHeaderBytes, rans_bytes);
    const BlockGeometry geometry = header.geometry;
    EventModel model(geometry, header.t_first, count, history_layout(header.version));
    RansReader reader(stream);
    BitReader raw_bits(payload.subspan(kHeaderBytes + rans_bytes));
    DecodeIo io(reader, raw_bits);
    if (count > 0) found.t_min = ~0u;
    for (std::uint64_t i = 0; i < count; ++i) {
        Event e;
        if (!model.code(io, e) || reader.overrun()) {
            return Error::invalid_data("lossless block is damaged: event " + std::to_string(i) +
                                       " does not decode", kHeaderBytes + reader.position());
        }
        found.x_max = std::max(found.x_max, e.x);
        found.y_max = std::max(found.y_max, e.y);
        found.t_min = std::min(found.t_min, e.t);
        found.t_max = std::max(found.t_max, e.t);
        store_packed(e, out + i * kPackedEventBytes);
    }
    if (!reader.finish()) {
        return Error::invalid_data("lossless block is damaged: its stream does not end after " +
                                   std::to_string(count) + " events", kHeaderBytes + reader.position());
    }
    if (!raw_bits.finish()) {
        return Error::invalid_data("lossless block is damaged: its raw bits do not end after " +
                                   std::to_string(count) + " events", kHeaderBytes + rans_bytes);
    }
    ZEL_TRY(check_extent(header, count, out, found));
    if (bounds != nullptr) *bounds = found;
    return kOk;
}

}  // namespace zel::lossless
