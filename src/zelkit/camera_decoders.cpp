// Python faces of the core's camera decoders. They hold decoder state
// between calls so the zelkit package can feed a file piece by piece; all
// decoding runs in the core with the interpreter lock released.
#include "camera_decoders.hpp"

#include <memory>
#include <new>
#include <string_view>

#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "format_errors.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/aedat4_events.hpp"
#include "readers/evt2_decoder.hpp"
#include "readers/evt3_decoder.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

using zel::camera::DecodeOptions;
using zel::camera::TimeBase;
using zel::py::guarded;
using zel::py::PyRef;

bool parse_options(int x_limit, int y_limit, int skip, const char* time_mode,
                   unsigned long long time_offset, DecodeOptions& out) {
    if (x_limit <= 0 || y_limit <= 0 || x_limit > 65536 || y_limit > 65536) {
        PyErr_SetString(PyExc_ValueError, "coordinate limits must be in 1..65536");
        return false;
    }
    out.x_limit = static_cast<std::uint32_t>(x_limit);
    out.y_limit = static_cast<std::uint32_t>(y_limit);
    out.bad_words = skip ? zel::camera::BadWords::Skip : zel::camera::BadWords::Strict;
    const std::string_view mode(time_mode);
    out.time.offset = time_offset;
    if (mode == "absolute") {
        out.time.mode = TimeBase::Mode::Absolute;
    } else if (mode == "offset") {
        out.time.mode = TimeBase::Mode::Offset;
    } else if (mode == "first") {
        out.time.mode = TimeBase::Mode::FirstEvent;
    } else if (mode == "chunk") {
        out.time.mode = TimeBase::Mode::EachBatch;
    } else {
        PyErr_SetString(PyExc_ValueError, "time mode must be 'absolute', 'offset', 'first' or 'chunk'");
        return false;
    }
    return true;
}

PyObject* optional_u64(std::optional<std::uint64_t> v) {
    if (!v) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*v);
}

// False with RuntimeError set while another thread works on the decoder
// without the interpreter lock: nothing may touch its state meanwhile.
bool idle_or_raise(bool busy) {
    if (busy) PyErr_SetString(PyExc_RuntimeError, "decoder is in use by another thread");
    return !busy;
}

// Refuses a second thread while one works on the decoder without the lock.
class BusyGuard {
public:
    explicit BusyGuard(bool& busy) : busy_(busy) {}
    bool enter() {
        if (!idle_or_raise(busy_)) return false;
        busy_ = entered_ = true;
        return true;
    }
    ~BusyGuard() {
        if (entered_) busy_ = false;
    }

private:
    bool& busy_;
    bool entered_ = false;
};

// ------------------------------------------------------------ PropheseeDecoder

struct PropheseeDecoderObject {
    PyObject_HEAD
    zel::camera::StreamDecoder* decoder;
    bool busy;
};

zel::camera::StreamDecoder& stream(PyObject* self) {
    return *reinterpret_cast<PropheseeDecoderObject*>(self)->decoder;
}

PyObject* prophesee_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* names[] = {"encoding", "data_offset", "x_limit", "y_limit",
                                      "skip",     "time_mode",   "time_offset", nullptr};
        const char* encoding = nullptr;
        unsigned long long data_offset = 0, time_offset = 0;
        int x_limit = 0, y_limit = 0, skip = 0;
        const char* time_mode = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sKiipsK", const_cast<char**>(names), &encoding,
                                         &data_offset, &x_limit, &y_limit, &skip, &time_mode, &time_offset)) {
            return nullptr;
        }
        DecodeOptions options;
        if (!parse_options(x_limit, y_limit, skip, time_mode, time_offset, options)) return nullptr;
        std::unique_ptr<zel::camera::StreamDecoder> decoder;
        const std::string_view kind(encoding);
        if (kind == "evt3") {
            decoder = std::make_unique<zel::camera::Evt3Decoder>(data_offset, options);
        } else if (kind == "evt2") {
            decoder = std::make_unique<zel::camera::Evt2Decoder>(data_offset, options);
        } else if (kind == "dat") {
            decoder = std::make_unique<zel::camera::DatDecoder>(data_offset, options);
        } else {
            PyErr_SetString(PyExc_ValueError, "encoding must be 'evt2', 'evt3' or 'dat'");
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* obj = reinterpret_cast<PropheseeDecoderObject*>(self);
        obj->decoder = decoder.release();
        obj->busy = false;
        return self;
    });
}

void prophesee_dealloc(PyObject* self) {
    delete reinterpret_cast<PropheseeDecoderObject*>(self)->decoder;
    zel::py::dealloc_heap_instance(self);
}

