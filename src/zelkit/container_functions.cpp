// The .zel container: writing in one piece or frame by frame, and reading it
// back to leaf boxes. Layout and decoding live in the core; these functions
// convert arguments, run the core without the interpreter lock and turn its
// results (or its format faults) into Python objects.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "base/event.hpp"
#include "buffer_view.hpp"
#include "codec/box_decoder.hpp"
#include "container/container_format.hpp"
#include "container/frame_decoder.hpp"
#include "container/frame_encoder.hpp"
#include "format_errors.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/compressed_output.hpp"
#include "pycommon/py_ref.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

namespace ct = zel::container;
using zel::py::bytes_from;
using zel::py::PyRef;

// The records of boxes, written straight into the bytearray handed to Python
// so that the largest output of a decode is written once.
PyObject* box_records(const zel::LeafBoxes& boxes) {
    PyRef records(PyByteArray_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(boxes.size() * zel::kBoxRecordBytes)));
    if (!records) return nullptr;
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(records.get())),
        boxes.size() * zel::kBoxRecordBytes);
    GilReleased unlocked;
    zel::write_box_records(boxes, out);
    return records.release();
}

bool expect_args(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

// width, height, time_bins, max_depth, keyframe_interval, n_frames (None when
// a streaming writer has not finished).
bool convert_file_header(PyObject* const* args, ct::FileHeader& header) {
    zel::GridParams grid;
    if (!zel::py::convert_grid_params(args, grid)) return false;
    header.width = grid.width;
    header.height = grid.height;
    header.time_bins = grid.time_bins;
    header.max_depth = grid.max_depth;
    if (!zel::py::convert_u32(args[4], "keyframe_interval", header.keyframe_interval)) return false;
    if (args[5] == Py_None) {
        header.n_frames = ct::kUnknownFrameCount;
        return true;
    }
    return zel::py::convert_u64(args[5], "n_frames", header.n_frames);
}

zel::PackedEvents packed_events(const BufferView& view) {
    const auto bytes = view.bytes();
    return {bytes.data(), bytes.size() / zel::kPackedEventBytes};
}

bool check_event_buffer(const BufferView& view) {
    if (view.bytes().size() % zel::kPackedEventBytes == 0) return true;
    PyErr_SetString(PyExc_ValueError, "event buffer is not a whole number of 9-byte records");
    return false;
}

// encode(events, width, height, time_bins, max_depth, n_frames, keyframe_interval)
PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("encode", nargs, 7)) return nullptr;
        BufferView events;
        if (!events.acquire(args[0]) || !check_event_buffer(events)) return nullptr;
        zel::GridParams grid;
        std::uint64_t n_frames = 0;
        std::uint32_t keyframe_interval = 0;
        if (!zel::py::convert_grid_params(args + 1, grid) ||
            !zel::py::convert_u64(args[5], "n_frames", n_frames) ||
            !zel::py::convert_u32(args[6], "keyframe_interval", keyframe_interval)) {
            return nullptr;
        }
        std::vector<std::uint8_t> out;
        {
            GilReleased unlocked;
            out = ct::encode_container(packed_events(events), grid, n_frames, keyframe_interval);
        }
        return bytes_from(out);
    });
}

// stream_header(width, height, time_bins, max_depth, keyframe_interval, n_frames | None)
PyObject* stream_header(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("stream_header", nargs, 6)) return nullptr;
        ct::FileHeader header;
        if (!convert_file_header(args, header)) return nullptr;
        std::vector<std::uint8_t> out;
        ct::append_header(header, out);
        return bytes_from(out);
    });
}

// stream_frame(events, width, height, time_bins, max_depth, keyframe, index,
//              offset, previous_bits | None) -> (record, bits, index_entry)
PyObject* stream_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("stream_frame", nargs, 9)) return nullptr;
        BufferView events;
        if (!events.acquire(args[0]) || !check_event_buffer(events)) return nullptr;
        zel::GridParams grid;
        std::uint64_t index = 0;
        std::uint64_t offset = 0;
        if (!zel::py::convert_grid_params(args + 1, grid)) return nullptr;
        const int keyframe = PyObject_IsTrue(args[5]);
        if (keyframe < 0 || !zel::py::convert_u64(args[6], "index", index) ||
            !zel::py::convert_u64(args[7], "offset", offset)) {
            return nullptr;
        }
        BufferView previous;
        const bool has_previous = args[8] != Py_None;
        if (has_previous && !previous.acquire(args[8])) return nullptr;

        std::vector<std::uint8_t> record;
        std::vector<std::uint8_t> entry;
        std::vector<std::uint8_t> bits;
        {
            GilReleased unlocked;
            ct::FrameEncoder encoder(grid);
            if (has_previous) encoder.set_previous(previous.bytes());
            ct::FrameHeader header;
            std::vector<std::uint8_t> payload;
            encoder.encode(packed_events(events), keyframe != 0, header, payload);
            header.index = index;
            ct::append_frame(header, payload, record);
            ct::append_index_entry({offset, header.t_first, header.t_last, header.n_events}, entry);
            const auto kept = encoder.previous_bits();
            bits.assign(kept.begin(), kept.end());
        }
        PyRef record_obj(bytes_from(record));
        PyRef bits_obj(bytes_from(bits));
        PyRef entry_obj(bytes_from(entry));
        if (!record_obj || !bits_obj || !entry_obj) return nullptr;
        return PyTuple_Pack(3, record_obj.get(), bits_obj.get(), entry_obj.get());
    });
}

