// zelkit._native.ContainerReader(source): the core's container reader over
// a file descriptor (read by position, never loaded whole) or over a
// caller's buffer (read in place). zelkit.Reader is the Python view over it.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "base/byte_buffer.hpp"
#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "container/byte_source.hpp"
#include "container/container_reader.hpp"
#include "container_binding.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {
namespace {

namespace ct = zel::container;
using zel::py::PyRef;

struct ReaderState {
    std::mutex mutex;  // guards `reader`; see locked_without_gil
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

// A file descriptor (an int) or any C-contiguous buffer.
bool open_source(PyObject* source, ReaderState& state) {
    zel::Result<ct::ContainerReader> opened = zel::Error::invalid_input("no source");
    if (PyLong_Check(source) && !PyBool_Check(source)) {
        const long value = PyLong_AsLong(source);
        if (value == -1 && PyErr_Occurred()) return false;
        if (value < 0 || value > INT_MAX) {
            PyErr_SetString(PyExc_ValueError, "a file descriptor is a non-negative int");
            return false;
        }
        const int fd = static_cast<int>(value);
        opened = without_gil([&]() -> zel::Result<ct::ContainerReader> {
            ZEL_ASSIGN_OR_RETURN(auto file, ct::file_source(fd));
            return ct::ContainerReader::open(std::move(file));
        });
    } else {
        if (!state.data.emplace().acquire(source)) return false;
        const std::span<const std::uint8_t> bytes = state.data->bytes();
        opened = without_gil([&] { return ct::ContainerReader::open(ct::memory_source(bytes)); });
    }
    if (!opened) {
        raise_container_error(opened.error());
        return false;
    }
    state.header = opened.value().header();
    state.complete = opened.value().complete();
    state.reader = std::make_unique<ct::ContainerReader>(std::move(opened.value()));
    return true;
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!zel::py::bind_tuple_dict({"ContainerReader()", {"source"}}, args, kwargs, bound)) {
            return nullptr;
        }
        auto state = std::make_unique<ReaderState>();
        if (!open_source(bound[0], *state)) return nullptr;
        return new_state_object(type, std::move(state));
    });
}

// The boxes as kBoxRecordBytes records, written straight into the bytearray
// handed to Python so that the largest output of a decode is written once.
PyObject* box_records(const zel::LeafBoxes& boxes) {
    const std::size_t size = boxes.size() * zel::kBoxRecordBytes;
    PyRef records(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!records) return nullptr;
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(records.get())), size);
    without_gil([&] { zel::write_box_records(boxes, out); });
    return records.release();
}

// decode(k) -> (boxes bytearray, keyframe, t_first, t_last, n_events, n_bits, payload_bytes)
PyObject* reader_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!zel::py::bind_fastcall({"decode()", {"k"}}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        std::uint64_t k = 0;
        if (!zel::py::convert_u64(bound[0], "k", k)) return nullptr;
        ReaderState& s = reader_state(self);
        std::optional<zel::Result<ct::DecodedFrame>> decoded;
        locked_without_gil(s.mutex, [&] {
            if (s.reader) decoded.emplace(s.reader->decode(k, /*want_boxes=*/true));
        });
        if (!decoded) return raise_closed();
        if (!*decoded) return raise_container_error(decoded->error());
        const ct::DecodedFrame& frame = decoded->value();
        const ct::FrameHeader& h = frame.header;
        PyRef boxes(box_records(frame.boxes));
        if (!boxes) return nullptr;
        return Py_BuildValue("(OOIIKKK)", boxes.get(),
                             h.kind == ct::FrameKind::Key ? Py_True : Py_False, h.t_first,
                             h.t_last, static_cast<unsigned long long>(h.n_events),
                             static_cast<unsigned long long>(h.n_bits),
                             static_cast<unsigned long long>(h.payload_bytes));
    });
}

// index() -> Buffer of one 24-byte entry per frame (offset u64, t_first u32,
// t_last u32, n_events u64, native byte order)
PyObject* reader_index(PyObject* self, PyObject*) {
    return zel::py::guarded([&]() -> PyObject* {
        ReaderState& s = reader_state(self);
        zel::ByteBuffer entries;
        const bool open = locked_without_gil(s.mutex, [&] {
            if (!s.reader) return false;
            const auto frames = s.reader->frames();
            const auto bytes = std::as_bytes(frames);
            if (bytes.empty()) return true;
            entries.reserve_more(bytes.size());
            std::memcpy(entries.data(), bytes.data(), bytes.size());
            entries.commit(bytes.size());
            return true;
        });
        if (!open) return raise_closed();
        return new_buffer(std::move(entries));
    });
}

// Closes the file (or lets go of the buffer) now; a decode running in
// another thread finishes first.
PyObject* reader_close(PyObject* self, PyObject*) {
    return zel::py::guarded([&]() -> PyObject* {
        ReaderState& s = reader_state(self);
        std::unique_ptr<ct::ContainerReader> closing =
            locked_without_gil(s.mutex, [&] { return std::move(s.reader); });
        closing.reset();
        s.data.reset();
        Py_RETURN_NONE;
    });
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
    {"width", get_width, nullptr, nullptr, nullptr},
    {"height", get_height, nullptr, nullptr, nullptr},
    {"time_bins", get_time_bins, nullptr, nullptr, nullptr},
    {"max_depth", get_max_depth, nullptr, nullptr, nullptr},
    {"keyframe_interval", get_keyframe_interval, nullptr, nullptr, nullptr},
    {"complete", get_complete, nullptr, "False when read without index from an interrupted writer",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode(k)\n--\n\n"},
    {"index", reader_index, METH_NOARGS, "index()\n--\n\n"},
    {"close", reader_close, METH_NOARGS, "close()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_state_object<ReaderState>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("ContainerReader(source)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zelkit._native.ContainerReader",
    sizeof(StateObject<ReaderState>),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyType_Spec& container_reader_spec() { return kSpec; }

}  // namespace zelkit::native
