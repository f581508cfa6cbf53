// AEDAT2 from arbitrary bytes: header lines, then 8-byte records or an error.
#include "fuzz_support.hpp"
#include "readers/dataset.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::LoadResult<zel::EventList> events = zel::decode_aedat2(bytes);
    if (events) {
        FUZZ_CHECK(events.value().size() * 8 <= size);
        for (const zel::Event& e : events.value()) FUZZ_CHECK(e.x < 128 && e.y < 128 && e.p <= 1);
    } else {
        FUZZ_CHECK(events.error().kind == zel::LoadError::Kind::InvalidData);
    }
    return 0;
}
