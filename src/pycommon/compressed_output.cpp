#include "pycommon/compressed_output.hpp"

namespace zel::py {

PyObject* bytes_from(const std::uint8_t* data, std::size_t size) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                     static_cast<Py_ssize_t>(size));
}

PyObject* pair(PyRef first, PyRef second) {
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

PyObject* payload_list(const SequenceOutput& out) {
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
    return payloads.release();
}

bool sequence_fits_in_memory(std::uint64_t n_frames, std::uint64_t n_events) {
    if (sequence_is_empty(n_frames, n_events)) return true;
    const Status fits = check_frames_fit_in_memory(n_frames, kMinBytesPerPayloadFrame);
    if (fits) return true;
    PyErr_SetString(PyExc_MemoryError, fits.error().message.c_str());
    return false;
}

}  // namespace zel::py
