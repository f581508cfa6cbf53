#include "readers/aedat4_reader.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include <lz4frame.h>
#include <zstd.h>

namespace zel::camera {
namespace {

// First output room for a packet: real packets expand a few times.
constexpr std::size_t kFirstOutputBytes = 64 * 1024;
// A source of unknown size (a pipe) without a data table: packets run to
// its end.
constexpr std::uint64_t kUnknownEnd = std::numeric_limits<std::uint64_t>::max();

// Room for more output within kMaxAedat4PacketBytes: 0 once the limit is
// reached. The buffer grows geometrically, so its capacity may pass the
// limit; what the decompressor is given never does.
std::size_t output_room(ByteBuffer& out, std::size_t payload_bytes) {
    if (out.size() >= kMaxAedat4PacketBytes) return 0;
    if (out.spare() == 0) {
        const std::size_t step = std::max({out.capacity(), kFirstOutputBytes, payload_bytes * 4});
        out.reserve_more(std::min<std::size_t>(step, kMaxAedat4PacketBytes - out.size()));
    }
    return std::min<std::size_t>(out.spare(), kMaxAedat4PacketBytes - out.size());
}

// Reads exactly `n` bytes into `out` (replacing its content); false when the
// source ended first, with what there was left in `out`. `n` comes from the
// file, so the buffer grows with the bytes that arrive, a step at a time,
// rather than to what a length claims.
Result<bool> read_exact_bytes(ByteSource& source, std::size_t n, ByteBuffer& out) {
    constexpr std::size_t kStep = std::size_t{1} << 20;
    out.clear();
    while (out.size() < n) {
        if (out.spare() == 0) out.reserve_more(std::min(n - out.size(), std::max(kStep, out.capacity())));
        ZEL_ASSIGN_OR_RETURN(const std::size_t got, source.read(out.tail(), std::min(n - out.size(), out.spare())));
        if (got == 0) return false;
        out.commit(got);
    }
    return true;
}

Error too_large(std::uint64_t offset) {
    return Error::invalid_data("packet decompresses to more than " +
                                           std::to_string(kMaxAedat4PacketBytes) + " bytes", offset);
}

}  // namespace

struct Aedat4Decompressor::Contexts {
    LZ4F_dctx* lz4 = nullptr;
    ZSTD_DCtx* zstd = nullptr;
    ~Contexts() {
        if (lz4 != nullptr) LZ4F_freeDecompressionContext(lz4);
        if (zstd != nullptr) ZSTD_freeDCtx(zstd);
    }
};

Aedat4Decompressor::Aedat4Decompressor() : contexts_(std::make_unique<Contexts>()) {}
Aedat4Decompressor::Aedat4Decompressor(Aedat4Decompressor&&) noexcept = default;
Aedat4Decompressor& Aedat4Decompressor::operator=(Aedat4Decompressor&&) noexcept = default;
Aedat4Decompressor::~Aedat4Decompressor() = default;

Status Aedat4Decompressor::decompress(Aedat4Compression compression,
                                                            std::span<const std::uint8_t> payload,
                                                            std::uint64_t offset, ByteBuffer& out) {
    out.clear();
    if (compression == Aedat4Compression::Lz4 || compression == Aedat4Compression::Lz4High) {
        if (contexts_->lz4 == nullptr && LZ4F_isError(LZ4F_createDecompressionContext(&contexts_->lz4, LZ4F_VERSION))) {
            throw std::bad_alloc();
        }
        LZ4F_resetDecompressionContext(contexts_->lz4);
        std::size_t used = 0;
        for (;;) {
            const std::size_t room = output_room(out, payload.size());
            std::size_t produced = room;
            std::size_t taken = payload.size() - used;
            const std::size_t status =
                LZ4F_decompress(contexts_->lz4, out.tail(), &produced, payload.data() + used, &taken, nullptr);
            if (LZ4F_isError(status)) {
                return Error::invalid_data(std::string("lz4 packet does not decompress: ") + LZ4F_getErrorName(status),
                                           offset);
            }
            used += taken;
            out.commit(produced);
            if (status == 0) return kOk;  // the frame is complete
            if (produced == 0 && room == 0) return too_large(offset);
            if (produced == 0 && used == payload.size()) return Error::invalid_data("LZ4 packet is truncated", offset);
        }
    }
    if (contexts_->zstd == nullptr && (contexts_->zstd = ZSTD_createDCtx()) == nullptr) throw std::bad_alloc();
    ZSTD_DCtx_reset(contexts_->zstd, ZSTD_reset_session_only);
    ZSTD_inBuffer in{payload.data(), payload.size(), 0};
    for (;;) {
        const std::size_t room = output_room(out, payload.size());
        ZSTD_outBuffer window{out.tail(), room, 0};
        const std::size_t status = ZSTD_decompressStream(contexts_->zstd, &window, &in);
        if (ZSTD_isError(status)) {
            return Error::invalid_data(std::string("zstd packet does not decompress: ") + ZSTD_getErrorName(status),
                                       offset);
        }
        out.commit(window.pos);
        if (status == 0) return kOk;  // the frame is complete
        if (window.pos == 0 && room == 0) return too_large(offset);
        if (in.pos == in.size && window.pos < room) return Error::invalid_data("Zstandard packet is truncated", offset);
    }
}

Aedat4Reader::Aedat4Reader(ByteSource source, Aedat4Header header, std::uint64_t position,
                           const DecodeOptions& options)
    : source_(std::move(source)), header_(std::move(header)), decoder_(options), position_(position) {
    for (const Aedat4Stream& s : header_.streams) {
        if (s.type == "EVTS") event_streams_.push_back(s.id);
    }
}

Geometry Aedat4Reader::sensor() const { return event_sensor(header_); }

Result<Aedat4Reader> Aedat4Reader::open(const std::string& path, BadWords bad_words, TimeBase time,
                                        IoHooks& hooks) {
    ZEL_ASSIGN_OR_RETURN(ReadOnlyFile file, ReadOnlyFile::open(path, hooks));
    return from_source(ByteSource(std::move(file)), bad_words, time);
}

Result<Aedat4Reader> Aedat4Reader::from_bytes(std::span<const std::uint8_t> bytes, BadWords bad_words,
                                                    TimeBase time, std::size_t max_read) {
    return from_source(ByteSource(bytes, max_read), bad_words, time);
}

Result<Aedat4Reader> Aedat4Reader::from_source(ByteSource source, BadWords bad_words, TimeBase time) {
    const std::uint64_t file_size = source.size_hint() != 0 ? source.size_hint() : kUnknownEnd;
    ByteBuffer bytes;
    ZEL_TRY(read_exact_bytes(source, kAedat4PreambleBytes, bytes));
    ZEL_ASSIGN_OR_RETURN(const std::uint64_t header_end,
                         aedat4_header_end({bytes.data(), bytes.size()}, file_size));
    ByteBuffer rest;
    ZEL_ASSIGN_OR_RETURN(const bool whole, read_exact_bytes(source, header_end - kAedat4PreambleBytes, rest));
    if (!whole) return Error::invalid_data("file ends inside the IO header", kAedat4Magic.size());
    bytes.reserve_more(rest.size());
    std::copy(rest.data(), rest.data() + rest.size(), bytes.tail());
    bytes.commit(rest.size());
    ZEL_ASSIGN_OR_RETURN(Aedat4Header header,
                         parse_aedat4_header({bytes.data(), bytes.size()}, file_size));
    DecodeOptions options;
    options.bad_words = bad_words;
    options.time = time;
    // Only a stated size bounds coordinates.
    const Geometry sensor = event_sensor(header);
    options.x_limit = sensor.width != 0 ? sensor.width : kAedat4SideLimit;
    options.y_limit = sensor.width != 0 ? sensor.height : kAedat4SideLimit;
    return Aedat4Reader(std::move(source), std::move(header), header_end, options);
}

Status Aedat4Reader::fault(Error error) {
    if (auto kept = decoder_.reject(std::move(error))) return *std::move(kept);
    return kOk;
}

Result<bool> Aedat4Reader::next_packet() {
    while (!done_ && position_ < header_.packets_end) {
        const std::uint64_t offset = position_;
        ZEL_ASSIGN_OR_RETURN(const bool whole_header, read_exact_bytes(source_, kAedat4PacketHeaderBytes, raw_));
        if (!whole_header) {
            done_ = true;
            if (raw_.size() == 0 && header_.packets_end == kUnknownEnd) return false;
            // A crash cuts a recording anywhere: what came before is whole.
            ZEL_TRY(fault(Error::invalid_data(raw_.size() == 0 ? "file ends at byte " + std::to_string(offset) +
                                                                     ", before the end of its packets at byte " +
                                                                     std::to_string(header_.packets_end) +
                                                                     " (truncated file?)"
                                                               : "truncated packet header",
                                              offset)));
            return false;
        }
        Result<Aedat4Packet> packet = parse_aedat4_packet({raw_.data(), raw_.size()}, offset, header_.packets_end);
        if (!packet) {
            // Nothing after a packet header that makes no sense can be found again.
            done_ = true;
            ZEL_TRY(fault(std::move(packet).take_error()));
            return false;
        }
        position_ += kAedat4PacketHeaderBytes + packet.value().size;
        ZEL_ASSIGN_OR_RETURN(const bool whole_payload, read_exact_bytes(source_, packet.value().size, raw_));
        if (!whole_payload) {
            done_ = true;
            ZEL_TRY(fault(Error::invalid_data(
                "packet of " + std::to_string(packet.value().size) + " bytes runs past the end of the file (truncated file?)",
                offset)));
            return false;
        }
        if (std::find(event_streams_.begin(), event_streams_.end(), packet.value().stream_id) ==
            event_streams_.end()) {
            continue;
        }
        compressed_ = header_.compression != Aedat4Compression::None;
        if (compressed_) {
            Status expanded =
                decompressor_.decompress(header_.compression, {raw_.data(), raw_.size()}, offset, packet_);
            if (!expanded) {
                ZEL_TRY(fault(std::move(expanded).take_error()));
                continue;
            }
        }
        in_packet_ = true;
        packet_offset_ = offset;
        next_event_ = 0;
        return true;
    }
    return false;
}

Result<std::size_t> Aedat4Reader::read_events(ByteBuffer& out, std::size_t max_events) {
    std::size_t appended = 0;
    while (appended < max_events && !decoder_.batch_full()) {
        if (!in_packet_) {
            ZEL_ASSIGN_OR_RETURN(const bool more, next_packet());
            if (!more) break;
        }
        const ByteBuffer& bytes = compressed_ ? packet_ : raw_;
        ZEL_ASSIGN_OR_RETURN(const std::size_t n, decoder_.decode_packet({bytes.data(), bytes.size()}, packet_offset_,
                                                                         out, next_event_, max_events - appended));
        appended += n;
        next_event_ = decoder_.resume_event();
        if (next_event_ >= decoder_.packet_events()) in_packet_ = false;
    }
    return appended;
}

Result<std::size_t> Aedat4Reader::read(ByteBuffer& out, std::size_t max_events) {
    Result<std::size_t> n = read_events(out, max_events);
    if (!n) {
        done_ = true;
        in_packet_ = false;
    }
    return n;
}

}  // namespace zel::camera
