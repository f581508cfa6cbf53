// zelkit's packed-record loader against zel's EventList readers on the same
// bytes: the same events in the same order, or the same error text.
#include "fuzz_support.hpp"
#include "packed_check.hpp"
#include "readers/dataset.hpp"
#include "readers/packed_loader.hpp"

namespace {

template <class Decoded>
void check_same(const zel::LoadResult<zel::ByteBuffer>& packed, const Decoded& events) {
    FUZZ_CHECK(packed.ok() == events.ok());
    if (packed) {
        FUZZ_CHECK(zel_fuzz::same_events(packed.value(), events.value()));
    } else {
        FUZZ_CHECK(packed.error().text() == events.error().text());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    check_same(zel::decode_packed(bytes, zel::RecordFormat::Compact), zel::decode_compact(bytes));
    check_same(zel::decode_packed(bytes, zel::RecordFormat::Nmnist), zel::decode_nmnist(bytes));
    check_same(zel::decode_packed(bytes, zel::RecordFormat::Aedat2), zel::decode_aedat2(bytes));
    check_same(zel::decode_packed(bytes, zel::RecordFormat::Csv), zel::decode_csv(bytes));
    check_same(zel::decode_packed_bin(bytes), zel::decode_bin(bytes));
    return 0;
}
