// The compressors over packed records, read in place from the caller's array.
#include <cstdint>

#include "args.hpp"
#include "array_parts.hpp"
#include "boundary.hpp"
#include "buffer_view.hpp"
#include "codec/pipeline.hpp"
#include "py_ref.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

using zel::py::PyRef;

struct CompressArgs {
    PackedView events;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t time_bins = 0;
    std::uint8_t max_depth = 0;
};

bool convert_compress_args(PyObject* const* bound, CompressArgs& out) {
    return out.events.acquire(bound[0], "events") &&
           zel::py::convert_u16(bound[1], "width", out.width) &&
           zel::py::convert_u16(bound[2], "height", out.height) &&
           zel::py::convert_u16(bound[3], "time_bins", out.time_bins) &&
           zel::py::convert_u8(bound[4], "max_depth", out.max_depth);
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

PyObject* pair(PyRef first, PyRef second) {
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

PyObject* bytes_from(const std::uint8_t* data, std::size_t size) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                     static_cast<Py_ssize_t>(size));
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
            return zel::run_compress(a.events.events(), a.width, a.height, a.time_bins, a.max_depth);
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
            return zel::run_compress_sequence(a.events.events(), a.width, a.height, a.time_bins,
                                              a.max_depth, n_frames);
        });
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
        return pair(std::move(payloads), PyRef(stats_tuple(out.stats)));
    });
}

}  // namespace zelkit::native
