#include "readers/dataset.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "readers/posix_file.hpp"
#include "text/path_text.hpp"

namespace zel {
namespace {

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint32_t be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// Length of the leading run of '#' lines, each through its line feed. A
// last '#' line without a line feed runs to the end of the data.
std::size_t aedat2_header_length(std::span<const std::uint8_t> data) {
    std::size_t pos = 0;
    while (pos < data.size() && data[pos] == '#') {
        const void* lf = std::memchr(data.data() + pos, '\n', data.size() - pos);
        if (lf == nullptr) {
            return data.size();
        }
        pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data.data()) + 1;
    }
    return pos;
}

}  // namespace

LoadError LoadError::os(int code) {
    LoadError e;
    e.kind = Kind::Os;
    e.os_code = code;
    return e;
}

LoadError LoadError::invalid_input(std::string message) {
    LoadError e;
    e.kind = Kind::InvalidInput;
    e.message = std::move(message);
    return e;
}

LoadError LoadError::invalid_data(std::string message) {
    LoadError e;
    e.kind = Kind::InvalidData;
    e.message = std::move(message);
    return e;
}

LoadError LoadError::interrupted() {
    LoadError e;
    e.kind = Kind::Interrupted;
    e.message = "interrupted";
    return e;
}

IoHooks& no_io_hooks() {
    static IoHooks hooks;
    return hooks;
}

std::string LoadError::text() const {
    if (kind == Kind::Os) {
        return describe_os_error(os_code) + " (os error " + std::to_string(os_code) + ")";
    }
    return message;
}

LoadResult<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
    return read_whole_file_with(path, no_io_hooks());
}

LoadResult<std::vector<std::uint8_t>> read_whole_file_with(const std::string& path, IoHooks& hooks) {
    LoadResult<ReadOnlyFile> opened = ReadOnlyFile::open_with(path, hooks);
    if (!opened) {
        return opened.error();
    }
    ReadOnlyFile& file = opened.value();

    // One byte beyond the expected size lets the end-of-file read happen
    // without growing a buffer that already fits; files of unknown size
    // (pipes, /proc) grow by doubling.
    std::vector<std::uint8_t> data;
    const std::size_t hint = file.size_hint();
    data.resize(hint > 0 ? hint + 1 : 8192);
    std::size_t filled = 0;
    for (;;) {
        if (filled == data.size()) {
            data.resize(data.size() * 2);
        }
        LoadResult<std::size_t> n = file.read(data.data() + filled, data.size() - filled);
        if (!n) {
            return n.error();
        }
        if (n.value() == 0) {
            break;
        }
        filled += n.value();
    }
    data.resize(filled);
    return data;
}

namespace {

// Decodes fixed-size records after an optional header, in file order.
// `what` names the sized part in the error text.
template <class Decode>
LoadResult<EventList> decode_records(std::span<const std::uint8_t> data, std::size_t record_size,
                                     const char* what, Decode decode,
                                     std::size_t (*header_length)(std::span<const std::uint8_t>) =
                                         nullptr) {
    const std::size_t start = header_length != nullptr ? header_length(data) : 0;
    const std::size_t size = data.size() - start;
    if (size % record_size != 0) {
        return LoadError::invalid_data(std::string(what) + " size " + std::to_string(size) +
                                       " is not a multiple of " + std::to_string(record_size));
    }
    EventList events;
    events.reserve(size / record_size);
    for (std::size_t off = start; off < data.size(); off += record_size) {
        events.push_back(decode(data.data() + off));
    }
    return events;
}

// Reads the whole file, then decodes it from memory.
LoadResult<EventList> read_then(const std::string& path, IoHooks& hooks,
                                LoadResult<EventList> (*decode)(std::span<const std::uint8_t>)) {
    LoadResult<std::vector<std::uint8_t>> bytes = read_whole_file_with(path, hooks);
    if (!bytes) {
        return bytes.error();
    }
    return decode(bytes.value());
}

}  // namespace

LoadResult<EventList> decode_compact(std::span<const std::uint8_t> data) {
    return decode_records(data, 9, "Compact binary file", [](const std::uint8_t* r) {
        return Event{le16(r), le16(r + 2), le32(r + 4), r[8]};
    });
}

LoadResult<EventList> decode_nmnist(std::span<const std::uint8_t> data) {
    return decode_records(data, 5, "N-MNIST file", [](const std::uint8_t* r) {
        // b2's top bit is the polarity; its other 7 bits and b3, b4 form a
        // 23-bit big-endian timestamp.
        const std::uint32_t t = (static_cast<std::uint32_t>(r[2] & 0x7F) << 16) |
                                (static_cast<std::uint32_t>(r[3]) << 8) | r[4];
        return Event{r[0], r[1], t, static_cast<std::uint8_t>(r[2] >> 7)};
    });
}

LoadResult<EventList> decode_aedat2(std::span<const std::uint8_t> data) {
    // Only the low 15 address bits carry data: polarity, then 7-bit x and y.
    return decode_records(
        data, 8, "AEDAT2 data section",
        [](const std::uint8_t* r) {
            const std::uint32_t address = be32(r);
            return Event{static_cast<std::uint16_t>((address >> 1) & 0x7F),
                         static_cast<std::uint16_t>((address >> 8) & 0x7F), be32(r + 4),
                         static_cast<std::uint8_t>(address & 1)};
        },
        aedat2_header_length);
}

LoadResult<EventList> decode_bin(std::span<const std::uint8_t> data) {
    // Neither format has a magic number; the size decides. Multiples of 45
    // (0 included) fit both and go to N-MNIST.
    if (data.size() % 9 == 0 && data.size() % 5 != 0) {
        return decode_compact(data);
    }
    return decode_nmnist(data);
}

LoadResult<EventList> read_compact(const std::string& path) {
    return read_compact_with(path, no_io_hooks());
}
LoadResult<EventList> read_compact_with(const std::string& path, IoHooks& hooks) {
    return read_then(path, hooks, decode_compact);
}

LoadResult<EventList> read_nmnist(const std::string& path) {
    return read_nmnist_with(path, no_io_hooks());
}
LoadResult<EventList> read_nmnist_with(const std::string& path, IoHooks& hooks) {
    return read_then(path, hooks, decode_nmnist);
}

LoadResult<EventList> read_aedat2(const std::string& path) {
    return read_aedat2_with(path, no_io_hooks());
}
LoadResult<EventList> read_aedat2_with(const std::string& path, IoHooks& hooks) {
    return read_then(path, hooks, decode_aedat2);
}

LoadResult<EventList> read_csv(const std::string& path) { return read_csv_with(path, no_io_hooks()); }

LoadResult<EventList> load_events(const std::string& path) {
    return load_events_with(path, no_io_hooks());
}

LoadResult<EventList> load_events_with(const std::string& path, IoHooks& hooks) {
    const std::optional<std::string_view> ext = path_extension(path);
    if (ext == "bin") {
        // One read serves both the size rule and the decoding, so a FIFO
        // works and a file changing meanwhile cannot split the two.
        return read_then(path, hooks, decode_bin);
    }
    if (ext == "evb") {
        return read_compact_with(path, hooks);
    }
    if (ext == "aedat") {
        return read_aedat2_with(path, hooks);
    }
    if (ext == "csv" || ext == "txt") {
        return read_csv_with(path, hooks);
    }
    return LoadError::invalid_input("Unknown file extension: " + quote_text(path) +
                                    ". Supported: .bin, .evb, .aedat, .csv, .txt");
}

}  // namespace zel
