// Camera recordings (Prophesee RAW and DAT, iniVation AEDAT 4): read whole
// or a chunk at a time, and DAT and EVT 2.0 files written chunk by chunk.
// The core does the work with the interpreter lock released: once for a
// whole-file load, once per chunk otherwise.
#include <limits>
#include <memory>
#include <string>

#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "busy_guard.hpp"
#include "conversions.hpp"
#include "format_errors.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/camera_reader.hpp"
#include "record_types.hpp"
#include "signal_hooks.hpp"
#include "without_gil.hpp"
#include "writers/camera_writers.hpp"

namespace zelkit::native {
namespace {

using zel::camera::BadWords;
using zel::camera::CameraFormat;
using zel::camera::TimeBase;
using zel::py::function_def;
using zel::py::keyword_param;
using zel::py::NoArgs;
using zel::py::param;
using zel::py::PyRef;
using zel::py::signature;

constexpr std::array<Choice<CameraFormat>, 3> kCameraFormats{{
    {"raw", CameraFormat::Raw},
    {"dat", CameraFormat::Dat},
    {"aedat4", CameraFormat::Aedat4},
}};

// A whole-file load has one time origin: no per-chunk mode.
constexpr std::array<Choice<TimeBase::Mode>, 3> kLoadTimeModes{{
    {"absolute", TimeBase::Mode::Absolute},
    {"offset", TimeBase::Mode::Offset},
    {"first", TimeBase::Mode::FirstEvent},
}};
constexpr std::array<Choice<TimeBase::Mode>, 4> kChunkTimeModes{{
    {"absolute", TimeBase::Mode::Absolute},
    {"offset", TimeBase::Mode::Offset},
    {"first", TimeBase::Mode::FirstEvent},
    {"chunk", TimeBase::Mode::EachBatch},
}};

// What a camera file is read with.
struct ReadArgs {
    std::string path;
    CameraFormat format{};
    bool skip = false;
    TimeBase::Mode time_mode = TimeBase::Mode::Absolute;
    std::uint64_t time_offset = 0;

