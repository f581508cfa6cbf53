#include "container/container_format.hpp"

#include <algorithm>
#include <cstring>

#include "base/crc32c.hpp"

namespace zel::container {

namespace {

constexpr std::uint8_t kFrameTag[4] = {'F', 'R', 'A', 'M'};
constexpr std::uint8_t kIndexTag[4] = {'I', 'N', 'D', 'X'};
constexpr std::uint8_t kTrailerMagic[8] = {'Z', 'E', 'L', 'I', 'N', 'D', 'E', 'X'};

template <class T>
void put(std::vector<std::uint8_t>& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
    }
}

template <class T>
T get(std::span<const std::uint8_t> bytes, std::size_t at) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
    }
    return static_cast<T>(v);
}

void put_crc(std::vector<std::uint8_t>& out, std::size_t from) {
    put<std::uint32_t>(out, crc32c(std::span<const std::uint8_t>(out).subspan(from)));
}

bool crc_matches(std::span<const std::uint8_t> covered, std::span<const std::uint8_t> stored) {
    return crc32c(covered) == get<std::uint32_t>(stored, 0);
}

FormatFault fault(std::uint64_t offset, std::string message) {
    return {offset, std::move(message)};
}

std::string num(std::uint64_t v) { return std::to_string(v); }

}  // namespace

void append_header(const FileHeader& header, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
    put<std::uint16_t>(out, kVersion);
    put<std::uint16_t>(out, 0);  // flags
    put<std::uint16_t>(out, header.width);
    put<std::uint16_t>(out, header.height);
    put<std::uint16_t>(out, header.time_bins);
    put<std::uint8_t>(out, header.max_depth);
    put<std::uint8_t>(out, 0);
    put<std::uint32_t>(out, header.keyframe_interval);
    put<std::uint64_t>(out, header.n_frames);
    put_crc(out, start);
}

void append_frame(const FrameHeader& frame, std::span<const std::uint8_t> payload,
                  std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.insert(out.end(), std::begin(kFrameTag), std::end(kFrameTag));
    put<std::uint8_t>(out, static_cast<std::uint8_t>(frame.kind));
    put<std::uint8_t>(out, 0);
    put<std::uint16_t>(out, 0);
    put<std::uint64_t>(out, frame.index);
    put<std::uint32_t>(out, frame.t_first);
    put<std::uint32_t>(out, frame.t_last);
    put<std::uint64_t>(out, frame.n_events);
    put<std::uint64_t>(out, frame.n_bits);
    put<std::uint64_t>(out, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    put_crc(out, start);
}

void append_index_entry(const FrameSummary& entry, std::vector<std::uint8_t>& out) {
    put<std::uint64_t>(out, entry.offset);
    put<std::uint32_t>(out, entry.t_first);
    put<std::uint32_t>(out, entry.t_last);
    put<std::uint64_t>(out, entry.n_events);
}

void append_index(std::span<const std::uint8_t> entries, std::uint64_t index_offset,
                  std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.insert(out.end(), std::begin(kIndexTag), std::end(kIndexTag));
    put<std::uint32_t>(out, 0);
    put<std::uint64_t>(out, entries.size() / kIndexEntryBytes);
    out.insert(out.end(), entries.begin(), entries.end());
    put_crc(out, start);
    put<std::uint64_t>(out, index_offset);
    out.insert(out.end(), std::begin(kTrailerMagic), std::end(kTrailerMagic));
}

Parsed<FileHeader> parse_header(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof(kMagic) || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
        return fault(0, "not a .zel container: bad magic bytes");
    }
    if (bytes.size() < kHeaderBytes) {
        return fault(bytes.size(), "truncated file header: " + num(bytes.size()) + " of " +
                                       num(kHeaderBytes) + " bytes");
    }
    const std::uint16_t version = get<std::uint16_t>(bytes, 8);
    if (version != kVersion) {
        return fault(8, "unknown format version " + num(version) + " (this reader knows " +
                            num(kVersion) + ")");
    }
    if (!crc_matches(bytes.first(32), bytes.subspan(32))) {
        return fault(32, "file header checksum mismatch");
    }
    if (get<std::uint16_t>(bytes, 10) != 0 || bytes[19] != 0) {
        return fault(get<std::uint16_t>(bytes, 10) != 0 ? 10 : 19,
                     "reserved header field is not zero");
    }
    FileHeader h;
    h.width = get<std::uint16_t>(bytes, 12);
    h.height = get<std::uint16_t>(bytes, 14);
    h.time_bins = get<std::uint16_t>(bytes, 16);
    h.max_depth = bytes[18];
    h.keyframe_interval = get<std::uint32_t>(bytes, 20);
    h.n_frames = get<std::uint64_t>(bytes, 24);
    return h;
}

Parsed<TrailerInfo> parse_trailer(std::span<const std::uint8_t> trailer,
                                  std::uint64_t file_bytes) {
    if (trailer.size() < kTrailerBytes ||
        std::memcmp(trailer.data() + 8, kTrailerMagic, sizeof(kTrailerMagic)) != 0) {
        return TrailerInfo{};
    }
    const std::uint64_t trailer_offset = file_bytes - kTrailerBytes;
    const std::uint64_t index_offset = get<std::uint64_t>(trailer, 0);
    const std::uint64_t smallest_index = kIndexHeadBytes + kFrameCrcBytes;
    if (index_offset < kHeaderBytes || index_offset > trailer_offset ||
        trailer_offset - index_offset < smallest_index) {
        return fault(trailer_offset, "index offset " + num(index_offset) +
                                         " lies outside the file's frame area");
    }
    return TrailerInfo{true, index_offset};
}

