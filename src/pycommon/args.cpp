#include "pycommon/args.hpp"

#include <algorithm>
#include <limits>
#include <vector>

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

// Lists missing names the way Python's own signature errors do:
// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string join_missing(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                text += " and ";
            } else {
                text += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

struct Keyword {
    PyObject* name;
    PyObject* value;
};

bool bind(const Signature& sig, PyObject* const* positional, Py_ssize_t n_positional,
          const std::vector<Keyword>& keywords, PyObject** bound) {
    const auto n_params = static_cast<Py_ssize_t>(sig.params.size());
    if (n_positional > n_params) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                     sig.display_name, n_params, n_positional,
                     n_positional == 1 ? "was" : "were");
        return false;
    }
    std::fill(bound, bound + n_params, nullptr);
    std::copy(positional, positional + n_positional, bound);

    for (const Keyword& keyword : keywords) {
        Py_ssize_t index = 0;
        for (const char* param : sig.params) {
            if (PyUnicode_Check(keyword.name) &&
                PyUnicode_CompareWithASCIIString(keyword.name, param) == 0) {
                break;
            }
            ++index;
        }
        if (index == n_params) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                         sig.display_name, keyword.name);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                         sig.display_name, keyword.name);
            return false;
        }
        bound[index] = keyword.value;
    }

    std::vector<const char*> missing;
    Py_ssize_t index = 0;
    for (const char* param : sig.params) {
        if (bound[index++] == nullptr) missing.push_back(param);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                     sig.display_name, missing.size(),
                     missing.size() == 1 ? "argument" : "arguments",
                     join_missing(missing).c_str());
        return false;
    }
    return true;
}


// PyLong_AsLong then a range check, for the 8- and 16-bit parameters.
bool convert_narrow(PyObject* obj, const char* name, long max, long& out) {
    const long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        add_argument_prefix(name);
        return false;
    }
    if (value < 0 || value > max) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
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

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound) {
    std::vector<Keyword> keywords;
    if (kwnames != nullptr) {
        const Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
        keywords.reserve(static_cast<std::size_t>(n_keywords));
        for (Py_ssize_t i = 0; i < n_keywords; ++i) {
            keywords.push_back({PyTuple_GET_ITEM(kwnames, i), args[nargs + i]});
        }
    }
    return bind(sig, args, nargs, keywords, bound);
}

bool bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** bound) {
    std::vector<Keyword> keywords;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) keywords.push_back({key, value});
    }
    return bind(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords, bound);
}


bool convert_u8(PyObject* obj, const char* name, std::uint8_t& out) {
    long value = 0;
    if (!convert_narrow(obj, name, std::numeric_limits<std::uint8_t>::max(), value)) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool convert_u16(PyObject* obj, const char* name, std::uint16_t& out) {
    long value = 0;
    if (!convert_narrow(obj, name, std::numeric_limits<std::uint16_t>::max(), value)) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool convert_u32(PyObject* obj, const char* name, std::uint32_t& out) {
    unsigned long long value = 0;
    if (!convert_wide(obj, name, value)) return false;
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    unsigned long long value = 0;
    if (!convert_wide(obj, name, value)) return false;
    out = value;
    return true;
}

bool convert_grid_params(PyObject* const* args, GridParams& out) {
    return convert_u16(args[0], "width", out.width) &&
           convert_u16(args[1], "height", out.height) &&
           convert_u16(args[2], "time_bins", out.time_bins) &&
           convert_u8(args[3], "max_depth", out.max_depth);
}

bool convert_text(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        add_argument_prefix(name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) {
        add_argument_prefix(name);
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_events(PyObject* obj, const char* name, PyTypeObject* event_type, EventList& out) {
    if (collect_events(obj, event_type, out)) return true;
    out = EventList();
    add_argument_prefix(name);
    return false;
}

}  // namespace zel::py
