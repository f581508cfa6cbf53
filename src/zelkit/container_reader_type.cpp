// zelkit._native.ContainerReader(source): the core's container reader over
// a file descriptor (read by position, never loaded whole) or over a
// caller's buffer (read in place). zelkit.Reader is the Python view over it.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "base/byte_buffer.hpp"
#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "container/byte_source.hpp"
#include "container/container_reader.hpp"
#include "container_binding.hpp"
#include "conversions.hpp"
#include "pycommon/args.hpp"
#include "pycommon/py_ref.hpp"
#include "record_types.hpp"

namespace zelkit::native {
namespace {

namespace ct = zel::container;
using zel::py::function_def;
using zel::py::param;
using zel::py::PyRef;
using zel::py::signature;

struct ReaderState {
    ProcessMutex mutex;  // guards `reader`; see locked_without_gil
    // The caller's bytes for a reader over memory, released after the reader.
    std::optional<BufferView> data;
    std::unique_ptr<ct::ContainerReader> reader;  // null once closed
    // Copied at open, so reading them needs neither the mutex nor the reader.
    ct::FileHeader header;
    bool complete = true;
};

ReaderState& reader_state(PyObject* self) { return state_of<ReaderState>(self); }

PyObject* raise_closed() {
    PyErr_SetString(PyExc_ValueError, "I/O operation on a closed container reader");
    return nullptr;
}

PyStructSequence_Field kFrameFields[] = {
    {"boxes", "The occupied leaf boxes, 18-byte records (bytearray)."},
    {"keyframe", "Whether the frame is coded on its own."},
    {"t_first", "Smallest timestamp of its events (0 without events)."},
    {"t_last", "Largest timestamp of its events (0 without events)."},
    {"n_events", "Events coded in the frame."},
    {"n_bits", "Bits of its octree bitstream."},
    {"payload_bytes", "Bytes of its payload."},
    {nullptr, nullptr},
};

PyStructSequence_Desc kFrameDesc = {
    "zelkit._native.ContainerFrame",
    "One decoded frame of a .zel container.",
    kFrameFields,
    7,
};

struct OpenArgs {
    zel::py::ObjectArg source;
};

constexpr auto kOpen = signature<OpenArgs>(
    {.name = "__new__", .owner = "ContainerReader",
     .doc = "A .zel container read from a file descriptor (by position, through a duplicate "
            "of it) or from a buffer (in place)."},
    param<&OpenArgs::source, zel::py::convert_object>("source"));

bool open_source(const zel::py::ObjectArg& source, ReaderState& state) {
    state.reader = open_reader<ct::ContainerReader>(source, state.data);
    if (!state.reader) return false;
    state.header = state.reader->header();
    state.complete = state.reader->complete();
    return true;
}

PyObject* reader_new(PyTypeObject* type, OpenArgs& a) {
    auto state = std::make_unique<ReaderState>();
    if (!open_source(a.source, *state)) return nullptr;
    return new_state_object(type, std::move(state));
}

// The boxes as kBoxRecordBytes records, written straight into the bytearray
// handed to Python so that the largest output of a decode is written once.
PyRef box_records(const zel::LeafBoxes& boxes) {
    const std::size_t size = boxes.size() * zel::kBoxRecordBytes;
    PyRef records(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!records) return records;
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(records.get())), size);
    without_gil([&] { zel::write_box_records(boxes, out); });
    return records;
}

struct DecodeArgs {
    std::uint64_t k = 0;
};

constexpr auto kDecode = signature<DecodeArgs>(
    {.name = "decode", .owner = "ContainerReader",
     .doc = "Frame k, decoded along its delta chain: a ContainerFrame."},
    param<&DecodeArgs::k, convert_unsigned<std::uint64_t>>("k"));

