#include "readers/packed_loader.hpp"

#include <cstring>
#include <utility>

#include "readers/posix_file.hpp"
#include "readers/record_codecs.hpp"

namespace zel {
namespace {

// Decodes every record of `stream` into one buffer.
Result<ByteBuffer> read_stream(RecordStream& stream, RecordFormat format) {
    ByteBuffer events;
    // The exact size of a regular file; the one extra record lets its end
    // show without growing. CSV grows as it goes.
    if (format != RecordFormat::Csv) {
        events.reserve_more((stream.remaining_events_hint() + 1) * kPackedEventBytes);
    }
    for (;;) {
        ZEL_ASSIGN_OR_RETURN(const std::size_t n, stream.read(events, kAddressSpaceBytes));
        if (n == 0) break;
    }
    events.shrink_to_fit();
    return events;
}

// A ".bin" file's bytes, already read: compact records are the output as
// they stand; N-MNIST records are decoded.
Result<ByteBuffer> decode_bin(ByteBuffer data) {
    if (bin_format(data.size()) == RecordFormat::Compact) return data;
    return decode_packed({data.data(), data.size()}, RecordFormat::Nmnist);
}

}  // namespace

Result<ByteBuffer> load_packed_with(const std::string& path, RecordFormat format, IoHooks& hooks) {
    ZEL_ASSIGN_OR_RETURN(RecordStream stream, RecordStream::open_with(path, format, hooks));
    return read_stream(stream, format);
}

Result<ByteBuffer> decode_packed(std::span<const std::uint8_t> bytes, RecordFormat format) {
    RecordStream stream = RecordStream::from_bytes(bytes, format, bytes.size());
    return read_stream(stream, format);
}

Result<ByteBuffer> decode_packed_bin(std::span<const std::uint8_t> bytes) {
    ByteBuffer data;
    data.reserve_more(bytes.size());
    if (!bytes.empty()) std::memcpy(data.tail(), bytes.data(), bytes.size());
    data.commit(bytes.size());
    return decode_bin(std::move(data));
}

Result<ByteBuffer> load_packed_by_extension_with(const std::string& path, IoHooks& hooks) {
    ZEL_ASSIGN_OR_RETURN(const ExtensionRule rule, extension_rule(path));
    if (const std::optional<RecordFormat> format = record_format(rule.format)) {
        return load_packed_with(path, *format, hooks);
    }
    return load_packed_bin_with(path, hooks);
}

Result<ByteBuffer> load_packed_bin_with(const std::string& path, IoHooks& hooks) {
    ZEL_ASSIGN_OR_RETURN(ByteBuffer data, read_whole_file(path, hooks));
    return decode_bin(std::move(data));
}

}  // namespace zel
