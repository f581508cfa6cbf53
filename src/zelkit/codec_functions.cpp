// The compressors over packed records, read in place from the caller's array.
#include <cstdint>

#include "buffer_view.hpp"
#include "codec/pipeline.hpp"
#include "conversions.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/py_ref.hpp"
#include "record_types.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

using zel::py::bytes_from;
using zel::py::function_def;
using zel::py::pair;
using zel::py::param;
using zel::py::payload_list;
using zel::py::PyRef;
using zel::py::signature;

PyStructSequence_Field kFiguresFields[] = {
    {"n_events", "Events coded."},
    {"raw_bytes", "Their size as 9-byte records."},
    {"bitstream_bytes", "Bytes of the coded stream (all frames)."},
    {"n_bits", "Octree bits before entropy coding (all frames)."},
    {"encode_us", "Microseconds spent coding."},
    {"decode_us", "Microseconds spent decoding it again."},
    {"sparsity", "Share of empty voxels in the grid."},
    {nullptr, nullptr},
};

PyStructSequence_Desc kFiguresDesc = {
    "zelkit._native.CompressionFigures",
    "What a compression measured, the figures of zel.CompressionResult.",
    kFiguresFields,
    7,
};

PyObject* figures(const NativeState& state, const zel::CompressionStats& s) {
    return new_record(state.compression_figures_type, s.n_events, s.raw_bytes,
                      s.bitstream_bytes, s.n_bits, s.encode_us, s.decode_us, s.sparsity);
}

// The parameters shared by both compressors come first, in this order.
struct CompressArgs : zel::GridParams {
    PackedView events;
    std::uint64_t n_frames = 0;
};

constexpr auto kEventsParam = param<&CompressArgs::events, convert_records>("events");

constexpr auto kCompress = signature<CompressArgs>(
    {.name = "compress", .doc = "zel.compress over packed records: (stream, figures)."},
    kEventsParam, kGridParams);

PyObject* compress(PyObject* module, CompressArgs& a) {
    zel::CompressOutput out = without_gil([&] {
        return zel::run_compress(a.events.events(), a.width, a.height, a.time_bins, a.max_depth);
    });
    return pair(PyRef(bytes_from(out.stream.data(), out.stream.size())),
                PyRef(figures(native_state(module), out.stats)));
}

constexpr auto kCompressSequence = signature<CompressArgs>(
    {.name = "compress_sequence",
     .doc = "zel.compress_sequence over packed records: (payloads, figures)."},
    kEventsParam, kGridParams,
    param<&CompressArgs::n_frames, convert_unsigned<std::uint64_t>>("n_frames"));

PyObject* compress_sequence(PyObject* module, CompressArgs& a) {
    if (!zel::py::sequence_fits_in_memory(a.n_frames, a.events.events().size())) return nullptr;
    zel::SequenceOutput out = without_gil([&] {
        return zel::run_compress_sequence(a.events.events(), a.width, a.height, a.time_bins,
                                          a.max_depth, a.n_frames);
    });
    PyRef payloads(payload_list(out));
    return pair(std::move(payloads), PyRef(figures(native_state(module), out.stats)));
}

PyMethodDef g_codec_functions[] = {
    function_def<kCompress, compress>(),
    function_def<kCompressSequence, compress_sequence>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_codec_functions(PyObject* module, NativeState& state) {
    return add_record_type(module, kFiguresDesc, state.compression_figures_type) &&
           add_functions_uniquely(module, g_codec_functions);
}

}  // namespace zelkit::native
