// AEDAT2 from arbitrary bytes: header lines, then 8-byte records or an error.
#include "fuzz_support.hpp"
#include "readers/packed_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::Result<zel::ByteBuffer> records = zel::decode_packed(bytes, zel::RecordFormat::Aedat2);
    if (records) {
        const zel::PackedEvents events(records.value().data(), records.value().size() / 9);
        FUZZ_CHECK(events.size() * 8 <= size);
        for (std::size_t i = 0; i < events.size(); ++i) FUZZ_CHECK(events[i].x < 128 && events[i].y < 128 && events[i].p <= 1);
    } else {
        FUZZ_CHECK(records.error().kind == zel::ErrorKind::InvalidData);
    }
    return 0;
}
