#include "readers/packed_loader.hpp"

#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "readers/posix_file.hpp"
#include "readers/record_codecs.hpp"
#include "text/path_text.hpp"

namespace zel {
namespace {

LoadResult<ByteBuffer> read_all(const std::string& path, IoHooks& hooks) {
    LoadResult<ReadOnlyFile> opened = ReadOnlyFile::open_with(path, hooks);
    if (!opened) return opened.error();
    ReadOnlyFile& file = opened.value();
    ByteBuffer data;
    // One byte beyond the expected size lets end of file show without growing;
    // files of unknown size (pipes, /proc) start as read_whole_file's do.
    const std::size_t hint = file.size_hint();
    data.reserve_more(hint > 0 ? hint + 1 : 8192);
    for (;;) {
        if (data.spare() == 0) data.reserve_more(data.capacity());
        LoadResult<std::size_t> n = file.read(data.tail(), data.spare());
        if (!n) return n.error();
        if (n.value() == 0) return data;
        data.commit(n.value());
    }
}

// A ".bin" file is compact when its size is a multiple of 9 but not of 5;
// otherwise N-MNIST, which then demands a multiple of 5 itself.
LoadResult<ByteBuffer> decode_bin(ByteBuffer data) {
    const std::size_t size = data.size();
    if (size % kPackedEventBytes == 0 && size % kNmnistRecordBytes != 0) return data;
    if (size % kNmnistRecordBytes != 0) {
        return LoadError::invalid_data("N-MNIST file size " + std::to_string(size) +
                                       " is not a multiple of 5");
    }
    const std::size_t count = size / kNmnistRecordBytes;
    ByteBuffer events;
    events.reserve_more(count * kPackedEventBytes);
    decode_nmnist_records(data.data(), count, events.tail());
    events.commit(count * kPackedEventBytes);
    return events;
}

LoadResult<ByteBuffer> read_stream(RecordStream& stream, RecordFormat format) {
    ByteBuffer events;
    // The exact size of a regular file; the one extra record lets its end
    // show without growing. CSV grows as it goes.
    if (format != RecordFormat::Csv) {
        events.reserve_more((stream.remaining_events_hint() + 1) * kPackedEventBytes);
    }
    for (;;) {
        StreamResult<std::size_t> n = stream.read(events, kAddressSpaceBytes);
        if (!n) return n.error().error;
        if (n.value() == 0) break;
    }
    events.shrink_to_fit();
    return events;
}

}  // namespace

LoadResult<ByteBuffer> load_packed(const std::string& path, RecordFormat format) {
    return load_packed_with(path, format, no_io_hooks());
}

LoadResult<ByteBuffer> load_packed_with(const std::string& path, RecordFormat format,
                                        IoHooks& hooks) {
    StreamResult<RecordStream> opened = RecordStream::open_with(path, format, hooks);
    if (!opened) return opened.error().error;
    return read_stream(opened.value(), format);
}

LoadResult<ByteBuffer> decode_packed(std::span<const std::uint8_t> bytes, RecordFormat format) {
    RecordStream stream = RecordStream::from_bytes(bytes, format, bytes.size());
    return read_stream(stream, format);
}

LoadResult<ByteBuffer> decode_packed_bin(std::span<const std::uint8_t> bytes) {
    ByteBuffer data;
    data.reserve_more(bytes.size());
    if (!bytes.empty()) std::memcpy(data.tail(), bytes.data(), bytes.size());
    data.commit(bytes.size());
    return decode_bin(std::move(data));
}

LoadResult<ByteBuffer> load_packed_by_extension(const std::string& path) {
    return load_packed_by_extension_with(path, no_io_hooks());
}

LoadResult<ByteBuffer> load_packed_by_extension_with(const std::string& path, IoHooks& hooks) {
    const std::optional<std::string_view> ext = path_extension(path);
    if (ext == "bin") {
        LoadResult<ByteBuffer> data = read_all(path, hooks);
        if (!data) return data.error();
        return decode_bin(std::move(data.value()));
    }
    if (ext == "evb") return load_packed_with(path, RecordFormat::Compact, hooks);
    if (ext == "aedat") return load_packed_with(path, RecordFormat::Aedat2, hooks);
    if (ext == "csv" || ext == "txt") return load_packed_with(path, RecordFormat::Csv, hooks);
    return LoadError::invalid_input("Unknown file extension: " + quote_text(path) +
                                    ". Supported: .bin, .evb, .aedat, .csv, .txt");
}

}  // namespace zel
