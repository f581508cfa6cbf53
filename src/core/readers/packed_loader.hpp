#pragma once

#include <span>
#include <string>

#include "base/byte_buffer.hpp"
#include "readers/chunked_reader.hpp"
#include "readers/dataset.hpp"

namespace zel {

// Whole-file readers that return packed 9-byte records (event.hpp) rather
// than an EventList. Events, order and error texts are exactly those of the
// EventList readers in dataset.hpp.
LoadResult<ByteBuffer> load_packed(const std::string& path, RecordFormat format);
LoadResult<ByteBuffer> load_packed_with(const std::string& path, RecordFormat format,
                                        IoHooks& hooks);

// As load_events: the extension picks the reader ("bin" by the file's size)
// and anything else fails with the same unknown-extension message. A "bin"
// file is read only once.
LoadResult<ByteBuffer> load_packed_by_extension(const std::string& path);
LoadResult<ByteBuffer> load_packed_by_extension_with(const std::string& path, IoHooks& hooks);

// The whole-file readers' decoding of bytes already in memory: `bytes` read
// as a file of `format`, or a ".bin" file's bytes by their size.
LoadResult<ByteBuffer> decode_packed(std::span<const std::uint8_t> bytes, RecordFormat format);
LoadResult<ByteBuffer> decode_packed_bin(std::span<const std::uint8_t> bytes);

}  // namespace zel