// stream_index(entries, index_offset) -> index block and trailer
PyObject* stream_index(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("stream_index", nargs, 2)) return nullptr;
        BufferView entries;
        std::uint64_t index_offset = 0;
        if (!entries.acquire(args[0]) ||
            !zel::py::convert_u64(args[1], "index_offset", index_offset)) {
            return nullptr;
        }
        std::vector<std::uint8_t> out;
        ct::append_index(entries.bytes(), index_offset, out);
        return bytes_from(out);
    });
}

PyObject* header_tuple(const ct::FileHeader& h) {
    if (h.n_frames == ct::kUnknownFrameCount) {
        return Py_BuildValue("(IIIIIO)", h.width, h.height, h.time_bins, h.max_depth,
                             h.keyframe_interval, Py_None);
    }
    return Py_BuildValue("(IIIIIK)", h.width, h.height, h.time_bins, h.max_depth,
                         h.keyframe_interval, static_cast<unsigned long long>(h.n_frames));
}

PyObject* raise_fault(const ct::FormatFault& fault) { return raise_format_error(fault.message, fault.offset); }

// read_header(first_bytes) -> (width, height, time_bins, max_depth,
//                              keyframe_interval, n_frames | None)
PyObject* read_header(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("read_header", nargs, 1)) return nullptr;
        BufferView bytes;
        if (!bytes.acquire(args[0])) return nullptr;
        const auto parsed = ct::parse_header(bytes.bytes());
        if (!parsed) return raise_fault(parsed.error());
        return header_tuple(parsed.value());
    });
}

// read_trailer(last_bytes, file_size) -> index offset, or None without a trailer
PyObject* read_trailer(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("read_trailer", nargs, 2)) return nullptr;
        BufferView bytes;
        std::uint64_t file_size = 0;
        if (!bytes.acquire(args[0]) || !zel::py::convert_u64(args[1], "file_size", file_size)) {
            return nullptr;
        }
        const auto parsed = ct::parse_trailer(bytes.bytes(), file_size);
        if (!parsed) return raise_fault(parsed.error());
        if (!parsed.value().present) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(parsed.value().index_offset);
    });
}

// read_index(block, index_offset, width, height, time_bins, max_depth,
//            keyframe_interval, n_frames) -> (offsets, t_first, t_last, n_events)
// as native-endian arrays of u64, u32, u32, u64.
PyObject* read_index(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("read_index", nargs, 8)) return nullptr;
        BufferView block;
        std::uint64_t index_offset = 0;
        ct::FileHeader header;
        if (!block.acquire(args[0]) ||
            !zel::py::convert_u64(args[1], "index_offset", index_offset) ||
            !convert_file_header(args + 2, header)) {
            return nullptr;
        }
        std::vector<std::uint64_t> offsets;
        std::vector<std::uint32_t> first;
        std::vector<std::uint32_t> last;
        std::vector<std::uint64_t> counts;
        ct::Parsed<std::vector<ct::FrameSummary>> parsed = ct::FormatFault{};
        {
            GilReleased unlocked;
            parsed = ct::parse_index(block.bytes(), index_offset, header);
            if (parsed) {
                for (const ct::FrameSummary& f : parsed.value()) {
                    offsets.push_back(f.offset);
                    first.push_back(f.t_first);
                    last.push_back(f.t_last);
                    counts.push_back(f.n_events);
                }
            }
        }
        if (!parsed) return raise_fault(parsed.error());
        auto raw = [](const auto& v) {
            return bytes_from({reinterpret_cast<const std::uint8_t*>(v.data()),
                             v.size() * sizeof(v[0])});
        };
        PyRef a(raw(offsets));
        PyRef b(raw(first));
        PyRef c(raw(last));
        PyRef d(raw(counts));
        if (!a || !b || !c || !d) return nullptr;
        return PyTuple_Pack(4, a.get(), b.get(), c.get(), d.get());
    });
}

PyObject* frame_tuple(const ct::FrameHeader& h) {
    return Py_BuildValue("(OIIKKKK)", h.kind == ct::FrameKind::Key ? Py_True : Py_False,
                         h.t_first, h.t_last, static_cast<unsigned long long>(h.n_events),
                         static_cast<unsigned long long>(h.n_bits),
                         static_cast<unsigned long long>(h.payload_bytes),
                         static_cast<unsigned long long>(h.record_bytes()));
}

