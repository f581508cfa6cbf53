// Whole-file loading and encoding for writers; the file itself is written
// by the Python layer, which owns the temporary-file-and-rename protocol.
#include <string>

#include "array_parts.hpp"
#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "conversions.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "readers/packed_loader.hpp"
#include "signal_hooks.hpp"
#include "text/path_text.hpp"
#include "without_gil.hpp"
#include "writers/event_writers.hpp"

namespace zelkit::native {
namespace {

using zel::py::bind_fastcall;

bool convert_write_format(PyObject* obj, zel::WriteFormat& out) {
    zel::RecordFormat format{};
    if (!convert_record_format(obj, format)) return false;
    switch (format) {
        case zel::RecordFormat::Nmnist: out = zel::WriteFormat::Nmnist; return true;
        case zel::RecordFormat::Aedat2: out = zel::WriteFormat::Aedat2; return true;
        case zel::RecordFormat::Csv: out = zel::WriteFormat::Csv; return true;
        case zel::RecordFormat::Compact: break;
    }
    PyErr_SetString(PyExc_ValueError, "compact records are written as they stand, not encoded");
    return false;
}

const char* format_title(zel::WriteFormat format) {
    switch (format) {
        case zel::WriteFormat::Nmnist: return "N-MNIST";
        case zel::WriteFormat::Aedat2: return "AEDAT2";
        case zel::WriteFormat::Csv: return "CSV";
    }
    return "";
}

}  // namespace

// load(path, format): format None follows zel's extension rules.
PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall({"load()", {"path", "format"}}, args, nargs, kwnames, bound)) return nullptr;
        std::string path;
        if (!convert_path(bound[0], path)) return nullptr;
        const bool by_extension = bound[1] == Py_None;
        zel::RecordFormat format{};
        if (!by_extension && !convert_record_format(bound[1], format)) return nullptr;
        zel::LoadResult<zel::ByteBuffer> loaded = without_gil([&] {
            zel::IoHooks& hooks = signal_checking_hooks();
            return by_extension ? zel::load_packed_by_extension_with(path, hooks)
                                : zel::load_packed_with(path, format, hooks);
        });
        if (!loaded) return raise_load_error(loaded.error());
        return new_buffer(std::move(loaded.value()));
    });
}

// The extension zel's dispatcher would see, as bytes, or None.
PyObject* path_extension(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({"path_extension()", {"path"}}, args, nargs, kwnames, bound)) return nullptr;
        std::string path;
        if (!convert_path(bound[0], path)) return nullptr;
        const auto ext = zel::path_extension(path);
        if (!ext) Py_RETURN_NONE;
        return PyBytes_FromStringAndSize(ext->data(), static_cast<Py_ssize_t>(ext->size()));
    });
}

// encode_records(format, events, first_index) -> Buffer of the encoded records.
PyObject* encode_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[3];
        if (!bind_fastcall({"encode_records()", {"format", "events", "first_index"}}, args, nargs, kwnames,
                           bound)) {
            return nullptr;
        }
        zel::WriteFormat format{};
        PackedView view;
        std::uint64_t first_index = 0;
        if (!convert_write_format(bound[0], format) || !view.acquire(bound[1], "events") ||
            !zel::py::convert_u64(bound[2], "first_index", first_index)) {
            return nullptr;
        }
        zel::ByteBuffer out;
        auto encoded = without_gil(
            [&] { return zel::encode_events(format, view.events(), first_index, out); });
        if (!encoded) {
            const zel::UnrepresentableValue& bad = encoded.error();
            PyErr_Format(PyExc_ValueError,
                         "cannot write as %s: field '%s' at index %llu is %llu, above the "
                         "format's limit of %llu",
                         format_title(format), bad.field, static_cast<unsigned long long>(bad.index),
                         static_cast<unsigned long long>(bad.value),
                         static_cast<unsigned long long>(bad.limit));
            return nullptr;
        }
        return new_buffer(std::move(out));
    });
}

PyObject* file_header(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({"file_header()", {"format"}}, args, nargs, kwnames, bound)) return nullptr;
        zel::WriteFormat format{};
        if (!convert_write_format(bound[0], format)) return nullptr;
        const std::string_view header = zel::file_header(format);
        return PyBytes_FromStringAndSize(header.data(), static_cast<Py_ssize_t>(header.size()));
    });
}

}  // namespace zelkit::native
