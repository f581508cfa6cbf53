"""Writing a file of any length from a stream of event arrays."""

from __future__ import annotations

import io
import os
from collections.abc import Callable, Iterable
from typing import Any, BinaryIO

import numpy as np

from ._arrays import as_events
from ._dtype import EVENT_DTYPE, EventArray
from ._files import resolve_format
from ._paths import PathArg, fs_bytes
from . import _event_store
from ._atomic import atomic_output
from ._registry import FormatSpec

_EMPTY = np.zeros(0, dtype=EVENT_DTYPE)


def writes_sensor_size(path: PathArg, *, format: str | None = None) -> bool:
    """True when the format records a sensor size in its header (width/height options)."""
    spec = resolve_format(fs_bytes(path), format, writing=True)
    return {"width", "height"} <= spec.write_options


def fits_sensor_size(path: PathArg, *, format: str | None = None) -> bool:
    """True when the format's writer checks a given sensor size against
    the events once it has seen them all, and records what readers would
    infer instead when it does not hold them (.zel): it may be given a
    header's size unchecked."""
    return resolve_format(fs_bytes(path), format, writing=True).name == _event_store.FORMAT_NAME


def camera_time_limits(path: PathArg, *, format: str | None = None) -> tuple[int, int | None] | None:
    """The camera times the format holds, (first, every) as FormatSpec.time_limits
    says, or None when it records no camera clock (no t_base option)."""
    spec = resolve_format(fs_bytes(path), format, writing=True)
    return spec.time_limits if "t_base" in spec.write_options else None


def save_chunks(path: PathArg, chunks: Iterable[Any], *, format: str | None = None,
                width: int | None = None, height: int | None = None, rebase: int | None = None,
                fast: bool = False) -> int:
    """Write the events of every chunk, in order, as one file; return the event count.

    Memory holds one chunk and its encoding. ``width``/``height`` go to
    formats that record a sensor size, which need them given here, as their
    header is written before any event is seen. ``rebase`` (formats that
    record a camera clock, .dat and .raw) writes each event at its camera
    time minus ``rebase``: its chunk's ``t_base`` (which iter_load's
    ``t_offset="chunk"`` sets; 0 when the chunk has none) plus ``t``. With
    None, ``t`` is written as it is. Values the format cannot hold raise
    ValueError naming the event's index in the file. ``fast`` (.zel) is
    as for ``save``. The file appears only once complete.
    """
    raw = fs_bytes(path)
    spec = resolve_format(raw, format, writing=True)
    if spec.write is None:
        raise ValueError(f"format {spec.name!r} cannot be written")
    header_options: dict[str, Any] = {name: value for name, value in (("width", width), ("height", height))
                                      if value is not None and name in spec.write_options}
    if fast is not False:
        if "fast" not in spec.write_options:
            raise ValueError(f"format {spec.name!r} has no fast option (got fast={fast!r})")
        header_options["fast"] = fast
    clock = rebase is not None and "t_base" in spec.write_options
    total = 0
    with atomic_output(os.fsdecode(raw)) as out:
        if spec.open_writer is not None:
            write_chunk = spec.open_writer(out, **header_options)
        else:
            write_chunk = _header_dropping_writer(spec, out, header_options)
        for chunk in chunks:
            base = getattr(chunk, "t_base", None) or 0
            events = as_events(chunk)
            if events.size == 0:
                continue
            t_base = 0
            if clock:
                assert rebase is not None
                t_base = base - rebase
                if t_base < 0:
                    # The chunk's base lies before the rebase: its events
                    # may still lie after it, and are moved down to base 0.
                    events = _below_base(events, -t_base, base, rebase, total)
                    t_base = 0
            write_chunk(events, t_base)
            total += events.size
        finish = getattr(write_chunk, "finish", None)
        if finish is not None:
            finish()
    return total


def _below_base(events: EventArray, shift: int, base: int, rebase: int, total: int) -> EventArray:
    """The events with ``shift`` taken off their times; ValueError naming the
    first whose camera time (``base + t``) lies before ``rebase``."""
    early = np.flatnonzero(events["t"] < shift)
    if early.size:
        i = int(early[0])
        raise ValueError(f"event {total + i} has timestamp {base + int(events['t'][i])} us, before the {rebase} us "
                         "subtracted from every time")
    moved = events.copy()
    moved["t"] -= np.uint32(shift)
    return moved


def _header_dropping_writer(spec: FormatSpec, out: BinaryIO, options: dict[str, Any]) -> Callable[[EventArray, int], None]:
    """Chunks of a format without open_writer: each encoded as a whole file,
    its header (what the writer writes for no events) dropped after the first."""

    def encoded(events: np.ndarray) -> bytes:
        buffer = io.BytesIO()
        assert spec.write is not None
        spec.write(buffer, events, **options)
        return buffer.getvalue()

    out.write(encoded(_EMPTY))

    def write_chunk(events: EventArray, t_base: int) -> None:
        out.write(_records(encoded, events, spec.name))

    return write_chunk


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
