// load_events' ".bin" rule from arbitrary bytes: the size picks the format.
#include "fuzz_support.hpp"
#include "packed_check.hpp"
#include "readers/packed_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::Result<zel::ByteBuffer> events = zel::decode_packed_bin(bytes);
    const bool compact = size % 9 == 0 && size % 5 != 0;
    const zel::Result<zel::ByteBuffer> expected =
        zel::decode_packed(bytes, compact ? zel::RecordFormat::Compact : zel::RecordFormat::Nmnist);
    FUZZ_CHECK(events.ok() == expected.ok());
    if (events) FUZZ_CHECK(zel_fuzz::same_bytes(events.value(), expected.value()));
    else FUZZ_CHECK(events.error().text() == expected.error().text());
    return 0;
}
