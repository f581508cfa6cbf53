#include "result_type.hpp"

#include <algorithm>
#include <cstdint>

#include "pycommon/py_ref.hpp"

namespace zel::py {
namespace {

struct ResultObject {
    PyObject_HEAD
    CompressionStats stats;
};

PyTypeObject* g_result_type = nullptr;

const CompressionStats& stats_of(PyObject* self) {
    return reinterpret_cast<ResultObject*>(self)->stats;
}

double bits_per_event(const CompressionStats& s) {
    return static_cast<double>(s.bitstream_bytes) * 8.0 /
           static_cast<double>(std::max<std::uint64_t>(s.n_events, 1));
}

double compression_ratio(const CompressionStats& s) {
    return static_cast<double>(s.raw_bytes) /
           static_cast<double>(std::max<std::uint64_t>(s.bitstream_bytes, 1));
}

PyObject* result_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyRef name(PyType_GetName(type));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

// Python's own fixed-point formatting: correctly rounded, ties to even.
PyRef format_two_digits(double value) {
    char* text = PyOS_double_to_string(value, 'f', 2, 0, nullptr);
    if (text == nullptr) return PyRef();
    PyRef result(PyUnicode_FromString(text));
    PyMem_Free(text);
    return result;
}

PyObject* result_repr(PyObject* self) {
    const CompressionStats& s = stats_of(self);
    PyRef ratio = format_two_digits(compression_ratio(s));
    if (!ratio) return nullptr;
    PyRef bpe = format_two_digits(bits_per_event(s));
    if (!bpe) return nullptr;
    return PyUnicode_FromFormat("CompressionResult(n_events=%llu, ratio=%Ux, bpe=%U)",
                                static_cast<unsigned long long>(s.n_events), ratio.get(),
                                bpe.get());
}

PyObject* get_n_events(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stats_of(self).n_events); }
PyObject* get_raw_bytes(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stats_of(self).raw_bytes); }
PyObject* get_bitstream_bytes(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stats_of(self).bitstream_bytes); }
PyObject* get_n_bits(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stats_of(self).n_bits); }
PyObject* get_encode_us(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stats_of(self).encode_us); }
PyObject* get_decode_us(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stats_of(self).decode_us); }
PyObject* get_sparsity(PyObject* self, void*) { return PyFloat_FromDouble(stats_of(self).sparsity); }
PyObject* get_bits_per_event(PyObject* self, void*) { return PyFloat_FromDouble(bits_per_event(stats_of(self))); }
PyObject* get_compression_ratio(PyObject* self, void*) { return PyFloat_FromDouble(compression_ratio(stats_of(self))); }

PyGetSetDef kAttributes[] = {
    {"n_events", get_n_events, nullptr, nullptr, nullptr},
    {"raw_bytes", get_raw_bytes, nullptr, nullptr, nullptr},
    {"bitstream_bytes", get_bitstream_bytes, nullptr, nullptr, nullptr},
    {"n_bits", get_n_bits, nullptr, nullptr, nullptr},
    {"encode_us", get_encode_us, nullptr, nullptr, nullptr},
    {"decode_us", get_decode_us, nullptr, nullptr, nullptr},
    {"sparsity", get_sparsity, nullptr, nullptr, nullptr},
    {"bits_per_event", get_bits_per_event, nullptr, nullptr, nullptr},
    {"compression_ratio", get_compression_ratio, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_heap_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, kAttributes},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.CompressionResult",
    sizeof(ResultObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* create_result_type() {
    if (g_result_type == nullptr) {
        PyObject* type = PyType_FromSpec(&kSpec);
        if (type == nullptr) return nullptr;
        g_result_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the process's life
    }
    Py_INCREF(g_result_type);
    return reinterpret_cast<PyObject*>(g_result_type);
}

PyObject* new_compression_result(const CompressionStats& stats) {
    PyObject* self = g_result_type->tp_alloc(g_result_type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ResultObject*>(self)->stats = stats;
    return self;
}

}  // namespace zel::py
