// rANS decoding of arbitrary streams: never reads past the stream, always
// returns ceil(n_bits / 8) bytes, and what it returns codes and decodes back.
#include "codec/rans.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    const std::uint64_t n_bits = in.take(2);
    const std::span<const std::uint8_t> stream = in.rest();
    const std::vector<std::uint8_t> decoded = zel::rans_decode(stream, n_bits);
    FUZZ_CHECK(decoded.size() == (n_bits + 7) / 8);
    const zel::RansStream again = zel::rans_encode(decoded, n_bits);
    const std::vector<std::uint8_t> back = zel::rans_decode(again, n_bits);
    // Only the first n_bits bits carry data; the rest of the last byte may
    // hold whatever the malformed stream decoded to.
    for (std::uint64_t i = 0; i < n_bits; ++i) {
        const unsigned mask = 0x80u >> (i % 8);
        FUZZ_CHECK((back[i / 8] & mask) == (decoded[i / 8] & mask));
    }
    return 0;
}