PyObject* prophesee_decode_into(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject *data_obj = nullptr, *out_obj = nullptr;
        if (!PyArg_ParseTuple(args, "OO:decode_into", &data_obj, &out_obj)) return nullptr;
        BufferView data, out;
        if (!data.acquire(data_obj) || !out.acquire(out_obj, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return nullptr;
        BusyGuard busy(reinterpret_cast<PropheseeDecoderObject*>(self)->busy);
        if (!busy.enter()) return nullptr;
        auto& decoder = stream(self);
        auto result = without_gil([&] {
            return decoder.decode({data.data(), data.size()}, {out.mutable_data(), out.size()});
        });
        if (!result) return raise_decode_error(result.error());
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(result.value().consumed),
                             static_cast<Py_ssize_t>(result.value().written));
    });
}

PyObject* prophesee_decode_all(PyObject* self, PyObject* data_obj) {
    return guarded([&]() -> PyObject* {
        BufferView data;
        if (!data.acquire(data_obj)) return nullptr;
        BusyGuard busy(reinterpret_cast<PropheseeDecoderObject*>(self)->busy);
        if (!busy.enter()) return nullptr;
        auto& decoder = stream(self);
        auto result = without_gil([&] { return zel::camera::decode_whole(decoder, {data.data(), data.size()}); });
        if (!result) return raise_decode_error(result.error());
        return new_buffer(std::move(result.value()));
    });
}

PyObject* prophesee_finish(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!idle_or_raise(reinterpret_cast<PropheseeDecoderObject*>(self)->busy)) return nullptr;
        if (auto error = stream(self).finish()) return raise_decode_error(*error);
        Py_RETURN_NONE;
    });
}

PyObject* prophesee_start_batch(PyObject* self, PyObject*) {
    if (!idle_or_raise(reinterpret_cast<PropheseeDecoderObject*>(self)->busy)) return nullptr;
    stream(self).start_batch();
    Py_RETURN_NONE;
}

PyObject* prophesee_bad_words(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stream(self).bad_words()); }
PyObject* prophesee_events(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stream(self).events()); }
PyObject* prophesee_offset(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(stream(self).offset()); }
PyObject* prophesee_origin(PyObject* self, void*) { return optional_u64(stream(self).batch_origin()); }
PyObject* prophesee_pending(PyObject* self, void*) { return PyBool_FromLong(stream(self).has_pending_output()); }
PyObject* prophesee_full(PyObject* self, void*) { return PyBool_FromLong(stream(self).batch_full()); }

PyMethodDef g_prophesee_methods[] = {
    {"decode_into", prophesee_decode_into, METH_VARARGS,
     "decode_into(data, out) -> (consumed, written): decode into a writable buffer of 9-byte records."},
    {"decode_all", prophesee_decode_all, METH_O, "decode_all(data) -> buffer: decode everything and finish."},
    {"finish", prophesee_finish, METH_NOARGS, "End the stream; a partial last word is a truncated file."},
    {"start_batch", prophesee_start_batch, METH_NOARGS, "Start a batch (time mode 'chunk')."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_prophesee_getset[] = {
    {"bad_words", prophesee_bad_words, nullptr, "Bad words skipped so far.", nullptr},
    {"events", prophesee_events, nullptr, "Events decoded so far.", nullptr},
    {"offset", prophesee_offset, nullptr, "File offset of the next byte expected.", nullptr},
    {"batch_origin", prophesee_origin, nullptr, "Time subtracted from the current batch.", nullptr},
    {"has_pending_output", prophesee_pending, nullptr, "Decoded events wait for room.", nullptr},
    {"batch_full", prophesee_full, nullptr, "The next event does not fit the batch's time origin.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_prophesee_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(prophesee_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(prophesee_dealloc)},
    {Py_tp_methods, g_prophesee_methods},
    {Py_tp_getset, g_prophesee_getset},
    {0, nullptr},
};

PyType_Spec g_prophesee_spec = {
    "zelkit._native.PropheseeDecoder", sizeof(PropheseeDecoderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_prophesee_slots,
};

// -------------------------------------------------------------- Aedat4Decoder

struct Aedat4DecoderObject {
    PyObject_HEAD
    zel::camera::Aedat4EventDecoder* decoder;
    zel::ByteBuffer* records;
    bool busy;
};

Aedat4DecoderObject& aedat4(PyObject* self) { return *reinterpret_cast<Aedat4DecoderObject*>(self); }

PyObject* aedat4_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* names[] = {"x_limit", "y_limit", "skip", "time_mode", "time_offset", nullptr};
        unsigned long long time_offset = 0;
        int x_limit = 0, y_limit = 0, skip = 0;
        const char* time_mode = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iipsK", const_cast<char**>(names), &x_limit, &y_limit,
                                         &skip, &time_mode, &time_offset)) {
            return nullptr;
        }
        DecodeOptions options;
        if (!parse_options(x_limit, y_limit, skip, time_mode, time_offset, options)) return nullptr;
        auto decoder = std::make_unique<zel::camera::Aedat4EventDecoder>(options);
        auto records = std::make_unique<zel::ByteBuffer>();
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        aedat4(self).decoder = decoder.release();
        aedat4(self).records = records.release();
        aedat4(self).busy = false;
        return self;
    });
}

