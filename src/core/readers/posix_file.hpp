#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dataset.hpp"

namespace zel {

// A file opened read-only by path; the descriptor is closed on destruction.
class ReadOnlyFile {
public:
    // Fails with Os(EINVAL) for a path holding a NUL byte rather than
    // silently opening the shorter path before it.
    static LoadResult<ReadOnlyFile> open(const std::string& path);

    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    // Reads up to `capacity` bytes; 0 means end of file. Interrupted reads
    // are retried, any other failure is returned as its Os error.
    LoadResult<std::size_t> read(std::uint8_t* buffer, std::size_t capacity);

    // Size of a regular file as reported when opened, 0 for anything else.
    // Only a hint: the file may change while it is read.
    std::size_t size_hint() const;

private:
    explicit ReadOnlyFile(int fd) : fd_(fd) {}
    void close();

    int fd_ = -1;
};

}  // namespace zel
