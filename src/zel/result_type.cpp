#include "result_type.hpp"

#include <algorithm>
#include <cstdint>

#include "module_state.hpp"
#include "pycommon/py_ref.hpp"

namespace zel::py {
namespace {

struct ResultObject {
    PyObject_HEAD
    CompressionStats stats;
};

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

// One getter per stored figure and per derived one.
template <auto Field>
PyObject* get_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(stats_of(self).*Field);
}

template <double (*Derive)(const CompressionStats&)>
PyObject* get_ratio(PyObject* self, void*) {
    return PyFloat_FromDouble(Derive(stats_of(self)));
}

PyObject* get_sparsity(PyObject* self, void*) {
    return PyFloat_FromDouble(stats_of(self).sparsity);
}

#define ZEL_RESULT_COUNT(name) \
    {#name, get_count<&CompressionStats::name>, nullptr, nullptr, nullptr}

PyGetSetDef kAttributes[] = {
    ZEL_RESULT_COUNT(n_events),
    ZEL_RESULT_COUNT(raw_bytes),
    ZEL_RESULT_COUNT(bitstream_bytes),
    ZEL_RESULT_COUNT(n_bits),
    ZEL_RESULT_COUNT(encode_us),
    ZEL_RESULT_COUNT(decode_us),
    {"sparsity", get_sparsity, nullptr, nullptr, nullptr},
    {"bits_per_event", get_ratio<bits_per_event>, nullptr, nullptr, nullptr},
    {"compression_ratio", get_ratio<compression_ratio>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef ZEL_RESULT_COUNT

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

PyType_Spec& result_type_spec() { return kSpec; }

PyObject* new_compression_result(const CompressionStats& stats) {
    PyTypeObject* type = zel_state().result_type;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ResultObject*>(self)->stats = stats;
    return self;
}

}  // namespace zel::py
