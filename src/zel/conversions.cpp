#include "conversions.hpp"

#include <algorithm>
#include <limits>

#include "module_state.hpp"
#include "pycommon/event_object.hpp"
#include "pycommon/py_ref.hpp"

namespace zel::py {
namespace {

// If the pending exception is exactly TypeError, replace it by
// TypeError("argument '<name>': <message>") keeping its __cause__.
void add_argument_prefix(const char* name) {
    // Only an exact TypeError is rewritten; subclasses and other errors pass.
    if (PyErr_Occurred() != PyExc_TypeError) return;
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    PyRef type(raw_type);
    PyRef value(raw_value);
    PyRef traceback(raw_traceback);

    PyRef message(PyObject_Str(value.get()));
    if (!message) return;
    PyRef prefixed(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    if (!prefixed) return;
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, prefixed.get()));
    if (!replacement) return;
    if (PyObject* cause = PyException_GetCause(value.get())) {
        PyException_SetCause(replacement.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}

// PyLong_AsLong then a range check, for the 8- and 16-bit parameters.
bool convert_narrow(PyObject* obj, const char* name, long max, long& out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        add_argument_prefix(name);
        return false;
    }
    if (value < 0 || value > max) return raise_out_of_range();
    out = value;
    return true;
}

// Exact ints go straight to the unsigned conversion; anything else must
// offer __index__ first.
bool convert_wide(PyObject* obj, const char* name, unsigned long long& out) {
    PyRef index_owner;
    PyObject* integer = obj;
    if (!PyLong_Check(obj)) {
        index_owner = PyRef(PyNumber_Index(obj));
        if (!index_owner) {
            add_argument_prefix(name);
            return false;
        }
        integer = index_owner.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        add_argument_prefix(name);
        return false;
    }
    out = value;
    return true;
}

template <class Narrow>
bool convert_narrow_to(PyObject* obj, const ArgRef& arg, Narrow& out) {
    long value = 0;
    if (!convert_narrow(obj, arg.name, std::numeric_limits<Narrow>::max(), value)) return false;
    out = static_cast<Narrow>(value);
    return true;
}

// An exact list is read straight from its item array: same order, same
// checks and messages as iterating it, without the iterator's per-item
// calls. Nothing in the loop can run Python code, so the list cannot change
// under it. Items are prefetched a few ahead because a list built out of
// allocation order would otherwise miss the cache on every Event.
bool collect_exact_list(PyObject* list, PyTypeObject* event_type, EventList& out) {
    constexpr Py_ssize_t kPrefetchDistance = 8;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    // Reserved, not resized: filling a resized vector would write every
    // record twice, the first time with zeros.
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i + kPrefetchDistance < n) __builtin_prefetch(items[i + kPrefetchDistance]);
        PyObject* item = items[i];
        if (!PyObject_TypeCheck(item, event_type)) {
            raise_cannot_convert(item, "Event");
            return false;
        }
        out.push_back(event_record(item));
    }
    return true;
}

bool collect_events(PyObject* obj, PyTypeObject* event_type, EventList& out) {
    if (PyList_CheckExact(obj)) return collect_exact_list(obj, event_type, out);
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        // The size is only a hint, so a failing __len__ is forgiven; but
        // KeyboardInterrupt, SystemExit and the like are not failures of
        // __len__ and must reach the caller.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        hint = 0;
    }
    // The hint comes from the caller's __len__; a lying one must not make us
    // reserve absurd amounts, so only trust it up to a modest size.
    constexpr Py_ssize_t kTrustedHint = Py_ssize_t{1} << 24;
    out.reserve(static_cast<std::size_t>(std::min(hint, kTrustedHint)));

    PyRef iterator(PyObject_GetIter(obj));
    if (!iterator) return false;
    while (PyObject* raw_item = PyIter_Next(iterator.get())) {
        PyRef item(raw_item);
        if (!PyObject_TypeCheck(item.get(), event_type)) {
            raise_cannot_convert(item.get(), "Event");
            return false;
        }
        out.push_back(event_record(item.get()));
    }
    return !PyErr_Occurred();
}

}  // namespace

void raise_cannot_convert(PyObject* obj, const char* target) {
    PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
}

bool convert_u8(PyObject* obj, const ArgRef& arg, std::uint8_t& out) {
    return convert_narrow_to(obj, arg, out);
}

bool convert_u16(PyObject* obj, const ArgRef& arg, std::uint16_t& out) {
    return convert_narrow_to(obj, arg, out);
}

bool convert_u32(PyObject* obj, const ArgRef& arg, std::uint32_t& out) {
    unsigned long long value = 0;
    if (!convert_wide(obj, arg.name, value)) return false;
    if (value > std::numeric_limits<std::uint32_t>::max()) return raise_out_of_range();
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_u64(PyObject* obj, const ArgRef& arg, std::uint64_t& out) {
    unsigned long long value = 0;
    if (!convert_wide(obj, arg.name, value)) return false;
    out = value;
    return true;
}

bool convert_text(PyObject* obj, const ArgRef& arg, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        add_argument_prefix(arg.name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) {
        add_argument_prefix(arg.name);
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_events(PyObject* obj, const ArgRef& arg, EventList& out) {
    if (collect_events(obj, zel_state().event_type, out)) return true;
    out = EventList();
    add_argument_prefix(arg.name);
    return false;
}

}  // namespace zel::py
