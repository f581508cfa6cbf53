#pragma once

// Whole-file loading into packed 9-byte records (event.hpp): the one stack
// behind zel's load_events, load_nmnist, load_aedat2 and load_csv and
// zelkit's load of the same formats. The records are what RecordStream
// (chunked_reader.hpp) decodes; errors carry zel's texts, and malformed
// data its offset.

#include <span>
#include <string>

#include "base/byte_buffer.hpp"
#include "base/event.hpp"
#include "base/result.hpp"
#include "readers/chunked_reader.hpp"
#include "readers/file_formats.hpp"
#include "readers/io_hooks.hpp"

namespace zel {

// `path` read as a file of `format`, whatever its name. The hooks (which
// must outlive the call) bracket every open and read that may block, and
// may stop the load; no_io_hooks() blocks in place.
Result<ByteBuffer> load_packed_with(const std::string& path, RecordFormat format, IoHooks& hooks);

// The format the extension names among zel's (file_formats.hpp); anything
// else fails with zel's unknown-extension message before the file is
// opened. A ".bin" file goes to load_packed_bin_with.
Result<ByteBuffer> load_packed_by_extension_with(const std::string& path, IoHooks& hooks);

// A ".bin" file: read once, and its size picks compact or N-MNIST records
// (bin_format), so a FIFO works and a file changing meanwhile cannot split
// the two.
Result<ByteBuffer> load_packed_bin_with(const std::string& path, IoHooks& hooks);

// The same decoding of bytes already in memory: `bytes` read as a file of
// `format`, or a ".bin" file's bytes by their size.
Result<ByteBuffer> decode_packed(std::span<const std::uint8_t> bytes, RecordFormat format);
Result<ByteBuffer> decode_packed_bin(std::span<const std::uint8_t> bytes);

}  // namespace zel
