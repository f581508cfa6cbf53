#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "base/byte_buffer.hpp"
#include "base/result.hpp"

namespace zel::container {

// Random access to the bytes of a container, wherever they are: a reader
// asks for the pieces it needs (header, trailer, index, one record) and
// never for the whole file, so a multi-gigabyte file costs only what is
// decoded. Reads may run concurrently from several threads.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Total size in bytes, fixed when the source was made.
    virtual std::uint64_t size() const = 0;

    // The `count` bytes at `offset`, which the caller has checked lie within
    // size(). Bytes in memory are returned in place; a file's are read into
    // `scratch`, so the view lasts until scratch is next used. Fails with the
    // system's Os error, or with InvalidData when the file has become shorter
    // since it was opened.
    virtual Result<std::span<const std::uint8_t>> read(std::uint64_t offset, std::size_t count,
                                                       ByteBuffer& scratch) const = 0;
};

// Bytes that stay put for the source's lifetime (a caller's buffer).
std::unique_ptr<ByteSource> memory_source(std::span<const std::uint8_t> bytes);

// A regular file read with pread through a duplicate of `fd`, which the
// caller keeps and may close at once. Fails with Os(EISDIR) for a directory
// and Os(ESPIPE) for anything else that cannot be read by position (a pipe,
// a terminal).
Result<std::unique_ptr<ByteSource>> file_source(int fd);

}  // namespace zel::container