PyObject* reader_decode(PyObject* self, DecodeArgs& a) {
    ReaderState& s = reader_state(self);
    std::optional<zel::Result<ct::DecodedFrame>> decoded;
    locked_without_gil(s.mutex, [&] {
        if (s.reader) decoded.emplace(s.reader->decode(a.k, /*want_boxes=*/true));
    });
    if (!decoded) return raise_closed();
    if (!*decoded) return raise_container_error(decoded->error());
    const ct::FrameHeader& h = decoded->value().header;
    return new_record(native_state(Py_TYPE(self)).container_frame_type,
                      box_records(decoded->value().boxes), ct::is_key_kind(h.kind),
                      h.t_first, h.t_last, h.n_events, h.n_bits, h.payload_bytes);
}

constexpr auto kIndex = signature<zel::py::NoArgs>(
    {.name = "index", .owner = "ContainerReader",
     .doc = "A Buffer of one 24-byte entry per frame: offset u64, t_first u32, t_last u32, "
            "n_events u64, in native byte order."});

PyObject* reader_index(PyObject* self, zel::py::NoArgs&) {
    ReaderState& s = reader_state(self);
    zel::ByteBuffer entries;
    const bool open = locked_without_gil(s.mutex, [&] {
        if (!s.reader) return false;
        const auto bytes = std::as_bytes(s.reader->frames());
        if (bytes.empty()) return true;
        entries.reserve_more(bytes.size());
        std::memcpy(entries.data(), bytes.data(), bytes.size());
        entries.commit(bytes.size());
        return true;
    });
    if (!open) return raise_closed();
    return new_buffer(native_state(Py_TYPE(self)), std::move(entries));
}

constexpr auto kClose = signature<zel::py::NoArgs>(
    {.name = "close", .owner = "ContainerReader",
     .doc = "Closes the file (or lets go of the buffer) now; a decode running in another "
            "thread finishes first."});

PyObject* reader_close(PyObject* self, zel::py::NoArgs&) {
    ReaderState& s = reader_state(self);
    std::unique_ptr<ct::ContainerReader> closing =
        locked_without_gil(s.mutex, [&] { return std::move(s.reader); });
    closing.reset();
    s.data.reset();
    Py_RETURN_NONE;
}

PyObject* get_width(PyObject* self, void*) {
    return PyLong_FromLong(reader_state(self).header.grid.width);
}
PyObject* get_height(PyObject* self, void*) {
    return PyLong_FromLong(reader_state(self).header.grid.height);
}
PyObject* get_time_bins(PyObject* self, void*) {
    return PyLong_FromLong(reader_state(self).header.grid.time_bins);
}
PyObject* get_max_depth(PyObject* self, void*) {
    return PyLong_FromLong(reader_state(self).header.grid.max_depth);
}
PyObject* get_keyframe_interval(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(reader_state(self).header.keyframe_interval);
}
PyObject* get_complete(PyObject* self, void*) {
    return PyBool_FromLong(reader_state(self).complete);
}

PyGetSetDef kGetSet[] = {
    {"width", get_width, nullptr, "Sensor width the grid was made for.", nullptr},
    {"height", get_height, nullptr, "Sensor height the grid was made for.", nullptr},
    {"time_bins", get_time_bins, nullptr, "Time bins per frame.", nullptr},
    {"max_depth", get_max_depth, nullptr, "Octree depth limit.", nullptr},
    {"keyframe_interval", get_keyframe_interval, nullptr,
     "Every K-th frame is a keyframe (0: only frame 0).", nullptr},
    {"complete", get_complete, nullptr,
     "False when read without index from an interrupted writer.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    function_def<kDecode, reader_decode>(),
    function_def<kIndex, reader_index>(),
    function_def<kClose, reader_close>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, zel::py::constructor_slot<kOpen, reader_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_state_object<ReaderState>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, zel::py::type_doc<kOpen>()},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zelkit._native.ContainerReader",
    sizeof(StateObject<ReaderState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

bool add_container_reader_type(PyObject* module, NativeState& state) {
    return add_type(module, kSpec, state.container_reader_type) &&
           add_record_type(module, kFrameDesc, state.container_frame_type);
}

}  // namespace zelkit::native
