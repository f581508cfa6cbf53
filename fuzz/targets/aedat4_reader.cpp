// An AEDAT 4 file from arbitrary bytes (compressed packets included), read
// by Aedat4Reader as zelkit reads it, in strict and in skip mode:
// - every fault names an offset within the input;
// - skip mode fails only where the header is unreadable (or on a time that
//   does not fit 32 bits), never on a packet;
// - a file strict mode reads whole, skip mode reads the same, skipping nothing;
// - reading in fuzz-chosen chunks, from reads of fuzz-chosen sizes, gives
//   the events and the outcome of reading in one piece.
#include <cstring>
#include <optional>

#include "fuzz_support.hpp"
#include "packed_check.hpp"
#include "readers/aedat4_reader.hpp"

namespace {

namespace cam = zel::camera;

struct Walk {
    std::optional<zel::Error> error;
    bool opened = false;
    zel::ByteBuffer events;
    std::uint64_t bad_words = 0;
};

Walk walk(std::span<const std::uint8_t> bytes, cam::BadWords mode, std::size_t max_read, std::uint64_t seed) {
    Walk w;
    auto opened = cam::Aedat4Reader::from_bytes(bytes, mode, {cam::TimeBase::Mode::FirstEvent, 0}, max_read);
    if (!opened) {
        w.error = opened.error();
        return w;
    }
    w.opened = true;
    cam::Aedat4Reader& reader = opened.value();
    for (int guard = 0; guard < 1 << 20; ++guard) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        const std::size_t before = w.events.size();
        auto n = reader.read(w.events, seed == 0 ? bytes.size() + 1 : seed % 9 + 1);
        if (!n) {
            w.error = n.error();
            // A spent reader stays spent.
            FUZZ_CHECK(reader.read(w.events, 1).value() == 0);
            break;
        }
        FUZZ_CHECK(w.events.size() - before == n.value() * zel::kPackedEventBytes);
        if (n.value() == 0) break;
    }
    w.bad_words = reader.bad_words();
    FUZZ_CHECK(reader.events() * zel::kPackedEventBytes == w.events.size());
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const std::size_t max_read = in.take(1) % 64 + 1;
    const std::uint64_t seed = in.take(4) | 1;
    const std::span<const std::uint8_t> bytes = in.rest();

    const Walk strict = walk(bytes, cam::BadWords::Strict, bytes.size() + 1, 0);
    const Walk skip = walk(bytes, cam::BadWords::Skip, bytes.size() + 1, 0);
    for (const Walk* w : {&strict, &skip}) {
        if (w->error && w->error->kind == zel::ErrorKind::InvalidData) {
            FUZZ_CHECK(w->error->offset && *w->error->offset <= bytes.size());
            FUZZ_CHECK(!w->error->message.empty());
        }
    }
    if (skip.opened && skip.error) FUZZ_CHECK(skip.error->kind == zel::ErrorKind::Timestamp);
    if (strict.opened && !strict.error) {
        FUZZ_CHECK(strict.bad_words == 0);
        FUZZ_CHECK(!skip.error && skip.bad_words == 0);
        FUZZ_CHECK(zel_fuzz::same_bytes(skip.events, strict.events));
    }

    for (const cam::BadWords mode : {cam::BadWords::Strict, cam::BadWords::Skip}) {
        const Walk& whole = mode == cam::BadWords::Strict ? strict : skip;
        const Walk pieces = walk(bytes, mode, max_read, seed);
        FUZZ_CHECK(pieces.error.has_value() == whole.error.has_value());
        if (whole.error) {
            FUZZ_CHECK(pieces.error->kind == whole.error->kind);
            FUZZ_CHECK(pieces.error->offset == whole.error->offset);
            FUZZ_CHECK(pieces.error->message == whole.error->message);
            // The events before the error are the same whatever the read sizes.
            FUZZ_CHECK(zel_fuzz::same_bytes(pieces.events, whole.events));
        } else {
            FUZZ_CHECK(zel_fuzz::same_bytes(pieces.events, whole.events));
            FUZZ_CHECK(pieces.bad_words == whole.bad_words);
        }
    }
    return 0;
}
