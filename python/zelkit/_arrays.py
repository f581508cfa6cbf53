"""Event arrays from foreign layouts and zel's Event objects, and back."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

import zel

from . import _native
from ._dtype import EVENT_DTYPE, EventArray, wrap_buffer

# Largest value each field of EVENT_DTYPE holds.
_LIMITS = {"x": 0xFFFF, "y": 0xFFFF, "t": 0xFFFFFFFF, "p": 0xFF}
# Polarity goes by other names in other libraries (faery calls it "on").
_POLARITY_NAMES = ("p", "on", "polarity")


def _polarity_field(names: tuple[str, ...]) -> str | None:
    return next((n for n in _POLARITY_NAMES if n in names), None)


def _checked_column(array: np.ndarray[Any, Any], source: str, field: str) -> np.ndarray[Any, Any]:
    column = array[source]
    kind = column.dtype.kind
    if kind not in "biu":
        raise TypeError(f"field {source!r} has dtype {column.dtype}; integer or bool values are needed")
    if kind == "b" or len(column) == 0:
        return column
    limit = _LIMITS[field]
    low, high = column.min(), column.max()
    if low < 0 or high > limit:
        bad = (column < 0) | (column > limit)
        index = int(np.argmax(bad))
        raise ValueError(
            f"field {source!r} at index {index} is {column[index]}, outside the range 0..{limit}"
        )
    return column


def _from_array(array: np.ndarray[Any, Any]) -> EventArray:
    if array.dtype == EVENT_DTYPE and array.ndim == 1 and array.flags.c_contiguous:
        return array
    names = array.dtype.names
    if names is None:
        raise TypeError(f"expected an array with fields x, y, t, p; got dtype {array.dtype}")
    polarity = _polarity_field(names)
    missing = [n for n in ("x", "y", "t") if n not in names] + ([] if polarity else ["p"])
    if missing:
        raise TypeError(f"the array has no field {missing[0]!r} (its fields: {', '.join(names)})")
    if array.ndim != 1:
        raise ValueError(f"expected a one-dimensional array of events, got {array.ndim} dimensions")
    assert polarity is not None
    columns = {
        "x": _checked_column(array, "x", "x"),
        "y": _checked_column(array, "y", "y"),
        "t": _checked_column(array, "t", "t"),
        "p": _checked_column(array, polarity, "p"),
    }
    out = np.empty(len(array), dtype=EVENT_DTYPE)
    for field, column in columns.items():
        out[field] = column
    return out


def as_events(obj: EventArray | np.ndarray[Any, Any] | Sequence[zel.Event]) -> EventArray:
    """An ``EVENT_DTYPE`` array of the same events, in the same order.

    Takes any one-dimensional array with integer or bool fields x, y, t and p
    (or ``on`` / ``polarity``) in any order and width, or a sequence of
    ``zel.Event``. Values a field cannot hold (negative, or above 65535 for
    x and y, 2**32 - 1 for t, 255 for p) raise ``ValueError`` naming the
    field and the first bad index; nothing wraps around. An array that
    already is C-contiguous ``EVENT_DTYPE`` is returned as it is, not copied.
    """
    if isinstance(obj, np.ndarray):
        return _from_array(obj)
    if isinstance(obj, (str, bytes)) or not isinstance(obj, Sequence):
        raise TypeError(f"expected an event array or a sequence of zel.Event, got {type(obj).__name__}")
    return wrap_buffer(_native.from_events(obj))


def to_events(events: EventArray | np.ndarray[Any, Any]) -> list[zel.Event]:
    """A new list of new ``zel.Event`` objects, one per event, in order."""
    result: list[zel.Event] = _native.to_events(as_events(events))
    return result


def stats(events: EventArray | np.ndarray[Any, Any] | Sequence[zel.Event]) -> dict[str, Any] | None:
    """What ``zel.event_stats`` returns for the same events: None when empty."""
    summary = _native.summarize(as_events(events))
    if summary is None:
        return None
    return {
        "count": summary.n_events,
        "x_range": (summary.x_min, summary.x_max),
        "y_range": (summary.y_min, summary.y_max),
        "t_range": (summary.t_min, summary.t_max),
        "duration_us": summary.t_max - summary.t_min,
    }