// read_frame_header(bytes, offset, expected_index)
//   -> (keyframe, t_first, t_last, n_events, n_bits, payload_bytes, record_bytes)
PyObject* read_frame_header(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("read_frame_header", nargs, 3)) return nullptr;
        BufferView bytes;
        std::uint64_t offset = 0;
        std::uint64_t index = 0;
        if (!bytes.acquire(args[0]) || !zel::py::convert_u64(args[1], "offset", offset) ||
            !zel::py::convert_u64(args[2], "expected_index", index)) {
            return nullptr;
        }
        const auto parsed = ct::parse_frame_header(bytes.bytes(), offset, index);
        if (!parsed) return raise_fault(parsed.error());
        return frame_tuple(parsed.value());
    });
}

// decode_frame(record, offset, expected_index, width, height, time_bins,
//              max_depth, keyframe_interval, previous_bits | None, want_boxes)
//   -> (bits, boxes bytearray | None, frame tuple as read_frame_header's)
PyObject* decode_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return zel::py::guarded([&]() -> PyObject* {
        if (!expect_args("decode_frame", nargs, 10)) return nullptr;
        BufferView record;
        std::uint64_t offset = 0;
        std::uint64_t index = 0;
        ct::FileHeader header;
        PyObject* header_args[6] = {args[3], args[4], args[5], args[6], args[7], Py_None};
        if (!record.acquire(args[0]) || !zel::py::convert_u64(args[1], "offset", offset) ||
            !zel::py::convert_u64(args[2], "expected_index", index) ||
            !convert_file_header(header_args, header)) {
            return nullptr;
        }
        BufferView previous;
        const bool has_previous = args[8] != Py_None;
        if (has_previous && !previous.acquire(args[8])) return nullptr;
        const int want_boxes = PyObject_IsTrue(args[9]);
        if (want_boxes < 0) return nullptr;

        std::vector<std::uint8_t> bits;
        ct::Parsed<ct::DecodedFrame> decoded = ct::FormatFault{};
        {
            GilReleased unlocked;
            if (has_previous) bits.assign(previous.bytes().begin(), previous.bytes().end());
            decoded = ct::decode_frame(record.bytes(), offset, index, header, bits, has_previous,
                                       want_boxes != 0);
        }
        if (!decoded) return raise_fault(decoded.error());
        PyRef bits_obj(bytes_from(bits));
        PyRef boxes_obj(want_boxes ? box_records(decoded.value().boxes)
                                   : PyRef::borrow(Py_None).release());
        PyRef info(frame_tuple(decoded.value().header));
        if (!bits_obj || !boxes_obj || !info) return nullptr;
        return PyTuple_Pack(3, bits_obj.get(), boxes_obj.get(), info.get());
    });
}

PyMethodDef g_container_functions[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)), METH_FASTCALL,
     "encode(events, width, height, time_bins, max_depth, n_frames, keyframe_interval)"},
    {"stream_header",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_header)), METH_FASTCALL,
     "stream_header(width, height, time_bins, max_depth, keyframe_interval, n_frames)"},
    {"stream_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_frame)),
     METH_FASTCALL,
     "stream_frame(events, width, height, time_bins, max_depth, keyframe, index, offset, "
     "previous_bits)"},
    {"stream_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_index)),
     METH_FASTCALL, "stream_index(entries, index_offset)"},
    {"read_header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_header)),
     METH_FASTCALL, "read_header(data)"},
    {"read_trailer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_trailer)),
     METH_FASTCALL, "read_trailer(data, file_size)"},
    {"read_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_index)),
     METH_FASTCALL,
     "read_index(block, index_offset, width, height, time_bins, max_depth, keyframe_interval, "
     "n_frames)"},
    {"read_frame_header",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_frame_header)),
     METH_FASTCALL, "read_frame_header(data, offset, expected_index)"},
    {"decode_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_frame)),
     METH_FASTCALL,
     "decode_frame(record, offset, expected_index, width, height, time_bins, max_depth, "
     "keyframe_interval, previous_bits, want_boxes)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_container_functions(PyObject* module) {
    return PyModule_AddIntConstant(module, "CONTAINER_HEADER_BYTES", ct::kHeaderBytes) == 0 &&
           PyModule_AddIntConstant(module, "FRAME_HEADER_BYTES", ct::kFrameHeaderBytes) == 0 &&
           PyModule_AddIntConstant(module, "TRAILER_BYTES", ct::kTrailerBytes) == 0 &&
           PyModule_AddIntConstant(module, "BOX_RECORD_BYTES", zel::kBoxRecordBytes) == 0 &&
           add_functions_uniquely(module, g_container_functions);
}

}  // namespace zelkit::native
