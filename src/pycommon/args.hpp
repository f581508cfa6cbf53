#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>

#include "pycommon/boundary.hpp"

// How a native callable meets its arguments
// =========================================
// Every function, method and constructor of both modules declares its face
// once, at namespace scope beside its body:
//
//     struct LoadArgs {
//         std::string path;
//         std::optional<zel::RecordFormat> format;
//     };
//     constexpr auto kLoad = signature<LoadArgs>(
//         {.name = "load", .doc = "Every event of a file, as packed records."},
//         param<&LoadArgs::path, convert_path>("path"),
//         param<&LoadArgs::format, convert_optional<convert_record_format>>("format", "None"));
//
//     PyObject* load(PyObject* module, LoadArgs& args);  // the work, on converted values
//
//     PyMethodDef g_functions[] = {function_def<kLoad, load>(), {}};
//
// Parameters, in the order Python sees them:
//   param<&Args::field, converter>("name")                 required, by position or keyword
//   param<&Args::field, converter>("name", "default")      optional
//   keyword_param<&Args::field, converter>("name"[, "default"])   keyword-only (after '*')
//   params(p1, p2, ...)                 a group several signatures share (the grid)
// A default is a Python literal: None, True, False, an integer or a 'quoted'
// string. When the caller leaves the parameter out, its converter is given
// that value, so a default obeys the same rules as a value given, and the
// text signature shows it as written. Misplaced parameters (a required one
// after an optional one, a positional one after a keyword-only one, a name
// twice, a default that is no such literal) do not compile.
//
// A converter is `bool convert(PyObject* value, const ArgRef& arg, T& out)`:
// it fills `out` or returns false with the exception set; `arg` names the
// argument for its message. The field may be one of a base class of Args (the
// grid's fields of zel::GridParams).
//
// `impl` runs with the interpreter lock held and the converted arguments
// alive (a buffer stays acquired until it returns); zelkit's functions give
// the lock up around the core's work (src/zelkit/without_gil.hpp).
//
// From the declaration come:
//   - binding: positional arguments fill parameters from the left, then
//     keywords in the order given; then what is left out takes its default or
//     is missing. Every binding error is a TypeError in the interpreter's own
//     words ("load() takes from 1 to 2 positional arguments but 3 were
//     given"), or in zel's fixed texts with `.wording = Wording::Zel`;
//   - conversion, after the whole binding, one argument at a time in
//     parameter order: the first failure is raised and nothing else runs;
//   - `function_def<kSig, impl>()`: the PyMethodDef (METH_FASTCALL |
//     METH_KEYWORDS) whose entry runs inside `guarded`, parses and calls
//     `impl(self, args)`, and whose doc is the text signature
//     "load(path, format=None)\n--\n\n" followed by `.doc`, so
//     inspect.signature works. Methods name their class in `.owner`, which
//     adds "$self, /" to the text and "RecordStream.read()" to messages;
//   - constructors: `.name = "__new__", .owner = "RecordStream"`;
//     `constructor_slot<kSig, impl>()` is the Py_tp_new slot (impl gets the
//     type) and `type_doc<kSig>()` the Py_tp_doc "RecordStream(path, format)".
// Module state: zel keeps its state in zel_state() (src/zel/module_state.hpp);
// zelkit in the module object, reached by native_state() (src/zelkit/
// native_state.hpp). Named return records: src/zelkit/record_types.hpp.
namespace zel::py {

// The words binding errors are given in.
enum class Wording : std::uint8_t {
    Python,  // the interpreter's: "takes 1 positional argument but 2 were given"
    Zel,     // zel's: "takes 1 positional arguments but 2 were given"
};

// What a callable is called, for its text signature and its messages.
struct Callable {
    const char* name;             // "load", "read", or "__new__" for a constructor
    const char* owner = nullptr;  // the class, for methods and constructors
    const char* doc = nullptr;    // what __doc__ says after the text signature
    Wording wording = Wording::Python;
};

// The argument a converter is working on, for its messages.
struct ArgRef {
    const Callable* callable;  // null outside a call (an attribute setter)
    const char* name;
};

// One parameter, with its converter bound to a field of the arguments struct.
struct Param {
    const char* name = nullptr;
    const char* default_value = nullptr;  // a Python literal, or null when required
    bool keyword_only = false;
    bool (*store)(PyObject* value, const ArgRef& arg, void* args) = nullptr;
};

// Raises `type` with the message "<argument> <detail>": <argument> names
// the argument the way the interpreter does ("load() argument 'path'", or
// "argument 'x'" outside a call), <detail> comes from a PyUnicode_FromFormat
// format. Returns false, for converters to return.
bool raise_argument_error(PyObject* type, const ArgRef& arg, const char* format, ...);

// TypeError "<argument> must be <expected>, not <type of given>". False.
bool raise_wrong_type(const ArgRef& arg, const char* expected, PyObject* given);

// The untyped binder behind Signature. `bound` has room for one borrowed
// reference per parameter; a null entry is a parameter left to its default.
bool bind_fastcall(const Callable& callable, std::span<const Param> params,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);
bool bind_tuple_dict(const Callable& callable, std::span<const Param> params, PyObject* args,
                     PyObject* kwargs, PyObject** bound);
bool convert_bound(const Callable& callable, std::span<const Param> params,
                   PyObject* const* bound, void* args);

template <class Args, std::size_t N>
struct Signature {
    using Arguments = Args;
    Callable callable;
    std::array<Param, N> params;

