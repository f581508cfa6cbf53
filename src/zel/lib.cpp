// The zel module: the seven module functions, their table and initialisation.
#include <Python.h>

#include <cstdint>
#include <string>

#include "codec/pipeline.hpp"
#include "conversions.hpp"
#include "event_type.hpp"
#include "module_state.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/interpreter_hooks.hpp"
#include "pycommon/core_errors.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/packed_loader.hpp"
#include "result_type.hpp"
#include "summary/event_stats.hpp"

namespace zel::py {
namespace {

PyObject* range_tuple(unsigned long low, unsigned long high) {
    return Py_BuildValue("(kk)", low, high);
}

struct PathArgs {
    std::string path;
};

consteval auto path_signature(const char* name) {
    return signature<PathArgs>({.name = name, .wording = Wording::Zel},
                               param<&PathArgs::path, convert_text>("path"));
}

// The file's events as packed records: the extension's format, or the one
// a single-format loader names.
using Reader = Result<ByteBuffer> (*)(const std::string&, IoHooks&);

template <RecordFormat format>
Result<ByteBuffer> read_as(const std::string& path, IoHooks& hooks) {
    return load_packed_with(path, format, hooks);
}

template <Reader Read>
PyObject* run_loader(PyObject*, PathArgs& a) {
    InterpreterHooks hooks;
    Result<ByteBuffer> loaded = Read(a.path, hooks);
    if (!loaded) return raise_load_error(loaded.error());
    const ByteBuffer& records = loaded.value();
    return events_to_list(PackedEvents(records.data(), records.size() / kPackedEventBytes));
}

constexpr auto kLoadNmnist = path_signature("load_nmnist");
constexpr auto kLoadAedat2 = path_signature("load_aedat2");
constexpr auto kLoadCsv = path_signature("load_csv");
constexpr auto kLoadEvents = path_signature("load_events");

// The parameters shared by both compressors come first, in this order.
struct CompressArgs : GridParams {
    EventList events;
    std::uint64_t n_frames = 0;
};

constexpr auto kEventsParam = param<&CompressArgs::events, convert_events>("events");

constexpr auto kCompress = signature<CompressArgs>({.name = "compress", .wording = Wording::Zel},
                                                   kEventsParam, kGridParams);

PyObject* compress(PyObject*, CompressArgs& a) {
    CompressOutput out =
        run_compress(a.events, a.width, a.height, a.time_bins, a.max_depth);
    a.events = EventList();
    return pair(PyRef(bytes_from(out.stream.data(), out.stream.size())),
                PyRef(new_compression_result(out.stats)));
}

constexpr auto kCompressSequence =
    signature<CompressArgs>({.name = "compress_sequence", .wording = Wording::Zel}, kEventsParam,
                            kGridParams, param<&CompressArgs::n_frames, convert_u64>("n_frames"));

PyObject* compress_sequence(PyObject*, CompressArgs& a) {
    if (!sequence_fits_in_memory(a.n_frames, a.events.size())) return nullptr;
    SequenceOutput out = run_compress_sequence(a.events, a.width, a.height, a.time_bins,
                                               a.max_depth, a.n_frames);
    a.events = EventList();
    PyRef payloads(payload_list(out));
    return pair(std::move(payloads), PyRef(new_compression_result(out.stats)));
}

struct EventsArgs {
    EventList events;
};

constexpr auto kEventStats =
    signature<EventsArgs>({.name = "event_stats", .wording = Wording::Zel},
                          param<&EventsArgs::events, convert_events>("events"));

PyObject* event_stats(PyObject*, EventsArgs& a) {
    const std::optional<EventSummary> summary = summarize_events(a.events);
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
}

}  // namespace
}  // namespace zel::py

namespace {

using zel::py::function_def;
using zel::py::PyRef;
using zel::py::zel_state;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zel",
    "",       // __doc__ is an empty str
    0,        // the state lives in zel_state(): the module is made once per process
    nullptr,  // functions are added by the module body
    nullptr, nullptr, nullptr, nullptr,
};

// In registration order, which is also their order in __all__.
PyMethodDef g_functions[] = {
    function_def<zel::py::kCompress, zel::py::compress>(),
    function_def<zel::py::kCompressSequence, zel::py::compress_sequence>(),
    function_def<zel::py::kLoadNmnist, zel::py::run_loader<zel::py::read_as<zel::RecordFormat::Nmnist>>>(),
    function_def<zel::py::kLoadAedat2, zel::py::run_loader<zel::py::read_as<zel::RecordFormat::Aedat2>>>(),
    function_def<zel::py::kLoadCsv, zel::py::run_loader<zel::py::read_as<zel::RecordFormat::Csv>>>(),
    function_def<zel::py::kLoadEvents, zel::py::run_loader<zel::load_packed_by_extension_with>>(),
    function_def<zel::py::kEventStats, zel::py::event_stats>(),
};

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

// Creates the class on first use and adds it under `name`; the class is
// kept in `slot` for the process's life, also when a later step fails.
bool add_class(PyObject* module, const char* name, PyType_Spec& spec, PyTypeObject*& slot) {
    if (slot == nullptr) {
        slot = zel::py::new_heap_type(nullptr, spec);
        if (slot == nullptr) return false;
    }
    return add_name(module, name, reinterpret_cast<PyObject*>(slot));
}

bool run_module_body(PyObject* module) {
    zel::py::ZelState& state = zel_state();
    if (!add_class(module, "Event", zel::py::event_type_spec(), state.event_type) ||
        !add_class(module, "CompressionResult", zel::py::result_type_spec(), state.result_type)) {
        return false;
    }
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

zel::py::ZelState& zel::py::zel_state() {
    static ZelState state;
    return state;
}

PyMODINIT_FUNC PyInit_zel(void) {
    zel::py::ZelState& state = zel_state();
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!state.interpreter_id.compare_exchange_strong(expected, interpreter_id) &&
        expected != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "zel does not support sub-interpreters: it can be loaded only once per "
                        "process, in one interpreter");
        return nullptr;
    }
    if (state.module != nullptr) {
        Py_INCREF(state.module);
        return state.module;
    }
    PyRef module(PyModule_Create(&g_module_def));
    if (!module || !run_module_body(module.get())) return nullptr;
    state.module = module.get();
    Py_INCREF(state.module);  // the process keeps one reference for later initialisations
    return module.release();
}
