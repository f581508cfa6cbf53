// N-MNIST records from arbitrary bytes: whole records or the size error.
#include "fuzz_support.hpp"
#include "readers/packed_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::Result<zel::ByteBuffer> records = zel::decode_packed(bytes, zel::RecordFormat::Nmnist);
    FUZZ_CHECK(records.ok() == (size % 5 == 0));
    if (records) {
        const zel::PackedEvents events(records.value().data(), records.value().size() / 9);
        FUZZ_CHECK(events.size() == size / 5);
        for (std::size_t i = 0; i < events.size(); ++i) FUZZ_CHECK(events[i].p <= 1 && events[i].t < (1u << 23));
    }
    return 0;
}
