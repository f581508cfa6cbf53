"""The event record layout zelkit's arrays use."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

#: One event as one packed 9-byte little-endian record, exactly a ``.evb`` record.
EVENT_DTYPE: np.dtype[np.void] = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])

#: A one-dimensional array of :data:`EVENT_DTYPE` records.
EventArray = npt.NDArray[np.void]


def wrap_buffer(buffer: Any) -> EventArray:
    """View a native buffer of packed records as an event array, without a copy."""
    return np.frombuffer(buffer, dtype=EVENT_DTYPE)
