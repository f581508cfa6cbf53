// A file source reads by position through pread, which may be interrupted
// by a signal or return less than asked (network and FUSE file systems do
// both). This test's executable is linked with pread wrapped (see
// CMakeLists.txt), so each read can be made to meet either.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/byte_buffer.hpp"
#include "container/byte_source.hpp"
#include "test_files.hpp"

namespace {

// What the next pread calls do before any reaches the file.
struct PreadPlan {
    int interrupt_first = 0;    // calls that fail with EINTR first
    int fail_with = 0;          // then an errno to fail with (0: none)
    std::size_t most_bytes = 0; // then at most this many bytes per call (0: as asked)
    int calls = 0;
};
PreadPlan plan;

}  // namespace

extern "C" ssize_t __real_pread(int fd, void* buf, std::size_t count, off_t offset);

extern "C" ssize_t __wrap_pread(int fd, void* buf, std::size_t count, off_t offset) {
    ++plan.calls;
    if (plan.interrupt_first > 0) {
        --plan.interrupt_first;
        errno = EINTR;
        return -1;
    }
    if (plan.fail_with != 0) {
        errno = plan.fail_with;
        return -1;
    }
    if (plan.most_bytes != 0 && count > plan.most_bytes) count = plan.most_bytes;
    return __real_pread(fd, buf, count, offset);
}

namespace zel::container {
namespace {

class FileSourceReads : public ::testing::Test {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < 300; ++i) bytes_.push_back(static_cast<std::uint8_t>(i * 7 + 1));
        path_ = dir_.write("f.bin", std::string(bytes_.begin(), bytes_.end()));
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
        auto source = file_source(fd_);
        ASSERT_TRUE(source.ok());
        source_ = std::move(source).value();
        plan = PreadPlan{};
    }
    void TearDown() override {
        plan = PreadPlan{};
        ::close(fd_);
    }

    zel_test::TempDir dir_;
    std::vector<std::uint8_t> bytes_;
    std::string path_;
    int fd_ = -1;
    std::unique_ptr<ByteSource> source_;
};

TEST_F(FileSourceReads, InterruptedAndShortReadsAreTakenUpAgain) {
    struct Case {
        int interrupted;
        std::size_t most_bytes;
        std::uint64_t offset;
        std::size_t count;
    };
    const Case cases[] = {
        {1, 0, 0, 300}, {3, 0, 17, 100}, {0, 1, 5, 40}, {2, 7, 290, 10}, {1, 0, 300, 0},
    };
    for (const Case& c : cases) {
        plan = PreadPlan{c.interrupted, 0, c.most_bytes, 0};
        ByteBuffer scratch;
        auto got = source_->read(c.offset, c.count, scratch);
        ASSERT_TRUE(got.ok()) << c.interrupted << " interruptions: " << got.error().message;
        const std::vector<std::uint8_t> read(got.value().begin(), got.value().end());
        const std::vector<std::uint8_t> expected(bytes_.begin() + static_cast<std::ptrdiff_t>(c.offset),
                                                 bytes_.begin() + static_cast<std::ptrdiff_t>(c.offset + c.count));
        EXPECT_EQ(read, expected) << "offset " << c.offset;
    }
}

TEST_F(FileSourceReads, OtherFailuresAreTheSystemsError) {
    plan = PreadPlan{1, EIO, 0, 0};
    ByteBuffer scratch;
    auto got = source_->read(0, 10, scratch);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind, zel::ErrorKind::Os);
    EXPECT_EQ(got.error().os_code, EIO);
    EXPECT_EQ(plan.calls, 2);  // the interrupted call, then the failing one, not retried
}

}  // namespace
}  // namespace zel::container
