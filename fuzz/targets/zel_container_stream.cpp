// A container streamed frame by frame from fuzz-chosen events (either
// keyframe codec), then cut where an interrupted writer could have left it.
// Whole, it reads back with every frame; with its count patched in but its
// index lost, too; cut short with the count still unknown, it reads as
// incomplete, with exactly the records that were whole before the cut, each
// decoding as in the whole file.
#include <algorithm>
#include <vector>

#include "container/container_writer.hpp"
#include "container_walk.hpp"
#include "fuzz_support.hpp"

namespace {

namespace ct = zel::container;

bool same_frames(const ct::DecodedFrame& a, const ct::DecodedFrame& b) {
    return a.header.n_bits == b.header.n_bits && a.header.n_events == b.header.n_events &&
           a.header.t_first == b.header.t_first && a.header.t_last == b.header.t_last &&
           a.boxes.origins == b.boxes.origins && a.boxes.dx == b.boxes.dx &&
           a.boxes.dy == b.boxes.dy && a.boxes.dbin == b.boxes.dbin;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zel_fuzz::Input in(data, size);
    zel::GridParams grid;
    grid.width = static_cast<std::uint16_t>(in.take(1) % 64 + 1);
    grid.height = static_cast<std::uint16_t>(in.take(1) % 64 + 1);
    grid.time_bins = static_cast<std::uint16_t>(in.take(1) % 16);
    grid.max_depth = static_cast<std::uint8_t>(in.take(1) % 12);
    // The byte's low bits pick the interval, the next one the keyframe codec
    // (inputs found before there was a second codec keep their meaning).
    const std::uint64_t keyframe_choice = in.take(1);
    const auto keyframe_interval = static_cast<std::uint32_t>(keyframe_choice % 4);
    const auto codec = zel::container::kKeyframeCodecs[(keyframe_choice >> 2) %
                                                       zel::container::kKeyframeCodecs.size()]
                           .value;
    // Frame sizes in events (0 makes an empty frame), then the cut point.
    std::vector<std::size_t> frame_sizes(in.take(1) % 8);
    for (std::size_t& n : frame_sizes) n = in.take(1) % 40;
    const std::uint64_t cut = in.take(2);
    std::span<const std::uint8_t> records = in.rest();
    records = records.first(records.size() / zel::kPackedEventBytes * zel::kPackedEventBytes);

    ct::ContainerWriter writer(grid, keyframe_interval, ct::kUnknownFrameCount, codec);
    std::vector<std::uint8_t> file;
    FUZZ_CHECK(writer.begin(file).ok());
    std::vector<std::size_t> record_ends;
    std::size_t used = 0;
    for (std::size_t n : frame_sizes) {
        n = std::min(n, records.size() / zel::kPackedEventBytes - used);
        const zel::PackedEvents events(records.data() + used * zel::kPackedEventBytes, n);
        FUZZ_CHECK(writer.add_frame(events, file).ok());
        record_ends.push_back(file.size());
        used += n;
    }
    const std::vector<std::uint8_t> unfinished = file;
    FUZZ_CHECK(writer.finish(file).ok());
    const auto header = writer.final_header();
    std::copy(header.begin(), header.end(), file.begin());

    const auto whole = zel_fuzz::walk_container(file, /*want_boxes=*/true);
    FUZZ_CHECK(whole.ok() && whole.value().complete);
    FUZZ_CHECK(whole.value().frames.size() == frame_sizes.size());

    std::vector<std::uint8_t> lost_index(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(
                                                                         unfinished.size()));
    std::copy(header.begin(), header.end(), lost_index.begin());
    const auto scanned = zel_fuzz::walk_container(lost_index, /*want_boxes=*/true);
    FUZZ_CHECK(scanned.ok() && scanned.value().complete);
    FUZZ_CHECK(scanned.value().frames.size() == frame_sizes.size());

    const std::size_t keep = ct::kHeaderBytes + cut % (unfinished.size() - ct::kHeaderBytes + 1);
    const std::span<const std::uint8_t> interrupted(unfinished.data(), keep);
    const auto partial = zel_fuzz::walk_container(interrupted, /*want_boxes=*/true);
    FUZZ_CHECK(partial.ok() && !partial.value().complete);
    const auto whole_records = static_cast<std::size_t>(
        std::upper_bound(record_ends.begin(), record_ends.end(), keep) - record_ends.begin());
    FUZZ_CHECK(partial.value().frames.size() == whole_records);
    for (std::size_t k = 0; k < whole_records; ++k) {
        FUZZ_CHECK(same_frames(partial.value().frames[k], whole.value().frames[k]));
        FUZZ_CHECK(same_frames(scanned.value().frames[k], whole.value().frames[k]));
    }
    return 0;
}
