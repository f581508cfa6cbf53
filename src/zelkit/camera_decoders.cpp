// Python faces of the core's camera decoders. They hold decoder state
// between calls so the zelkit package can feed a file piece by piece; all
// decoding runs in the core with the interpreter lock released.
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "conversions.hpp"
#include "format_errors.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/aedat4_events.hpp"
#include "readers/evt2_decoder.hpp"
#include "readers/evt3_decoder.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

using zel::camera::DecodeOptions;
using zel::camera::TimeBase;
using zel::py::function_def;
using zel::py::keyword_param;
using zel::py::NoArgs;
using zel::py::param;
using zel::py::PyRef;
using zel::py::signature;

constexpr std::array<Choice<TimeBase::Mode>, 4> kTimeModes{{
    {"absolute", TimeBase::Mode::Absolute},
    {"offset", TimeBase::Mode::Offset},
    {"first", TimeBase::Mode::FirstEvent},
    {"chunk", TimeBase::Mode::EachBatch},
}};

// The options both decoders take, keyword-only, after their own parameters.
struct OptionArgs {
    std::uint32_t x_limit = 0;
    std::uint32_t y_limit = 0;
    bool skip = false;
    TimeBase::Mode time_mode = TimeBase::Mode::Absolute;
    std::uint64_t time_offset = 0;

    DecodeOptions options() const {
        DecodeOptions out;
        out.x_limit = x_limit;
        out.y_limit = y_limit;
        out.bad_words = skip ? zel::camera::BadWords::Skip : zel::camera::BadWords::Strict;
        out.time.mode = time_mode;
        out.time.offset = time_offset;
        return out;
    }
};

// A count of events: a negative one is a caller's mistake, not an overflow.
constexpr auto convert_count =
    convert_bounded<std::size_t, 0, std::numeric_limits<std::size_t>::max()>;

// Coordinates from 0 to limit - 1 are kept; 65536 keeps every 16-bit value.
constexpr auto convert_limit = convert_bounded<std::uint32_t, 1, 65536>;

constexpr auto kOptionParams = zel::py::params(
    keyword_param<&OptionArgs::x_limit, convert_limit>("x_limit"),
    keyword_param<&OptionArgs::y_limit, convert_limit>("y_limit"),
    keyword_param<&OptionArgs::skip, convert_flag>("skip", "False"),
    keyword_param<&OptionArgs::time_mode, convert_choice<kTimeModes>>("time_mode", "'absolute'"),
    keyword_param<&OptionArgs::time_offset, convert_unsigned<std::uint64_t>>("time_offset", "0"));

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

enum class Encoding { Evt3, Evt2, Dat };

constexpr std::array<Choice<Encoding>, 3> kEncodings{{
    {"evt3", Encoding::Evt3},
    {"evt2", Encoding::Evt2},
    {"dat", Encoding::Dat},
}};

struct PropheseeArgs : OptionArgs {
    Encoding encoding = Encoding::Evt3;
    std::uint64_t data_offset = 0;
};

constexpr auto kPropheseeNew = signature<PropheseeArgs>(
    {.name = "__new__", .owner = "PropheseeDecoder",
     .doc = "Decodes an EVT 2.0, EVT 3.0 or DAT stream whose data starts at data_offset."},
    param<&PropheseeArgs::encoding, convert_choice<kEncodings>>("encoding"),
    param<&PropheseeArgs::data_offset, convert_unsigned<std::uint64_t>>("data_offset"),
    kOptionParams);

std::unique_ptr<zel::camera::StreamDecoder> make_stream_decoder(const PropheseeArgs& a) {
    using namespace zel::camera;
    switch (a.encoding) {
        case Encoding::Evt3: return std::make_unique<Evt3Decoder>(a.data_offset, a.options());
        case Encoding::Evt2: return std::make_unique<Evt2Decoder>(a.data_offset, a.options());
        case Encoding::Dat: return std::make_unique<DatDecoder>(a.data_offset, a.options());
    }
    return nullptr;
}

