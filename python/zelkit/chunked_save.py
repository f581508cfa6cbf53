"""Writing a file of any length from a stream of event arrays."""

from __future__ import annotations

import io
import os
from collections.abc import Iterable
from typing import Any

from ._arrays import as_events
from ._dtype import EVENT_DTYPE
from ._files import resolve_format
from ._paths import PathArg, fs_bytes
from .atomic import atomic_output

import numpy as np


def save_chunks(path: PathArg, chunks: Iterable[Any], format: str | None = None) -> int:
    """Write the events of every chunk, in order, as one file; return the event count.

    Memory holds one chunk and its encoding. A format's writer produces a
    whole file (header, then records) for any array, so the header is what it
    writes for no events; each later chunk's output must start with that same
    header, which is dropped. A format whose header depends on the events
    cannot be streamed this way and is refused with ValueError, as are values
    the format cannot hold (the index in that message counts from the start
    of the chunk). The file appears only once complete.
    """
    raw = fs_bytes(path)
    spec = resolve_format(raw, format, writing=True)
    if spec.write is None:
        raise ValueError(f"format {spec.name!r} cannot be written")
    header = _encoded(spec.write, np.zeros(0, dtype=EVENT_DTYPE))
    total = 0
    with atomic_output(os.fsdecode(raw)) as out:
        out.write(header)
        for chunk in chunks:
            events = as_events(chunk)
            if events.size == 0:
                continue
            data = _encoded(spec.write, events)
            if not data.startswith(header):
                raise ValueError(f"format {spec.name!r} cannot be written chunk by chunk: its header "
                                 "depends on the events; load the file and use zelkit.save")
            out.write(memoryview(data)[len(header):])
            total += events.size
    return total


def _encoded(write: Any, events: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    write(buffer, events)
    return buffer.getvalue()
