// Context-coded payloads of arbitrary bytes for arbitrary grids and frame
// figures: decoding never crashes, the box and bitstream decoders accept
// and refuse the same inputs, a refusal places its fault inside the payload,
// and an accepted payload's bitstream reads back to the same boxes.
#include "codec/box_decoder.hpp"
#include "codec/context_codec.hpp"
#include "codec/voxel.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    // Grids up to 2^12 per axis, so a forged tree stays small enough to walk.
    zel::GridParams params;
    params.width = static_cast<std::uint16_t>(in.take(2) % 4096);
    params.height = static_cast<std::uint16_t>(in.take(2) % 4096);
    params.time_bins = static_cast<std::uint16_t>(in.take(2) % 4096);
    params.max_depth = static_cast<std::uint8_t>(in.take(1));
    const std::uint64_t n_events = in.take(3);
    const std::uint64_t n_bits = in.take(4);
    const std::span<const std::uint8_t> payload = in.rest();

    auto boxes = zel::context::decode_boxes(payload, params, n_bits, n_events);
    auto bits = zel::context::decode_bitstream(payload, params, n_bits, n_events);
    FUZZ_CHECK(static_cast<bool>(boxes) == static_cast<bool>(bits));
    if (!boxes) {
        FUZZ_CHECK(boxes.error().offset.has_value() && *boxes.error().offset <= payload.size());
        return 0;
    }
    FUZZ_CHECK(bits.value().n_bits == n_bits);
    FUZZ_CHECK(boxes.value().size() <= n_events);
    const zel::LeafDecode again = zel::decode_leaf_boxes(
        bits.value().packed, n_bits, zel::next_pow2(params.width), zel::next_pow2(params.height),
        zel::next_pow2(params.time_bins), params.max_depth, n_events);
    FUZZ_CHECK(!again.too_many && again.bits_used == n_bits);
    FUZZ_CHECK(again.boxes.origins == boxes.value().origins);
    return 0;
}