PyObject* prophesee_new(PyTypeObject* type, PropheseeArgs& a) {
    std::unique_ptr<zel::camera::StreamDecoder> decoder = make_stream_decoder(a);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<PropheseeDecoderObject*>(self);
    obj->decoder = decoder.release();
    obj->busy = false;
    return self;
}

void prophesee_dealloc(PyObject* self) {
    delete reinterpret_cast<PropheseeDecoderObject*>(self)->decoder;
    zel::py::dealloc_heap_instance(self);
}

struct DecodeIntoArgs {
    BufferView data;
    BufferView out;
};

constexpr auto kDecodeInto = signature<DecodeIntoArgs>(
    {.name = "decode_into", .owner = "PropheseeDecoder",
     .doc = "(consumed, written): decodes data into a writable buffer of 9-byte records."},
    param<&DecodeIntoArgs::data, convert_buffer>("data"),
    param<&DecodeIntoArgs::out, convert_writable_buffer>("out"));

PyObject* prophesee_decode_into(PyObject* self, DecodeIntoArgs& a) {
    BusyGuard busy(reinterpret_cast<PropheseeDecoderObject*>(self)->busy);
    if (!busy.enter()) return nullptr;
    auto& decoder = stream(self);
    auto result = without_gil([&] {
        return decoder.decode(a.data.bytes(), {a.out.mutable_data(), a.out.size()});
    });
    if (!result) return raise_decode_error(result.error());
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(result.value().consumed),
                         static_cast<Py_ssize_t>(result.value().written));
}

struct DataArgs {
    BufferView data;
};

constexpr auto kDecodeAll = signature<DataArgs>(
    {.name = "decode_all", .owner = "PropheseeDecoder",
     .doc = "Decodes everything in data and finishes the stream, as a Buffer of records."},
    param<&DataArgs::data, convert_buffer>("data"));

PyObject* prophesee_decode_all(PyObject* self, DataArgs& a) {
    BusyGuard busy(reinterpret_cast<PropheseeDecoderObject*>(self)->busy);
    if (!busy.enter()) return nullptr;
    auto& decoder = stream(self);
    auto result = without_gil([&] { return zel::camera::decode_whole(decoder, a.data.bytes()); });
    if (!result) return raise_decode_error(result.error());
    return new_buffer(native_state(Py_TYPE(self)), std::move(result.value()));
}

constexpr auto kPropheseeFinish = signature<NoArgs>(
    {.name = "finish", .owner = "PropheseeDecoder",
     .doc = "Ends the stream; a partial last word is a truncated file."});

PyObject* prophesee_finish(PyObject* self, NoArgs&) {
    if (!idle_or_raise(reinterpret_cast<PropheseeDecoderObject*>(self)->busy)) return nullptr;
    if (auto error = stream(self).finish()) return raise_decode_error(*error);
    Py_RETURN_NONE;
}

constexpr auto kPropheseeStartBatch = signature<NoArgs>(
    {.name = "start_batch", .owner = "PropheseeDecoder",
     .doc = "Starts a batch (time mode 'chunk')."});