Parsed<std::vector<FrameSummary>> parse_index(std::span<const std::uint8_t> block,
                                              std::uint64_t index_offset,
                                              const FileHeader& header) {
    if (block.size() < kIndexHeadBytes + kFrameCrcBytes ||
        std::memcmp(block.data(), kIndexTag, sizeof(kIndexTag)) != 0) {
        return fault(index_offset, "the trailer does not point at an index");
    }
    const std::uint64_t count = get<std::uint64_t>(block, 8);
    const std::uint64_t entry_bytes = block.size() - kIndexHeadBytes - kFrameCrcBytes;
    // The count is checked against the bytes present before it sizes anything.
    if (entry_bytes % kIndexEntryBytes != 0 || count != entry_bytes / kIndexEntryBytes) {
        return fault(index_offset + 8, "index claims " + num(count) + " frames but holds " +
                                           num(entry_bytes) + " bytes of entries");
    }
    const std::size_t crc_at = block.size() - kFrameCrcBytes;
    if (!crc_matches(block.first(crc_at), block.subspan(crc_at))) {
        return fault(index_offset + crc_at, "index checksum mismatch");
    }
    if (count != header.n_frames) {
        return fault(index_offset + 8, "index lists " + num(count) +
                                           " frames but the file header declares " +
                                           (header.n_frames == kUnknownFrameCount
                                                ? std::string("an unknown count")
                                                : num(header.n_frames)));
    }
    std::vector<FrameSummary> frames(count);
    std::uint64_t expected = kHeaderBytes;
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::size_t at = kIndexHeadBytes + k * kIndexEntryBytes;
        FrameSummary& f = frames[k];
        f.offset = get<std::uint64_t>(block, at);
        f.t_first = get<std::uint32_t>(block, at + 8);
        f.t_last = get<std::uint32_t>(block, at + 12);
        f.n_events = get<std::uint64_t>(block, at + 16);
        const bool first_ok = k == 0 ? f.offset == kHeaderBytes : f.offset >= expected;
        if (!first_ok || f.offset > index_offset ||
            index_offset - f.offset < kFrameHeaderBytes + kFrameCrcBytes) {
            return fault(index_offset + at, "index entry " + num(k) + " points at offset " +
                                                num(f.offset) +
                                                ", outside the frame records");
        }
        if (f.t_first > f.t_last) {
            return fault(index_offset + at + 8,
                         "index entry " + num(k) + " has its time range reversed");
        }
        expected = f.offset + kFrameHeaderBytes + kFrameCrcBytes;
    }
    return frames;
}

Parsed<FrameHeader> parse_frame_header(std::span<const std::uint8_t> bytes, std::uint64_t offset,
                                       std::uint64_t expected_index) {
    if (bytes.size() < kFrameHeaderBytes) {
        return fault(offset + bytes.size(), "truncated frame " + num(expected_index) +
                                                ": its header needs " + num(kFrameHeaderBytes) +
                                                " bytes, " + num(bytes.size()) + " remain");
    }
    if (std::memcmp(bytes.data(), kFrameTag, sizeof(kFrameTag)) != 0) {
        return fault(offset, "no frame record where frame " + num(expected_index) +
                                 " should start");
    }
    if (bytes[4] > static_cast<std::uint8_t>(FrameKind::Delta)) {
        return fault(offset + 4, "unknown frame kind " + num(bytes[4]));
    }
    if (bytes[5] != 0 || get<std::uint16_t>(bytes, 6) != 0) {
        return fault(offset + 5, "reserved frame field is not zero");
    }
    FrameHeader h;
    h.kind = static_cast<FrameKind>(bytes[4]);
    h.index = get<std::uint64_t>(bytes, 8);
    h.t_first = get<std::uint32_t>(bytes, 16);
    h.t_last = get<std::uint32_t>(bytes, 20);
    h.n_events = get<std::uint64_t>(bytes, 24);
    h.n_bits = get<std::uint64_t>(bytes, 32);
    h.payload_bytes = get<std::uint64_t>(bytes, 40);
    if (h.index != expected_index) {
        return fault(offset + 8, "frame " + num(expected_index) + " is numbered " + num(h.index));
    }
    if (h.t_first > h.t_last) {
        return fault(offset + 16, "frame " + num(h.index) + " has its time range reversed");
    }
    // Guards record_bytes() against wrap-around; no real payload comes close.
    if (h.payload_bytes > (std::uint64_t{1} << 62)) {
        return fault(offset + 40, "frame " + num(h.index) + " payload length " +
                                      num(h.payload_bytes) + " is impossible");
    }
    return h;
}

Parsed<FrameHeader> check_frame_record(std::span<const std::uint8_t> record, std::uint64_t offset,
                                       std::uint64_t expected_index) {
    Parsed<FrameHeader> parsed = parse_frame_header(record, offset, expected_index);
    if (!parsed) return parsed;
    const FrameHeader& h = parsed.value();
    const std::uint64_t available = record.size() - kFrameHeaderBytes;
    if (h.payload_bytes > available || available - h.payload_bytes < kFrameCrcBytes) {
        return fault(offset + 40, "frame " + num(h.index) + " payload length " +
                                      num(h.payload_bytes) + " exceeds the " + num(available) +
                                      " bytes that remain of its record");
    }
    if (available - h.payload_bytes != kFrameCrcBytes) {
        return fault(offset + h.record_bytes(),
                     "frame " + num(h.index) + " is followed by " +
                         num(available - h.payload_bytes - kFrameCrcBytes) +
                         " bytes that belong to no record");
    }
    const std::size_t crc_at = kFrameHeaderBytes + h.payload_bytes;
    if (!crc_matches(record.first(crc_at), record.subspan(crc_at))) {
        return fault(offset + crc_at, "frame " + num(h.index) + " checksum mismatch");
    }
    return parsed;
}

}  // namespace zel::container
