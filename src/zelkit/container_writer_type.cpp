// zelkit._native.ContainerWriter(width, height, time_bins, max_depth,
// keyframe_interval, codec): the core's streaming container writer. It hands back
// the bytes of each piece and zelkit.encode_stream writes them to the file.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "buffer_view.hpp"
#include "container/container_writer.hpp"
#include "container_binding.hpp"
#include "conversions.hpp"
#include "pycommon/args.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/py_ref.hpp"

namespace zelkit::native {
namespace {

namespace ct = zel::container;
using zel::py::bytes_from;
using zel::py::function_def;
using zel::py::param;
using zel::py::PyRef;
using zel::py::signature;

struct WriterState {
    ProcessMutex mutex;  // guards `writer`; see locked_without_gil
    std::unique_ptr<ct::ContainerWriter> writer;
};

WriterState& writer_state(PyObject* self) { return state_of<WriterState>(self); }

constexpr const char* kWriterName = "container writer";

struct NewArgs : zel::GridParams {
    std::uint32_t keyframe_interval = 0;
    ct::KeyframeCodec codec = ct::KeyframeCodec::Zel;
};

constexpr auto kNew = signature<NewArgs>(
    {.name = "__new__", .owner = "ContainerWriter",
     .doc = "Writes a .zel container frame by frame, its frame count unknown until finish()."},
    kGridParams,
    param<&NewArgs::keyframe_interval, convert_unsigned<std::uint32_t>>("keyframe_interval"),
    param<&NewArgs::codec, convert_keyframe_codec>("codec", "'zel'"));

PyObject* writer_new(PyTypeObject* type, NewArgs& a) {
    auto state = std::make_unique<WriterState>();
    state->writer = std::make_unique<ct::ContainerWriter>(a, a.keyframe_interval,
                                                          ct::kUnknownFrameCount, a.codec);
    return new_state_object(type, std::move(state));
}

constexpr auto kBegin = signature<zel::py::NoArgs>(
    {.name = "begin", .owner = "ContainerWriter",
     .doc = "The file header, marked unfinished until the final one is put over it."});

PyObject* writer_begin(PyObject* self, zel::py::NoArgs&) {
    WriterState& s = writer_state(self);
    if (!whole_or_raise(s.mutex, kWriterName)) return nullptr;
    std::vector<std::uint8_t> out;
    const zel::Status status = locked_without_gil(s.mutex, [&] { return s.writer->begin(out); });
    return step_result(status, out);
}

struct AddFrameArgs {
    PackedView events;
};

constexpr auto kAddFrame = signature<AddFrameArgs>(
    {.name = "add_frame", .owner = "ContainerWriter",
     .doc = "Codes packed records as the next frame and returns its record."},
    param<&AddFrameArgs::events, convert_records>("events"));

PyObject* writer_add_frame(PyObject* self, AddFrameArgs& a) {
    WriterState& s = writer_state(self);
    if (!whole_or_raise(s.mutex, kWriterName)) return nullptr;
    std::vector<std::uint8_t> out;
    const zel::Status status = locked_without_gil(
        s.mutex, [&] { return s.writer->add_frame(a.events.events(), out); });
    return step_result(status, out);
}

constexpr auto kFinish = signature<zel::py::NoArgs>(
    {.name = "finish", .owner = "ContainerWriter",
     .doc = "(index and trailer, the file header with the frame count)."});

PyObject* writer_finish(PyObject* self, zel::py::NoArgs&) {
    WriterState& s = writer_state(self);
    if (!whole_or_raise(s.mutex, kWriterName)) return nullptr;
    std::vector<std::uint8_t> out;
    std::array<std::uint8_t, ct::kHeaderBytes> header{};
    const zel::Status status = locked_without_gil(s.mutex, [&] {
        zel::Status finished = s.writer->finish(out);
        if (finished) header = s.writer->final_header();
        return finished;
    });
    PyRef tail(step_result(status, out));
    if (!tail) return nullptr;
    return zel::py::pair(std::move(tail), PyRef(bytes_from(header)));
}

PyObject* get_frames_added(PyObject* self, void*) {
    WriterState& s = writer_state(self);
    const std::uint64_t n = locked_without_gil(s.mutex, [&] { return s.writer->frames_added(); });
    return PyLong_FromUnsignedLongLong(n);
}

PyGetSetDef kGetSet[] = {
    {"frames_added", get_frames_added, nullptr, "Frames written so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    function_def<kBegin, writer_begin>(),
    function_def<kAddFrame, writer_add_frame>(),
    function_def<kFinish, writer_finish>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, zel::py::constructor_slot<kNew, writer_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_state_object<WriterState>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, zel::py::type_doc<kNew>()},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zelkit._native.ContainerWriter",
    sizeof(StateObject<WriterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

bool add_container_writer_type(PyObject* module, NativeState& state) {
    return add_type(module, kSpec, state.container_writer_type);
}

}  // namespace zelkit::native
