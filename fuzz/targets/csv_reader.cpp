// CSV/text from arbitrary bytes, through the same line reader as files.
#include <algorithm>

#include "fuzz_support.hpp"
#include "readers/packed_loader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const zel::Result<zel::ByteBuffer> records = zel::decode_packed(bytes, zel::RecordFormat::Csv);
    if (records) {
        // Every event needs at least "0,0,0,0" (7 bytes).
        FUZZ_CHECK(records.value().size() / 9 * 7 <= size);
    } else {
        FUZZ_CHECK(records.error().kind == zel::ErrorKind::InvalidData);
        FUZZ_CHECK(!records.error().message.empty());
    }
    return 0;
}
