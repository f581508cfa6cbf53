#include "posix_file.hpp"

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel {

LoadResult<ReadOnlyFile> ReadOnlyFile::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return LoadError::os(EINVAL);
    }
    for (;;) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            return ReadOnlyFile(fd);
        }
        // Opening a FIFO or a device may be interrupted by a signal.
        if (errno != EINTR) {
            return LoadError::os(errno);
        }
    }
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() { close(); }

void ReadOnlyFile::close() {
    if (fd_ >= 0) {
        // Not retried on EINTR: on Linux the descriptor is released anyway,
        // and a retry could close one another thread has just been given.
        ::close(fd_);
        fd_ = -1;
    }
}

LoadResult<std::size_t> ReadOnlyFile::read(std::uint8_t* buffer, std::size_t capacity) {
    // Keep each request within what read() can report in an ssize_t.
    constexpr std::size_t kMaxRequest = std::size_t{1} << 30;
    if (capacity > kMaxRequest) {
        capacity = kMaxRequest;
    }
    for (;;) {
        ssize_t n = ::read(fd_, buffer, capacity);
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            return LoadError::os(errno);
        }
    }
}

std::size_t ReadOnlyFile::size_hint() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        return 0;
    }
    if (static_cast<unsigned long long>(info.st_size) > std::numeric_limits<std::size_t>::max() / 2) {
        return 0;
    }
    return static_cast<std::size_t>(info.st_size);
}

}  // namespace zel
