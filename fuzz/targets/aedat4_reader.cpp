// An AEDAT 4 file from arbitrary bytes, walked as zelkit's reader walks it
// (preamble, IOHeader, packet headers, uncompressed polarity packets), in
// strict and in skip mode: every fault names an offset inside the input and
// lies within the structure being read; skip mode fails on no packet's
// contents; both modes agree on the events of a file strict mode accepts.
#include <optional>
#include <vector>

#include "fuzz_support.hpp"
#include "readers/aedat4_container.hpp"
#include "readers/aedat4_events.hpp"

namespace {

namespace cam = zel::camera;

struct Walk {
    std::optional<cam::DecodeError> error;
    zel::ByteBuffer events;
    std::uint64_t bad_words = 0;
};

Walk walk(std::span<const std::uint8_t> bytes, cam::BadWords mode) {
    Walk w;
    if (bytes.size() < cam::kAedat4PreambleBytes) return w;
    auto end = cam::aedat4_header_end(bytes.first(cam::kAedat4PreambleBytes), bytes.size());
    if (!end) {
        w.error = end.error();
        return w;
    }
    FUZZ_CHECK(end.value() <= bytes.size());
    auto header = cam::parse_aedat4_header(bytes.first(end.value()), bytes.size());
    if (!header) {
        w.error = header.error();
        return w;
    }
    const cam::Aedat4Header& h = header.value();
    FUZZ_CHECK(h.packets_begin <= h.packets_end && h.packets_end <= bytes.size());
    cam::DecodeOptions options;
    options.bad_words = mode;
    options.time.mode = cam::TimeBase::Mode::FirstEvent;
    cam::Aedat4EventDecoder decoder(options);
    std::uint64_t offset = h.packets_begin;
    while (offset < h.packets_end) {
        if (h.packets_end - offset < cam::kAedat4PacketHeaderBytes) {
            w.error = decoder.reject(cam::DecodeError::format(offset, "truncated packet header"));
            break;
        }
        auto packet = cam::parse_aedat4_packet(bytes.subspan(offset, cam::kAedat4PacketHeaderBytes),
                                               offset, h.packets_end);
        if (!packet) {
            w.error = decoder.reject(packet.error());
            break;
        }
        const cam::Aedat4Packet& p = packet.value();
        FUZZ_CHECK(p.offset == offset);
        const std::uint64_t payload_at = offset + cam::kAedat4PacketHeaderBytes;
        FUZZ_CHECK(p.size <= h.packets_end - payload_at);
        bool polarity = false;
        for (const cam::Aedat4Stream& s : h.streams) polarity |= s.id == p.stream_id && s.type == "EVTS";
        if (polarity && h.compression == cam::Aedat4Compression::None) {
            auto n = decoder.decode_packet(bytes.subspan(payload_at, p.size), offset, w.events);
            if (!n) {
                w.error = n.error();
                break;
            }
        }
        offset = payload_at + p.size;
    }
    w.bad_words = decoder.bad_words();
    FUZZ_CHECK(decoder.events() * 9 == w.events.size());
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const Walk strict = walk(bytes, cam::BadWords::Strict);
    const Walk skip = walk(bytes, cam::BadWords::Skip);
    for (const Walk* w : {&strict, &skip}) {
        if (w->error && w->error->kind == cam::DecodeError::Kind::Format) {
            if (w->error->offset >= size) {
                std::fprintf(stderr, "%s at %llu of %zu\n", w->error->message.c_str(),
                             static_cast<unsigned long long>(w->error->offset), size);
            }
            FUZZ_CHECK(w->error->offset < size);
            FUZZ_CHECK(!w->error->message.empty());
        }
    }
    // In skip mode only the file's own structure, which strict mode reads
    // the same way, can be fatal.
    if (skip.error && skip.error->kind == cam::DecodeError::Kind::Format) {
        FUZZ_CHECK(strict.error && strict.error->offset == skip.error->offset);
    }
    if (!strict.error) {
        FUZZ_CHECK(strict.bad_words == 0);
        FUZZ_CHECK(!skip.error && skip.bad_words == 0);
        FUZZ_CHECK(skip.events.size() == strict.events.size());
    }
    return 0;
}
