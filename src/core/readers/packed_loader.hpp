#pragma once

// Whole-file loading into packed 9-byte records (event.hpp): the one stack
// behind zel's load_events, load_nmnist, load_aedat2 and load_csv and
// zelkit's load of the same formats. The records are what RecordStream
// (chunked_reader.hpp) decodes; errors carry zel's texts.

#include <span>
#include <string>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "readers/chunked_reader.hpp"
#include "readers/file_formats.hpp"
#include "readers/io_hooks.hpp"

namespace zel {

// Spelled out until zelkit's binding takes Result<T> directly.
template <class T>
using LoadResult = Result<T>;

// `path` read as a file of `format`, whatever its name. The hooks (which
// must outlive the call) bracket every open and read that may block, and
// may stop the load; no_io_hooks() blocks in place.
Result<ByteBuffer> load_packed_with(const std::string& path, RecordFormat format, IoHooks& hooks);

// The format the extension names (file_formats.hpp); anything else fails
// with the unknown-extension message before the file is opened. A ".bin"
// file is read once, and its size picks the format.
Result<ByteBuffer> load_packed_by_extension_with(const std::string& path, IoHooks& hooks);

// The same decoding of bytes already in memory: `bytes` read as a file of
// `format`, or a ".bin" file's bytes by their size.
Result<ByteBuffer> decode_packed(std::span<const std::uint8_t> bytes, RecordFormat format);
Result<ByteBuffer> decode_packed_bin(std::span<const std::uint8_t> bytes);

}  // namespace zel
