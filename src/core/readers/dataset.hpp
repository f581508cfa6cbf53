#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/event.hpp"
#include "base/result.hpp"
#include "readers/io_hooks.hpp"

namespace zel {

// Error value of every file reader; only text() reaches the Python caller.
struct LoadError {
    // Interrupted: the caller's IoHooks asked to stop; they hold the reason,
    // so the text is only a fallback.
    enum class Kind { Os, InvalidInput, InvalidData, Interrupted };

    Kind kind = Kind::InvalidData;
    int os_code = 0;       // errno, for Kind::Os
    std::string message;   // for InvalidInput / InvalidData

    static LoadError os(int code);
    static LoadError invalid_input(std::string message);
    static LoadError invalid_data(std::string message);
    static LoadError interrupted();

    // Os: "<strerror> (os error N)"; otherwise the message alone.
    std::string text() const;
};

template <class T>
using LoadResult = Result<T, LoadError>;

// Paths are UTF-8 byte strings exactly as the caller gave them. Each reader
// comes in two forms: without hooks it blocks in place; the _with form
// brackets every open and read that may block by the hooks (which must
// outlive the call), and they may stop the read.
LoadResult<std::vector<std::uint8_t>> read_whole_file(const std::string& path);
LoadResult<std::vector<std::uint8_t>> read_whole_file_with(const std::string& path, IoHooks& hooks);
LoadResult<EventList> read_compact(const std::string& path);
LoadResult<EventList> read_compact_with(const std::string& path, IoHooks& hooks);
LoadResult<EventList> read_nmnist(const std::string& path);
LoadResult<EventList> read_nmnist_with(const std::string& path, IoHooks& hooks);
LoadResult<EventList> read_aedat2(const std::string& path);
LoadResult<EventList> read_aedat2_with(const std::string& path, IoHooks& hooks);
LoadResult<EventList> read_csv(const std::string& path);
LoadResult<EventList> read_csv_with(const std::string& path, IoHooks& hooks);
// Picks a reader by the file name's extension (and, for ".bin", by size).
LoadResult<EventList> load_events(const std::string& path);
LoadResult<EventList> load_events_with(const std::string& path, IoHooks& hooks);

// The same formats decoded from bytes already in memory, with the same
// results and messages as the readers above.
LoadResult<EventList> decode_compact(std::span<const std::uint8_t> data);
LoadResult<EventList> decode_nmnist(std::span<const std::uint8_t> data);
LoadResult<EventList> decode_aedat2(std::span<const std::uint8_t> data);
LoadResult<EventList> decode_csv(std::span<const std::uint8_t> data);
// ".bin": compact when the size is a multiple of 9 but not of 5, else N-MNIST.
LoadResult<EventList> decode_bin(std::span<const std::uint8_t> data);

}  // namespace zel
