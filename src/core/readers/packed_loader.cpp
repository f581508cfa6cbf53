#include "packed_loader.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "path_text.hpp"
#include "posix_file.hpp"
#include "record_codecs.hpp"

namespace zel {
namespace {

LoadResult<ByteBuffer> read_all(const std::string& path) {
    LoadResult<ReadOnlyFile> opened = ReadOnlyFile::open(path);
    if (!opened) return opened.error();
    ReadOnlyFile& file = opened.value();
    ByteBuffer data;
    // One byte beyond the expected size lets end of file show without growing.
    data.reserve_more(file.size_hint() + 1);
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

}  // namespace

LoadResult<ByteBuffer> load_packed(const std::string& path, RecordFormat format) {
    StreamResult<RecordStream> opened = RecordStream::open(path, format);
    if (!opened) return opened.error().error;
    RecordStream& stream = opened.value();
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

LoadResult<ByteBuffer> load_packed_by_extension(const std::string& path) {
    const std::optional<std::string_view> ext = path_extension(path);
    if (ext == "bin") {
        LoadResult<ByteBuffer> data = read_all(path);
        if (!data) return data.error();
        return decode_bin(std::move(data.value()));
    }
    if (ext == "evb") return load_packed(path, RecordFormat::Compact);
    if (ext == "aedat") return load_packed(path, RecordFormat::Aedat2);
    if (ext == "csv" || ext == "txt") return load_packed(path, RecordFormat::Csv);
    return LoadError::invalid_input("Unknown file extension: " + quote_text(path) +
                                    ". Supported: .bin, .evb, .aedat, .csv, .txt");
}

}  // namespace zel
