#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/memory_limits.hpp"
#include "container/byte_source.hpp"
#include "container/container_reader.hpp"
#include "container/container_writer.hpp"
#include "container_test_files.hpp"

namespace zel::container {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MemoryFootprint, RefusesOnlyWhatCouldNeverFit) {
    const std::uint64_t memory = physical_memory_bytes();
    ASSERT_GT(memory, 0u);
    EXPECT_TRUE(check_memory_footprint(memory / 100, 100, "n_frames", "frame").ok());
    const Status over = check_memory_footprint(memory / 100 + 1, 100, "n_frames", "frame");
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error().kind, ErrorKind::OutOfMemory);
    EXPECT_EQ(over.error().message.rfind("n_frames " + std::to_string(memory / 100 + 1) +
                                         " needs at least 100 bytes per frame, more than the " +
                                         std::to_string(memory) + " bytes of memory",
                                     0),
              0u);
    EXPECT_TRUE(check_memory_footprint(~std::uint64_t{0}, 0, "n", "item").ok());
}

TEST(EncodeContainer, RefusesAFrameCountBeyondMemoryBeforeAnyWork) {
    const auto out =
        encode_container(PackedEvents(), zel_test::small_grid(), std::uint64_t{1} << 60, 0);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind, ErrorKind::OutOfMemory);
}

// The writer of a stream: frames of any size, an empty one among them; the
// final header holds the count, and the index each frame's own time range.
TEST(ContainerWriter, StreamedFramesReadBackOnceTheCountIsPutIn) {
    const Bytes records = zel_test::packed_events(60);
    ContainerWriter writer(zel_test::small_grid(), 2);
    Bytes file;
    ASSERT_TRUE(writer.begin(file).ok());
    for (std::size_t n : {30u, 0u, 30u}) {
        const std::size_t first = writer.frames_added() == 2 ? 30 : 0;
        const PackedEvents events(records.data() + first * kPackedEventBytes, n);
        ASSERT_TRUE(writer.add_frame(events, file).ok());
    }
    ASSERT_TRUE(writer.finish(file).ok());

    const auto unpatched = ContainerReader::open(memory_source(file));
    ASSERT_FALSE(unpatched.ok());
    EXPECT_NE(unpatched.error().message.find("declares an unknown count"), std::string::npos);

    const auto header = writer.final_header();
    std::copy(header.begin(), header.end(), file.begin());
    auto reader = ContainerReader::open(memory_source(file));
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(reader.value().header().n_frames, 3u);
    const auto frames = reader.value().frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].t_first, 0u);
    EXPECT_EQ(frames[0].t_last, 290u);
    EXPECT_EQ((FrameSummary{frames[1].offset, 0, 0, 0}), frames[1]);
    EXPECT_EQ(frames[2].t_first, 300u);
    EXPECT_EQ(frames[2].t_last, 590u);
    for (std::uint64_t k = 0; k < 3; ++k) EXPECT_TRUE(reader.value().decode(k, true).ok()) << k;
}

TEST(ContainerWriter, RefusesCallsOutOfOrderAndAMissedCount) {
    Bytes out;
    ContainerWriter declared(zel_test::small_grid(), 0, 2);
    EXPECT_EQ(declared.add_frame(PackedEvents(), out).error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(declared.finish(out).error().kind, ErrorKind::InvalidInput);
    ASSERT_TRUE(declared.begin(out).ok());
    EXPECT_FALSE(declared.begin(out).ok());
    ASSERT_TRUE(declared.add_frame(PackedEvents(), out).ok());
    const std::size_t before = out.size();
    const Status short_by_one = declared.finish(out);
    ASSERT_FALSE(short_by_one.ok());
    EXPECT_NE(short_by_one.error().message.find("declares 2 frames but 1 were added"),
              std::string::npos);
    EXPECT_EQ(out.size(), before);
}

}  // namespace
}  // namespace zel::container
