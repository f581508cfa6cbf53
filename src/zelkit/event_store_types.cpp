// zelkit._native.EventStoreReader(source) and EventStoreWriter(width, height,
// block_events): the core's event store (.zel version 2) reader and streaming
// writer, and encode_event_store for a whole store in one call. zelkit's
// .zel format (python/zelkit/_event_store.py) is the Python view over them.
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/byte_buffer.hpp"
#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "container/event_store.hpp"
#include "container_binding.hpp"
#include "conversions.hpp"
#include "lossless/block_codec.hpp"
#include "parts.hpp"
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

// Threads one read or write may use: more than any machine this runs on
// has cores, and few enough that a batch's buffers stay small.
constexpr unsigned kMaxThreads = 256;

// ------------------------------------------------------------------ reader

struct ReaderState {
    ProcessMutex mutex;  // guards `reader`; see locked_without_gil
    std::optional<BufferView> data;
    std::unique_ptr<ct::EventStoreReader> reader;  // null once closed
    ct::StoreHeader header;
    bool complete = true;
    std::uint64_t n_events = 0;
};

ReaderState& reader_state(PyObject* self) { return state_of<ReaderState>(self); }

PyObject* raise_closed() {
    PyErr_SetString(PyExc_ValueError, "I/O operation on a closed event store reader");
    return nullptr;
}

struct OpenArgs {
    zel::py::ObjectArg source;
};

constexpr auto kOpen = signature<OpenArgs>(
    {.name = "__new__", .owner = "EventStoreReader",
     .doc = "A .zel event store read from a file descriptor (by position, through a duplicate "
            "of it) or from a buffer (in place)."},
    param<&OpenArgs::source, zel::py::convert_object>("source"));

PyObject* reader_new(PyTypeObject* type, OpenArgs& a) {
    auto state = std::make_unique<ReaderState>();
    state->reader = open_reader<ct::EventStoreReader>(a.source, state->data);
    if (!state->reader) return nullptr;
    state->header = state->reader->header();
    state->complete = state->reader->complete();
    for (const ct::BlockSummary& b : state->reader->blocks()) state->n_events += b.n_events;
    return new_state_object(type, std::move(state));
}

constexpr auto kBlocks = signature<zel::py::NoArgs>(
    {.name = "blocks", .owner = "EventStoreReader",
     .doc = "A Buffer of one 32-byte entry per block: offset u64, t_base u64, t_first u32, "
            "t_last u32, n_events u64, in native byte order."});

PyObject* reader_blocks(PyObject* self, zel::py::NoArgs&) {
    ReaderState& s = reader_state(self);
    zel::ByteBuffer entries;
    const bool open = locked_without_gil(s.mutex, [&] {
        if (!s.reader) return false;
        const auto bytes = std::as_bytes(s.reader->blocks());
        if (bytes.empty()) return true;
        entries.reserve_more(bytes.size());
        std::memcpy(entries.data(), bytes.data(), bytes.size());
        entries.commit(bytes.size());
        return true;
    });
    if (!open) return raise_closed();
    return new_buffer(native_state(Py_TYPE(self)), std::move(entries));
}

struct ReadArgs {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint64_t subtract = 0;
    unsigned threads = 1;
};

constexpr auto kRead = signature<ReadArgs>(
    {.name = "read", .owner = "EventStoreReader",
     .doc = "The events of blocks [first, first + count) as a Buffer of packed records, each "
            "at t = t_base + t - subtract, decoded on up to `threads` threads."},
    param<&ReadArgs::first, convert_unsigned<std::uint64_t>>("first"),
    param<&ReadArgs::count, convert_unsigned<std::uint64_t>>("count"),
    param<&ReadArgs::subtract, convert_unsigned<std::uint64_t>>("subtract", "0"),
    param<&ReadArgs::threads, convert_bounded<unsigned, 1, kMaxThreads>>("threads", "1"));

// What both reads share: `read(reader, records)` runs without the lock,
// and its records become a Buffer.
template <class Read>
PyObject* read_records(PyObject* self, const Read& read) {
    ReaderState& s = reader_state(self);
    zel::ByteBuffer records;
    std::optional<zel::Status> status;
    locked_without_gil(s.mutex, [&] {
        if (s.reader) status.emplace(read(*s.reader, records));
    });
    if (!status) return raise_closed();
    if (!*status) return raise_container_error(status->error());
    return new_buffer(native_state(Py_TYPE(self)), std::move(records));
}

