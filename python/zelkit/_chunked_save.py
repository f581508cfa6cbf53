"""Writing a file of any length from a stream of event arrays."""

from __future__ import annotations

import io
import os
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from ._arrays import as_events
from ._dtype import EVENT_DTYPE
from ._files import resolve_format
from ._paths import PathArg, fs_bytes
from ._atomic import atomic_output

_EMPTY = np.zeros(0, dtype=EVENT_DTYPE)


def writes_sensor_size(path: PathArg, *, format: str | None = None) -> bool:
    """True when the format records a sensor size in its header (width/height options)."""
    spec = resolve_format(fs_bytes(path), format, writing=True)
    return {"width", "height"} <= spec.write_options


def save_chunks(path: PathArg, chunks: Iterable[Any], *, format: str | None = None,
                width: int | None = None, height: int | None = None) -> int:
    """Write the events of every chunk, in order, as one file; return the event count.

    Memory holds one chunk and its encoding. A format's writer produces a
    whole file (header, then records) for any array, so the header is what it
    writes for no events; each chunk's output must start with that header,
    which is dropped after the first. ``width``/``height`` go to formats that
    record a sensor size, so every chunk's header states the same one (give
    them: by default such a writer would state each chunk's own extent). A
    header that still depends on the events cannot be streamed and is refused
    with ValueError, as are values the format cannot hold (the index in that
    message counts from the start of the chunk). The file appears only once
    complete.
    """
    raw = fs_bytes(path)
    spec = resolve_format(raw, format, writing=True)
    if spec.write is None:
        raise ValueError(f"format {spec.name!r} cannot be written")
    options = {name: value for name, value in (("width", width), ("height", height))
               if value is not None and name in spec.write_options}

    def encoded(events: np.ndarray) -> bytes:
        buffer = io.BytesIO()
        assert spec.write is not None
        spec.write(buffer, events, **options)
        return buffer.getvalue()

    total = 0
    with atomic_output(os.fsdecode(raw)) as out:
        out.write(encoded(_EMPTY))
        for chunk in chunks:
            events = as_events(chunk)
            if events.size == 0:
                continue
            out.write(memoryview(_records(encoded, events, spec.name)))
            total += events.size
    return total


def _records(encoded: Callable[[np.ndarray], bytes], events: np.ndarray, name: str) -> memoryview:
    # A header may carry the time of writing; if the clock ticked between the
    # two encodings, the second attempt sees the same second in both.
    for _ in range(2):
        header = encoded(_EMPTY)
        data = encoded(events)
        if data.startswith(header):
            return memoryview(data)[len(header):]
    raise ValueError(f"format {name!r} cannot be written chunk by chunk: its header depends on the "
                     "events; load the file and use zelkit.save")
