#pragma once

// Byte-level builders of camera-format test input, written from the public
// format descriptions: little-endian words, and AEDAT 4 headers and event
// packets as minimal FlatBuffers.

#include <cstdint>
#include <string>
#include <vector>

#include "readers/aedat4_container.hpp"

namespace zel_test::camera_files {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& b, std::uint32_t w) {
    b.push_back(static_cast<std::uint8_t>(w));
    b.push_back(static_cast<std::uint8_t>(w >> 8));
}
inline void put32(Bytes& b, std::uint32_t w) {
    put16(b, w & 0xFFFF);
    put16(b, w >> 16);
}
inline void put64(Bytes& b, std::uint64_t w) {
    put32(b, static_cast<std::uint32_t>(w));
    put32(b, static_cast<std::uint32_t>(w >> 32));
}

// A minimal FlatBuffer: root offset, optional identifier, one table whose
// fields are given as (vtable slot, bytes) in order.
struct FlatBuilder {
    Bytes out;
    // Table with `fields` laid out after a 4-byte soffset; returns bytes.
    static Bytes table(const char* ident, const std::vector<Bytes>& fields, const Bytes& tail_for_offsets = {}) {
        (void)tail_for_offsets;
        Bytes b;
        const std::size_t n = fields.size();
        const std::size_t vt_size = 4 + 2 * n;
        // layout: [root u32][ident 4][vtable][table: soffset, fields...]
        const std::size_t vt_pos = 8;
        const std::size_t table_pos = vt_pos + vt_size + (vt_size % 4 ? 2 : 0);
        put32(b, static_cast<std::uint32_t>(table_pos));
        for (int i = 0; i < 4; ++i) b.push_back(ident ? static_cast<std::uint8_t>(ident[i]) : 0);
        std::size_t obj = 4;
        std::vector<std::size_t> offsets;
        for (const auto& f : fields) {
            offsets.push_back(obj);
            obj += f.size();
        }
        put16(b, static_cast<std::uint32_t>(vt_size));
        put16(b, static_cast<std::uint32_t>(obj));
        for (auto o : offsets) put16(b, static_cast<std::uint32_t>(o));
        while (b.size() < table_pos) b.push_back(0);
        put32(b, static_cast<std::uint32_t>(table_pos - vt_pos));
        for (const auto& f : fields) b.insert(b.end(), f.begin(), f.end());
        return b;
    }
};

inline Bytes le32(std::uint32_t v) { Bytes b; put32(b, v); return b; }
inline Bytes le64(std::uint64_t v) { Bytes b; put64(b, v); return b; }

inline const char* kInfoXml =
    "<dv version=\"2.0\"><node name=\"outInfo\" path=\"/mainloop/Recorder/outInfo/\">"
    "<node name=\"0\" path=\"/mainloop/Recorder/outInfo/0/\"><attr key=\"typeIdentifier\" type=\"string\">EVTS</attr>"
    "<node name=\"info\" path=\"/mainloop/Recorder/outInfo/0/info/\"><attr key=\"sizeX\" type=\"int\">346</attr>"
    "<attr key=\"sizeY\" type=\"int\">260</attr></node></node>"
    "<node name=\"2\" path=\"/mainloop/Recorder/outInfo/2/\"><attr key=\"typeIdentifier\" type=\"string\">IMUS</attr>"
    "</node></node></dv>";

// IOHeader: compression, data-table position (-1), infoNode string placed
// after the table (its offset field points 12 bytes on, past the int64).
inline Bytes aedat4_header(std::uint32_t compression, std::int64_t table_position, std::uint32_t declared_extra = 0) {
    const std::string xml = kInfoXml;
    // fields: compression (4), info offset (4), table position (8)
    Bytes fb = FlatBuilder::table("IOHE", {le32(compression), le32(12), le64(static_cast<std::uint64_t>(table_position))});
    // Reorder the vtable slots: slot0 compression, slot1 position, slot2 info.
    // FlatBuilder gave offsets 4, 8, 12 for (compression, info, position).
    fb[12] = 4;   // slot 0 -> compression at +4
    fb[14] = 12;  // slot 1 -> position at +12
    fb[16] = 8;   // slot 2 -> info at +8
    put32(fb, static_cast<std::uint32_t>(xml.size()));
    fb.insert(fb.end(), xml.begin(), xml.end());
    Bytes file(zel::camera::kAedat4Magic.begin(), zel::camera::kAedat4Magic.end());
    put32(file, static_cast<std::uint32_t>(fb.size()) + declared_extra);
    file.insert(file.end(), fb.begin(), fb.end());
    return file;
}

struct AedatEvent {
    std::int64_t t;
    std::int16_t x, y;
    std::uint8_t on;
};

inline Bytes event_packet(const std::vector<AedatEvent>& events, std::uint32_t claimed_count = 0) {
    Bytes fb = FlatBuilder::table("EVTS", {le32(4)});
    put32(fb, claimed_count ? claimed_count : static_cast<std::uint32_t>(events.size()));
    for (const auto& e : events) {
        put64(fb, static_cast<std::uint64_t>(e.t));
        put16(fb, static_cast<std::uint16_t>(e.x));
        put16(fb, static_cast<std::uint16_t>(e.y));
        fb.push_back(e.on);
        fb.insert(fb.end(), 3, 0);
    }
    Bytes out;
    put32(out, static_cast<std::uint32_t>(fb.size()));
    out.insert(out.end(), fb.begin(), fb.end());
    return out;
}

}  // namespace zel_test::camera_files
