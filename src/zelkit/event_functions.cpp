// Between arrays and zel's own Event objects, and the array summary.
#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "conversions.hpp"
#include "native_state.hpp"
#include "parts.hpp"
#include "pycommon/args.hpp"
#include "pycommon/event_object.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/record_codecs.hpp"
#include "record_types.hpp"
#include "summary/packed_summary.hpp"
#include "without_gil.hpp"

namespace zelkit::native {
namespace {

using zel::py::function_def;
using zel::py::param;
using zel::py::PyRef;
using zel::py::signature;

struct RecordsArgs {
    PackedView events;
};

constexpr auto kRecordsParam = param<&RecordsArgs::events, convert_records>("events");

// A field named "count" would hide tuple.count, hence n_events.
PyStructSequence_Field kSummaryFields[] = {
    {"n_events", "Number of events."},
    {"x_min", "Smallest x."},
    {"x_max", "Largest x."},
    {"y_min", "Smallest y."},
    {"y_max", "Largest y."},
    {"t_min", "Smallest timestamp."},
    {"t_max", "Largest timestamp."},
    {"t_first", "Timestamp of the first event in array order."},
    {"t_last", "Timestamp of the last event in array order."},
    {"time_ordered", "True when timestamps never decrease in array order."},
    {nullptr, nullptr},
};

PyStructSequence_Desc kSummaryDesc = {
    "zelkit._native.EventSummary",
    "What summarize() finds in an array of events.",
    kSummaryFields,
    10,
};

constexpr auto kSummarize = signature<RecordsArgs>(
    {.name = "summarize",
     .doc = "Count, ranges, first and last time and order of the events; None for none."},
    kRecordsParam);

PyObject* summarize(PyObject* module, RecordsArgs& a) {
    const auto summary = without_gil([&] { return zel::summarize_packed(a.events.events()); });
    if (!summary) Py_RETURN_NONE;
    const zel::EventSummary& r = summary->ranges;
    return new_record(native_state(module).event_summary_type, r.count, r.x_min, r.x_max,
                      r.y_min, r.y_max, r.t_min, r.t_max, summary->t_first, summary->t_last,
                      summary->time_ordered);
}

constexpr auto kToEvents = signature<RecordsArgs>(
    {.name = "to_events", .doc = "A new list of new zel.Event objects, one per record, in order."},
    kRecordsParam);

PyObject* to_events(PyObject* module, RecordsArgs& a) {
    PyTypeObject* type = native_state(module).zel_event_type;
    const zel::PackedEvents events = a.events.events();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < events.size(); ++i) {
        PyObject* item = type->tp_alloc(type, 0);
        if (item == nullptr) return nullptr;
        zel::py::as_event_object(item)->record = events[i];
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

struct EventObjectsArgs {
    zel::py::ObjectArg events;  // checked against the module's zel.Event
};

constexpr auto kFromEvents = signature<EventObjectsArgs>(
    {.name = "from_events", .doc = "Packed records of a sequence of zel.Event objects."},
    param<&EventObjectsArgs::events, zel::py::convert_object>("events"));

PyObject* from_events(PyObject* module, EventObjectsArgs& a) {
    const auto& [events, arg] = a.events;
    if (!PySequence_Check(events)) {
        zel::py::raise_wrong_type(arg, "a sequence of zel.Event", events);
        return nullptr;
    }
    PyTypeObject* type = native_state(module).zel_event_type;
    PyRef items(PySequence_Fast(events, "events must be a sequence"));
    if (!items) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    zel::ByteBuffer out;
    out.reserve_more(static_cast<std::size_t>(n) * zel::kPackedEventBytes);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyObject_TypeCheck(item[i], type)) {
            zel::py::raise_argument_error(PyExc_TypeError, arg,
                                          "holds %s at index %zd, not zel.Event",
                                          Py_TYPE(item[i])->tp_name, i);
            return nullptr;
        }
        zel::store_packed(zel::py::event_record(item[i]), out.tail());
        out.commit(zel::kPackedEventBytes);
    }
    return new_buffer(native_state(module), std::move(out));
}

PyMethodDef g_event_functions[] = {
    function_def<kSummarize, summarize>(),
    function_def<kToEvents, to_events>(),
    function_def<kFromEvents, from_events>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_event_functions(PyObject* module, NativeState& state) {
    return add_record_type(module, kSummaryDesc, state.event_summary_type) &&
           add_functions_uniquely(module, g_event_functions);
}

}  // namespace zelkit::native
