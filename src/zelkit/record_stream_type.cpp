// zelkit._native.RecordStream(path, format): a file read a bounded number
// of events at a time, behind zelkit.iter_load.
#include <memory>
#include <string>

#include "array_parts.hpp"
#include "buffer_type.hpp"
#include "conversions.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/chunked_reader.hpp"
#include "signal_hooks.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

struct StreamObject {
    PyObject_HEAD
    zel::RecordStream* stream;  // owned; null once closed
    bool busy;                  // a read is running with the interpreter lock released
};

StreamObject* as_stream(PyObject* self) { return reinterpret_cast<StreamObject*>(self); }

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!zel::py::bind_tuple_dict({"RecordStream()", {"path", "format"}}, args, kwargs, bound)) {
            return nullptr;
        }
        std::string path;
        zel::RecordFormat format{};
        if (!convert_path(bound[0], path) || !convert_record_format(bound[1], format)) return nullptr;
        // Opening a FIFO waits for a writer, so it too runs without the lock.
        zel::StreamResult<zel::RecordStream> opened =
            without_gil([&] { return zel::RecordStream::open_with(path, format, signal_checking_hooks()); });
        if (!opened) return raise_stream_error(opened.error());
        auto stream = std::make_unique<zel::RecordStream>(std::move(opened.value()));
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        as_stream(self)->stream = stream.release();
        as_stream(self)->busy = false;
        return self;
    });
}

void stream_dealloc(PyObject* self) {
    delete as_stream(self)->stream;
    zel::py::dealloc_heap_instance(self);
}

// read(max_events) -> Buffer of up to max_events records; empty at the end.
PyObject* stream_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!zel::py::bind_fastcall({"read()", {"max_events"}}, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        std::uint64_t max_events = 0;
        if (!zel::py::convert_u64(bound[0], "max_events", max_events)) return nullptr;
        StreamObject* s = as_stream(self);
        if (s->busy) {
            PyErr_SetString(PyExc_RuntimeError, "RecordStream is being read by another thread");
            return nullptr;
        }
        zel::ByteBuffer out;
        if (s->stream != nullptr) {
            s->busy = true;
            struct Idle {
                StreamObject* s;
                ~Idle() { s->busy = false; }
            } idle{s};
            zel::StreamResult<std::size_t> n = without_gil([&] {
                return s->stream->read(out, static_cast<std::size_t>(max_events));
            });
            if (!n) return raise_stream_error(n.error());
        }
        return new_buffer(std::move(out));
    });
}

// Closes the file now rather than when the object goes away.
PyObject* stream_close(PyObject* self, PyObject*) {
    StreamObject* s = as_stream(self);
    if (s->busy) {
        PyErr_SetString(PyExc_RuntimeError, "RecordStream is being read by another thread");
        return nullptr;
    }
    delete s->stream;
    s->stream = nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_read)),
     METH_FASTCALL | METH_KEYWORDS, "read(max_events)\n--\n\n"},
    {"close", stream_close, METH_NOARGS, "close()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("RecordStream(path, format)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zelkit._native.RecordStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

bool add_record_stream_type(PyObject* module) {
    PyObject* type = PyType_FromSpec(&kSpec);
    if (type == nullptr) return false;
    if (PyModule_AddObject(module, "RecordStream", type) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

}  // namespace zelkit::native
