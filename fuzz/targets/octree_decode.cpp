// Octree decoding of arbitrary bits with arbitrary dimensions and depth: the
// tree decoder and the flat decoder agree, and re-encoding the tree gives the
// bits that were consumed.
#include "codec/decoder.hpp"
#include "codec/encoder.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    // Dimensions up to 2^12 each, powers of two or not (both decoder paths).
    const std::uint64_t dim_x = in.take(2) % 4096 + 1;
    const std::uint64_t dim_y = in.take(2) % 4096 + 1;
    const std::uint64_t dim_t = in.take(2) % 4096 + 1;
    const auto max_depth = static_cast<std::uint8_t>(in.take(1));
    const std::span<const std::uint8_t> bits = in.rest();
    // n_bits may claim more than the data holds; missing bits are 0.
    const std::uint64_t n_bits = bits.size() * 8 + (max_depth & 7);

    const zel::OctreeNode tree = zel::decode_octree(bits, n_bits, dim_x, dim_y, dim_t, max_depth);
    std::vector<zel::NodeKind> flat;
    zel::decode_octree_flat(bits, n_bits, dim_x, dim_y, dim_t, max_depth, flat);
    FUZZ_CHECK(flat == zel::breadth_first_kinds(tree));

    const zel::OctreeBitstream again = zel::encode_octree(tree);
    // Nodes past the bits decode as Empty and re-encode as 0.
    for (std::uint64_t i = 0; i < again.n_bits; ++i) {
        const unsigned mask = 0x80u >> (i % 8);
        const bool original = i < n_bits && i / 8 < bits.size() && (bits[i / 8] & mask) != 0;
        FUZZ_CHECK(((again.packed[i / 8] & mask) != 0) == original);
    }
    return 0;
}