void aedat4_dealloc(PyObject* self) {
    delete aedat4(self).decoder;
    delete aedat4(self).records;
    zel::py::dealloc_heap_instance(self);
}

PyObject* aedat4_decode_packet(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* payload_obj = nullptr;
        unsigned long long packet_offset = 0;
        Py_ssize_t first = 0;
        if (!PyArg_ParseTuple(args, "OK|n:decode_packet", &payload_obj, &packet_offset, &first)) return nullptr;
        if (first < 0) {
            PyErr_SetString(PyExc_ValueError, "first event must not be negative");
            return nullptr;
        }
        BufferView payload;
        if (!payload.acquire(payload_obj)) return nullptr;
        BusyGuard busy(aedat4(self).busy);
        if (!busy.enter()) return nullptr;
        auto& obj = aedat4(self);
        auto result = without_gil([&] {
            return obj.decoder->decode_packet({payload.data(), payload.size()}, packet_offset, *obj.records,
                                              static_cast<std::size_t>(first));
        });
        if (!result) return raise_decode_error(result.error());
        return PyLong_FromSize_t(result.value());
    });
}

PyObject* aedat4_take(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!idle_or_raise(aedat4(self).busy)) return nullptr;
        return new_buffer(std::move(*aedat4(self).records));
    });
}

PyObject* aedat4_reject(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        unsigned long long offset = 0;
        const char* message = nullptr;
        if (!PyArg_ParseTuple(args, "Ks:reject", &offset, &message)) return nullptr;
        if (!idle_or_raise(aedat4(self).busy)) return nullptr;
        if (auto error = aedat4(self).decoder->reject(zel::camera::DecodeError::format(offset, message))) {
            return raise_decode_error(*error);
        }
        Py_RETURN_NONE;
    });
}

PyObject* aedat4_start_batch(PyObject* self, PyObject*) {
    if (!idle_or_raise(aedat4(self).busy)) return nullptr;
    aedat4(self).decoder->start_batch();
    Py_RETURN_NONE;
}

PyObject* aedat4_bad_words(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(aedat4(self).decoder->bad_words()); }
PyObject* aedat4_events(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(aedat4(self).decoder->events()); }
PyObject* aedat4_origin(PyObject* self, void*) { return optional_u64(aedat4(self).decoder->batch_origin()); }
PyObject* aedat4_full(PyObject* self, void*) { return PyBool_FromLong(aedat4(self).decoder->batch_full()); }
PyObject* aedat4_resume(PyObject* self, void*) { return PyLong_FromSize_t(aedat4(self).decoder->resume_event()); }
PyObject* aedat4_buffered(PyObject* self, void*) {
    return PyLong_FromSize_t(aedat4(self).records->size() / zel::kPackedEventBytes);
}

PyMethodDef g_aedat4_methods[] = {
    {"decode_packet", aedat4_decode_packet, METH_VARARGS,
     "decode_packet(payload, packet_offset, first=0) -> int: decode a decompressed event packet, from its "
     "event `first`, into the buffer."},
    {"take", aedat4_take, METH_NOARGS, "take() -> buffer: the buffered records, leaving the buffer empty."},
    {"reject", aedat4_reject, METH_VARARGS,
     "reject(offset, message): a container fault, raised in strict mode, counted in skip mode."},
    {"start_batch", aedat4_start_batch, METH_NOARGS, "Start a batch (time mode 'chunk')."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_aedat4_getset[] = {
    {"bad_words", aedat4_bad_words, nullptr, "Bad packets and events skipped so far.", nullptr},
    {"events", aedat4_events, nullptr, "Events decoded so far.", nullptr},
    {"batch_origin", aedat4_origin, nullptr, "Time subtracted from the current batch.", nullptr},
    {"buffered", aedat4_buffered, nullptr, "Events decoded and not yet taken.", nullptr},
    {"batch_full", aedat4_full, nullptr, "An event did not fit the batch's time origin.", nullptr},
    {"resume_event", aedat4_resume, nullptr, "The packet's event the next batch starts with.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_aedat4_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(aedat4_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(aedat4_dealloc)},
    {Py_tp_methods, g_aedat4_methods},
    {Py_tp_getset, g_aedat4_getset},
    {0, nullptr},
};

PyType_Spec g_aedat4_spec = {
    "zelkit._native.Aedat4Decoder", sizeof(Aedat4DecoderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_aedat4_slots,
};

bool add_type(PyObject* module, PyType_Spec* spec, const char* name) {
    PyRef type(PyType_FromModuleAndSpec(module, spec, nullptr));
    return type && PyModule_AddObjectRef(module, name, type.get()) == 0;
}

}  // namespace

bool add_camera_decoder_types(PyObject* module) {
    return add_type(module, &g_prophesee_spec, "PropheseeDecoder") &&
           add_type(module, &g_aedat4_spec, "Aedat4Decoder");
}

}  // namespace zelkit::native
