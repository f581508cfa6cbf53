#include "array_parts.hpp"
#include "buffer_type.hpp"
#include "parts.hpp"

namespace zelkit::native {
namespace {

#define ZELKIT_FUNCTION(name, signature)                                                    \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)),              \
     METH_FASTCALL | METH_KEYWORDS, signature "\n--\n\n"}

PyMethodDef g_array_functions[] = {
    ZELKIT_FUNCTION(load, "load(path, format)"),
    ZELKIT_FUNCTION(path_extension, "path_extension(path)"),
    ZELKIT_FUNCTION(encode_records, "encode_records(format, events, first_index)"),
    ZELKIT_FUNCTION(file_header, "file_header(format)"),
    ZELKIT_FUNCTION(summarize, "summarize(events)"),
    ZELKIT_FUNCTION(to_events, "to_events(events)"),
    ZELKIT_FUNCTION(from_events, "from_events(events)"),
    ZELKIT_FUNCTION(compress, "compress(events, width, height, time_bins, max_depth)"),
    ZELKIT_FUNCTION(compress_sequence,
                    "compress_sequence(events, width, height, time_bins, max_depth, n_frames)"),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZELKIT_FUNCTION

}  // namespace

bool add_array_functions(PyObject* module) {
    return add_functions_uniquely(module, g_array_functions) && add_buffer_type(module) &&
           add_record_stream_type(module);
}

}  // namespace zelkit::native
