// Compact .evb records from arbitrary bytes: whole records or the size error.
#include <cstring>

#include "fuzz_support.hpp"
#include "readers/packed_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::Result<zel::ByteBuffer> records = zel::decode_packed(bytes, zel::RecordFormat::Compact);
    FUZZ_CHECK(records.ok() == (size % 9 == 0));
    // Compact records are the output as they stand.
    if (records) FUZZ_CHECK(records.value().size() == size && (size == 0 || std::memcmp(records.value().data(), data, size) == 0));
    return 0;
}
