#include "readers/prophesee_header.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace zel::camera {
namespace {

struct TextHeader {
    std::size_t end = 0;
    bool saw_end_line = false;
    std::vector<std::pair<std::string, std::string>> fields;
};

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Reads '%' lines up to the first byte that does not start one, or up to
// and including a "% end" line (newer recorders write it so that event
// bytes equal to '%' are not mistaken for header).
Result<TextHeader> read_text_header(std::span<const std::uint8_t> prefix) {
    TextHeader header;
    std::size_t pos = 0;
    while (pos < prefix.size() && prefix[pos] == '%') {
        const std::size_t limit = std::min(prefix.size(), kMaxPropheseeHeaderBytes);
        std::size_t eol = pos;
        while (eol < limit && prefix[eol] != '\n') ++eol;
        if (eol == limit) {
            if (limit == kMaxPropheseeHeaderBytes) {
                return Error::invalid_data(
                    "header is longer than " + std::to_string(kMaxPropheseeHeaderBytes) + " bytes", pos);
            }
            return Error::invalid_data("header line has no end of line", pos);
        }
        std::string_view line(reinterpret_cast<const char*>(prefix.data()) + pos + 1, eol - pos - 1);
        line = trim(line);
        const std::size_t space = line.find_first_of(" \t");
        std::string_view key = line.substr(0, space);
        std::string_view value = space == std::string_view::npos ? std::string_view{} : trim(line.substr(space));
        header.fields.emplace_back(std::string(key), std::string(value));
        pos = eol + 1;
        if (key == "end" && value.empty()) {
            header.saw_end_line = true;
            break;
        }
    }
    header.end = pos;
    return header;
}

bool parse_side(std::string_view text, std::uint32_t& out) {
    text = trim(text);
    std::uint32_t v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size() || v == 0 || v > 65536) return false;
    out = v;
    return true;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// "1280x720"
bool parse_geometry_value(std::string_view value, Geometry& g) {
    const std::size_t x = value.find('x');
    if (x == std::string_view::npos) return false;
    Geometry out;
    if (!parse_side(value.substr(0, x), out.width) || !parse_side(value.substr(x + 1), out.height)) {
        return false;
    }
    g = out;
    return true;
}

// "EVT3;height=720;width=1280"
void parse_format_value(std::string_view value, std::string& name, Geometry& g) {
    Geometry found;
    std::size_t start = 0;
    bool first = true;
    while (start <= value.size()) {
        std::size_t end = value.find(';', start);
        if (end == std::string_view::npos) end = value.size();
        std::string_view item = trim(value.substr(start, end - start));
        if (first) {
            name = lower(item);
            first = false;
        } else if (item.starts_with("width=")) {
            parse_side(item.substr(6), found.width);
        } else if (item.starts_with("height=")) {
            parse_side(item.substr(7), found.height);
        }
        start = end + 1;
    }
    if (found.width != 0 && found.height != 0) g = found;
}

// Older recorders name only the sensor; these are the published resolutions
// of Prophesee's sensor generations.
Geometry geometry_of_sensor(std::string_view name) {
    const std::string s = lower(name);
    if (s.find("genx320") != std::string::npos || s.find("gen_x320") != std::string::npos) return {320, 320};
    if (s.find("imx636") != std::string::npos || s.find("gen4") != std::string::npos) return {1280, 720};
    if (s.find("gen3") != std::string::npos) return {640, 480};
    return {};
}

Geometry geometry_of_generation(std::string_view value) {
    value = trim(value);
    if (value == "4.1" || value == "4.0" || value == "4") return {1280, 720};
    if (value == "3.1" || value == "3.0" || value == "3") return {640, 480};
    return {};
}

void find_geometry(PropheseeHeader& h) {
    Geometry from_header, width_height, inferred;
    for (const auto& [key, value] : h.fields) {
        if (key == "geometry") parse_geometry_value(value, from_header);
        if (key == "Width") parse_side(value, width_height.width);
        if (key == "Height") parse_side(value, width_height.height);
        if (key == "plugin_name" && inferred.width == 0) inferred = geometry_of_sensor(value);
        if (key == "sensor_generation" && inferred.width == 0) inferred = geometry_of_generation(value);
    }
    if (from_header.width == 0 && width_height.width != 0 && width_height.height != 0) {
        from_header = width_height;
    }
    if (from_header.width == 0) {
        std::string name;
        for (const auto& [key, value] : h.fields) {
            if (key == "format") parse_format_value(value, name, from_header);
        }
    }
    if (from_header.width != 0) {
        h.geometry = from_header;
        h.geometry_source = "header";
    } else if (inferred.width != 0) {
        h.geometry = inferred;
        h.geometry_source = "sensor";
    }
}

}  // namespace

Result<PropheseeHeader> parse_raw_header(std::span<const std::uint8_t> prefix) {
    auto text = read_text_header(prefix);
    if (!text) return text.error();
    PropheseeHeader h;
    h.fields = std::move(text.value().fields);
    h.data_offset = text.value().end;

    std::string evt, format_name;
    Geometry ignored;
    for (const auto& [key, value] : h.fields) {
        if (key == "evt") evt = value;
        if (key == "format") parse_format_value(value, format_name, ignored);
    }
    if (evt == "3.0" || (evt.empty() && format_name == "evt3")) {
        h.encoding = PropheseeHeader::Encoding::Evt3;
    } else if (evt == "2.0" || (evt.empty() && format_name == "evt2")) {
        h.encoding = PropheseeHeader::Encoding::Evt2;
    } else if (evt.empty() && format_name.empty()) {
        return Error::invalid_data("RAW header has no 'evt' or 'format' line naming the encoding", 0);
    } else {
        return Error::invalid_data("unsupported RAW encoding '" + (evt.empty() ? format_name : "evt " + evt) +
                                       "' (EVT 2.0 and EVT 3.0 are read)",
                                   0);
    }
    find_geometry(h);
    return h;
}

Result<PropheseeHeader> parse_dat_header(std::span<const std::uint8_t> prefix) {
    auto text = read_text_header(prefix);
    if (!text) return text.error();
    PropheseeHeader h;
    h.encoding = PropheseeHeader::Encoding::Dat;
    h.fields = std::move(text.value().fields);
    const std::size_t end = text.value().end;
    if (prefix.size() - end < 2) {
        return Error::invalid_data("file ends before the event type and size bytes", end);
    }
    h.dat_event_type = prefix[end];
    h.dat_event_size = prefix[end + 1];
    // Event2d (0) and EventCD (12) share the CD record layout.
    if (h.dat_event_type != 0 && h.dat_event_type != 12) {
        return Error::invalid_data(
            "DAT event type " + std::to_string(h.dat_event_type) + " is not a CD event type (0 or 12)", end);
    }
    if (h.dat_event_size != 8) {
        return Error::invalid_data("DAT event size is " + std::to_string(h.dat_event_size) + " bytes, not 8",
                                   end + 1);
    }
    h.data_offset = end + 2;
    find_geometry(h);
    return h;
}

}  // namespace zel::camera