    BadWords bad_words() const { return skip ? BadWords::Skip : BadWords::Strict; }
    TimeBase time() const { return {time_mode, time_offset}; }
};

template <const auto& TimeModes>
consteval auto read_params() {
    return zel::py::params(
        param<&ReadArgs::path, convert_path>("path"),
        param<&ReadArgs::format, convert_choice<kCameraFormats>>("format"),
        keyword_param<&ReadArgs::skip, convert_flag>("skip", "False"),
        keyword_param<&ReadArgs::time_mode, convert_choice<TimeModes>>("time_mode", "'absolute'"),
        keyword_param<&ReadArgs::time_offset, convert_unsigned<std::uint64_t>>("time_offset", "0"));
}

// ------------------------------------------------------------ whole files

constexpr auto kLoadCameraFile = signature<ReadArgs>(
    {.name = "load_camera_file",
     .doc = "(records, bad_words): every event of a camera file as a Buffer of records, and the "
            "bad words, records or packets skipped."},
    read_params<kLoadTimeModes>());

PyObject* load_camera_file(PyObject* module, ReadArgs& a) {
    auto loaded = without_gil([&] {
        return zel::camera::load_camera_file(a.path, a.format, a.bad_words(), a.time(), signal_checking_hooks());
    });
    if (!loaded) return raise_error(loaded.error());
    PyRef records(new_buffer(native_state(module), std::move(loaded.value().records)));
    if (!records) return nullptr;
    return Py_BuildValue("(OK)", records.get(), static_cast<unsigned long long>(loaded.value().bad_words));
}

// ------------------------------------------------------------ CameraReader

constexpr const char* kReaderName = "CameraReader";

struct ReaderObject {
    PyObject_HEAD
    zel::camera::CameraReader* reader;  // owned; null once closed
    BusyFlag busy;                      // a read runs without the interpreter lock
};

ReaderObject& reader_object(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self); }

// The open reader, or null with the exception set: busy elsewhere, or closed.
zel::camera::CameraReader* usable_reader(PyObject* self) {
    ReaderObject& obj = reader_object(self);
    if (!idle_or_raise(obj.busy, kReaderName)) return nullptr;
    if (obj.reader == nullptr) PyErr_SetString(PyExc_ValueError, "CameraReader is closed");
    return obj.reader;
}

constexpr auto kReaderNew = signature<ReadArgs>(
    {.name = "__new__", .owner = kReaderName,
     .doc = "A camera file read front to back a bounded number of events at a time; its header "
            "is read here."},
    read_params<kChunkTimeModes>());

PyObject* reader_new(PyTypeObject* type, ReadArgs& a) {
    // Opening a FIFO waits for a writer, so it too runs without the lock.
    auto opened = without_gil([&] {
        return zel::camera::CameraReader::open(a.path, a.format, a.bad_words(), a.time(), signal_checking_hooks());
    });
    if (!opened) return raise_error(opened.error());
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reader_object(self).reader = opened.value().release();
    reader_object(self).busy = {};
    return self;
}

void reader_dealloc(PyObject* self) {
    // Set only by a call another thread ran when this process was forked.
    if (!reader_object(self).busy.busy) delete reader_object(self).reader;
    zel::py::dealloc_heap_instance(self);
}

struct CountArgs {
    std::size_t max_events = 0;
};

// At least one event per call: an empty result means the file is done.
constexpr auto convert_max_events = convert_bounded<std::size_t, 1, std::numeric_limits<std::size_t>::max()>;

constexpr auto kReaderRead = signature<CountArgs>(
    {.name = "read", .owner = kReaderName,
     .doc = "Up to max_events records, as a Buffer: fewer only at the end of the file or where a "
            "batch is full (time mode 'chunk'); an empty one once the file is done."},
    param<&CountArgs::max_events, convert_max_events>("max_events"));

PyObject* reader_read(PyObject* self, CountArgs& a) {
    zel::camera::CameraReader* reader = usable_reader(self);
    if (reader == nullptr) return nullptr;
    BusyGuard busy(reader_object(self).busy, kReaderName);
    if (!busy.enter()) return nullptr;
    zel::ByteBuffer out;
    auto n = without_gil([&] { return reader->read(out, a.max_events); });
    if (!n) return raise_error(n.error());
    return new_buffer(native_state(Py_TYPE(self)), std::move(out));
}

constexpr auto kReaderStartBatch = signature<NoArgs>(
    {.name = "start_batch", .owner = kReaderName,
     .doc = "Starts a batch (time mode 'chunk'): the next event's time becomes its origin."});

PyObject* reader_start_batch(PyObject* self, NoArgs&) {
    zel::camera::CameraReader* reader = usable_reader(self);
    if (reader == nullptr) return nullptr;
    reader->start_batch();
    Py_RETURN_NONE;
}

constexpr auto kReaderClose = signature<NoArgs>(
    {.name = "close", .owner = kReaderName,
     .doc = "Closes the file now rather than when the object goes away; closing twice is allowed."});

PyObject* reader_close(PyObject* self, NoArgs&) {
    ReaderObject& obj = reader_object(self);
    if (!idle_or_raise(obj.busy, kReaderName)) return nullptr;
    delete obj.reader;
    obj.reader = nullptr;
    Py_RETURN_NONE;
}

PyObject* reader_bad_words(PyObject* self, void*) {
    const zel::camera::CameraReader* reader = usable_reader(self);
    return reader == nullptr ? nullptr : PyLong_FromUnsignedLongLong(reader->bad_words());
}

PyObject* reader_batch_full(PyObject* self, void*) {
    const zel::camera::CameraReader* reader = usable_reader(self);
    return reader == nullptr ? nullptr : PyBool_FromLong(reader->batch_full());
}

PyObject* reader_batch_origin(PyObject* self, void*) {
    const zel::camera::CameraReader* reader = usable_reader(self);
    if (reader == nullptr) return nullptr;
    return to_python(reader->batch_origin()).release();
}

PyObject* reader_sensor(PyObject* self, void*) {
    const zel::camera::CameraReader* reader = usable_reader(self);
    if (reader == nullptr) return nullptr;
    const zel::camera::Geometry sensor = reader->sensor();
    if (sensor.width == 0 || sensor.height == 0) Py_RETURN_NONE;
    return Py_BuildValue("(II)", sensor.width, sensor.height);
}

PyMethodDef g_reader_methods[] = {
    function_def<kReaderRead, reader_read>(),
    function_def<kReaderStartBatch, reader_start_batch>(),
    function_def<kReaderClose, reader_close>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_reader_getset[] = {
    {"bad_words", reader_bad_words, nullptr, "Bad words, records or packets skipped so far.", nullptr},
    {"batch_full", reader_batch_full, nullptr, "The next event does not fit the batch's time origin.", nullptr},
    {"batch_origin", reader_batch_origin, nullptr, "Time subtracted from the current batch, once known.", nullptr},
    {"sensor", reader_sensor, nullptr, "(width, height) the header names, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_reader_slots[] = {
    {Py_tp_new, zel::py::constructor_slot<kReaderNew, reader_new>()},
    {Py_tp_doc, zel::py::type_doc<kReaderNew>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, g_reader_methods},
    {Py_tp_getset, g_reader_getset},
    {0, nullptr},
};

PyType_Spec g_reader_spec = {
    "zelkit._native.CameraReader", sizeof(ReaderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_reader_slots,
};

// ------------------------------------------------------------ CameraWriter

constexpr const char* kWriterName = "CameraWriter";

constexpr std::array<Choice<zel::camera::CameraWriteFormat>, 2> kWriteFormats{{
    {"dat", zel::camera::CameraWriteFormat::Dat},
    {"evt2", zel::camera::CameraWriteFormat::Evt2},
}};

struct WriterObject {
    PyObject_HEAD
    zel::camera::CameraFileWriter* writer;  // owned
    BusyFlag busy;                          // a write runs without the interpreter lock
};

WriterObject& writer_object(PyObject* self) { return *reinterpret_cast<WriterObject*>(self); }

struct WriterArgs {
    zel::camera::CameraWriteFormat format{};
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

constexpr auto kWriterNew = signature<WriterArgs>(
    {.name = "__new__", .owner = kWriterName,
     .doc = "A DAT ('dat') or EVT 2.0 RAW ('evt2') file for a sensor of width x height, written "
            "as its header, then chunk by chunk."},
    param<&WriterArgs::format, convert_choice<kWriteFormats>>("format"),
    keyword_param<&WriterArgs::width, convert_unsigned<std::uint32_t>>("width"),
    keyword_param<&WriterArgs::height, convert_unsigned<std::uint32_t>>("height"));

PyObject* writer_new(PyTypeObject* type, WriterArgs& a) {
    auto opened = zel::camera::CameraFileWriter::open(a.format, {a.width, a.height});
    if (!opened) return raise_error(opened.error());
    auto writer = std::make_unique<zel::camera::CameraFileWriter>(std::move(opened.value()));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    writer_object(self).writer = writer.release();
    writer_object(self).busy = {};
    return self;
}

void writer_dealloc(PyObject* self) {
    // Set only by a call another thread ran when this process was forked.
    if (!writer_object(self).busy.busy) delete writer_object(self).writer;
    zel::py::dealloc_heap_instance(self);
}

struct HeaderArgs {
    std::string date;
};

constexpr auto kWriterHeader = signature<HeaderArgs>(
    {.name = "header", .owner = kWriterName,
     .doc = "The file's header, dated date ('YYYY-MM-DD HH:MM:SS')."},
    param<&HeaderArgs::date, convert_str>("date"));

PyObject* writer_header(PyObject* self, HeaderArgs& a) {
    if (!idle_or_raise(writer_object(self).busy, kWriterName)) return nullptr;
    zel::ByteBuffer out;
    writer_object(self).writer->write_header(a.date, out);
    return new_buffer(native_state(Py_TYPE(self)), std::move(out));
}

struct WriteArgs {
    PackedView events;
    std::uint64_t t_base = 0;
};

constexpr auto kWriterWrite = signature<WriteArgs>(
    {.name = "write", .owner = kWriterName,
     .doc = "The records of the events, each at camera time t_base + t, as a Buffer; indices in "
            "messages count every event written before."},
    param<&WriteArgs::events, convert_records>("events"),
    param<&WriteArgs::t_base, convert_unsigned<std::uint64_t>>("t_base", "0"));

PyObject* writer_write(PyObject* self, WriteArgs& a) {
    WriterObject& obj = writer_object(self);
    BusyGuard busy(obj.busy, kWriterName);
    if (!busy.enter()) return nullptr;
    zel::ByteBuffer out;
    auto written = without_gil([&] { return obj.writer->write(a.events.events(), a.t_base, out); });
    if (!written) return raise_error(written.error());
    return new_buffer(native_state(Py_TYPE(self)), std::move(out));
}

PyMethodDef g_writer_methods[] = {
    function_def<kWriterHeader, writer_header>(),
    function_def<kWriterWrite, writer_write>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_writer_slots[] = {
    {Py_tp_new, zel::py::constructor_slot<kWriterNew, writer_new>()},
    {Py_tp_doc, zel::py::type_doc<kWriterNew>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, g_writer_methods},
    {0, nullptr},
};

PyType_Spec g_writer_spec = {
    "zelkit._native.CameraWriter", sizeof(WriterObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_writer_slots,
};

PyMethodDef g_camera_functions[] = {
    function_def<kLoadCameraFile, load_camera_file>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_camera_files(PyObject* module, NativeState& state) {
    // The camera times each writer holds (see CameraFileWriter).
    return PyModule_AddObjectRef(module, "DAT_TIME_LIMIT",
                                 to_python(zel::camera::kDatTimeLimit).get()) == 0 &&
           PyModule_AddObjectRef(module, "EVT2_FIRST_TIME_LIMIT",
                                 to_python(zel::camera::kEvt2FirstTimeLimit).get()) == 0 &&
           add_functions_uniquely(module, g_camera_functions) &&
           add_type(module, g_reader_spec, state.camera_reader_type) &&
           add_type(module, g_writer_spec, state.camera_writer_type);
}

}  // namespace zelkit::native
