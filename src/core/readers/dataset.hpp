#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "event.hpp"
#include "result.hpp"

namespace zel {

// Error value of every file reader; only text() reaches the Python caller.
struct LoadError {
    enum class Kind { Os, InvalidInput, InvalidData };

    Kind kind = Kind::InvalidData;
    int os_code = 0;       // errno, for Kind::Os
    std::string message;   // for InvalidInput / InvalidData

    static LoadError os(int code);
    static LoadError invalid_input(std::string message);
    static LoadError invalid_data(std::string message);

    // Os: "<strerror> (os error N)"; otherwise the message alone.
    std::string text() const;
};

template <class T>
using LoadResult = Result<T, LoadError>;

// Paths are UTF-8 byte strings exactly as the caller gave them.
LoadResult<std::vector<std::uint8_t>> read_whole_file(const std::string& path);
LoadResult<EventList> read_compact(const std::string& path);
LoadResult<EventList> read_nmnist(const std::string& path);
LoadResult<EventList> read_aedat2(const std::string& path);
LoadResult<EventList> read_csv(const std::string& path);
// Picks a reader by the file name's extension (and, for ".bin", by size).
LoadResult<EventList> load_events(const std::string& path);

}  // namespace zel
