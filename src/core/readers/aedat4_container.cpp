#include "readers/aedat4_container.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "readers/flatbuffer_view.hpp"

namespace zel::camera {
namespace {

// IOHeader fields, in schema order.
constexpr unsigned kFieldCompression = 0;
constexpr unsigned kFieldDataTablePosition = 1;
constexpr unsigned kFieldInfoNode = 2;

bool all_digits(std::string_view s) {
    return !s.empty() && s.size() < 10 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Value of attribute `name` inside one tag's text, or "" when absent.
std::string_view attribute(std::string_view tag, std::string_view name) {
    std::size_t pos = 0;
    while ((pos = tag.find(name, pos)) != std::string_view::npos) {
        const bool starts_word = pos > 0 && (tag[pos - 1] == ' ' || tag[pos - 1] == '\t' || tag[pos - 1] == '\n');
        const std::size_t eq = pos + name.size();
        if (starts_word && eq + 1 < tag.size() && tag[eq] == '=' && tag[eq + 1] == '"') {
            const std::size_t close = tag.find('"', eq + 2);
            if (close == std::string_view::npos) return {};
            return tag.substr(eq + 2, close - eq - 2);
        }
        pos = eq;
    }
    return {};
}

// Splits a DV node path such as "/mainloop/Recorder/outInfo/0/info/" into
// the stream id it describes and whether it is the "info" child.
bool stream_of_path(std::string_view path, std::int32_t& id, bool& is_info) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    const std::size_t n = parts.size();
    std::string_view id_text;
    if (n >= 2 && parts[n - 2] == "outInfo" && all_digits(parts[n - 1])) {
        id_text = parts[n - 1];
        is_info = false;
    } else if (n >= 3 && parts[n - 1] == "info" && parts[n - 3] == "outInfo" && all_digits(parts[n - 2])) {
        id_text = parts[n - 2];
        is_info = true;
    } else {
        return false;
    }
    std::from_chars(id_text.data(), id_text.data() + id_text.size(), id);
    return true;
}

Aedat4Stream& stream_with_id(std::vector<Aedat4Stream>& streams, std::int32_t id) {
    for (auto& s : streams) {
        if (s.id == id) return s;
    }
    streams.push_back(Aedat4Stream{id, {}, {}, {}});
    return streams.back();
}

void parse_side(std::string_view text, std::uint32_t& out) {
    std::uint32_t v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec == std::errc() && ptr == text.data() + text.size() && v <= 65536) out = v;
}

}  // namespace

std::vector<Aedat4Stream> parse_aedat4_streams(std::string_view xml) {
    std::vector<Aedat4Stream> streams;
    // Paths of the open <node> elements, innermost last.
    std::vector<std::string_view> open;
    std::size_t pos = 0;
    while ((pos = xml.find('<', pos)) != std::string_view::npos) {
        const std::size_t close = xml.find('>', pos);
        if (close == std::string_view::npos) break;
        const std::string_view tag = xml.substr(pos + 1, close - pos - 1);
        pos = close + 1;
        if (tag.starts_with("node")) {
            if (!tag.ends_with("/")) open.push_back(attribute(tag, "path"));
        } else if (tag.starts_with("/node")) {
            if (!open.empty()) open.pop_back();
        } else if (tag.starts_with("attr") && !open.empty()) {
            const std::size_t end = xml.find("</attr>", pos);
            if (end == std::string_view::npos) break;
            const std::string_view value = xml.substr(pos, end - pos);
            const std::string_view key = attribute(tag, "key");
            pos = end + 7;
            std::int32_t id = 0;
            bool is_info = false;
            if (!stream_of_path(open.back(), id, is_info)) continue;
            Aedat4Stream& s = stream_with_id(streams, id);
            if (!is_info && key == "typeIdentifier") s.type = std::string(value);
            if (is_info && key == "sizeX") parse_side(value, s.geometry.width);
            if (is_info && key == "sizeY") parse_side(value, s.geometry.height);
            if (is_info && key == "source") s.source = std::string(value);
        }
    }
    std::sort(streams.begin(), streams.end(),
              [](const Aedat4Stream& a, const Aedat4Stream& b) { return a.id < b.id; });
    return streams;
}

