// CSV/text from arbitrary bytes, through the same line reader as files.
#include <algorithm>

#include "fuzz_support.hpp"
#include "readers/dataset.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::LoadResult<zel::EventList> events = zel::decode_csv(bytes);
    if (events) {
        // Every event needs at least "0,0,0,0" (7 bytes).
        FUZZ_CHECK(events.value().size() * 7 <= size);
    } else {
        FUZZ_CHECK(events.error().kind == zel::LoadError::Kind::InvalidData);
        FUZZ_CHECK(!events.error().message.empty());
    }
    return 0;
}