PyObject* reader_read(PyObject* self, ReadArgs& a) {
    return read_records(self, [&](const ct::EventStoreReader& reader, zel::ByteBuffer& records) {
        return reader.read(a.first, a.count, a.subtract, a.threads, records);
    });
}

struct BlockClockArgs {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    unsigned threads = 1;
};

constexpr auto kReadInBlockClocks = signature<BlockClockArgs>(
    {.name = "read_in_block_clocks", .owner = "EventStoreReader",
     .doc = "The events of blocks [first, first + count) as a Buffer of packed records, each "
            "time as its block stores it (camera time minus the block's t_base), decoded on up "
            "to `threads` threads."},
    param<&BlockClockArgs::first, convert_unsigned<std::uint64_t>>("first"),
    param<&BlockClockArgs::count, convert_unsigned<std::uint64_t>>("count"),
    param<&BlockClockArgs::threads, convert_bounded<unsigned, 1, kMaxThreads>>("threads", "1"));

PyObject* reader_read_in_block_clocks(PyObject* self, BlockClockArgs& a) {
    return read_records(self, [&](const ct::EventStoreReader& reader, zel::ByteBuffer& records) {
        return reader.read_in_block_clocks(a.first, a.count, a.threads, records);
    });
}

struct ExtentArgs {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
};

constexpr auto kExtent = signature<ExtentArgs>(
    {.name = "extent", .owner = "EventStoreReader",
     .doc = "(x_max, y_max, t_first) of blocks [first, first + count) from their headers, "
            "without decoding: the largest x and y of any of them and the first event's camera "
            "time, all 0 for no blocks. Each record is read and checked as read() checks it."},
    param<&ExtentArgs::first, convert_unsigned<std::uint64_t>>("first"),
    param<&ExtentArgs::count, convert_unsigned<std::uint64_t>>("count"));

PyObject* reader_extent(PyObject* self, ExtentArgs& a) {
    ReaderState& s = reader_state(self);
    std::optional<zel::Result<ct::EventStoreReader::Extent>> found;
    locked_without_gil(s.mutex, [&] {
        if (s.reader) found.emplace(s.reader->extent(a.first, a.count));
    });
    if (!found) return raise_closed();
    if (!*found) return raise_container_error(found->error());
    const ct::EventStoreReader::Extent& e = found->value();
    return Py_BuildValue("(IIK)", static_cast<unsigned>(e.x_max), static_cast<unsigned>(e.y_max),
                         static_cast<unsigned long long>(e.t_first));
}

constexpr auto kClose = signature<zel::py::NoArgs>(
    {.name = "close", .owner = "EventStoreReader",
     .doc = "Closes the file (or lets go of the buffer) now; a read running in another thread "
            "finishes first."});

PyObject* reader_close(PyObject* self, zel::py::NoArgs&) {
    ReaderState& s = reader_state(self);
    std::unique_ptr<ct::EventStoreReader> closing =
        locked_without_gil(s.mutex, [&] { return std::move(s.reader); });
    closing.reset();
    s.data.reset();
    Py_RETURN_NONE;
}

PyObject* get_width(PyObject* self, void*) { return PyLong_FromLong(reader_state(self).header.width); }
PyObject* get_height(PyObject* self, void*) { return PyLong_FromLong(reader_state(self).header.height); }
PyObject* get_block_events(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(reader_state(self).header.block_events);
}
PyObject* get_complete(PyObject* self, void*) { return PyBool_FromLong(reader_state(self).complete); }
PyObject* get_n_events(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reader_state(self).n_events);
}

