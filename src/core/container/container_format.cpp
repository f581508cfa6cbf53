#include "container/container_format.hpp"

#include <cstring>
#include <string>

#include "container/field_io.hpp"

namespace zel::container {

namespace {

constexpr std::uint8_t kFrameTag[4] = {'F', 'R', 'A', 'M'};

}  // namespace

using namespace field_io;

std::array<std::uint8_t, kHeaderBytes> header_bytes(const FileHeader& header) {
    namespace f = header_field;
    std::array<std::uint8_t, kHeaderBytes> bytes{};
    store(bytes, f::magic, kMagic);
    store(bytes, f::version, kVersion);
    store(bytes, f::width, header.grid.width);
    store(bytes, f::height, header.grid.height);
    store(bytes, f::time_bins, header.grid.time_bins);
    store(bytes, f::max_depth, header.grid.max_depth);
    store(bytes, f::keyframe_interval, header.keyframe_interval);
    store(bytes, f::n_frames, header.n_frames);
    seal(bytes, f::crc.at);
    return bytes;
}

void append_frame(const FrameHeader& frame, std::span<const std::uint8_t> payload,
                  std::vector<std::uint8_t>& out) {
    namespace f = frame_field;
    const auto record = grow(out, kFrameHeaderBytes + payload.size() + kCrcBytes);
    store(record, f::tag, kFrameTag);
    store(record, f::kind, static_cast<std::uint8_t>(frame.kind));
    store(record, f::index, frame.index);
    store(record, f::t_first, frame.t_first);
    store(record, f::t_last, frame.t_last);
    store(record, f::n_events, frame.n_events);
    store(record, f::n_bits, frame.n_bits);
    store(record, f::payload_bytes, std::uint64_t{payload.size()});
    if (!payload.empty()) {
        std::memcpy(record.data() + kFrameHeaderBytes, payload.data(), payload.size());
    }
    seal(record, kFrameHeaderBytes + payload.size());
}

void append_index(std::span<const FrameSummary> entries, std::uint64_t index_offset,
                  std::vector<std::uint8_t>& out) {
    const std::size_t entry_bytes = entries.size() * kIndexEntryBytes;
    const auto block = grow(out, kIndexHeadBytes + entry_bytes + kCrcBytes);
    store(block, index_field::tag, kIndexTag);
    store(block, index_field::count, std::uint64_t{entries.size()});
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const auto entry = block.subspan(kIndexHeadBytes + k * kIndexEntryBytes, kIndexEntryBytes);
        store(entry, entry_field::offset, entries[k].offset);
        store(entry, entry_field::t_first, entries[k].t_first);
        store(entry, entry_field::t_last, entries[k].t_last);
        store(entry, entry_field::n_events, entries[k].n_events);
    }
    seal(block, kIndexHeadBytes + entry_bytes);
    append_trailer(index_offset, out);
}

void append_trailer(std::uint64_t index_offset, std::vector<std::uint8_t>& out) {
    const auto trailer = grow(out, kTrailerBytes);
    store(trailer, trailer_field::index_offset, index_offset);
    store(trailer, trailer_field::magic, kTrailerMagic);
}

Result<FileHeader> parse_header(std::span<const std::uint8_t> bytes) {
    namespace f = header_field;
    if (!holds(bytes, f::magic, kMagic)) return fault(0, "not a .zel container: bad magic bytes");
    if (bytes.size() < kHeaderBytes) {
        return fault(bytes.size(), "truncated file header: " + num(bytes.size()) + " of " +
                                       num(kHeaderBytes) + " bytes");
    }
    const std::uint16_t version = load(bytes, f::version);
    if (version == kEventStoreVersion) {
        return fault(f::version.at, "this .zel file stores events without loss (format version " +
                                        num(version) + "), not occupancy frames; zelkit.load or zelkit.open_events reads it");
    }
    if (version != kVersion) {
        return fault(f::version.at, "unknown format version " + num(version) +
                                        " (this reader knows " + num(kVersion) + ")");
    }
    if (!sealed(bytes, f::crc.at)) return fault(f::crc.at, "file header checksum mismatch");
    if (load(bytes, f::flags) != 0) return fault(f::flags.at, "reserved header field is not zero");
    if (load(bytes, f::reserved) != 0) {
        return fault(f::reserved.at, "reserved header field is not zero");
    }
    FileHeader h;
    h.grid.width = load(bytes, f::width);
    h.grid.height = load(bytes, f::height);
    h.grid.time_bins = load(bytes, f::time_bins);
    h.grid.max_depth = load(bytes, f::max_depth);
    h.keyframe_interval = load(bytes, f::keyframe_interval);
    h.n_frames = load(bytes, f::n_frames);
    return h;
}

