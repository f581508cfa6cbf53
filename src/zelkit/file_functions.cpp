// zel's formats loaded whole and encoded for writers (the file itself is
// written by the Python layer, which owns the temporary-file-and-rename
// protocol), and the table of which extension names which format.
#include <optional>
#include <string>
#include <vector>

#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "conversions.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/py_ref.hpp"
#include "format_errors.hpp"
#include "readers/file_formats.hpp"
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

// zel's formats, and "bin": compact or N-MNIST as the size says.
constexpr std::array<Choice<std::optional<zel::RecordFormat>>, 5> kLoadFormats{{
    {"bin", std::nullopt},
    {"evb", zel::RecordFormat::Compact},
    {"nmnist", zel::RecordFormat::Nmnist},
    {"aedat2", zel::RecordFormat::Aedat2},
    {"csv", zel::RecordFormat::Csv},
}};

struct LoadArgs {
    std::string path;
    std::optional<zel::RecordFormat> format;  // none: "bin"
};

constexpr auto kLoad = signature<LoadArgs>(
    {.name = "load",
     .doc = "Every event of a file of one of zel's formats as packed records; 'bin' reads the "
            "file once and lets its size choose compact or N-MNIST."},
    param<&LoadArgs::path, convert_path>("path"),
    param<&LoadArgs::format, convert_choice<kLoadFormats>>("format"));

PyObject* load(PyObject* module, LoadArgs& a) {
    zel::Result<zel::ByteBuffer> loaded = without_gil([&] {
        zel::IoHooks& hooks = signal_checking_hooks();
        return a.format ? zel::load_packed_with(a.path, *a.format, hooks) : zel::load_packed_bin_with(a.path, hooks);
    });
    if (!loaded) return raise_error(loaded.error());
    return new_buffer(native_state(module), std::move(loaded.value()));
}

struct SizeArgs {
    std::uint64_t size = 0;
};

constexpr auto kBinFormat = signature<SizeArgs>(
    {.name = "bin_format", .doc = "'evb' or 'nmnist': what a .bin file of size bytes holds."},
    param<&SizeArgs::size, convert_unsigned<std::uint64_t>>("size"));

PyObject* bin_format(PyObject*, SizeArgs& a) {
    return PyUnicode_FromString(zel::bin_format(a.size) == zel::RecordFormat::Compact ? "evb" : "nmnist");
}

// A sequence of str.
bool convert_str_list(PyObject* obj, const zel::py::ArgRef& arg, std::vector<std::string>& out) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        return zel::py::raise_wrong_type(arg, "a sequence of str", obj);
    }
    zel::py::PyRef items(PySequence_Fast(obj, "not a sequence"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!convert_str(PySequence_Fast_GET_ITEM(items.get(), i), arg, out[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return true;
}

struct UnknownExtensionArgs {
    std::string path;
    std::vector<std::string> extensions;
};

constexpr auto kUnknownExtension = signature<UnknownExtensionArgs>(
    {.name = "unknown_extension_message",
     .doc = "The message for a path whose extension names no format, listing extensions."},
    param<&UnknownExtensionArgs::path, convert_path>("path"),
    param<&UnknownExtensionArgs::extensions, convert_str_list>("extensions"));

PyObject* unknown_extension_message(PyObject*, UnknownExtensionArgs& a) {
    const std::vector<std::string_view> listed(a.extensions.begin(), a.extensions.end());
    const std::string message = zel::unknown_extension_message(a.path, listed);
    return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
}

PyObject* text(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// EXTENSIONS: ((extension, format, zel reads it), ...) in the table's order.
bool add_extension_table(PyObject* module) {
    zel::py::PyRef table(PyTuple_New(static_cast<Py_ssize_t>(std::size(zel::kExtensionRules))));
    if (!table) return false;
    Py_ssize_t i = 0;
    for (const zel::ExtensionRule& rule : zel::kExtensionRules) {
        zel::py::PyRef extension(text(rule.extension));
        zel::py::PyRef name(text(zel::format_name(rule.format)));
        if (!extension || !name) return false;
        PyObject* row = PyTuple_Pack(3, extension.get(), name.get(), zel::zel_reads(rule.format) ? Py_True : Py_False);
        if (row == nullptr) return false;
        PyTuple_SET_ITEM(table.get(), i++, row);
    }
    return PyModule_AddObjectRef(module, "EXTENSIONS", table.get()) == 0;
}

struct PathArgs {
    std::string path;
};

constexpr auto kPathExtension = signature<PathArgs>(
    {.name = "path_extension",
     .doc = "The extension of the path's final component, as the table compares it (bytes), "
            "or None."},
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
    if (!encoded) return raise_error(encoded.error());
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
    function_def<kBinFormat, bin_format>(),
    function_def<kPathExtension, path_extension>(),
    function_def<kUnknownExtension, unknown_extension_message>(),
    function_def<kEncodeRecords, encode_records>(),
    function_def<kFileHeader, file_header>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_file_functions(PyObject* module, NativeState&) {
    return add_functions_uniquely(module, g_file_functions) && add_extension_table(module);
}

}  // namespace zelkit::native
