#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/byte_buffer.hpp"
#include "base/result.hpp"
#include "readers/io_hooks.hpp"

namespace zel {

// A file opened read-only by path; the descriptor is closed on destruction.
class ReadOnlyFile {
public:
    // Fails with Os(EINVAL) for a path holding a NUL byte rather than
    // silently opening the shorter path before it. The hooks (which must
    // outlive the file) bracket every open and read that may block;
    // no_io_hooks() blocks in place.
    static Result<ReadOnlyFile> open(const std::string& path, IoHooks& hooks);

    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    // Reads up to `capacity` bytes; 0 means end of file. Interrupted reads
    // are retried unless the hooks say stop, any other failure is returned
    // as its Os error. After bytes arrive the hooks are asked whether to go
    // on, so a source that never ends can still be abandoned.
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity);

    // Size of a regular file as reported when opened, 0 for anything else.
    // Only a hint: the file may change while it is read.
    std::size_t size_hint() const;

private:
    ReadOnlyFile(int fd, IoHooks& hooks) : fd_(fd), hooks_(&hooks) {}
    void close();

    int fd_ = -1;
    IoHooks* hooks_;
};

// Where a streaming reader's bytes come from: a file, or bytes in memory
// handed out at most `max_read` at a time, as a pipe may (so tests and
// fuzzers see refills fall anywhere).
class ByteSource {
public:
    explicit ByteSource(ReadOnlyFile file) : file_(std::move(file)), size_hint_(file_->size_hint()) {}
    ByteSource(std::span<const std::uint8_t> bytes, std::size_t max_read)
        : memory_(bytes), max_read_(max_read == 0 ? 1 : max_read), size_hint_(bytes.size()) {}

    // As ReadOnlyFile::read: up to `capacity` bytes, 0 at the end.
    Result<std::size_t> read(std::uint8_t* buffer, std::size_t capacity);
    // The source's size when it has one (a regular file, memory), else 0.
    std::uint64_t size_hint() const { return size_hint_; }

private:
    std::optional<ReadOnlyFile> file_;
    std::span<const std::uint8_t> memory_;
    std::size_t max_read_ = 0;
    std::uint64_t size_hint_ = 0;
};

// The whole file in one buffer. A regular file is read into a buffer of its
// size (one byte more, so the end shows without growing); anything else
// (a pipe, /proc) grows by doubling.
Result<ByteBuffer> read_whole_file(const std::string& path, IoHooks& hooks);

}  // namespace zel
