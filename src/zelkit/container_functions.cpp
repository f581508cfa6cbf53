// The .zel container's module-level functions and constants: writing a
// whole container in one call, the grid limits, and the error mapping the
// reader and writer types share. Layout, coding and checks live in the core.
#include <cerrno>
#include <cstdint>
#include <vector>

#include "buffer_view.hpp"
#include "codec/box_decoder.hpp"
#include "codec/grid_params.hpp"
#include "container/container_format.hpp"
#include "container/container_writer.hpp"
#include "container_binding.hpp"
#include "format_errors.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {

PyObject* raise_container_error(const zel::Error& error) {
    switch (error.kind) {
        case zel::ErrorKind::InvalidData:
            // Every container fault is placed; 0 is the file itself.
            return raise_format_error(error.message, error.offset.value_or(0));
        case zel::ErrorKind::OutOfMemory:
            PyErr_SetString(PyExc_MemoryError, error.message.c_str());
            return nullptr;
        case zel::ErrorKind::Os:
            errno = error.os_code;
            return PyErr_SetFromErrno(PyExc_OSError);
        case zel::ErrorKind::Interrupted:
            if (PyErr_Occurred()) return nullptr;
            break;
        case zel::ErrorKind::InvalidInput:
        case zel::ErrorKind::Timestamp:
            break;
    }
    PyErr_SetString(PyExc_ValueError, error.text().c_str());
    return nullptr;
}

namespace {

namespace ct = zel::container;

// encode(events, width, height, time_bins, max_depth, n_frames, keyframe_interval)
PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        static const zel::py::Signature signature{
            "encode()",
            {"events", "width", "height", "time_bins", "max_depth", "n_frames",
             "keyframe_interval"}};
        PyObject* bound[7];
        if (!zel::py::bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
        PackedView events;
        zel::GridParams grid;
        std::uint64_t n_frames = 0;
        std::uint32_t keyframe_interval = 0;
        if (!events.acquire(bound[0], "events") ||
            !zel::py::convert_grid_params(bound + 1, grid) ||
            !zel::py::convert_u64(bound[5], "n_frames", n_frames) ||
            !zel::py::convert_u32(bound[6], "keyframe_interval", keyframe_interval)) {
            return nullptr;
        }
        zel::Result<std::vector<std::uint8_t>> out = without_gil([&] {
            return ct::encode_container(events.events(), grid, n_frames, keyframe_interval);
        });
        if (!out) return raise_container_error(out.error());
        return zel::py::bytes_from(out.value());
    });
}

PyMethodDef g_container_functions[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
     METH_FASTCALL | METH_KEYWORDS,
     "encode(events, width, height, time_bins, max_depth, n_frames, keyframe_interval)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

bool add_type(PyObject* module, PyType_Spec& spec) {
    zel::py::PyRef type(PyType_FromSpec(&spec));
    return type && PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

}  // namespace

bool add_container_functions(PyObject* module) {
    return PyModule_AddIntConstant(module, "BOX_RECORD_BYTES", zel::kBoxRecordBytes) == 0 &&
           PyModule_AddIntConstant(module, "INDEX_ENTRY_BYTES", ct::kIndexEntryBytes) == 0 &&
           PyModule_AddIntConstant(module, "MAX_GRID_EXTENT", zel::kMaxGridExtent) == 0 &&
           PyModule_AddIntConstant(module, "MAX_TREE_DEPTH", zel::kMaxTreeDepth) == 0 &&
           add_functions_uniquely(module, g_container_functions) &&
           add_type(module, container_reader_spec()) && add_type(module, container_writer_spec());
}

}  // namespace zelkit::native
