// The zel module: the seven module functions, their table and initialisation.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/memory_limits.hpp"
#include "codec/pipeline.hpp"
#include "event_type.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/interpreter_hooks.hpp"
#include "pycommon/load_errors.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/packed_loader.hpp"
#include "result_type.hpp"
#include "summary/event_stats.hpp"

namespace zel::py {
namespace {

PyObject* range_tuple(unsigned long low, unsigned long high) {
    return Py_BuildValue("(kk)", low, high);
}

// The file's events as packed records: the extension's format, or the one
// a single-format loader names.
using Reader = Result<ByteBuffer> (*)(const std::string&, IoHooks&);

template <RecordFormat format>
Result<ByteBuffer> read_as(const std::string& path, IoHooks& hooks) {
    return load_packed_with(path, format, hooks);
}

PyObject* run_loader(const char* display_name, Reader reader, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({display_name, {"path"}}, args, nargs, kwnames, bound)) return nullptr;
        std::string path;
        if (!convert_text(bound[0], "path", path)) return nullptr;
        InterpreterHooks hooks;
        Result<ByteBuffer> loaded = reader(path, hooks);
        if (!loaded) return raise_load_error(loaded.error());
        const ByteBuffer& records = loaded.value();
        return events_to_list(PackedEvents(records.data(), records.size() / kPackedEventBytes));
    });
}

struct CompressArgs {
    EventList events;
    GridParams grid;
};

// The five parameters shared by both compressors, converted in order.
bool convert_compress_args(PyObject* const* bound, CompressArgs& out) {
    return convert_events(bound[0], "events", event_type_object(), out.events) &&
           convert_grid_params(bound + 1, out.grid);
}

PyObject* compress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature signature{
            "compress()", {"events", "width", "height", "time_bins", "max_depth"}};
        PyObject* bound[5];
        if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
        CompressArgs a;
        if (!convert_compress_args(bound, a)) return nullptr;

        CompressOutput out = run_compress(a.events, a.grid.width, a.grid.height, a.grid.time_bins,
                                          a.grid.max_depth);
        a.events = EventList();
        return pair(PyRef(bytes_from(out.stream.data(), out.stream.size())),
                    PyRef(new_compression_result(out.stats)));
    });
}

// Every frame ends up as a bytes object (header and at least 2 payload
// bytes) in a list slot, on top of what the driver keeps per frame. When even
// that minimum exceeds the machine's memory, fail now with MemoryError
// rather than after a long climb into swap. False with the error set.
bool frames_fit_in_memory(std::uint64_t n_frames, bool no_events) {
    constexpr std::uint64_t kMinFrameCost =
        kMinBytesPerFrame + sizeof(PyBytesObject) + 2 + sizeof(PyObject*);
    const std::uint64_t memory = physical_memory_bytes();
    // With nothing to code no frame is made at all.
    if (n_frames == 0 || no_events || memory == 0 || n_frames <= memory / kMinFrameCost) {
        return true;
    }
    PyErr_Format(PyExc_MemoryError,
                 "n_frames %llu needs at least %llu bytes per frame, more than the %llu bytes "
                 "of memory this machine has",
                 static_cast<unsigned long long>(n_frames),
                 static_cast<unsigned long long>(kMinFrameCost),
                 static_cast<unsigned long long>(memory));
    return false;
}

PyObject* compress_sequence(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature signature{
            "compress_sequence()",
            {"events", "width", "height", "time_bins", "max_depth", "n_frames"}};
        PyObject* bound[6];
        if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
        CompressArgs a;
        std::uint64_t n_frames = 0;
        if (!convert_compress_args(bound, a) || !convert_u64(bound[5], "n_frames", n_frames)) {
            return nullptr;
        }

        if (!frames_fit_in_memory(n_frames, a.events.empty())) return nullptr;
        SequenceOutput out = run_compress_sequence(a.events, a.grid.width, a.grid.height,
                                                   a.grid.time_bins, a.grid.max_depth, n_frames);
        a.events = EventList();
        PyRef payloads(payload_list(out));
        return pair(std::move(payloads), PyRef(new_compression_result(out.stats)));
    });
}

