// The .zel container's module-level function and constants: writing a whole
// container in one call, the grid limits, and the error mapping the reader
// and writer types share. Layout, coding and checks live in the core.
#include <cerrno>
#include <cstdint>
#include <vector>

#include "buffer_view.hpp"
#include "codec/box_decoder.hpp"
#include "codec/grid_params.hpp"
#include "container/container_format.hpp"
#include "container/container_writer.hpp"
#include "container/frame_codec.hpp"
#include "container_binding.hpp"
#include "conversions.hpp"
#include "format_errors.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/compressed_output.hpp"

namespace zelkit::native {

PyObject* raise_container_error(const zel::Error& error) {
    // A container is opened from a descriptor zelkit made, so the system's
    // refusal keeps its errno subclass (IsADirectoryError, ...); everything
    // else maps as for every other zelkit call.
    if (error.kind == zel::ErrorKind::Os) {
        errno = error.os_code;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return raise_error(error);
}

namespace {

namespace ct = zel::container;
using zel::py::param;
using zel::py::signature;

struct EncodeArgs : zel::GridParams {
    PackedView events;
    std::uint64_t n_frames = 0;
    std::uint32_t keyframe_interval = 0;
    ct::KeyframeCodec codec = ct::KeyframeCodec::Zel;
};

constexpr auto kEncode = signature<EncodeArgs>(
    {.name = "encode",
     .doc = "The whole .zel container of packed records cut into n_frames frames."},
    param<&EncodeArgs::events, convert_records>("events"), kGridParams,
    param<&EncodeArgs::n_frames, convert_unsigned<std::uint64_t>>("n_frames"),
    param<&EncodeArgs::keyframe_interval, convert_unsigned<std::uint32_t>>("keyframe_interval"),
    param<&EncodeArgs::codec, convert_keyframe_codec>("codec", "'zel'"));

PyObject* encode(PyObject*, EncodeArgs& a) {
    zel::Result<std::vector<std::uint8_t>> out = without_gil([&] {
        return ct::encode_container(a.events.events(), a, a.n_frames, a.keyframe_interval,
                                    a.codec);
    });
    if (!out) return raise_container_error(out.error());
    return zel::py::bytes_from(out.value());
}

PyMethodDef g_container_functions[] = {
    zel::py::function_def<kEncode, encode>(),
    {nullptr, nullptr, 0, nullptr},
};

// CODECS: the keyframe codecs' names, in the core table's order.
bool add_codec_names(PyObject* module) {
    zel::py::PyRef names(PyTuple_New(static_cast<Py_ssize_t>(ct::kKeyframeCodecs.size())));
    if (!names) return false;
    Py_ssize_t i = 0;
    for (const ct::NamedKeyframeCodec& codec : ct::kKeyframeCodecs) {
        PyObject* name = PyUnicode_FromString(codec.name);
        if (name == nullptr) return false;
        PyTuple_SET_ITEM(names.get(), i++, name);
    }
    return PyModule_AddObjectRef(module, "CODECS", names.get()) == 0;
}

}  // namespace

bool add_container_functions(PyObject* module, NativeState& state) {
    return PyModule_AddIntConstant(module, "BOX_RECORD_BYTES", zel::kBoxRecordBytes) == 0 &&
           PyModule_AddIntConstant(module, "INDEX_ENTRY_BYTES", ct::kIndexEntryBytes) == 0 &&
           PyModule_AddIntConstant(module, "MAX_GRID_EXTENT", zel::kMaxGridExtent) == 0 &&
           PyModule_AddIntConstant(module, "MAX_TREE_DEPTH", zel::kMaxTreeDepth) == 0 &&
           add_codec_names(module) && add_functions_uniquely(module, g_container_functions) &&
           add_container_reader_type(module, state) && add_container_writer_type(module, state) &&
           add_event_store_types(module, state);
}

}  // namespace zelkit::native