Result<TrailerInfo> parse_trailer(std::span<const std::uint8_t> trailer,
                                  std::uint64_t file_bytes) {
    if (trailer.size() < kTrailerBytes || !holds(trailer, trailer_field::magic, kTrailerMagic)) {
        return TrailerInfo{};
    }
    const std::uint64_t trailer_offset = file_bytes - kTrailerBytes;
    const std::uint64_t index_offset = load(trailer, trailer_field::index_offset);
    const std::uint64_t smallest_index = kIndexHeadBytes + kCrcBytes;
    if (index_offset < kHeaderBytes || index_offset > trailer_offset ||
        trailer_offset - index_offset < smallest_index) {
        return fault(trailer_offset, "index offset " + num(index_offset) +
                                         " lies outside the file's frame area");
    }
    return TrailerInfo{true, index_offset};
}

Result<std::uint64_t> check_index_frame(std::span<const std::uint8_t> block, std::uint64_t index_offset,
                                        std::size_t entry_bytes, std::uint64_t declared, const char* units) {
    namespace f = index_field;
    if (block.size() < kIndexHeadBytes + kCrcBytes || !holds(block, f::tag, kIndexTag)) {
        return fault(index_offset, "the trailer does not point at an index");
    }
    const std::uint64_t count = load(block, f::count);
    const std::uint64_t entries = block.size() - kIndexHeadBytes - kCrcBytes;
    // The count is checked against the bytes present before it sizes anything.
    if (entries % entry_bytes != 0 || count != entries / entry_bytes) {
        return fault(index_offset + f::count.at, "index claims " + num(count) + " " + units +
                                                     " but holds " + num(entries) + " bytes of entries");
    }
    const std::size_t crc_at = block.size() - kCrcBytes;
    if (!sealed(block, crc_at)) return fault(index_offset + crc_at, "index checksum mismatch");
    if (load(block, f::reserved) != 0) {
        return fault(index_offset + f::reserved.at, "reserved index field is not zero");
    }
    if (count != declared) {
        return fault(index_offset + f::count.at,
                     "index lists " + num(count) + " " + units + " but the file header declares " +
                         (declared == kUnknownFrameCount ? std::string("an unknown count") : num(declared)));
    }
    if (count == 0 && index_offset != kHeaderBytes) {
        return fault(kHeaderBytes, num(index_offset - kHeaderBytes) +
                                       " bytes between the file header and an empty index belong to no " +
                                       (units[0] == 'f' ? "frame" : "block"));
    }
    return count;
}

