"""What a file holds, read in bounded memory."""

from __future__ import annotations

from dataclasses import dataclass

from . import _native
from ._files import _given, format_options, resolve_format
from ._paths import PathArg, fs_bytes
from ._registry import LOAD_OPTIONS

_STEP = 1 << 20


@dataclass(frozen=True)
class FileInfo:
    """Summary of one event file, as ``zelkit.info`` reports it."""

    format: str
    n_events: int
    #: Sensor size from the file's header when it has one (size_from_header),
    #: otherwise the largest coordinate plus one (0 for no events).
    width: int
    height: int
    size_from_header: bool
    #: Timestamps of the first and last events in file order (None if empty),
    #: in the file's own clock: for camera formats, 64-bit microseconds.
    t_first: int | None
    t_last: int | None
    #: Largest minus smallest timestamp, as zel.event_stats computes it.
    duration_us: int
    #: Events per second over duration_us; None when the duration is 0.
    event_rate: float | None
    #: True when timestamps never decrease in file order.
    time_ordered: bool


@dataclass(frozen=True)
class Outline:
    """What a read needs to know of a file before it starts: FileInfo's
    fields without the last time, and its order only where that is known
    without reading every event."""

    format: str
    n_events: int
    width: int
    height: int
    size_from_header: bool
    t_first: int | None
    duration_us: int
    #: None when only a pass over every event could tell.
    time_ordered: bool | None

    @classmethod
    def of(cls, described: FileInfo) -> Outline:
        return cls(described.format, described.n_events, described.width, described.height,
                   described.size_from_header, described.t_first, described.duration_us, described.time_ordered)


def sensor_grid(header_size: tuple[int, int] | None, n_events: int, x_max: int,
                y_max: int) -> tuple[int, int, bool]:
    """(width, height, from the header) of a file whose header declares
    ``header_size`` (or None) and whose events reach ``x_max``, ``y_max``."""
    if header_size is not None and n_events and (x_max >= header_size[0] or y_max >= header_size[1]):
        # A size inferred from a sensor's name, or an AEDAT2 chip line, can
        # be wrong; a grid that does not hold the events is no sensor size.
        header_size = None
    if header_size is not None:
        return header_size[0], header_size[1], True
    if n_events:
        return x_max + 1, y_max + 1, False
    return 0, 0, False


def info(path: PathArg, format: str | None = None, *, errors: str = "strict") -> FileInfo:
    """Format, size, time span and order of an event file, reading it chunk by chunk.

    The size is the header's when the file declares one that holds every
    event: pass ``info(path).width`` and ``.height`` to zelkit.encode or
    write to compress a recording on its sensor's grid. ``errors="skip"``
    reads past bad words in formats that can (see :func:`zelkit.load`).
    """
    given = _given({"errors": errors}, LOAD_OPTIONS)
    raw = fs_bytes(path)
    spec = resolve_format(raw, format)
    options = format_options(spec, given)
    if "t_offset" in spec.options:
        # Each chunk rebased to itself, with its origin on the chunk, so
        # recordings longer than the 32-bit field are summarised whole.
        options["t_offset"] = "chunk"
    header_size = spec.probe_size(raw) if spec.probe_size is not None else None
    n = 0
    x_max = y_max = 0
    t_min = t_max = 0
    t_first: int | None = None
    t_last: int | None = None
    ordered = True
    for chunk in spec.iter_chunks(raw, _STEP, **options):
        summary = _native.summarize(chunk)
        if summary is None:
            continue
        base = getattr(chunk, "t_base", None) or 0
        ct_min, ct_max = summary.t_min + base, summary.t_max + base
        ct_first, ct_last = summary.t_first + base, summary.t_last + base
        if t_first is None:
            t_first, t_min, t_max = ct_first, ct_min, ct_max
        ordered = ordered and summary.time_ordered and (t_last is None or ct_first >= t_last)
        n += summary.n_events
        x_max, y_max = max(x_max, summary.x_max), max(y_max, summary.y_max)
        t_min, t_max = min(t_min, ct_min), max(t_max, ct_max)
        t_last = ct_last
    width, height, from_header = sensor_grid(header_size, n, x_max, y_max)
    duration = t_max - t_min
    return FileInfo(
        format=spec.name,
        n_events=n,
        width=width,
        height=height,
        size_from_header=from_header,
        t_first=t_first,
        t_last=t_last,
        duration_us=duration,
        event_rate=n / (duration / 1e6) if duration > 0 else None,
        time_ordered=ordered,
    )
