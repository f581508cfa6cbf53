// load_events' ".bin" rule from arbitrary bytes: the size picks the format.
#include "fuzz_support.hpp"
#include "readers/dataset.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::LoadResult<zel::EventList> events = zel::decode_bin(bytes);
    const bool compact = size % 9 == 0 && size % 5 != 0;
    const zel::LoadResult<zel::EventList> expected =
        compact ? zel::decode_compact(bytes) : zel::decode_nmnist(bytes);
    FUZZ_CHECK(events.ok() == expected.ok());
    if (events) FUZZ_CHECK(events.value() == expected.value());
    else FUZZ_CHECK(events.error().text() == expected.error().text());
    return 0;
}
