// Camera formats: header parsing, AEDAT 4 container structure and the DAT
// and EVT 2.0 writers. The decoders themselves are types (camera_decoders).
#include <string>

#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "conversions.hpp"
#include "format_errors.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/aedat4_container.hpp"
#include "readers/prophesee_header.hpp"
#include "without_gil.hpp"
#include "writers/camera_writers.hpp"

namespace zelkit::native {
namespace {

using zel::camera::Geometry;
using zel::camera::PropheseeHeader;
using zel::py::function_def;
using zel::py::param;
using zel::py::PyRef;
using zel::py::signature;

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// Sets d[key] = value, stealing `value`.
bool set_item(PyObject* d, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(d, key, owned.get()) == 0;
}

PyObject* side_or_none(std::uint32_t v) {
    if (v == 0) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(v);
}

PyObject* header_dict(const PropheseeHeader& h) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    const char* encoding = h.encoding == PropheseeHeader::Encoding::Evt2   ? "evt2"
                           : h.encoding == PropheseeHeader::Encoding::Evt3 ? "evt3"
                                                                           : "dat";
    PyRef fields(PyList_New(0));
    if (!fields) return nullptr;
    for (const auto& [key, value] : h.fields) {
        PyRef k(text(key)), v(text(value));
        if (!k || !v) return nullptr;
        PyRef pair(PyTuple_Pack(2, k.get(), v.get()));
        if (!pair || PyList_Append(fields.get(), pair.get()) < 0) return nullptr;
    }
    if (!set_item(d.get(), "encoding", PyUnicode_FromString(encoding)) ||
        !set_item(d.get(), "data_offset", PyLong_FromSize_t(h.data_offset)) ||
        !set_item(d.get(), "width", side_or_none(h.geometry.width)) ||
        !set_item(d.get(), "height", side_or_none(h.geometry.height)) ||
        !set_item(d.get(), "geometry_source", text(h.geometry_source)) ||
        !set_item(d.get(), "fields", fields.release())) {
        return nullptr;
    }
    if (h.encoding == PropheseeHeader::Encoding::Dat &&
        !set_item(d.get(), "event_type", PyLong_FromUnsignedLong(h.dat_event_type))) {
        return nullptr;
    }
    return d.release();
}

struct PrefixArgs {
    BufferView prefix;
};

using HeaderParser = zel::camera::DecodeResult<PropheseeHeader> (*)(std::span<const std::uint8_t>);

template <HeaderParser Parse>
PyObject* parse_header(PyObject*, PrefixArgs& a) {
    auto h = Parse(a.prefix.bytes());
    if (!h) return raise_decode_error(h.error());
    return header_dict(h.value());
}

constexpr auto kRawHeader = signature<PrefixArgs>(
    {.name = "raw_header", .doc = "The '%' header of a Prophesee RAW file, as a dict."},
    param<&PrefixArgs::prefix, convert_buffer>("prefix"));
constexpr auto kDatHeader = signature<PrefixArgs>(
    {.name = "dat_header", .doc = "The header of a Prophesee DAT file, as a dict."},
    param<&PrefixArgs::prefix, convert_buffer>("prefix"));

// Bytes from the start of an AEDAT 4 file, and the file's size.
struct FileStartArgs {
    BufferView bytes;
    std::uint64_t file_size = 0;
};

constexpr auto kFileSizeParam =
    param<&FileStartArgs::file_size, convert_unsigned<std::uint64_t>>("file_size");

constexpr auto kAedat4HeaderEnd = signature<FileStartArgs>(
    {.name = "aedat4_header_end",
     .doc = "Bytes of the AEDAT 4 header, from the file's first bytes."},
    param<&FileStartArgs::bytes, convert_buffer>("preamble"), kFileSizeParam);

PyObject* aedat4_header_end(PyObject*, FileStartArgs& a) {
    auto end = zel::camera::aedat4_header_end(a.bytes.bytes(), a.file_size);
    if (!end) return raise_decode_error(end.error());
    return PyLong_FromUnsignedLongLong(end.value());
}

constexpr auto kAedat4Header = signature<FileStartArgs>(
    {.name = "aedat4_header",
     .doc = "The AEDAT 4 header (compression, packet range, streams), as a dict."},
    param<&FileStartArgs::bytes, convert_buffer>("data"), kFileSizeParam);

PyObject* aedat4_header(PyObject*, FileStartArgs& a) {
    auto h = zel::camera::parse_aedat4_header(a.bytes.bytes(), a.file_size);
    if (!h) return raise_decode_error(h.error());
    static const char* kCompression[] = {"none", "lz4", "lz4", "zstd", "zstd"};
    PyRef streams(PyList_New(0));
    if (!streams) return nullptr;
    for (const auto& s : h.value().streams) {
        PyRef d(PyDict_New());
        if (!d || !set_item(d.get(), "id", PyLong_FromLong(s.id)) ||
            !set_item(d.get(), "type", text(s.type)) || !set_item(d.get(), "source", text(s.source)) ||
            !set_item(d.get(), "width", side_or_none(s.geometry.width)) ||
            !set_item(d.get(), "height", side_or_none(s.geometry.height)) ||
            PyList_Append(streams.get(), d.get()) < 0) {
            return nullptr;
        }
    }
    PyRef d(PyDict_New());
    if (!d ||
        !set_item(d.get(), "compression",
                  PyUnicode_FromString(kCompression[static_cast<int>(h.value().compression)])) ||
        !set_item(d.get(), "packets_begin", PyLong_FromUnsignedLongLong(h.value().packets_begin)) ||
        !set_item(d.get(), "packets_end", PyLong_FromUnsignedLongLong(h.value().packets_end)) ||
        !set_item(d.get(), "streams", streams.release())) {
        return nullptr;
    }
    return d.release();
}

struct PacketArgs {
    BufferView header;
    std::uint64_t offset = 0;
    std::uint64_t packets_end = 0;
};

constexpr auto kAedat4Packet = signature<PacketArgs>(
    {.name = "aedat4_packet",
     .doc = "(stream_id, size) of the packet whose 8-byte header is at offset."},
    param<&PacketArgs::header, convert_buffer>("header"),
    param<&PacketArgs::offset, convert_unsigned<std::uint64_t>>("offset"),
    param<&PacketArgs::packets_end, convert_unsigned<std::uint64_t>>("packets_end"));

PyObject* aedat4_packet(PyObject*, PacketArgs& a) {
    auto p = zel::camera::parse_aedat4_packet(a.header.bytes(), a.offset, a.packets_end);
    if (!p) return raise_decode_error(p.error());
    return Py_BuildValue("(iI)", p.value().stream_id, p.value().size);
}

struct EncodeArgs {
    PackedView events;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::string date;
};

using Encoder = zel::camera::EncodeResult (*)(zel::PackedEvents, Geometry, std::string_view);

template <Encoder Encode>
PyObject* encode(PyObject* module, EncodeArgs& a) {
    auto result = without_gil(
        [&] { return Encode(a.events.events(), Geometry{a.width, a.height}, a.date); });
    if (!result) return raise_encode_error(result.error());
    return new_buffer(native_state(module), std::move(result.value()));
}

consteval auto encoder_signature(const char* name, const char* doc) {
    return signature<EncodeArgs>(
        {.name = name, .doc = doc}, param<&EncodeArgs::events, convert_records>("events"),
        param<&EncodeArgs::width, convert_unsigned<std::uint32_t>>("width"),
        param<&EncodeArgs::height, convert_unsigned<std::uint32_t>>("height"),
        param<&EncodeArgs::date, convert_str>("date"));
}

constexpr auto kEncodeDat = encoder_signature("encode_dat", "A Prophesee DAT file of the events.");
constexpr auto kEncodeEvt2 =
    encoder_signature("encode_evt2", "A Prophesee RAW file (EVT 2.0) of the events.");

PyMethodDef g_format_functions[] = {
    function_def<kRawHeader, parse_header<zel::camera::parse_raw_header>>(),
    function_def<kDatHeader, parse_header<zel::camera::parse_dat_header>>(),
    function_def<kAedat4HeaderEnd, aedat4_header_end>(),
    function_def<kAedat4Header, aedat4_header>(),
    function_def<kAedat4Packet, aedat4_packet>(),
    function_def<kEncodeDat, encode<zel::camera::encode_dat>>(),
    function_def<kEncodeEvt2, encode<zel::camera::encode_evt2>>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_format_functions(PyObject* module, NativeState&) {
    return add_functions_uniquely(module, g_format_functions);
}

}  // namespace zelkit::native
