// Run-length delta decoding of arbitrary bytes: in-place application equals
// the buffer-to-buffer form, and encoding what was decoded decodes the same.
#include <algorithm>

#include "codec/delta.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const std::size_t previous_size = in.take(1) * 4;
    const std::span<const std::uint8_t> rest = in.rest();
    const std::span<const std::uint8_t> previous = rest.first(std::min(previous_size, rest.size()));
    const std::span<const std::uint8_t> rle = rest.subspan(previous.size());

    const std::vector<std::uint8_t> expanded = zel::rle_decode(rle);
    FUZZ_CHECK(expanded.size() <= rle.size() / 2 * 255);
    FUZZ_CHECK(zel::rle_decode(zel::rle_encode(expanded)) == expanded);

    std::vector<std::uint8_t> in_place(previous.begin(), previous.end());
    zel::apply_rle_xor(rle, in_place);
    FUZZ_CHECK(in_place == zel::xor_delta(previous, expanded));

    std::vector<std::uint8_t> appended;
    zel::append_rle_xor(previous, expanded, appended);
    FUZZ_CHECK(appended == zel::rle_encode(zel::xor_delta(previous, expanded)));
    return 0;
}