    // Vectorcall arguments: keyword values follow the positional ones.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out) const {
        std::array<PyObject*, N> bound{};
        return bind_fastcall(callable, params, args, nargs, kwnames, bound.data()) &&
               convert_bound(callable, params, bound.data(), &out);
    }
    // tp_new arguments: a tuple and an optional dict.
    bool parse(PyObject* args, PyObject* kwargs, Args& out) const {
        std::array<PyObject*, N> bound{};
        return bind_tuple_dict(callable, params, args, kwargs, bound.data()) &&
               convert_bound(callable, params, bound.data(), &out);
    }
};

// ----------------------------------------------------------- declaring

namespace detail {

template <class Args, auto Field, auto Convert>
bool store_field(PyObject* value, const ArgRef& arg, void* args) {
    return Convert(value, arg, static_cast<Args*>(args)->*Field);
}

// Called only where a declaration is wrong, so a constant evaluation that
// reaches it fails and the compiler names the line.
void invalid_parameter_declaration(const char* why);

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// None, True, False, an optionally negative decimal integer, or a string in
// single quotes holding neither a quote nor a backslash.
constexpr bool is_default_literal(const char* text) {
    if (same_text(text, "None") || same_text(text, "True") || same_text(text, "False")) return true;
    if (text[0] == '\'') {
        std::size_t i = 1;
        while (text[i] != '\0' && text[i] != '\'' && text[i] != '\\') ++i;
        return text[i] == '\'' && text[i + 1] == '\0';
    }
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (text[i] == '\0') return false;
    for (; text[i] != '\0'; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

constexpr void check_declaration(const Callable& callable, std::span<const Param> params) {
    bool optional_seen = false;
    bool keyword_only_seen = false;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const Param& p = params[i];
        if (p.name == nullptr || p.name[0] == '\0') invalid_parameter_declaration("empty name");
        for (std::size_t j = 0; j < i; ++j) {
            if (same_text(params[j].name, p.name)) {
                invalid_parameter_declaration("name declared twice");
            }
        }
        if (p.default_value != nullptr && !is_default_literal(p.default_value)) {
            invalid_parameter_declaration("default is not None, True, False, an integer or 'text'");
        }
        if (p.keyword_only) {
            keyword_only_seen = true;
        } else {
            if (keyword_only_seen) invalid_parameter_declaration("positional after keyword-only");
            if (p.default_value != nullptr) {
                optional_seen = true;
            } else if (optional_seen) {
                invalid_parameter_declaration("required after optional");
            }
        }
        if (callable.wording == Wording::Zel && (p.default_value != nullptr || p.keyword_only)) {
            invalid_parameter_declaration("zel's parameters are all required and positional");
        }
    }
}

template <auto Field, auto Convert>
struct ParamDecl {
    const char* name;
    const char* default_value;
    bool keyword_only;
};

template <class... Decls>
struct ParamGroup {
    std::tuple<Decls...> decls;
};

template <class T>
struct ParamCount;
template <auto Field, auto Convert>
struct ParamCount<ParamDecl<Field, Convert>> : std::integral_constant<std::size_t, 1> {};
template <class... Decls>
struct ParamCount<ParamGroup<Decls...>> : std::integral_constant<std::size_t, sizeof...(Decls)> {};

template <class Args, auto Field, auto Convert>
constexpr Param make_param(const ParamDecl<Field, Convert>& d) {
    return {d.name, d.default_value, d.keyword_only, &store_field<Args, Field, Convert>};
}

template <class Args, auto Field, auto Convert>
constexpr std::array<Param, 1> flatten(const ParamDecl<Field, Convert>& d) {
    return {make_param<Args>(d)};
}

template <class Args, class... Decls>
constexpr std::array<Param, sizeof...(Decls)> flatten(const ParamGroup<Decls...>& group) {
    return std::apply(
        [](const auto&... d) {
            return std::array<Param, sizeof...(Decls)>{make_param<Args>(d)...};
        },
        group.decls);
}

template <std::size_t... Sizes>
constexpr std::array<Param, (Sizes + ... + 0)> join(const std::array<Param, Sizes>&... parts) {
    std::array<Param, (Sizes + ... + 0)> out{};
    std::size_t at = 0;
    [[maybe_unused]] auto append = [&](const auto& part) {
        for (const Param& p : part) out[at++] = p;
    };
    (append(parts), ...);
    return out;
}

// Writes (or with a null `out` only counts) the text signature and doc.
struct TextWriter {
    char* out = nullptr;
    std::size_t size = 0;
    constexpr void put(const char* text) {
        for (; *text != '\0'; ++text, ++size) {
            if (out != nullptr) out[size] = *text;
        }
    }
};

constexpr void write_doc(const Callable& callable, std::span<const Param> params, TextWriter& w) {
    const bool constructor = callable.owner != nullptr && same_text(callable.name, "__new__");
    w.put(constructor ? callable.owner : callable.name);
    w.put("(");
    bool first = true;
    auto next = [&] {
        if (!first) w.put(", ");
        first = false;
    };
    if (callable.owner != nullptr && !constructor) {
        next();
        w.put("$self, /");
    }
    bool star = false;
    for (const Param& p : params) {
        if (p.keyword_only && !star) {
            next();
            w.put("*");
            star = true;
        }
        next();
        w.put(p.name);
        if (p.default_value != nullptr) {
            w.put("=");
            w.put(p.default_value);
        }
    }
    w.put(")\n--\n\n");
    if (callable.doc != nullptr) w.put(callable.doc);
}

template <const auto& Sig>
struct Doc {
    static constexpr std::size_t kSize = [] {
        TextWriter w;
        write_doc(Sig.callable, Sig.params, w);
        return w.size;
    }();
    static constexpr std::array<char, kSize + 1> kText = [] {
        std::array<char, kSize + 1> text{};
        TextWriter w{text.data()};
        write_doc(Sig.callable, Sig.params, w);
        return text;
    }();
};

template <const auto& Sig>
using ArgumentsOf = typename std::remove_cvref_t<decltype(Sig)>::Arguments;

template <const auto& Sig, auto Impl>
PyObject* call_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        ArgumentsOf<Sig> parsed{};
        if (!Sig.parse(args, nargs, kwnames, parsed)) return nullptr;
        return Impl(self, parsed);
    });
}

