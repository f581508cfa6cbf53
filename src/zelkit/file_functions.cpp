// Whole-file loading and encoding for writers; the file itself is written
// by the Python layer, which owns the temporary-file-and-rename protocol.
#include <optional>
#include <string>

#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "conversions.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "readers/packed_loader.hpp"
#include "signal_hooks.hpp"
#include "text/path_text.hpp"
#include "without_gil.hpp"
#include "writers/event_writers.hpp"

namespace zelkit::native {
namespace {

using zel::py::function_def;
using zel::py::param;
using zel::py::signature;

// The formats zel's writers encode; compact records are written as they stand.
constexpr std::array<Choice<zel::WriteFormat>, 3> kWriteFormats{{
    {"nmnist", zel::WriteFormat::Nmnist},
    {"aedat2", zel::WriteFormat::Aedat2},
    {"csv", zel::WriteFormat::Csv},
}};

const char* format_title(zel::WriteFormat format) {
    switch (format) {
        case zel::WriteFormat::Nmnist: return "N-MNIST";
        case zel::WriteFormat::Aedat2: return "AEDAT2";
        case zel::WriteFormat::Csv: return "CSV";
    }
    return "";
}

struct LoadArgs {
    std::string path;
    std::optional<zel::RecordFormat> format;  // none: zel's extension rules
};

constexpr auto kLoad = signature<LoadArgs>(
    {.name = "load",
     .doc = "Every event of a file as packed records; format None follows zel's extension rules."},
    param<&LoadArgs::path, convert_path>("path"),
    param<&LoadArgs::format, zel::py::convert_optional<convert_record_format>>("format", "None"));

PyObject* load(PyObject* module, LoadArgs& a) {
    zel::LoadResult<zel::ByteBuffer> loaded = without_gil([&] {
        zel::IoHooks& hooks = signal_checking_hooks();
        return a.format ? zel::load_packed_with(a.path, *a.format, hooks)
                        : zel::load_packed_by_extension_with(a.path, hooks);
    });
    if (!loaded) return raise_load_error(loaded.error());
    return new_buffer(native_state(module), std::move(loaded.value()));
}

struct PathArgs {
    std::string path;
};

constexpr auto kPathExtension = signature<PathArgs>(
    {.name = "path_extension",
     .doc = "The extension zel's dispatcher would see, as bytes, or None."},
    param<&PathArgs::path, convert_path>("path"));

PyObject* path_extension(PyObject*, PathArgs& a) {
    const auto ext = zel::path_extension(a.path);
    if (!ext) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(ext->data(), static_cast<Py_ssize_t>(ext->size()));
}

struct EncodeArgs {
    zel::WriteFormat format{};
    PackedView events;
    std::uint64_t first_index = 0;
};

constexpr auto kEncodeRecords = signature<EncodeArgs>(
    {.name = "encode_records",
     .doc = "The records in a writer's format; first_index is the first event's index in the "
            "file, for messages."},
    param<&EncodeArgs::format, convert_choice<kWriteFormats>>("format"),
    param<&EncodeArgs::events, convert_records>("events"),
    param<&EncodeArgs::first_index, convert_unsigned<std::uint64_t>>("first_index", "0"));

PyObject* encode_records(PyObject* module, EncodeArgs& a) {
    zel::ByteBuffer out;
    auto encoded = without_gil(
        [&] { return zel::encode_events(a.format, a.events.events(), a.first_index, out); });
    if (!encoded) {
        const zel::UnrepresentableValue& bad = encoded.error();
        PyErr_Format(PyExc_ValueError,
                     "cannot write as %s: field '%s' at index %llu is %llu, above the "
                     "format's limit of %llu",
                     format_title(a.format), bad.field, static_cast<unsigned long long>(bad.index),
                     static_cast<unsigned long long>(bad.value),
                     static_cast<unsigned long long>(bad.limit));
        return nullptr;
    }
    return new_buffer(native_state(module), std::move(out));
}

struct FormatArgs {
    zel::WriteFormat format{};
};

constexpr auto kFileHeader = signature<FormatArgs>(
    {.name = "file_header", .doc = "What a file of the format starts with (may be empty)."},
    param<&FormatArgs::format, convert_choice<kWriteFormats>>("format"));

PyObject* file_header(PyObject*, FormatArgs& a) {
    const std::string_view header = zel::file_header(a.format);
    return PyBytes_FromStringAndSize(header.data(), static_cast<Py_ssize_t>(header.size()));
}

PyMethodDef g_file_functions[] = {
    function_def<kLoad, load>(),
    function_def<kPathExtension, path_extension>(),
    function_def<kEncodeRecords, encode_records>(),
    function_def<kFileHeader, file_header>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_file_functions(PyObject* module, NativeState&) {
    return add_functions_uniquely(module, g_file_functions);
}

}  // namespace zelkit::native
