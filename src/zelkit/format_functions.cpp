// Camera formats: header parsing, AEDAT 4 container structure and the DAT
// and EVT 2.0 writers. The decoders themselves are types (camera_decoders).
#include <string>

#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "camera_decoders.hpp"
#include "format_errors.hpp"
#include "parts.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/aedat4_container.hpp"
#include "readers/prophesee_header.hpp"
#include "without_gil.hpp"
#include "writers/camera_writers.hpp"

namespace zelkit::native {
namespace {

using zel::camera::Geometry;
using zel::camera::PropheseeHeader;
using zel::py::guarded;
using zel::py::PyRef;

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

using HeaderParser = zel::camera::DecodeResult<PropheseeHeader> (*)(std::span<const std::uint8_t>);

PyObject* parse_header(PyObject* prefix_obj, HeaderParser parser) {
    return guarded([&]() -> PyObject* {
        BufferView prefix;
        if (!prefix.acquire(prefix_obj)) return nullptr;
        auto h = parser({prefix.data(), prefix.size()});
        if (!h) return raise_decode_error(h.error());
        return header_dict(h.value());
    });
}

PyObject* raw_header(PyObject*, PyObject* prefix) { return parse_header(prefix, zel::camera::parse_raw_header); }
PyObject* dat_header(PyObject*, PyObject* prefix) { return parse_header(prefix, zel::camera::parse_dat_header); }

PyObject* aedat4_header_end(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* preamble_obj = nullptr;
        unsigned long long file_size = 0;
        if (!PyArg_ParseTuple(args, "OK:aedat4_header_end", &preamble_obj, &file_size)) return nullptr;
        BufferView preamble;
        if (!preamble.acquire(preamble_obj)) return nullptr;
        auto end = zel::camera::aedat4_header_end({preamble.data(), preamble.size()}, file_size);
        if (!end) return raise_decode_error(end.error());
        return PyLong_FromUnsignedLongLong(end.value());
    });
}

PyObject* aedat4_header(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* bytes_obj = nullptr;
        unsigned long long file_size = 0;
        if (!PyArg_ParseTuple(args, "OK:aedat4_header", &bytes_obj, &file_size)) return nullptr;
        BufferView bytes;
        if (!bytes.acquire(bytes_obj)) return nullptr;
        auto h = zel::camera::parse_aedat4_header({bytes.data(), bytes.size()}, file_size);
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
    });
}

PyObject* aedat4_packet(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* bytes_obj = nullptr;
        unsigned long long offset = 0, end = 0;
        if (!PyArg_ParseTuple(args, "OKK:aedat4_packet", &bytes_obj, &offset, &end)) return nullptr;
        BufferView bytes;
        if (!bytes.acquire(bytes_obj)) return nullptr;
        auto p = zel::camera::parse_aedat4_packet({bytes.data(), bytes.size()}, offset, end);
        if (!p) return raise_decode_error(p.error());
        return Py_BuildValue("(iI)", p.value().stream_id, p.value().size);
    });
}

using Encoder = zel::camera::EncodeResult (*)(zel::PackedEvents, Geometry, std::string_view);

PyObject* encode(PyObject* args, const char* format, Encoder encoder) {
    return guarded([&]() -> PyObject* {
        PyObject* events_obj = nullptr;
        unsigned int width = 0, height = 0;
        const char* date = nullptr;
        if (!PyArg_ParseTuple(args, format, &events_obj, &width, &height, &date)) return nullptr;
        BufferView events;
        if (!events.acquire(events_obj)) return nullptr;
        if (events.size() % zel::kPackedEventBytes != 0) {
            PyErr_SetString(PyExc_ValueError, "events buffer is not a whole number of 9-byte records");
            return nullptr;
        }
        const std::string date_text(date);
        auto result = without_gil([&] {
            return encoder(zel::PackedEvents(events.data(), events.size() / zel::kPackedEventBytes),
                           Geometry{width, height}, date_text);
        });
        if (!result) return raise_encode_error(result.error());
        return new_buffer(std::move(result.value()));
    });
}

PyObject* encode_dat(PyObject*, PyObject* args) { return encode(args, "OIIs:encode_dat", zel::camera::encode_dat); }
PyObject* encode_evt2(PyObject*, PyObject* args) { return encode(args, "OIIs:encode_evt2", zel::camera::encode_evt2); }

PyMethodDef g_format_functions[] = {
    {"raw_header", raw_header, METH_O, "raw_header(prefix) -> dict: the '%' header of a Prophesee RAW file."},
    {"dat_header", dat_header, METH_O, "dat_header(prefix) -> dict: the header of a Prophesee DAT file."},
    {"aedat4_header_end", aedat4_header_end, METH_VARARGS,
     "aedat4_header_end(preamble, file_size) -> int: bytes of the AEDAT 4 header."},
    {"aedat4_header", aedat4_header, METH_VARARGS, "aedat4_header(bytes, file_size) -> dict."},
    {"aedat4_packet", aedat4_packet, METH_VARARGS,
     "aedat4_packet(header8, offset, packets_end) -> (stream_id, size)."},
    {"encode_dat", encode_dat, METH_VARARGS, "encode_dat(events, width, height, date) -> buffer."},
    {"encode_evt2", encode_evt2, METH_VARARGS, "encode_evt2(events, width, height, date) -> buffer."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_format_functions(PyObject* module) {
    return add_functions_uniquely(module, g_format_functions) && add_camera_decoder_types(module);
}

}  // namespace zelkit::native