template <const auto& Sig, auto Impl>
PyObject* call_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        ArgumentsOf<Sig> parsed{};
        if (!Sig.parse(args, kwargs, parsed)) return nullptr;
        return Impl(type, parsed);
    });
}

}  // namespace detail

template <auto Field, auto Convert>
consteval detail::ParamDecl<Field, Convert> param(const char* name,
                                                  const char* default_value = nullptr) {
    return {name, default_value, false};
}

template <auto Field, auto Convert>
consteval detail::ParamDecl<Field, Convert> keyword_param(const char* name,
                                                          const char* default_value = nullptr) {
    return {name, default_value, true};
}

template <class... Decls>
consteval detail::ParamGroup<Decls...> params(Decls... decls) {
    return {{decls...}};
}

template <class Args, class... Items>
consteval auto signature(Callable callable, const Items&... items) {
    Signature<Args, (detail::ParamCount<Items>::value + ... + 0)> sig{
        callable, detail::join(detail::flatten<Args>(items)...)};
    detail::check_declaration(sig.callable, sig.params);
    return sig;
}

// For callables without parameters.
struct NoArgs {};

namespace detail {
template <class F>
struct ConverterOutput;
template <class T>
struct ConverterOutput<bool (*)(PyObject*, const ArgRef&, T&)> {
    using type = T;
};
}  // namespace detail

// What the converter `Convert` fills.
template <auto Convert>
using ConverterOutput = typename detail::ConverterOutput<decltype(Convert)>::type;

// The argument itself, borrowed for the length of the call, with what it is
// called: for checks the callable makes itself (ones that need its state).
struct ObjectArg {
    PyObject* object = nullptr;
    ArgRef arg{nullptr, nullptr};
};
inline bool convert_object(PyObject* obj, const ArgRef& arg, ObjectArg& out) {
    out = {obj, arg};
    return true;
}

// None (left empty), or what `Convert` accepts.
template <auto Convert>
bool convert_optional(PyObject* obj, const ArgRef& arg,
                      std::optional<ConverterOutput<Convert>>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    out.emplace();
    return Convert(obj, arg, *out);
}

// ------------------------------------------------------------- exposing

// The module function or method declared by `Sig`, running `Impl`:
// PyObject* impl(PyObject* self, Args& args).
template <const auto& Sig, auto Impl>
PyMethodDef function_def() {
    return {Sig.callable.name,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&detail::call_fastcall<Sig, Impl>)),
            METH_FASTCALL | METH_KEYWORDS, detail::Doc<Sig>::kText.data()};
}

// The Py_tp_new slot of the constructor declared by `Sig`, running `Impl`:
// PyObject* impl(PyTypeObject* type, Args& args).
template <const auto& Sig, auto Impl>
void* constructor_slot() {
    return reinterpret_cast<void*>(&detail::call_new<Sig, Impl>);
}

// The Py_tp_doc slot: the class's text signature, then `.doc`.
template <const auto& Sig>
void* type_doc() {
    return const_cast<char*>(detail::Doc<Sig>::kText.data());
}

}  // namespace zel::py
