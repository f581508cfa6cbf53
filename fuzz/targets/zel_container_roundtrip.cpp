// A container written from fuzz-chosen events and grid, with either keyframe
// codec, reads back: every frame decodes, and its occupied boxes are exactly
// the occupancy the reference voxelization gives the frame's events (a box
// bigger than a voxel, where max_depth stopped the tree, must hold at least
// one occupied voxel, and every occupied voxel must lie in some box).
#include <algorithm>

#include "codec/frames.hpp"
#include "codec/voxel.hpp"
#include "container/container_writer.hpp"
#include "container_walk.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    // Small grids keep the dense reference grid cheap.
    zel::GridParams grid;
    grid.width = static_cast<std::uint16_t>(in.take(1) % 40 + 1);
    grid.height = static_cast<std::uint16_t>(in.take(1) % 40 + 1);
    grid.time_bins = static_cast<std::uint16_t>(in.take(1) % 20 + 1);
    grid.max_depth = static_cast<std::uint8_t>(in.take(1) % 20);
    const std::uint64_t n_frames = in.take(1) % 6 + 1;
    // The byte's low bits pick the interval, the next one the keyframe codec
    // (inputs found before there was a second codec keep their meaning).
    const std::uint64_t keyframe_choice = in.take(1);
    const auto keyframe_interval = static_cast<std::uint32_t>(keyframe_choice % 4);
    const auto codec = zel::container::kKeyframeCodecs[(keyframe_choice >> 2) %
                                                       zel::container::kKeyframeCodecs.size()]
                           .value;
    std::span<const std::uint8_t> records = in.rest();
    records = records.first(std::min<std::size_t>(records.size() / 9, 512) * 9);
    const zel::EventList events = zel::unpack_events({records.data(), records.size() / 9});

    const auto file = zel::container::encode_container(
        zel::PackedEvents(records.data(), records.size() / 9), grid, n_frames, keyframe_interval,
        codec);
    FUZZ_CHECK(file.ok());
    const auto walked = zel_fuzz::walk_container(file.value(), /*want_boxes=*/true);
    FUZZ_CHECK(walked.ok() && walked.value().complete);
    FUZZ_CHECK(walked.value().frames.size() == n_frames);

    const zel::FrameSplit split = zel::split_frames(events, n_frames);
    for (std::uint64_t k = 0; k < n_frames; ++k) {
        const auto frame_events = split.frame(k);
        const zel::VoxelGrid expected =
            zel::voxelize(zel::EventList(frame_events.begin(), frame_events.end()), grid.width,
                          grid.height, grid.time_bins);
        const auto& decoded = walked.value().frames[k];
        FUZZ_CHECK(decoded.header.n_events == frame_events.size());
        zel::VoxelGrid covered(expected.dim_x, expected.dim_y, expected.dim_t);
        for (const zel::LeafBox& b : decoded.boxes.list()) {
            FUZZ_CHECK(b.x + b.dx <= expected.dim_x && b.y + b.dy <= expected.dim_y &&
                       b.bin + b.dbin <= expected.dim_t);
            FUZZ_CHECK(expected.box_occupied(b.x, b.y, b.bin, b.dx, b.dy, b.dbin));
            for (std::uint64_t x = b.x; x < b.x + b.dx; ++x)
                for (std::uint64_t y = b.y; y < b.y + b.dy; ++y)
                    for (std::uint64_t t = b.bin; t < b.bin + b.dbin; ++t) covered.set(x, y, t);
        }
        for (std::uint64_t i = 0; i < expected.volume(); ++i) {
            if (expected.test(i)) FUZZ_CHECK(covered.test(i));
        }
    }
    return 0;
}
