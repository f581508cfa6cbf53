// zelkit's chunked reader with reads of fuzz-chosen sizes (as a pipe hands
// them over) and requests of fuzz-chosen event counts gives exactly the
// whole-buffer decoding: the same records, or the same error at the same
// offset, after the same records.
#include <algorithm>
#include <cstring>
#include <optional>

#include "fuzz_support.hpp"
#include "packed_check.hpp"
#include "readers/packed_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const auto format = static_cast<zel::RecordFormat>(in.take(1) % 4);
    const std::size_t max_read = in.take(1) % 64 + 1;
    std::uint64_t seed = in.take(4) | 1;
    const std::span<const std::uint8_t> bytes = in.rest();

    // Whole buffer, one read: the error offset comes from a one-shot stream.
    zel::RecordStream whole = zel::RecordStream::from_bytes(bytes, format, bytes.size());
    zel::ByteBuffer expected;
    std::optional<zel::Error> expected_error;
    for (;;) {
        auto n = whole.read(expected, bytes.size() + 1);
        if (!n) {
            expected_error = n.error();
            break;
        }
        if (n.value() == 0) break;
    }
    const auto loaded = zel::decode_packed(bytes, format);
    FUZZ_CHECK(loaded.ok() == !expected_error);
    if (loaded) FUZZ_CHECK(zel_fuzz::same_bytes(loaded.value(), expected));
    if (expected_error) {
        FUZZ_CHECK(loaded.error().text() == expected_error->text());
        FUZZ_CHECK(expected_error->offset && *expected_error->offset <= bytes.size());
    }

    zel::RecordStream chunked = zel::RecordStream::from_bytes(bytes, format, max_read);
    zel::ByteBuffer got;
    for (;;) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        auto n = chunked.read(got, seed % 7 + 1);
        if (!n) {
            FUZZ_CHECK(expected_error);
            FUZZ_CHECK(n.error().text() == expected_error->text());
            FUZZ_CHECK(n.error().offset == expected_error->offset);
            // What came before the error is the start of what the bytes
            // before the error offset decode to (a compact file's last
            // request may hold back whole records with the partial one).
            const auto before = zel::decode_packed(bytes.first(*n.error().offset), format);
            FUZZ_CHECK(before.ok());
            FUZZ_CHECK(got.size() <= before.value().size());
            FUZZ_CHECK(got.size() == 0 ||
                       std::memcmp(got.data(), before.value().data(), got.size()) == 0);
            // A spent stream stays spent.
            auto again = chunked.read(got, 1);
            FUZZ_CHECK(again.ok() && again.value() == 0);
            return 0;
        }
        if (n.value() == 0) break;
    }
    FUZZ_CHECK(!expected_error);
    FUZZ_CHECK(zel_fuzz::same_bytes(got, expected));
    return 0;
}
