// zelkit._native.RecordStream(path, format): a file read a bounded number
// of events at a time, behind zelkit.iter_load.
#include <memory>
#include <string>

#include "buffer_type.hpp"
#include "busy_guard.hpp"
#include "conversions.hpp"
#include "format_errors.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/chunked_reader.hpp"
#include "signal_hooks.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

using zel::py::function_def;
using zel::py::param;
using zel::py::signature;

struct StreamObject {
    PyObject_HEAD
    zel::RecordStream* stream;  // owned; null once closed
    BusyFlag busy;              // a read is running with the interpreter lock released
};

constexpr const char* kStreamName = "RecordStream";

StreamObject* as_stream(PyObject* self) { return reinterpret_cast<StreamObject*>(self); }

struct OpenArgs {
    std::string path;
    zel::RecordFormat format{};
};

constexpr auto kOpen = signature<OpenArgs>(
    {.name = "__new__", .owner = kStreamName,
     .doc = "A file of one of zel's record formats, read a bounded number of events at a time."},
    param<&OpenArgs::path, convert_path>("path"),
    param<&OpenArgs::format, convert_record_format>("format"));

PyObject* stream_new(PyTypeObject* type, OpenArgs& a) {
    // Opening a FIFO waits for a writer, so it too runs without the lock.
    zel::Result<zel::RecordStream> opened = without_gil(
        [&] { return zel::RecordStream::open_with(a.path, a.format, signal_checking_hooks()); });
    if (!opened) return raise_error(opened.error());
    auto stream = std::make_unique<zel::RecordStream>(std::move(opened.value()));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_stream(self)->stream = stream.release();
    as_stream(self)->busy = {};
    return self;
}

void stream_dealloc(PyObject* self) {
    // Set only by a call another thread ran when this process was forked.
    if (!as_stream(self)->busy.busy) delete as_stream(self)->stream;
    zel::py::dealloc_heap_instance(self);
}

struct ReadArgs {
    std::uint64_t max_events = 0;
};

constexpr auto kRead = signature<ReadArgs>(
    {.name = "read", .owner = kStreamName,
     .doc = "Up to max_events records, as a Buffer; an empty one at the end of the file."},
    param<&ReadArgs::max_events, convert_unsigned<std::uint64_t>>("max_events"));

PyObject* stream_read(PyObject* self, ReadArgs& a) {
    StreamObject* s = as_stream(self);
    BusyGuard busy(s->busy, kStreamName);
    if (!busy.enter()) return nullptr;
    zel::ByteBuffer out;
    if (s->stream != nullptr) {
        zel::Result<std::size_t> n = without_gil([&] {
            return s->stream->read(out, static_cast<std::size_t>(a.max_events));
        });
        if (!n) return raise_error(n.error());
    }
    return new_buffer(native_state(Py_TYPE(self)), std::move(out));
}

constexpr auto kClose = signature<zel::py::NoArgs>(
    {.name = "close", .owner = kStreamName,
     .doc = "Closes the file now rather than when the object goes away."});

PyObject* stream_close(PyObject* self, zel::py::NoArgs&) {
    StreamObject* s = as_stream(self);
    if (!idle_or_raise(s->busy, kStreamName)) return nullptr;
    delete s->stream;
    s->stream = nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    function_def<kRead, stream_read>(),
    function_def<kClose, stream_close>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, zel::py::constructor_slot<kOpen, stream_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, zel::py::type_doc<kOpen>()},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zelkit._native.RecordStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

bool add_record_stream_type(PyObject* module, NativeState& state) {
    return add_type(module, kSpec, state.record_stream_type);
}

}  // namespace zelkit::native
