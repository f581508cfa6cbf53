// Lossless block decoding of arbitrary payloads: never reads or writes out
// of bounds, whatever it accepts has the extent its header states and the
// bounds the decoder reports, and it re-encodes, as a modelled and as a
// fast block, to payloads that decode to the same events. The first two
// input bytes give the event count; the third says whether to fix the
// payload's checksum first, so most inputs reach the model's decoder
// instead of stopping at the checksum.
#include <algorithm>
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
    zel::lossless::DecodedBounds bounds;
    if (!zel::lossless::decode_block(payload, count, out.data(), &bounds).ok()) return 0;
    const auto extent = zel::lossless::read_block_extent(payload, count);
    FUZZ_CHECK(extent.ok());
    std::uint16_t x_max = 0, y_max = 0;
    std::uint32_t t_min = 0, t_max = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const zel::Event e = zel::load_packed_event(out.data() + i * zel::kPackedEventBytes);
        x_max = std::max(x_max, e.x);
        y_max = std::max(y_max, e.y);
        t_min = i == 0 ? e.t : std::min(t_min, e.t);
        t_max = std::max(t_max, e.t);
    }
    FUZZ_CHECK(extent.value().x_max == x_max && extent.value().y_max == y_max);
    FUZZ_CHECK(bounds.x_max == x_max && bounds.y_max == y_max && bounds.t_min == t_min && bounds.t_max == t_max);
    FUZZ_CHECK(extent.value().t_first == (count ? zel::load_packed_event(out.data()).t : 0));
    for (const std::uint8_t version : {zel::lossless::kBlockVersion, zel::lossless::kFastBlockVersion}) {
        zel::ByteBuffer again;
        FUZZ_CHECK(zel::lossless::encode_block(zel::PackedEvents(out.data(), count), again, version).ok());
        std::vector<std::uint8_t> back(out.size());
        FUZZ_CHECK(zel::lossless::decode_block({again.data(), again.size()}, count, back.data()).ok());
        FUZZ_CHECK(back == out);
    }
    return 0;
}
