#include "readers/posix_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel {

namespace {

// Runs one system call between the hooks' brackets and hands back its
// result with the errno it left, before the hooks could disturb errno.
template <class Call>
auto blocking_call(IoHooks& hooks, Call call, int& error) {
    hooks.enter_blocking();
    auto result = call();
    error = errno;
    hooks.leave_blocking();
    return result;
}

}  // namespace

IoHooks& no_io_hooks() {
    static IoHooks hooks;
    return hooks;
}

Result<ReadOnlyFile> ReadOnlyFile::open(const std::string& path, IoHooks& hooks) {
    if (path.find('\0') != std::string::npos) {
        return Error::os(EINVAL);
    }
    for (;;) {
        int error = 0;
        // Opening a FIFO waits for a writer, which may be the caller's own
        // thread: hence the brackets, and a signal check when interrupted.
        const int fd = blocking_call(
            hooks, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }, error);
        if (fd >= 0) {
            return ReadOnlyFile(fd, hooks);
        }
        if (error != EINTR) {
            return Error::os(error);
        }
        if (!hooks.keep_going()) {
            return Error::interrupted();
        }
    }
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept : fd_(other.fd_), hooks_(other.hooks_) {
    other.fd_ = -1;
}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        hooks_ = other.hooks_;
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

Result<std::size_t> ReadOnlyFile::read(std::uint8_t* buffer, std::size_t capacity) {
    // Well within what read() can report in an ssize_t, and small enough
    // that a source that never ends (/dev/zero) comes back to the hooks
    // several times a second.
    constexpr std::size_t kMaxRequest = std::size_t{1} << 26;
    if (capacity > kMaxRequest) {
        capacity = kMaxRequest;
    }
    for (;;) {
        int error = 0;
        const ssize_t n =
            blocking_call(*hooks_, [&] { return ::read(fd_, buffer, capacity); }, error);
        if (n == 0) {
            return std::size_t{0};
        }
        if (n > 0) {
            if (!hooks_->keep_going()) {
                return Error::interrupted();
            }
            return static_cast<std::size_t>(n);
        }
        if (error != EINTR) {
            return Error::os(error);
        }
        if (!hooks_->keep_going()) {
            return Error::interrupted();
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

Result<std::size_t> ByteSource::read(std::uint8_t* buffer, std::size_t capacity) {
    if (file_) return file_->read(buffer, capacity);
    const std::size_t n = std::min({capacity, max_read_, memory_.size()});
    if (n != 0) std::memcpy(buffer, memory_.data(), n);
    memory_ = memory_.subspan(n);
    return n;
}

Result<ByteBuffer> read_whole_file(const std::string& path, IoHooks& hooks) {
    ZEL_ASSIGN_OR_RETURN(ReadOnlyFile file, ReadOnlyFile::open(path, hooks));
    ByteBuffer data;
    const std::size_t hint = file.size_hint();
    data.reserve_more(hint > 0 ? hint + 1 : 8192);
    for (;;) {
        if (data.spare() == 0) data.reserve_more(data.capacity());
        ZEL_ASSIGN_OR_RETURN(const std::size_t n, file.read(data.tail(), data.spare()));
        if (n == 0) return data;
        data.commit(n);
    }
}

}  // namespace zel
