// Lossless block decoding of arbitrary payloads: never reads or writes out
// of bounds, and whatever it accepts re-encodes to a payload that decodes
// to the same events. The first two input bytes give the event count; the
// third says whether to fix the payload's checksum first, so most inputs
// reach the model's decoder instead of stopping at the checksum.
#include <vector>

#include "fuzz_support.hpp"
#include "lossless/block_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const std::uint64_t count = in.take(2);
    const bool seal = (in.take(1) & 1) == 0;
    std::vector<std::uint8_t> payload(in.rest().begin(), in.rest().end());
    if (seal) zel::lossless::seal_block(payload, count);
    std::vector<std::uint8_t> out(count * zel::kPackedEventBytes);
    if (!zel::lossless::decode_block(payload, count, out.data()).ok()) return 0;
    zel::ByteBuffer again;
    FUZZ_CHECK(zel::lossless::encode_block(zel::PackedEvents(out.data(), count), again).ok());
    std::vector<std::uint8_t> back(out.size());
    FUZZ_CHECK(zel::lossless::decode_block({again.data(), again.size()}, count, back.data()).ok());
    FUZZ_CHECK(back == out);
    return 0;
}