PyGetSetDef kReaderGetSet[] = {
    {"width", get_width, nullptr, "Sensor width the writer was given (0: not known).", nullptr},
    {"height", get_height, nullptr, "Sensor height the writer was given (0: not known).", nullptr},
    {"block_events", get_block_events, nullptr, "Most events one block holds.", nullptr},
    {"complete", get_complete, nullptr, "False when read without index from an interrupted writer.",
     nullptr},
    {"n_events", get_n_events, nullptr, "Events in the blocks found.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kReaderMethods[] = {
    function_def<kBlocks, reader_blocks>(),
    function_def<kRead, reader_read>(),
    function_def<kReadInBlockClocks, reader_read_in_block_clocks>(),
    function_def<kExtent, reader_extent>(),
    function_def<kClose, reader_close>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_new, zel::py::constructor_slot<kOpen, reader_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_state_object<ReaderState>)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_getset, kReaderGetSet},
    {Py_tp_doc, zel::py::type_doc<kOpen>()},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {
    "zelkit._native.EventStoreReader",
    sizeof(StateObject<ReaderState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kReaderSlots,
};

// ------------------------------------------------------------------ writer

struct WriterState {
    ProcessMutex mutex;  // guards `writer`
    std::unique_ptr<ct::EventStoreWriter> writer;
};

WriterState& writer_state(PyObject* self) { return state_of<WriterState>(self); }

constexpr const char* kWriterName = "event store writer";

struct NewWriterArgs {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint64_t block_events = 0;
    unsigned threads = 1;
    std::uint8_t block_version = zel::lossless::kBlockVersion;
};

constexpr auto kNewWriter = signature<NewWriterArgs>(
    {.name = "__new__", .owner = "EventStoreWriter",
     .doc = "Writes a .zel event store piece by piece: begin(), add() any number of times, "
            "finish(). Blocks are coded `threads` at a time, one per thread (same bytes), as lossless "
            "blocks of `block_version` (BLOCK_VERSION, the smallest, or FAST_BLOCK_VERSION)."},
    param<&NewWriterArgs::width, convert_unsigned<std::uint16_t>>("width"),
    param<&NewWriterArgs::height, convert_unsigned<std::uint16_t>>("height"),
    param<&NewWriterArgs::block_events, convert_unsigned<std::uint64_t>>("block_events"),
    param<&NewWriterArgs::threads, convert_bounded<unsigned, 1, kMaxThreads>>("threads", "1"),
    param<&NewWriterArgs::block_version, convert_unsigned<std::uint8_t>>("block_version", "2"));
// The signature states the default as a literal.
static_assert(zel::lossless::kBlockVersion == 2);

PyObject* writer_new(PyTypeObject* type, NewWriterArgs& a) {
    auto state = std::make_unique<WriterState>();
    state->writer = std::make_unique<ct::EventStoreWriter>(a.width, a.height, a.block_events, a.threads,
                                                          a.block_version);
    return new_state_object(type, std::move(state));
}

constexpr auto kBegin = signature<zel::py::NoArgs>(
    {.name = "begin", .owner = "EventStoreWriter",
     .doc = "The file header, its block count unknown until the final one is put over it."});

PyObject* writer_begin(PyObject* self, zel::py::NoArgs&) {
    WriterState& s = writer_state(self);
    if (!whole_or_raise(s.mutex, kWriterName)) return nullptr;
    std::vector<std::uint8_t> out;
    const zel::Status status = locked_without_gil(s.mutex, [&] { return s.writer->begin(out); });
    return step_result(status, out);
}

struct AddArgs {
    PackedView events;
    std::uint64_t t_base = 0;
};

constexpr auto kAdd = signature<AddArgs>(
    {.name = "add", .owner = "EventStoreWriter",
     .doc = "Adds packed records at camera times t_base + t; returns the block records "
            "completed by them."},
    param<&AddArgs::events, convert_records>("events"),
    param<&AddArgs::t_base, convert_unsigned<std::uint64_t>>("t_base", "0"));

PyObject* writer_add(PyObject* self, AddArgs& a) {
    WriterState& s = writer_state(self);
    if (!whole_or_raise(s.mutex, kWriterName)) return nullptr;
    std::vector<std::uint8_t> out;
    const zel::Status status =
        locked_without_gil(s.mutex, [&] { return s.writer->add(a.events.events(), a.t_base, out); });
    return step_result(status, out);
}

constexpr auto kFinish = signature<zel::py::NoArgs>(
    {.name = "finish", .owner = "EventStoreWriter",
     .doc = "(the last block, the index and the trailer; the file header with the block count)."});

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

constexpr auto kWriterExtent = signature<zel::py::NoArgs>(
    {.name = "extent", .owner = "EventStoreWriter",
     .doc = "(x_max, y_max) of the events in the blocks given out so far: all of them after "
            "finish(); (0, 0) for none."});

PyObject* writer_extent(PyObject* self, zel::py::NoArgs&) {
    WriterState& s = writer_state(self);
    if (!whole_or_raise(s.mutex, kWriterName)) return nullptr;
    const auto [x_max, y_max] =
        locked_without_gil(s.mutex, [&] { return std::pair{s.writer->x_max(), s.writer->y_max()}; });
    return Py_BuildValue("(II)", static_cast<unsigned>(x_max), static_cast<unsigned>(y_max));
}

struct ResizedArgs {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
};

constexpr auto kResizedHeader = signature<ResizedArgs>(
    {.name = "resized_header", .owner = "EventStoreWriter",
     .doc = "The final file header (after finish()) stating another sensor size."},
    param<&ResizedArgs::width, convert_unsigned<std::uint16_t>>("width"),
    param<&ResizedArgs::height, convert_unsigned<std::uint16_t>>("height"));

PyObject* writer_resized_header(PyObject* self, ResizedArgs& a) {
    WriterState& s = writer_state(self);
    if (!whole_or_raise(s.mutex, kWriterName)) return nullptr;
    const auto header = locked_without_gil(s.mutex, [&] { return s.writer->final_header(a.width, a.height); });
    return bytes_from(header);
}

PyMethodDef kWriterMethods[] = {
    function_def<kBegin, writer_begin>(),
    function_def<kAdd, writer_add>(),
    function_def<kFinish, writer_finish>(),
    function_def<kWriterExtent, writer_extent>(),
    function_def<kResizedHeader, writer_resized_header>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_new, zel::py::constructor_slot<kNewWriter, writer_new>()},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_state_object<WriterState>)},
    {Py_tp_methods, kWriterMethods},
    {Py_tp_doc, zel::py::type_doc<kNewWriter>()},
    {0, nullptr},
};

