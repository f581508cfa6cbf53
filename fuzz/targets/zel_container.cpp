// The .zel container reader on arbitrary bytes: it decodes, or names a
// fault at an offset within the file; never a crash or a read past the end.
#include "codec/voxel.hpp"
#include "container_walk.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto walked = zel_fuzz::walk_container({data, size}, /*want_boxes=*/true);
    if (!walked) {
        FUZZ_CHECK(walked.error().offset <= size);
        FUZZ_CHECK(!walked.error().message.empty());
        return 0;
    }
    const auto& header = walked.value().header;
    for (const auto& frame : walked.value().frames) {
        for (const zel::LeafBox& box : frame.boxes.list()) {
            FUZZ_CHECK(box.x + box.dx <= zel::next_pow2(header.width));
            FUZZ_CHECK(box.y + box.dy <= zel::next_pow2(header.height));
            FUZZ_CHECK(box.bin + box.dbin <= zel::next_pow2(header.time_bins));
        }
    }
    return 0;
}
