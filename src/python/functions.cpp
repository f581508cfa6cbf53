#include "functions.hpp"

#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "event_stats.hpp"
#include "event_type.hpp"
#include "py_ref.hpp"
#include "result_type.hpp"

namespace zel::py {
namespace {

PyObject* range_tuple(unsigned long low, unsigned long high) {
    return Py_BuildValue("(kk)", low, high);
}

using Reader = const char*;

PyObject* run_loader(const char* display_name, Reader reader, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({display_name, {"path"}}, args, nargs, kwnames, bound)) return nullptr;
        std::string path;
        if (!convert_text(bound[0], "path", path)) return nullptr;
        (void)reader;
        PyErr_SetString(PyExc_NotImplementedError, "file loading is not available yet");
        return nullptr;
    });
}

struct CompressArgs {
    EventList events;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t time_bins = 0;
    std::uint8_t max_depth = 0;
};

// The five parameters shared by both compressors, converted in order.
bool convert_compress_args(PyObject* const* bound, CompressArgs& out) {
    return convert_events(bound[0], "events", out.events) &&
           convert_u16(bound[1], "width", out.width) &&
           convert_u16(bound[2], "height", out.height) &&
           convert_u16(bound[3], "time_bins", out.time_bins) &&
           convert_u8(bound[4], "max_depth", out.max_depth);
}

}  // namespace

PyObject* compress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const Signature signature{
            "compress()", {"events", "width", "height", "time_bins", "max_depth"}};
        PyObject* bound[5];
        if (!bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
        CompressArgs a;
        if (!convert_compress_args(bound, a)) return nullptr;

        PyErr_SetString(PyExc_NotImplementedError, "compress is not available yet");
        return nullptr;
    });
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

        PyErr_SetString(PyExc_NotImplementedError, "compress_sequence is not available yet");
        return nullptr;
    });
}

PyObject* load_nmnist(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_nmnist()", "nmnist", args, nargs, kwnames);
}

PyObject* load_aedat2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_aedat2()", "aedat2", args, nargs, kwnames);
}

PyObject* load_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_csv()", "csv", args, nargs, kwnames);
}

PyObject* load_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_events()", "any", args, nargs, kwnames);
}

PyObject* event_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({"event_stats()", {"events"}}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        EventList events;
        if (!convert_events(bound[0], "events", events)) return nullptr;
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

}  // namespace zel::py
