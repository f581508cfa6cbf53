// The .zel container reader on arbitrary bytes: it decodes, or names a
// fault at an offset within the file; never a crash or a read past the end.
// Frames read back in any order are the frames read in order: the delta
// chain a reader keeps between calls changes nothing, faults included.
#include "codec/voxel.hpp"
#include "container_walk.hpp"
#include "fuzz_support.hpp"

namespace {

namespace ct = zel::container;

void check_fault(const zel::Error& error, std::size_t size) {
    FUZZ_CHECK(error.kind == zel::ErrorKind::InvalidData);
    FUZZ_CHECK(error.offset.has_value() && *error.offset <= size);
    FUZZ_CHECK(!error.message.empty());
}

bool same_boxes(const zel::LeafBoxes& a, const zel::LeafBoxes& b) {
    return a.origins == b.origins && a.dx == b.dx && a.dy == b.dy && a.dbin == b.dbin;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    auto opened = ct::ContainerReader::open(ct::memory_source(bytes));
    if (!opened) {
        check_fault(opened.error(), size);
        return 0;
    }
    ct::ContainerReader& reader = opened.value();
    const zel::GridParams& grid = reader.header().grid;
    std::vector<zel::Result<ct::DecodedFrame>> in_order;
    for (std::uint64_t k = 0; k < reader.frames().size(); ++k) {
        in_order.push_back(reader.decode(k, /*want_boxes=*/true));
        if (!in_order.back()) {
            check_fault(in_order.back().error(), size);
            continue;
        }
        const ct::DecodedFrame& frame = in_order.back().value();
        FUZZ_CHECK(frame.boxes.size() <= frame.header.n_events);
        for (const zel::LeafBox& box : frame.boxes.list()) {
            FUZZ_CHECK(box.x + box.dx <= zel::next_pow2(grid.width));
            FUZZ_CHECK(box.y + box.dy <= zel::next_pow2(grid.height));
            FUZZ_CHECK(box.bin + box.dbin <= zel::next_pow2(grid.time_bins));
        }
    }
    for (std::uint64_t k = in_order.size(); k-- > 0;) {
        const auto again = reader.decode(k, /*want_boxes=*/true);
        FUZZ_CHECK(again.ok() == in_order[k].ok());
        if (again) {
            FUZZ_CHECK(same_boxes(again.value().boxes, in_order[k].value().boxes));
        } else {
            FUZZ_CHECK(again.error().offset == in_order[k].error().offset);
        }
    }
    return 0;
}