Result<std::uint64_t> aedat4_header_end(std::span<const std::uint8_t> preamble,
                                              std::uint64_t file_size) {
    const std::size_t magic_bytes = std::min(preamble.size(), kAedat4Magic.size());
    if (std::memcmp(preamble.data(), kAedat4Magic.data(), magic_bytes) != 0 ||
        preamble.size() < kAedat4Magic.size()) {
        return Error::invalid_data("not an AEDAT 4.0 file (no '#!AER-DAT4.0' line)", 0);
    }
    if (preamble.size() < kAedat4PreambleBytes) {
        return Error::invalid_data("file ends inside the IO header length", kAedat4Magic.size());
    }
    const std::uint64_t length = load_le32(preamble.data() + kAedat4Magic.size());
    const std::uint64_t end = kAedat4PreambleBytes + length;
    // A FlatBuffer starts with the 4-byte offset of its root table; without
    // it the fault is the length, not a position past the end of the file.
    if (length < 4) {
        return Error::invalid_data("IO header of " + std::to_string(length) + " bytes is too short",
                                   kAedat4Magic.size());
    }
    if (end > file_size) {
        return Error::invalid_data("IO header of " + std::to_string(length) + " bytes runs past the end of the file (" +
                                       std::to_string(file_size) + " bytes)",
                                   kAedat4Magic.size());
    }
    return end;
}

Result<Aedat4Header> parse_aedat4_header(std::span<const std::uint8_t> bytes,
                                               std::uint64_t file_size) {
    auto end = aedat4_header_end(bytes, file_size);
    if (!end) return end.error();
    if (end.value() != bytes.size()) {
        return Error::invalid_data("IO header buffer does not match its stated length", 0);
    }
    const FlatView fb(bytes.subspan(kAedat4PreambleBytes), kAedat4PreambleBytes, "IO header");
    auto table = fb.table_at(0);
    if (!table) return table.error();

    Aedat4Header h;
    h.packets_begin = end.value();
    h.packets_end = file_size;

    auto compression = fb.field(table.value(), kFieldCompression, 4);
    if (!compression) return compression.error();
    if (compression.value()) {
        const std::uint32_t c = load_le32(fb.data() + *compression.value());
        if (c > 4) return fb.fault("unknown compression " + std::to_string(static_cast<std::int32_t>(c)));
        h.compression = static_cast<Aedat4Compression>(c);
    }

    auto table_position = fb.field(table.value(), kFieldDataTablePosition, 8);
    if (!table_position) return table_position.error();
    if (table_position.value()) {
        const auto position = static_cast<std::int64_t>(load_le64(fb.data() + *table_position.value()));
        if (position >= 0) {
            const auto p = static_cast<std::uint64_t>(position);
            // Past the end of the file is a recording cut short: the packets
            // before the cut are whole, and the walk finds where it is.
            if (p < h.packets_begin) {
                return fb.fault("data table position " + std::to_string(position) +
                                " is before the packets (" + std::to_string(h.packets_begin) + ")");
            }
            h.packets_end = p;
        }
    }

    auto info = fb.field(table.value(), kFieldInfoNode, 4);
    if (!info) return info.error();
    if (!info.value()) return fb.fault("no stream description");
    auto text = fb.vector_at(*info.value(), 1);
    if (!text) return text.error();
    h.streams = parse_aedat4_streams(
        std::string_view(reinterpret_cast<const char*>(fb.data()) + text.value().data, text.value().length));
    return h;
}

Geometry event_sensor(const Aedat4Header& header) {
    for (const Aedat4Stream& s : header.streams) {
        if (s.type == "EVTS") return s.geometry.width != 0 && s.geometry.height != 0 ? s.geometry : Geometry{};
    }
    return {};
}

Result<Aedat4Packet> parse_aedat4_packet(std::span<const std::uint8_t> bytes,
                                               std::uint64_t offset, std::uint64_t packets_end) {
    if (bytes.size() < kAedat4PacketHeaderBytes || offset + kAedat4PacketHeaderBytes > packets_end) {
        return Error::invalid_data("truncated packet header", offset);
    }
    Aedat4Packet p;
    p.offset = offset;
    p.stream_id = static_cast<std::int32_t>(load_le32(bytes.data()));
    const auto size = static_cast<std::int32_t>(load_le32(bytes.data() + 4));
    if (size <= 0) {
        return Error::invalid_data("packet size " + std::to_string(size) + " is not positive", offset);
    }
    p.size = static_cast<std::uint32_t>(size);
    if (p.size > kMaxAedat4PacketBytes) {
        return Error::invalid_data("packet of " + std::to_string(p.size) + " bytes exceeds the " +
                                       std::to_string(kMaxAedat4PacketBytes) + "-byte limit",
                                   offset);
    }
    if (offset + kAedat4PacketHeaderBytes + p.size > packets_end) {
        return Error::invalid_data(
            "packet of " + std::to_string(p.size) + " bytes runs past the end of the packets (truncated file?)", offset);
    }
    return p;
}

}  // namespace zel::camera
