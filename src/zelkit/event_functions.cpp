// Between arrays and zel's own Event objects, and the array summary.
#include "array_parts.hpp"
#include "buffer_type.hpp"
#include "buffer_view.hpp"
#include "conversions.hpp"
#include "pycommon/args.hpp"
#include "pycommon/boundary.hpp"
#include "pycommon/event_object.hpp"
#include "pycommon/py_ref.hpp"
#include "readers/record_codecs.hpp"
#include "summary/packed_summary.hpp"
#include "without_gil.hpp"

namespace zelkit::native {

using zel::py::PyRef;
using zel::py::bind_fastcall;

// (count, x_min, x_max, y_min, y_max, t_min, t_max, t_first, t_last,
// time_ordered), or None for no events.
PyObject* summarize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({"summarize()", {"events"}}, args, nargs, kwnames, bound)) return nullptr;
        PackedView view;
        if (!view.acquire(bound[0], "events")) return nullptr;
        const auto summary = without_gil([&] { return zel::summarize_packed(view.events()); });
        if (!summary) Py_RETURN_NONE;
        const zel::EventSummary& r = summary->ranges;
        return Py_BuildValue("(KkkkkkkkkO)", static_cast<unsigned long long>(r.count),
                             static_cast<unsigned long>(r.x_min), static_cast<unsigned long>(r.x_max),
                             static_cast<unsigned long>(r.y_min), static_cast<unsigned long>(r.y_max),
                             static_cast<unsigned long>(r.t_min), static_cast<unsigned long>(r.t_max),
                             static_cast<unsigned long>(summary->t_first),
                             static_cast<unsigned long>(summary->t_last),
                             summary->time_ordered ? Py_True : Py_False);
    });
}

// A new list of new zel.Event objects, one per record, in order.
PyObject* to_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({"to_events()", {"events"}}, args, nargs, kwnames, bound)) return nullptr;
        PackedView view;
        if (!view.acquire(bound[0], "events")) return nullptr;
        PyTypeObject* type = zel_event_type();
        if (type == nullptr) return nullptr;
        const zel::PackedEvents events = view.events();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(events.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < events.size(); ++i) {
            PyObject* item = type->tp_alloc(type, 0);
            if (item == nullptr) return nullptr;
            zel::py::as_event_object(item)->record = events[i];
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// Packed records of a sequence of zel.Event objects.
PyObject* from_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return zel::py::guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall({"from_events()", {"events"}}, args, nargs, kwnames, bound)) return nullptr;
        PyTypeObject* type = zel_event_type();
        if (type == nullptr) return nullptr;
        PyRef items(PySequence_Fast(bound[0], "events must be a sequence of zel.Event"));
        if (!items) return nullptr;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        PyObject** item = PySequence_Fast_ITEMS(items.get());
        zel::ByteBuffer out;
        out.reserve_more(static_cast<std::size_t>(n) * zel::kPackedEventBytes);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!PyObject_TypeCheck(item[i], type)) {
                PyErr_Format(PyExc_TypeError, "events[%zd] is %.200s, not zel.Event", i,
                             Py_TYPE(item[i])->tp_name);
                return nullptr;
            }
            zel::store_packed(zel::py::event_record(item[i]), out.tail());
            out.commit(zel::kPackedEventBytes);
        }
        return new_buffer(std::move(out));
    });
}

}  // namespace zelkit::native
