#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>

#include "buffer_view.hpp"
#include "codec/grid_params.hpp"
#include "container/frame_codec.hpp"
#include "pycommon/args.hpp"
#include "readers/file_formats.hpp"

// zelkit's argument converters (see pycommon/args.hpp for the convention).
// Their messages are the interpreter's kind, naming the call and the
// argument: "compress() argument 'width' must be int, not float". None of
// zel's fixed texts is used here.
namespace zelkit::native {

using zel::py::ArgRef;

// ------------------------------------------------------------- integers

// An int, or any object with __index__ (True and False are 1 and 0), within
// [min, max]; beyond it, `range_error` "... is <value>, outside the range
// <min>..<max>". A float is refused even when integral.
bool convert_integer(PyObject* obj, const ArgRef& arg, unsigned long long min,
                     unsigned long long max, PyObject* range_error, unsigned long long& out);

// Any value of the unsigned type T; OverflowError beyond it, as the
// interpreter reports values that do not fit a C integer.
template <class T>
bool convert_unsigned(PyObject* obj, const ArgRef& arg, T& out) {
    unsigned long long value = 0;
    if (!convert_integer(obj, arg, 0, std::numeric_limits<T>::max(), PyExc_OverflowError, value)) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

// A value of T in Min..Max, a limit of the domain: ValueError beyond it.
template <class T, T Min, T Max>
bool convert_bounded(PyObject* obj, const ArgRef& arg, T& out) {
    unsigned long long value = 0;
    if (!convert_integer(obj, arg, Min, Max, PyExc_ValueError, value)) return false;
    out = static_cast<T>(value);
    return true;
}

// width, height, time_bins and max_depth, in that order, into the fields of
// zel::GridParams (a base of the arguments struct).
inline constexpr auto kGridParams = zel::py::params(
    zel::py::param<&zel::GridParams::width, convert_unsigned<std::uint16_t>>("width"),
    zel::py::param<&zel::GridParams::height, convert_unsigned<std::uint16_t>>("height"),
    zel::py::param<&zel::GridParams::time_bins, convert_unsigned<std::uint16_t>>("time_bins"),
    zel::py::param<&zel::GridParams::max_depth, convert_unsigned<std::uint8_t>>("max_depth"));

// ------------------------------------------------------- other values

// Truth value, as `if value:` sees it.
bool convert_flag(PyObject* obj, const ArgRef& arg, bool& out);

// A str, as UTF-8.
bool convert_str(PyObject* obj, const ArgRef& arg, std::string& out);

// str, bytes or os.PathLike, as the file system sees it: os.fspath, then
// the file-system encoding with surrogate escapes, so every name os.listdir
// returns opens the same file.
bool convert_path(PyObject* obj, const ArgRef& arg, std::string& out);

// A read-only C-contiguous buffer (bytes, bytearray, memoryview, an array).
bool convert_buffer(PyObject* obj, const ArgRef& arg, BufferView& out);
// A C-contiguous buffer of whole 9-byte event records (an EVENT_DTYPE array):
// every function that reads records takes them through this one check.
bool convert_records(PyObject* obj, const ArgRef& arg, PackedView& out);

// ------------------------------------------------------------ choices

// One accepted string of a parameter that takes a fixed set of them.
template <class T>
struct Choice {
    const char* name;
    T value;
};

// Index of the str `obj` in `names`: TypeError for no str, ValueError
// "... must be 'a', 'b' or 'c', not 'd'" for another one.
bool find_choice(PyObject* obj, const ArgRef& arg, std::span<const char* const> names,
                 std::size_t& index);

// One of the strings of `Choices` (a constexpr std::array of Choice),
// converted to its value.
template <const auto& Choices>
bool convert_choice(PyObject* obj, const ArgRef& arg,
                    std::remove_cvref_t<decltype(Choices[0].value)>& out) {
    static constexpr auto kNames = [] {
        std::array<const char*, std::size(Choices)> names{};
        for (std::size_t i = 0; i < names.size(); ++i) names[i] = Choices[i].name;
        return names;
    }();
    std::size_t index = 0;
    if (!find_choice(obj, arg, kNames, index)) return false;
    out = Choices[index].value;
    return true;
}

// The record formats zel reads: "evb", "nmnist", "aedat2" or "csv".
inline constexpr std::array<Choice<zel::RecordFormat>, 4> kRecordFormats{{
    {"evb", zel::RecordFormat::Compact},
    {"nmnist", zel::RecordFormat::Nmnist},
    {"aedat2", zel::RecordFormat::Aedat2},
    {"csv", zel::RecordFormat::Csv},
}};
inline constexpr auto convert_record_format = convert_choice<kRecordFormats>;

// A container writer's keyframe codec, by the core table's names.
inline constexpr auto convert_keyframe_codec = convert_choice<zel::container::kKeyframeCodecs>;

}  // namespace zelkit::native