Result<std::vector<FrameSummary>> parse_index(std::span<const std::uint8_t> block,
                                              std::uint64_t index_offset,
                                              const FileHeader& header) {
    ZEL_ASSIGN_OR_RETURN(const std::uint64_t count,
                         check_index_frame(block, index_offset, kIndexEntryBytes, header.n_frames, "frames"));
    std::vector<FrameSummary> frames(count);
    std::uint64_t earliest = kHeaderBytes;
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::size_t at = kIndexHeadBytes + k * kIndexEntryBytes;
        const auto entry = block.subspan(at, kIndexEntryBytes);
        FrameSummary& s = frames[k];
        s.offset = load(entry, entry_field::offset);
        s.t_first = load(entry, entry_field::t_first);
        s.t_last = load(entry, entry_field::t_last);
        s.n_events = load(entry, entry_field::n_events);
        // Record 0 starts right after the header; each later one after the
        // smallest record its predecessor could be, and all before the index.
        const bool in_order = k == 0 ? s.offset == kHeaderBytes : s.offset >= earliest;
        if (!in_order || s.offset > index_offset ||
            index_offset - s.offset < kMinFrameRecordBytes) {
            return fault(index_offset + at, "index entry " + num(k) + " points at offset " +
                                                num(s.offset) + ", outside the frame records");
        }
        if (s.t_first > s.t_last) {
            return fault(index_offset + at + entry_field::t_first.at,
                         "index entry " + num(k) + " has its time range reversed");
        }
        earliest = s.offset + kMinFrameRecordBytes;
    }
    return frames;
}

Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t> bytes, std::uint64_t offset,
                                       std::uint64_t expected_index) {
    namespace f = frame_field;
    if (bytes.size() < kFrameHeaderBytes) {
        return fault(offset + bytes.size(), "truncated frame " + num(expected_index) +
                                                ": its header needs " + num(kFrameHeaderBytes) +
                                                " bytes, " + num(bytes.size()) + " remain");
    }
    if (!holds(bytes, f::tag, kFrameTag)) {
        return fault(offset, "no frame record where frame " + num(expected_index) +
                                 " should start");
    }
    const std::uint8_t kind = load(bytes, f::kind);
    if (kind > kLastFrameKind) return fault(offset + f::kind.at, "unknown frame kind " + num(kind));
    if (!all_zero(bytes, f::reserved)) {
        return fault(offset + f::reserved.at, "reserved frame field is not zero");
    }
    FrameHeader h;
    h.kind = static_cast<FrameKind>(kind);
    h.index = load(bytes, f::index);
    h.t_first = load(bytes, f::t_first);
    h.t_last = load(bytes, f::t_last);
    h.n_events = load(bytes, f::n_events);
    h.n_bits = load(bytes, f::n_bits);
    h.payload_bytes = load(bytes, f::payload_bytes);
    if (h.index != expected_index) {
        return fault(offset + f::index.at,
                     "frame " + num(expected_index) + " is numbered " + num(h.index));
    }
    if (h.t_first > h.t_last) {
        return fault(offset + f::t_first.at,
                     "frame " + num(h.index) + " has its time range reversed");
    }
    // Guards record_bytes() against wrap-around; no real payload comes close.
    if (h.payload_bytes > (std::uint64_t{1} << 62)) {
        return fault(offset + f::payload_bytes.at, "frame " + num(h.index) + " payload length " +
                                                       num(h.payload_bytes) + " is impossible");
    }
    return h;
}

Result<FrameHeader> check_frame_record(std::span<const std::uint8_t> record, std::uint64_t offset,
                                       std::uint64_t expected_index) {
    ZEL_ASSIGN_OR_RETURN(const FrameHeader h, parse_frame_header(record, offset, expected_index));
    const std::uint64_t available = record.size() - kFrameHeaderBytes;
    if (h.payload_bytes > available || available - h.payload_bytes < kCrcBytes) {
        return fault(offset + frame_field::payload_bytes.at,
                     "frame " + num(h.index) + " payload length " + num(h.payload_bytes) +
                         " exceeds the " + num(available) + " bytes that remain of its record");
    }
    if (available - h.payload_bytes != kCrcBytes) {
        return fault(offset + h.record_bytes(),
                     "frame " + num(h.index) + " is followed by " +
                         num(available - h.payload_bytes - kCrcBytes) +
                         " bytes that belong to no record");
    }
    const std::size_t crc_at = kFrameHeaderBytes + h.payload_bytes;
    if (!sealed(record, crc_at)) {
        return fault(offset + crc_at, "frame " + num(h.index) + " checksum mismatch");
    }
    return h;
}

}  // namespace zel::container
