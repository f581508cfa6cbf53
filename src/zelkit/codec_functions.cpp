// The compressors over packed records, read in place from the caller's array.
#include <cstdint>

#include "array_parts.hpp"
#include "buffer_view.hpp"
#include "codec/pipeline.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/py_ref.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

using zel::py::bytes_from;
using zel::py::pair;
using zel::py::payload_list;
using zel::py::PyRef;

struct CompressArgs {
    PackedView events;
    zel::GridParams grid;
};

bool convert_compress_args(PyObject* const* bound, CompressArgs& out) {
    return out.events.acquire(bound[0], "events") &&
           zel::py::convert_grid_params(bound + 1, out.grid);
}

// The statistics as a plain tuple in CompressionResult's field order; the
// Python layer wraps it in its record type.
PyObject* stats_tuple(const zel::CompressionStats& s) {
    return Py_BuildValue("(KKKKKKd)", static_cast<unsigned long long>(s.n_events),
                         static_cast<unsigned long long>(s.raw_bytes),
                         static_cast<unsigned long long>(s.bitstream_bytes),
                         static_cast<unsigned long long>(s.n_bits),
                         static_cast<unsigned long long>(s.encode_us),
                         static_cast<unsigned long long>(s.decode_us), s.sparsity);
}

}  // namespace

PyObject* compress(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        static const zel::py::Signature signature{
            "compress()", {"events", "width", "height", "time_bins", "max_depth"}};
        PyObject* bound[5];
        if (!zel::py::bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
        CompressArgs a;
        if (!convert_compress_args(bound, a)) return nullptr;
        zel::CompressOutput out = without_gil([&] {
            return zel::run_compress(a.events.events(), a.grid.width, a.grid.height,
                                     a.grid.time_bins, a.grid.max_depth);
        });
        return pair(PyRef(bytes_from(out.stream.data(), out.stream.size())),
                    PyRef(stats_tuple(out.stats)));
    });
}

PyObject* compress_sequence(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        static const zel::py::Signature signature{
            "compress_sequence()",
            {"events", "width", "height", "time_bins", "max_depth", "n_frames"}};
        PyObject* bound[6];
        if (!zel::py::bind_fastcall(signature, args, nargs, kwnames, bound)) return nullptr;
        CompressArgs a;
        std::uint64_t n_frames = 0;
        if (!convert_compress_args(bound, a) || !zel::py::convert_u64(bound[5], "n_frames", n_frames)) {
            return nullptr;
        }
        zel::SequenceOutput out = without_gil([&] {
            return zel::run_compress_sequence(a.events.events(), a.grid.width, a.grid.height,
                                              a.grid.time_bins, a.grid.max_depth, n_frames);
        });
        PyRef payloads(payload_list(out));
        return pair(std::move(payloads), PyRef(stats_tuple(out.stats)));
    });
}

}  // namespace zelkit::native
