#pragma once

#include <Python.h>

#include <string>

#include "pycommon/load_errors.hpp"
#include "readers/chunked_reader.hpp"

namespace zelkit::native {

// str, bytes or os.PathLike, as the file system sees it: os.fspath, then
// the file-system encoding with surrogate escapes, so every name os.listdir
// returns opens the same file.
bool convert_path(PyObject* obj, std::string& out);

// "evb", "nmnist", "aedat2" or "csv"; ValueError for anything else.
bool convert_record_format(PyObject* obj, zel::RecordFormat& out);

// zel's own loader failure: exactly OSError(text), as zel raises it.
using zel::py::raise_load_error;

// A chunked read failure: malformed data becomes zelkit.FormatError with the
// byte offset; an operating-system failure stays zel's OSError.
PyObject* raise_stream_error(const zel::StreamError& error);

// zel.Event, taken from the imported zel module (borrowed; kept alive by
// that module); null with an exception set if it is not the expected type.
PyTypeObject* zel_event_type();

}  // namespace zelkit::native
