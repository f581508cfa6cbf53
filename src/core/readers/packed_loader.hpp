#pragma once

#include <string>

#include "byte_buffer.hpp"
#include "chunked_reader.hpp"
#include "dataset.hpp"

namespace zel {

// Whole-file readers that return packed 9-byte records (event.hpp) rather
// than an EventList. Events, order and error texts are exactly those of the
// EventList readers in dataset.hpp.
LoadResult<ByteBuffer> load_packed(const std::string& path, RecordFormat format);

// As load_events: the extension picks the reader ("bin" by the file's size)
// and anything else fails with the same unknown-extension message. A "bin"
// file is read only once.
LoadResult<ByteBuffer> load_packed_by_extension(const std::string& path);

}  // namespace zel
