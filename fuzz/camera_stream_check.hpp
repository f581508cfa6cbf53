#pragma once

// One property set for the Prophesee word decoders (EVT 2.0, EVT 3.0, DAT),
// after the file's '%' header when the input has one:
// - strict mode decodes, or stops at a word that starts inside the input;
// - skip mode never fails on word content (only a time that does not fit,
//   or a partial word at the very end);
// - decoding in fuzz-chosen pieces into fuzz-chosen output room gives the
//   whole-buffer result: the same records and counts, or the same error.

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.hpp"
#include "readers/prophesee_header.hpp"
#include "readers/stream_decoder.hpp"

namespace zel_fuzz {

template <class Decoder>
void check_camera_stream(const std::uint8_t* data, std::size_t size, std::size_t word_bytes,
                         bool dat) {
    namespace cam = zel::camera;
    Input in(data, size);
    const std::uint64_t mode = in.take(1);
    cam::DecodeOptions options;
    options.bad_words = (mode & 1) ? cam::BadWords::Skip : cam::BadWords::Strict;
    static constexpr cam::TimeBase::Mode kModes[] = {
        cam::TimeBase::Mode::Absolute, cam::TimeBase::Mode::Offset, cam::TimeBase::Mode::FirstEvent};
    options.time.mode = kModes[(mode >> 1) % 3];
    options.time.offset = in.take(2) << 16;
    options.x_limit = static_cast<std::uint32_t>(in.take(2) % cam::kMaxPropheseeSide + 1);
    options.y_limit = static_cast<std::uint32_t>(in.take(2) % cam::kMaxPropheseeSide + 1);
    std::uint64_t seed = in.take(4) | 1;
    const std::span<const std::uint8_t> body = in.rest();

    std::size_t start = 0;
    if (!body.empty() && body[0] == '%') {
        auto header = dat ? cam::parse_dat_header(body) : cam::parse_raw_header(body);
        if (!header) {
            FUZZ_CHECK(header.error().offset && *header.error().offset <= body.size());
            return;
        }
        start = header.value().data_offset;
        FUZZ_CHECK(start <= body.size());
    }
    const std::span<const std::uint8_t> words = body.subspan(start);

    Decoder whole_decoder(start, options);
    const zel::Result<zel::ByteBuffer> whole = cam::decode_whole(whole_decoder, words);
    if (!whole) {
        const zel::Error& e = whole.error();
        FUZZ_CHECK(e.kind == zel::ErrorKind::InvalidData || e.kind == zel::ErrorKind::Timestamp);
        // Format faults are placed; a time that does not fit names its event.
        FUZZ_CHECK(e.offset.has_value() == (e.kind == zel::ErrorKind::InvalidData));
        if (e.kind == zel::ErrorKind::InvalidData) {
            FUZZ_CHECK(*e.offset >= start && *e.offset < body.size());
            if (options.bad_words == cam::BadWords::Skip) {
                // Only the trailing partial word can be a fault here.
                FUZZ_CHECK(words.size() % word_bytes != 0);
                FUZZ_CHECK(*e.offset == start + words.size() / word_bytes * word_bytes);
            }
        }
    } else {
        FUZZ_CHECK(whole.value().size() % 9 == 0);
        FUZZ_CHECK(whole_decoder.events() == whole.value().size() / 9);
    }

    Decoder chunked(start, options);
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> room(8 * 9);
    std::size_t pos = 0;
    std::optional<zel::Error> error;
    while (!error && (pos < words.size() || chunked.has_pending_output())) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        const std::size_t piece = std::min<std::size_t>(seed % 48 + 1, words.size() - pos);
        const std::size_t records = (seed >> 8) % 8 + 1;
        auto step = chunked.decode(words.subspan(pos, piece),
                                   std::span<std::uint8_t>(room).first(records * 9));
        if (!step) {
            error = step.error();
            break;
        }
        FUZZ_CHECK(step.value().consumed <= piece && step.value().written <= records);
        // Room was given, so each call moves on.
        FUZZ_CHECK(step.value().consumed > 0 || step.value().written > 0);
        got.insert(got.end(), room.begin(),
                   room.begin() + static_cast<std::ptrdiff_t>(step.value().written * 9));
        pos += step.value().consumed;
    }
    if (!error) {
        if (auto end = chunked.finish()) error = *end;
    }
    if (error && !whole.ok() && error->offset != whole.error().offset) {
        std::fprintf(stderr, "pieces: %s at %llu; whole: %s at %llu\n", error->message.c_str(),
                     static_cast<unsigned long long>(error->offset.value_or(0)), whole.error().message.c_str(),
                     static_cast<unsigned long long>(whole.error().offset.value_or(0)));
    }
    FUZZ_CHECK(whole.ok() == !error);
    if (error) {
        FUZZ_CHECK(error->kind == whole.error().kind);
        FUZZ_CHECK(error->offset == whole.error().offset);
        FUZZ_CHECK(error->message == whole.error().message);
        return;
    }
    FUZZ_CHECK(got.size() == whole.value().size());
    FUZZ_CHECK(got.empty() || std::memcmp(got.data(), whole.value().data(), got.size()) == 0);
    FUZZ_CHECK(chunked.bad_words() == whole_decoder.bad_words());
    FUZZ_CHECK(chunked.events() == whole_decoder.events());
}

}  // namespace zel_fuzz
