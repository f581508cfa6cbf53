#include "pycommon/args.hpp"

#include <cstdarg>
#include <cstring>
#include <vector>

#include "pycommon/py_ref.hpp"

namespace zel::py {
namespace detail {

// Only its call matters: declarations are checked while compiling, and a
// constant evaluation that reaches this function fails there.
void invalid_parameter_declaration(const char*) {}

}  // namespace detail

namespace {

// "compress()", "Event.__new__()", "RecordStream.read()".
std::string display_name(const Callable& callable) {
    std::string text;
    if (callable.owner != nullptr) {
        text += callable.owner;
        text += '.';
    }
    text += callable.name;
    text += "()";
    return text;
}

// Lists names the way the interpreter's own signature errors do:
// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string join_names(const std::vector<const char*>& names) {
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

bool raise_too_many_positional(const Callable& callable, std::span<const Param> params,
                               Py_ssize_t given) {
    Py_ssize_t most = 0;
    Py_ssize_t least = 0;
    for (const Param& p : params) {
        if (p.keyword_only) continue;
        ++most;
        if (p.default_value == nullptr) ++least;
    }
    const std::string name = display_name(callable);
    const char* verb = given == 1 ? "was" : "were";
    if (least != most) {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zd to %zd positional arguments but %zd %s given",
                     name.c_str(), least, most, given, verb);
    } else {
        // zel's fixed text keeps "arguments" plural even for one.
        const bool plural = most != 1 || callable.wording == Wording::Zel;
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given",
                     name.c_str(), most, plural ? "s" : "", given, verb);
    }
    return false;
}

// Required parameters nobody filled: the positional ones are reported
// first, as the interpreter does, then the keyword-only ones.
bool check_missing(const Callable& callable, std::span<const Param> params,
                   PyObject* const* bound) {
    for (const bool keyword_only : {false, true}) {
        std::vector<const char*> missing;
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Param& p = params[i];
            if (p.keyword_only == keyword_only && p.default_value == nullptr &&
                bound[i] == nullptr) {
                missing.push_back(p.name);
            }
        }
        if (missing.empty()) continue;
        PyErr_Format(PyExc_TypeError, "%s missing %zu required %s %s: %s",
                     display_name(callable).c_str(), missing.size(),
                     keyword_only ? "keyword-only" : "positional",
                     missing.size() == 1 ? "argument" : "arguments", join_names(missing).c_str());
        return false;
    }
    return true;
}

bool bind_keyword(const Callable& callable, std::span<const Param> params, PyObject* name,
                  PyObject* value, PyObject** bound) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, params[i].name) != 0) {
            continue;
        }
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                         display_name(callable).c_str(), name);
            return false;
        }
        bound[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 display_name(callable).c_str(), name);
    return false;
}

// Positional arguments fill parameters from the left; too many is reported
// before any keyword is looked at.
bool bind_positional(const Callable& callable, std::span<const Param> params,
                     PyObject* const* args, Py_ssize_t nargs, PyObject** bound) {
    Py_ssize_t capacity = 0;
    for (const Param& p : params) capacity += p.keyword_only ? 0 : 1;
    if (nargs > capacity) return raise_too_many_positional(callable, params, nargs);
    std::fill(bound, bound + params.size(), nullptr);
    std::copy(args, args + nargs, bound);
    return true;
}

// The Python object a default literal stands for (checked when the
// declaration was compiled); a new reference.
PyObject* default_object(const char* literal) {
    if (std::strcmp(literal, "None") == 0) Py_RETURN_NONE;
    if (std::strcmp(literal, "True") == 0) Py_RETURN_TRUE;
    if (std::strcmp(literal, "False") == 0) Py_RETURN_FALSE;
    if (literal[0] == '\'') {
        return PyUnicode_FromStringAndSize(literal + 1,
                                           static_cast<Py_ssize_t>(std::strlen(literal)) - 2);
    }
    return PyLong_FromString(literal, nullptr, 10);
}

std::string describe_argument(const ArgRef& arg) {
    std::string text;
    if (arg.callable != nullptr) {
        text += display_name(*arg.callable);
        text += ' ';
    }
    text += "argument '";
    text += arg.name;
    text += '\'';
    return text;
}

}  // namespace

bool raise_argument_error(PyObject* type, const ArgRef& arg, const char* format, ...) {
    va_list values;
    va_start(values, format);
    PyRef detail(PyUnicode_FromFormatV(format, values));
    va_end(values);
    if (!detail) return false;
    const std::string where = describe_argument(arg);
    PyErr_Format(type, "%s %U", where.c_str(), detail.get());
    return false;
}

bool raise_wrong_type(const ArgRef& arg, const char* expected, PyObject* given) {
    PyRef type_name(PyType_GetName(Py_TYPE(given)));
    if (!type_name) return false;
    return raise_argument_error(PyExc_TypeError, arg, "must be %s, not %U", expected,
                                type_name.get());
}

bool bind_fastcall(const Callable& callable, std::span<const Param> params,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    if (!bind_positional(callable, params, args, nargs, bound)) return false;
    const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n_keywords; ++i) {
        if (!bind_keyword(callable, params, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound)) {
            return false;
        }
    }
    return check_missing(callable, params, bound);
}

bool bind_tuple_dict(const Callable& callable, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, PyObject** bound) {
    if (!bind_positional(callable, params, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                         bound)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(callable, params, key, value, bound)) return false;
        }
    }
    return check_missing(callable, params, bound);
}

bool convert_bound(const Callable& callable, std::span<const Param> params,
                   PyObject* const* bound, void* args) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        PyRef fallback;
        PyObject* value = bound[i];
        if (value == nullptr) {
            fallback = PyRef(default_object(p.default_value));
            if (!fallback) return false;
            value = fallback.get();
        }
        if (!p.store(value, ArgRef{&callable, p.name}, args)) return false;
    }
    return true;
}

}  // namespace zel::py
