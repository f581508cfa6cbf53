#include "functions.hpp"

#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "dataset.hpp"
#include "event_stats.hpp"
#include "event_type.hpp"
#include "pipeline.hpp"
#include "py_ref.hpp"
#include "result_type.hpp"

namespace zel::py {
namespace {

PyObject* bytes_from(const std::uint8_t* data, std::size_t size) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                     static_cast<Py_ssize_t>(size));
}

PyObject* pair(PyRef first, PyRef second) {
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

PyObject* range_tuple(unsigned long low, unsigned long high) {
    return Py_BuildValue("(kk)", low, high);
}

// Loader failures reach Python as exactly OSError(text): one argument, so the
// interpreter never picks an errno-specific subclass.
PyObject* raise_load_error(const LoadError& error) {
    const std::string text = error.text();
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                       "replace"));
    if (message) PyErr_SetObject(PyExc_OSError, message.get());
    return nullptr;
}

using Reader = LoadResult<EventList> (*)(const std::string&);

PyObject* run_loader(const char* display_name, Reader reader, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({display_name, {"path"}}, args, nargs, kwnames, bound)) return nullptr;
        std::string path;
        if (!convert_text(bound[0], "path", path)) return nullptr;
        LoadResult<EventList> loaded = reader(path);
        if (!loaded) return raise_load_error(loaded.error());
        return events_to_list(loaded.value());
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

        CompressOutput out = run_compress(a.events, a.width, a.height, a.time_bins, a.max_depth);
        a.events = EventList();
        return pair(PyRef(bytes_from(out.stream.data(), out.stream.size())),
                    PyRef(new_compression_result(out.stats)));
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

        SequenceOutput out = run_compress_sequence(a.events, a.width, a.height, a.time_bins,
                                                   a.max_depth, n_frames);
        a.events = EventList();
        PyRef payloads(PyList_New(static_cast<Py_ssize_t>(out.frame_ends.size())));
        if (!payloads) return nullptr;
        std::uint64_t begin = 0;
        for (std::size_t k = 0; k < out.frame_ends.size(); ++k) {
            const std::uint64_t end = out.frame_ends[k];
            PyObject* payload = bytes_from(out.bytes.data() + begin, end - begin);
            if (payload == nullptr) return nullptr;
            PyList_SET_ITEM(payloads.get(), static_cast<Py_ssize_t>(k), payload);
            begin = end;
        }
        return pair(std::move(payloads), PyRef(new_compression_result(out.stats)));
    });
}

PyObject* load_nmnist(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_nmnist()", read_nmnist, args, nargs, kwnames);
}

PyObject* load_aedat2(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_aedat2()", read_aedat2, args, nargs, kwnames);
}

PyObject* load_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_csv()", read_csv, args, nargs, kwnames);
}

PyObject* load_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_loader("load_events()", zel::load_events, args, nargs, kwnames);
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
