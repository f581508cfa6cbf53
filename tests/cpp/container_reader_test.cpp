#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "container/byte_source.hpp"
#include "container/container_reader.hpp"
#include "container/frame_decoder.hpp"
#include "container_test_files.hpp"
#include "test_files.hpp"

namespace zel::container {
namespace {

using Bytes = std::vector<std::uint8_t>;

using zel_test::open_memory;

TEST(DecodeFrame, DeltaWithoutItsPreviousFrameIsRefusedAtAnyIndex) {
    const Bytes file = zel_test::sample_container(3);
    ContainerReader reader = open_memory(file);
    for (std::uint64_t k : {1u, 2u}) {
        const FrameSummary& entry = reader.frames()[k];
        const std::span<const std::uint8_t> rest = std::span(file).subspan(entry.offset);
        const auto head = parse_frame_header(rest, entry.offset, k);
        ASSERT_TRUE(head.ok());
        const auto record = rest.first(head.value().record_bytes());
        std::vector<std::uint8_t> bits;
        const auto decoded = decode_frame(record, entry.offset, k, reader.header(), bits,
                                          /*have_previous=*/false, true);
        ASSERT_FALSE(decoded.ok()) << k;
        EXPECT_EQ(decoded.error().offset, entry.offset + frame_field::kind.at);
        EXPECT_NE(decoded.error().message.find("no frame before it"), std::string::npos);
    }
}

TEST(ContainerReader, FileAndMemoryGiveTheSameFrames) {
    const Bytes file = zel_test::sample_container(5, 2);
    zel_test::TempDir dir;
    const std::string path = dir.write(
        "rec.zel", std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    auto source = file_source(fd);
    ::close(fd);  // the source reads through its own descriptor
    ASSERT_TRUE(source.ok());
    auto on_disk = ContainerReader::open(std::move(source.value()));
    ASSERT_TRUE(on_disk.ok());
    ContainerReader in_memory = open_memory(file);
    ASSERT_EQ(on_disk.value().frames().size(), 5u);
    for (std::uint64_t k : {4u, 0u, 1u, 2u, 3u, 3u}) {
        const auto a = on_disk.value().decode(k, true);
        const auto b = in_memory.decode(k, true);
        ASSERT_TRUE(a.ok() && b.ok()) << k;
        EXPECT_EQ(a.value().boxes.origins, b.value().boxes.origins) << k;
        EXPECT_EQ(a.value().header.n_bits, b.value().header.n_bits) << k;
    }
}

TEST(FileSource, RefusesWhatCannotBeReadByPosition) {
    zel_test::TempDir dir;
    const int fd = ::open(dir.make_dir("folder").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const auto source = file_source(fd);
    ::close(fd);
    ASSERT_FALSE(source.ok());
    EXPECT_EQ(source.error().kind, ErrorKind::Os);
    EXPECT_EQ(source.error().os_code, EISDIR);

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const auto piped = file_source(ends[0]);
    ::close(ends[0]);
    ::close(ends[1]);
    ASSERT_FALSE(piped.ok());
    EXPECT_EQ(piped.error().os_code, ESPIPE);
}

// A frame that fails leaves no chain behind: a later request along the same
// chain meets the same fault instead of building on a half-decoded frame.
TEST(ContainerReader, AFaultOnTheChainIsMetAgainOnEveryRequest) {
    Bytes file = zel_test::sample_container(4);
    const std::uint64_t at = open_memory(file).frames()[2].offset + kFrameHeaderBytes;
    file[at] ^= 0x01;  // frame 2's payload; its checksum no longer matches
    ContainerReader reader = open_memory(file);
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(reader.decode(1, true).ok());
        const auto broken = reader.decode(3, true);
        ASSERT_FALSE(broken.ok());
        EXPECT_NE(broken.error().message.find("frame 2 checksum mismatch"), std::string::npos);
    }
    EXPECT_EQ(reader.decode(4, true).error().kind, ErrorKind::InvalidInput);
}

}  // namespace
}  // namespace zel::container