PyObject* load_nmnist(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_nmnist()", read_as<RecordFormat::Nmnist>, args, nargs, kwnames);
}

PyObject* load_aedat2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_aedat2()", read_as<RecordFormat::Aedat2>, args, nargs, kwnames);
}

PyObject* load_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_csv()", read_as<RecordFormat::Csv>, args, nargs, kwnames);
}

PyObject* load_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_events()", load_packed_by_extension_with, args, nargs, kwnames);
}

PyObject* event_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({"event_stats()", {"events"}}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        EventList events;
        if (!convert_events(bound[0], "events", event_type_object(), events)) return nullptr;
        const std::optional<EventSummary> summary = summarize_events(events);
        if (!summary) Py_RETURN_NONE;

        PyRef dict(PyDict_New());
        if (!dict) return nullptr;
        const std::pair<const char*, PyRef> items[] = {
            {"count", PyRef(PyLong_FromUnsignedLongLong(summary->count))},
            {"x_range", PyRef(range_tuple(summary->x_min, summary->x_max))},
            {"y_range", PyRef(range_tuple(summary->y_min, summary->y_max))},
            {"t_range", PyRef(range_tuple(summary->t_min, summary->t_max))},
            {"duration_us", PyRef(PyLong_FromUnsignedLong(summary->duration_us()))},
        };
        for (const auto& [key, value] : items) {
            if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
        }
        return dict.release();
    });
}

}  // namespace
}  // namespace zel::py

namespace {

using zel::py::PyRef;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zel",
    "",       // __doc__ is an empty str
    0,        // no per-module state
    nullptr,  // functions are added by the module body
    nullptr, nullptr, nullptr, nullptr,
};

// The module keeps process-wide state, so it refuses to be shared with a
// second interpreter.
std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

#define ZEL_FUNCTION(name, signature)                                                    \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(zel::py::name)), \
     METH_FASTCALL | METH_KEYWORDS, signature "\n--\n\n"}

PyMethodDef g_functions[] = {
    ZEL_FUNCTION(compress, "compress(events, width, height, time_bins, max_depth)"),
    ZEL_FUNCTION(compress_sequence,
                 "compress_sequence(events, width, height, time_bins, max_depth, n_frames)"),
    ZEL_FUNCTION(load_nmnist, "load_nmnist(path)"),
    ZEL_FUNCTION(load_aedat2, "load_aedat2(path)"),
    ZEL_FUNCTION(load_csv, "load_csv(path)"),
    ZEL_FUNCTION(load_events, "load_events(path)"),
    ZEL_FUNCTION(event_stats, "event_stats(events)"),
};

#undef ZEL_FUNCTION

// Appends `name` to __all__ (creating the list on first use), then sets the attribute.
bool add_name(PyObject* module, const char* name, PyObject* value) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        zel::py::raise_cannot_convert(all.get(), "PyList");
        return false;
    }
    PyRef name_object(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

bool run_module_body(PyObject* module) {
    PyRef event_type(zel::py::create_event_type());
    if (!event_type || !add_name(module, "Event", event_type.get())) return false;
    PyRef result_type(zel::py::create_result_type());
    if (!result_type || !add_name(module, "CompressionResult", result_type.get())) return false;

    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : g_functions) {
        PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return false;
        PyRef function_name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!function_name) return false;
        const char* name = PyUnicode_AsUTF8(function_name.get());
        if (name == nullptr || !add_name(module, name, function.get())) return false;
    }
    return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_zel(void) {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, interpreter_id) &&
        expected != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "zel does not support sub-interpreters: it can be loaded only once per "
                        "process, in one interpreter");
        return nullptr;
    }
    if (g_module != nullptr) {
        Py_INCREF(g_module);
        return g_module;
    }
    PyRef module(PyModule_Create(&g_module_def));
    if (!module || !run_module_body(module.get())) return nullptr;
    g_module = module.get();
    Py_INCREF(g_module);  // the process keeps one reference for later initialisations
    return module.release();
}
