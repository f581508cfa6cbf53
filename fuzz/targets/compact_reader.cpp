// Compact .evb records from arbitrary bytes: whole records or the size error.
#include "fuzz_support.hpp"
#include "readers/dataset.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::LoadResult<zel::EventList> events = zel::decode_compact(bytes);
    FUZZ_CHECK(events.ok() == (size % 9 == 0));
    if (events) FUZZ_CHECK(events.value().size() == size / 9);
    return 0;
}
