#include "container/byte_source.hpp"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel::container {

namespace {

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint64_t size() const override { return bytes_.size(); }

    Result<std::span<const std::uint8_t>> read(std::uint64_t offset, std::size_t count,
                                               ByteBuffer&) const override {
        if (offset > bytes_.size() || count > bytes_.size() - offset) return past_end(offset);
        return bytes_.subspan(static_cast<std::size_t>(offset), count);
    }

    static Error past_end(std::uint64_t offset) {
        return Error::invalid_data("read past the end of the container", offset);
    }

private:
    std::span<const std::uint8_t> bytes_;
};

class FileSource final : public ByteSource {
public:
    FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    ~FileSource() override { ::close(fd_); }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::uint64_t size() const override { return size_; }

    Result<std::span<const std::uint8_t>> read(std::uint64_t offset, std::size_t count,
                                               ByteBuffer& scratch) const override {
        if (offset > size_ || count > size_ - offset) return MemorySource::past_end(offset);
        scratch.clear();
        scratch.reserve_more(count);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t got = ::pread(fd_, scratch.data() + done, count - done,
                                        static_cast<off_t>(offset + done));
            if (got < 0) {
                if (errno == EINTR) continue;
                return Error::os(errno);
            }
            if (got == 0) {
                const std::uint64_t end = offset + done;
                return Error::invalid_data("the file ends at byte " + std::to_string(end) +
                                               ": it has been cut short since it was opened",
                                           end);
            }
            done += static_cast<std::size_t>(got);
        }
        scratch.commit(count);
        return std::span<const std::uint8_t>(scratch.data(), count);
    }

private:
    int fd_;
    std::uint64_t size_;
};

}  // namespace

std::unique_ptr<ByteSource> memory_source(std::span<const std::uint8_t> bytes) {
    return std::make_unique<MemorySource>(bytes);
}

Result<std::unique_ptr<ByteSource>> file_source(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Error::os(errno);
    if (S_ISDIR(st.st_mode)) return Error::os(EISDIR);
    if (!S_ISREG(st.st_mode)) return Error::os(ESPIPE);
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return Error::os(errno);
    try {
        return std::unique_ptr<ByteSource>(
            std::make_unique<FileSource>(own, static_cast<std::uint64_t>(st.st_size)));
    } catch (...) {
        ::close(own);
        throw;
    }
}

}  // namespace zel::container