PyObject* prophesee_start_batch(PyObject* self, NoArgs&) {
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
    function_def<kDecodeInto, prophesee_decode_into>(),
    function_def<kDecodeAll, prophesee_decode_all>(),
    function_def<kPropheseeFinish, prophesee_finish>(),
    function_def<kPropheseeStartBatch, prophesee_start_batch>(),
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
    {Py_tp_new, zel::py::constructor_slot<kPropheseeNew, prophesee_new>()},
    {Py_tp_doc, zel::py::type_doc<kPropheseeNew>()},
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

constexpr auto kAedat4New = signature<OptionArgs>(
    {.name = "__new__", .owner = "Aedat4Decoder",
     .doc = "Decodes the event packets of an AEDAT 4 file into a buffer of records."},
    kOptionParams);

PyObject* aedat4_new(PyTypeObject* type, OptionArgs& a) {
    auto decoder = std::make_unique<zel::camera::Aedat4EventDecoder>(a.options());
    auto records = std::make_unique<zel::ByteBuffer>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    aedat4(self).decoder = decoder.release();
    aedat4(self).records = records.release();
    aedat4(self).busy = false;
    return self;
}

void aedat4_dealloc(PyObject* self) {
    delete aedat4(self).decoder;
    delete aedat4(self).records;
    zel::py::dealloc_heap_instance(self);
}

struct PacketArgs {
    BufferView payload;
    std::uint64_t packet_offset = 0;
    std::size_t first = 0;
};

constexpr auto kDecodePacket = signature<PacketArgs>(
    {.name = "decode_packet", .owner = "Aedat4Decoder",
     .doc = "Decodes a decompressed event packet, from its event `first`, into the buffer; "
            "the number of events decoded."},
    param<&PacketArgs::payload, convert_buffer>("payload"),
    param<&PacketArgs::packet_offset, convert_unsigned<std::uint64_t>>("packet_offset"),
    param<&PacketArgs::first, convert_count>("first", "0"));

PyObject* aedat4_decode_packet(PyObject* self, PacketArgs& a) {
    BusyGuard busy(aedat4(self).busy);
    if (!busy.enter()) return nullptr;
    auto& obj = aedat4(self);
    auto result = without_gil([&] {
        return obj.decoder->decode_packet(a.payload.bytes(), a.packet_offset, *obj.records,
                                          a.first);
    });
    if (!result) return raise_decode_error(result.error());
    return PyLong_FromSize_t(result.value());
}

constexpr auto kTake = signature<NoArgs>(
    {.name = "take", .owner = "Aedat4Decoder",
     .doc = "The buffered records as a Buffer, leaving the decoder's buffer empty."});

PyObject* aedat4_take(PyObject* self, NoArgs&) {
    if (!idle_or_raise(aedat4(self).busy)) return nullptr;
    return new_buffer(native_state(Py_TYPE(self)), std::move(*aedat4(self).records));
}

struct RejectArgs {
    std::uint64_t offset = 0;
    std::string message;
};

constexpr auto kReject = signature<RejectArgs>(
    {.name = "reject", .owner = "Aedat4Decoder",
     .doc = "A container fault: raised in strict mode, counted in skip mode."},
    param<&RejectArgs::offset, convert_unsigned<std::uint64_t>>("offset"),
    param<&RejectArgs::message, convert_str>("message"));

PyObject* aedat4_reject(PyObject* self, RejectArgs& a) {
    if (!idle_or_raise(aedat4(self).busy)) return nullptr;
    if (auto error = aedat4(self).decoder->reject(zel::camera::DecodeError::format(a.offset, a.message))) {
        return raise_decode_error(*error);
    }
    Py_RETURN_NONE;
}

constexpr auto kAedat4StartBatch = signature<NoArgs>(
    {.name = "start_batch", .owner = "Aedat4Decoder",
     .doc = "Starts a batch (time mode 'chunk')."});

PyObject* aedat4_start_batch(PyObject* self, NoArgs&) {
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
    function_def<kDecodePacket, aedat4_decode_packet>(),
    function_def<kTake, aedat4_take>(),
    function_def<kReject, aedat4_reject>(),
    function_def<kAedat4StartBatch, aedat4_start_batch>(),
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
    {Py_tp_new, zel::py::constructor_slot<kAedat4New, aedat4_new>()},
    {Py_tp_doc, zel::py::type_doc<kAedat4New>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(aedat4_dealloc)},
    {Py_tp_methods, g_aedat4_methods},
    {Py_tp_getset, g_aedat4_getset},
    {0, nullptr},
};

PyType_Spec g_aedat4_spec = {
    "zelkit._native.Aedat4Decoder", sizeof(Aedat4DecoderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_aedat4_slots,
};

}  // namespace

bool add_camera_decoder_types(PyObject* module, NativeState& state) {
    return add_type(module, g_prophesee_spec, state.prophesee_decoder_type) &&
           add_type(module, g_aedat4_spec, state.aedat4_decoder_type);
}

}  // namespace zelkit::native
