// zelkit._native.ContainerWriter(width, height, time_bins, max_depth,
// keyframe_interval): the core's streaming container writer. It hands back
// the bytes of each piece and zelkit.encode_stream writes them to the file.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "buffer_view.hpp"
#include "container/container_writer.hpp"
#include "container_binding.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {
namespace {

namespace ct = zel::container;
using zel::py::bytes_from;
using zel::py::PyRef;

struct WriterState {
    std::mutex mutex;  // guards `writer`; see locked_without_gil
    std::unique_ptr<ct::ContainerWriter> writer;
};

WriterState& writer_state(PyObject* self) { return state_of<WriterState>(self); }

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[5];
        if (!zel::py::bind_tuple_dict(
                {"ContainerWriter()",
                 {"width", "height", "time_bins", "max_depth", "keyframe_interval"}},
                args, kwargs, bound)) {
            return nullptr;
        }
        zel::GridParams grid;
        std::uint32_t keyframe_interval = 0;
        if (!zel::py::convert_grid_params(bound, grid) ||
            !zel::py::convert_u32(bound[4], "keyframe_interval", keyframe_interval)) {
            return nullptr;
        }
        auto state = std::make_unique<WriterState>();
        state->writer = std::make_unique<ct::ContainerWriter>(grid, keyframe_interval);
        return new_state_object(type, std::move(state));
    });
}

// The bytes one step appended, or its error.
PyObject* step_result(const zel::Status& status, const std::vector<std::uint8_t>& out) {
    if (!status) return raise_container_error(status.error());
    return bytes_from(out);
}

// begin() -> the file header, marked unfinished
PyObject* writer_begin(PyObject* self, PyObject*) {
    return zel::py::guarded([&]() -> PyObject* {
        WriterState& s = writer_state(self);
        std::vector<std::uint8_t> out;
        const zel::Status status =
            locked_without_gil(s.mutex, [&] { return s.writer->begin(out); });
        return step_result(status, out);
    });
}

// add_frame(events) -> the frame's record
PyObject* writer_add_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!zel::py::bind_fastcall({"add_frame()", {"events"}}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        PackedView events;
        if (!events.acquire(bound[0], "events")) return nullptr;
        WriterState& s = writer_state(self);
        std::vector<std::uint8_t> out;
        const zel::Status status = locked_without_gil(
            s.mutex, [&] { return s.writer->add_frame(events.events(), out); });
        return step_result(status, out);
    });
}

// finish() -> (index and trailer, the header with the frame count)
PyObject* writer_finish(PyObject* self, PyObject*) {
    return zel::py::guarded([&]() -> PyObject* {
        WriterState& s = writer_state(self);
        std::vector<std::uint8_t> out;
        std::array<std::uint8_t, ct::kHeaderBytes> header{};
        const zel::Status status = locked_without_gil(s.mutex, [&] {
            zel::Status finished = s.writer->finish(out);
            if (finished) header = s.writer->final_header();
            return finished;
        });
        PyRef tail(step_result(status, out));
        if (!tail) return nullptr;
        return zel::py::pair(std::move(tail), PyRef(bytes_from(header)));
    });
}

PyObject* get_frames_added(PyObject* self, void*) {
    WriterState& s = writer_state(self);
    const std::uint64_t n = locked_without_gil(s.mutex, [&] { return s.writer->frames_added(); });
    return PyLong_FromUnsignedLongLong(n);
}

PyGetSetDef kGetSet[] = {
    {"frames_added", get_frames_added, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"begin", writer_begin, METH_NOARGS, "begin()\n--\n\n"},
    {"add_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(writer_add_frame)),
     METH_FASTCALL | METH_KEYWORDS, "add_frame(events)\n--\n\n"},
    {"finish", writer_finish, METH_NOARGS, "finish()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_state_object<WriterState>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>("ContainerWriter(width, height, time_bins, max_depth, "
                                  "keyframe_interval)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zelkit._native.ContainerWriter",
    sizeof(StateObject<WriterState>),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyType_Spec& container_writer_spec() { return kSpec; }

}  // namespace zelkit::native