PyType_Spec kWriterSpec = {
    "zelkit._native.EventStoreWriter",
    sizeof(StateObject<WriterState>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kWriterSlots,
};

// ------------------------------------------------------------------ one call

struct EncodeArgs {
    PackedView events;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint64_t block_events = 0;
    unsigned threads = 1;
    std::uint8_t block_version = zel::lossless::kBlockVersion;
};

constexpr auto kEncode = signature<EncodeArgs>(
    {.name = "encode_event_store",
     .doc = "The whole .zel event store of packed records, its blocks coded on up to `threads` threads "
            "as lossless blocks of `block_version`."},
    param<&EncodeArgs::events, convert_records>("events"),
    param<&EncodeArgs::width, convert_unsigned<std::uint16_t>>("width"),
    param<&EncodeArgs::height, convert_unsigned<std::uint16_t>>("height"),
    param<&EncodeArgs::block_events, convert_unsigned<std::uint64_t>>("block_events"),
    param<&EncodeArgs::threads, convert_bounded<unsigned, 1, kMaxThreads>>("threads", "1"),
    param<&EncodeArgs::block_version, convert_unsigned<std::uint8_t>>("block_version", "2"));

PyObject* encode_event_store(PyObject*, EncodeArgs& a) {
    zel::Result<std::vector<std::uint8_t>> out = without_gil([&] {
        return ct::encode_event_store(a.events.events(), a.width, a.height, a.block_events, a.threads,
                                      a.block_version);
    });
    if (!out) return raise_container_error(out.error());
    return bytes_from(out.value());
}

PyMethodDef g_event_store_functions[] = {
    function_def<kEncode, encode_event_store>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_event_store_types(PyObject* module, NativeState& state) {
    return PyModule_AddIntConstant(module, "BLOCK_ENTRY_BYTES", ct::kBlockEntryBytes) == 0 &&
           PyModule_AddIntConstant(module, "DEFAULT_BLOCK_EVENTS",
                                   static_cast<long>(zel::lossless::kDefaultBlockEvents)) == 0 &&
           PyModule_AddIntConstant(module, "MAX_BLOCK_EVENTS",
                                   static_cast<long>(zel::lossless::kMaxBlockEvents)) == 0 &&
           PyModule_AddIntConstant(module, "BLOCK_VERSION", zel::lossless::kBlockVersion) == 0 &&
           PyModule_AddIntConstant(module, "FAST_BLOCK_VERSION", zel::lossless::kFastBlockVersion) == 0 &&
           add_functions_uniquely(module, g_event_store_functions) &&
           add_type(module, kReaderSpec, state.event_store_reader_type) &&
           add_type(module, kWriterSpec, state.event_store_writer_type);
}

}  // namespace zelkit::native
