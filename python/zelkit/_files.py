"""load, iter_load and save over the format registry."""

from __future__ import annotations

import mmap as _mmap
import os
import stat
from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np

from . import _native
from ._arrays import as_events
from ._dtype import EVENT_DTYPE, EventArray, wrap_buffer
from ._paths import PathArg, fs_bytes, zel_os_error
from ._atomic import atomic_output
from .errors import FormatError
from ._registry import (
    EXTENSION_TABLE,
    LOAD_OPTIONS,
    WRITE_OPTIONS,
    FormatSpec,
    format_for_extension,
    get_format,
    readable_extensions,
    skips_bad_data,
)

_TABLE_FORMATS = {ext: name for ext, name, _ in EXTENSION_TABLE}
# Events read per step when cutting time windows; windows themselves may be larger.
_WINDOW_STEP = 1 << 16
_DEFAULT_CHUNK = 1 << 20


def _extension(path: bytes) -> str | None:
    ext = _native.path_extension(path)
    return None if ext is None else os.fsdecode(ext)


def _format_by_name(path: bytes) -> str:
    """The format the file name selects ("bin": the size decides), or
    OSError naming every extension zelkit reads, before anything is opened."""
    ext = _extension(path)
    if ext is not None:
        if ext in _TABLE_FORMATS:
            return _TABLE_FORMATS[ext]
        spec = format_for_extension(ext)
        if spec is not None:
            return spec.name
    raise OSError(_native.unknown_extension_message(path, readable_extensions()))


def _bin_format(path: bytes) -> str:
    try:
        size = os.stat(path).st_size
    except OSError as error:
        raise zel_os_error(error) from None
    return _native.bin_format(size)


def resolve_format(path: bytes, format: str | None, *, writing: bool = False) -> FormatSpec:
    """The format named, or the one the file name selects as zel would."""
    if format is not None:
        return get_format(format)
    name = _format_by_name(path)
    if name == "bin":
        name = "nmnist" if writing else _bin_format(path)
    return get_format(name)


def _given(values: dict[str, Any], defaults: dict[str, Any]) -> dict[str, Any]:
    """The options a caller set to something other than their default."""
    skips_bad_data(values.get("errors", "strict"))
    return {
        name: value
        for name, value in values.items()
        if not (value is defaults[name] or (defaults[name] is not None and value == defaults[name]))
    }


def format_options(spec: FormatSpec, given: dict[str, Any], *, writing: bool = False) -> dict[str, Any]:
    """``given`` for ``spec``'s reader (or writer); ValueError for an option it lacks."""
    accepted = spec.write_options if writing else spec.options
    for name, value in given.items():
        if name not in accepted:
            raise ValueError(f"format {spec.name!r} has no {name} option (got {name}={value!r})")
    return given


def _map_compact(path: bytes) -> EventArray | None:
    """A read-only mapping of a compact file, or None when it cannot be mapped."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except OSError as error:
        raise zel_os_error(error) from None
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise zel_os_error(IsADirectoryError(21, os.strerror(21)))
        if not stat.S_ISREG(info.st_mode):
            return None
        if info.st_size % 9 != 0:
            # As the reader reports it: zel's text, at the partial record.
            raise FormatError(f"Compact binary file size {info.st_size} is not a multiple of 9",
                              info.st_size - info.st_size % 9)
        if info.st_size == 0:
            return np.empty(0, dtype=EVENT_DTYPE)
        mapping = _mmap.mmap(fd, info.st_size, access=_mmap.ACCESS_READ)
    finally:
        os.close(fd)
    return np.frombuffer(mapping, dtype=EVENT_DTYPE)


def load(
    path: PathArg,
    format: str | None = None,
    *,
    mmap: bool = False,
    errors: str = "strict",
    t_offset: int | str | None = None,
    threads: int | None = None,
) -> EventArray:
    """All events of a file as an ``EVENT_DTYPE`` array, in file order.

    ``format=None`` picks the reader by extension as ``zel.load_events``
    does, and zelkit's formats add theirs: ``.dat`` (Prophesee DAT),
    ``.raw`` (Prophesee EVT 2.0 or 3.0), ``.aedat4`` (iniVation AEDAT 4)
    and any registered format's. An extension none of them claims raises
    ``OSError`` listing every extension zelkit reads; a file that cannot be
    read raises ``OSError`` with zel's text; malformed data raises
    :class:`zelkit.FormatError` (an ``OSError`` and a ``ValueError``) with
    zel's text as its ``reason`` and the byte offset of the fault.
    ``format`` forces a reader: "evb", "nmnist", "aedat2", "csv", "dat",
    "raw", "aedat4" or any registered name. ``mmap=True`` maps a compact
    file read-only instead of reading it (other formats raise
    ``ValueError``).

    Camera formats also take ``errors="skip"`` (drop bad words, count them
    and warn with :class:`SkippedDataWarning`, instead of raising
    ``FormatError``) and ``t_offset`` (``None``, an int or ``"first"``:
    microseconds subtracted from their 64-bit times; a time that still does
    not fit 32 bits raises ``ValueError`` naming the event). Formats without
    an option raise ``ValueError`` when it is given.

    ``.zel`` files of events (written by ``save``, or ``write``/``encode``
    with ``codec="lossless"``) load as exactly the array written; they take
    ``t_offset`` as camera formats do and ``threads`` (blocks decoded in
    parallel; default: every core this process may use).
    """
    raw = fs_bytes(path)
    given = _given({"errors": errors, "t_offset": t_offset, "threads": threads}, LOAD_OPTIONS)
    if format is None and not given and not mmap and _format_by_name(raw) == "bin":
        # One read serves the size rule and the decoding, as in zel.
        return wrap_buffer(_native.load(raw, "bin"))
    spec = resolve_format(raw, format)
    options = format_options(spec, given)
    if mmap:
        if spec.name != "evb":
            raise ValueError(f"mmap=True maps compact (.evb) records only, not {spec.name!r} files")
        mapped = _map_compact(raw)
        if mapped is not None:
            return mapped
    return spec.load(raw, **options)


def time_windows(chunks: Iterable[EventArray], window_us: int) -> Iterator[EventArray]:
    """Cut a stream into windows [t0 + k*w, t0 + (k+1)*w), t0 the first event's t.

    Windows follow file order: an event outside the current window closes it
    and opens the window that holds the event. Windows beyond the furthest
    one reached so far that are skipped over are yielded empty, so the k-th
    array of a sorted file is window k; a step back in time opens its window
    without empty ones, and no window is ever yielded empty twice.
    """
    origin: int | None = None
    current = furthest = 0
    pending: list[EventArray] = []
    for chunk in chunks:
        # A window may join chunks, so what a chunk carries about itself
        # (a camera chunk's t_base and skipped) does not describe it.
        chunk = chunk.view(np.ndarray)
        if origin is None:
            origin = int(chunk["t"][0])
        index = (chunk["t"].astype(np.int64) - origin) // window_us
        cuts = np.flatnonzero(index[1:] != index[:-1]) + 1
        starts = [0, *cuts.tolist()]
        ends = [*cuts.tolist(), len(chunk)]
        for start, end in zip(starts, ends):
            k = int(index[start])
            if k != current:
                yield _joined(pending)
                pending = []
                for _ in range(furthest + 1, k):
                    yield np.empty(0, dtype=EVENT_DTYPE)
                current, furthest = k, max(furthest, k)
            pending.append(chunk[start:end])
    if pending:
        yield _joined(pending)


def _joined(pieces: list[EventArray]) -> EventArray:
    if len(pieces) == 1:
        return pieces[0]
    return np.concatenate(pieces) if pieces else np.empty(0, dtype=EVENT_DTYPE)


def iter_load(
    path: PathArg,
    *,
    chunk_events: int | None = None,
    window_us: int | None = None,
    format: str | None = None,
    errors: str = "strict",
    t_offset: int | str | None = None,
    threads: int | None = None,
) -> Iterator[EventArray]:
    """The events of a file as a sequence of arrays, holding one at a time.

    By count (``chunk_events``, default 2**20: every array but the last
    holds exactly that many) or by time (``window_us``: see ``time_windows``).
    Give at most one of the two. Memory stays within one array plus a fixed
    read buffer (for CSV, plus its longest line). A missing or unreadable
    file fails at the call with zel's ``OSError``; malformed data raises
    ``zelkit.FormatError`` with the byte offset when its chunk is reached,
    after the good chunks before it.

    ``errors`` and ``t_offset`` are passed to the format as for :func:`load`;
    camera formats also take ``t_offset="chunk"`` with ``chunk_events``:
    each chunk is rebased to its own first event and carries the value
    subtracted as ``chunk.t_base`` (and the bad words dropped in it as
    ``chunk.skipped``), so recordings of any length read in chunks; a chunk
    then also ends early where the next event lies 2**32 us or more past
    its ``t_base``. Every chunk of a camera file carries ``t_base`` (None
    when nothing is subtracted). Windows
    need one time origin: ``"first"`` rebases the whole file, which must
    then span under 2**32 us.

    An event store (``.zel``) is decoded ``threads`` blocks at a time (every
    core by default), and with more than one thread the next batch is
    decoded while the caller uses this one: memory then also holds two
    batches of blocks (a block of the default size holds 2**20 events, 9 MiB).
    """
    if chunk_events is not None and window_us is not None:
        raise ValueError("give chunk_events or window_us, not both")
    for name, value in (("chunk_events", chunk_events), ("window_us", window_us)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value <= 0):
            raise ValueError(f"{name} must be a positive int, got {value!r}")
    if window_us is not None and isinstance(t_offset, str) and t_offset == "chunk":
        raise ValueError("t_offset='chunk' gives every chunk its own origin; windows need one: use 'first' or an int")
    raw = fs_bytes(path)
    given = _given({"errors": errors, "t_offset": t_offset, "threads": threads}, LOAD_OPTIONS)
    spec = resolve_format(raw, format)
    options = format_options(spec, given)
    if window_us is None:
        return spec.iter_chunks(raw, chunk_events or _DEFAULT_CHUNK, **options)
    return time_windows(spec.iter_chunks(raw, _WINDOW_STEP, **options), window_us)


def save(
    path: PathArg,
    events: Any,
    format: str | None = None,
    *,
    width: int | None = None,
    height: int | None = None,
    t_base: int | None = None,
    fast: bool = False,
) -> None:
    """Write events to a file that zelkit reads back as the same events.

    ``format=None`` goes by the extension: .evb compact, .bin N-MNIST,
    .aedat AEDAT2, .csv/.txt CSV, or a registered format's (.dat Prophesee
    DAT, .raw Prophesee EVT 2.0). Values the format cannot hold raise
    ``ValueError`` naming the field, the first bad index and the limit. The
    file is written under a temporary name in the same folder and renamed
    into place, so on any failure (or interruption) the target is left as it
    was.

    ``width`` and ``height`` are the sensor size for formats whose header
    records one (.dat, .raw, .zel; default: the largest coordinate plus
    one), e.g. ``zelkit.info(source).width`` to keep a recording's; .dat
    and .raw refuse events outside it, .zel records it only when it holds
    every event (else the events' extent). ``t_base`` (.dat, .raw, .zel)
    writes each event at camera time ``t_base + t``, e.g. a chunk's
    ``t_base`` from ``iter_load(..., t_offset="chunk")`` to keep a
    recording's 64-bit clock; a DAT file holds times below 2**32 us, an EVT
    2.0 file starts below 2**34 us. Other formats raise ``ValueError`` when
    these are given.

    ``fast=True`` (.zel only) stores the events in fast blocks: about a
    fifth to a third larger than the default blocks, still smaller than
    ``xz -9`` of the records, and several times as fast to write and to
    read. Either kind reads back exactly; readers tell them apart.
    """
    raw = fs_bytes(path)
    spec = resolve_format(raw, format, writing=True)
    if spec.write is None:
        raise ValueError(f"format {spec.name!r} cannot be written")
    given = _given({"width": width, "height": height, "t_base": t_base, "fast": fast}, WRITE_OPTIONS)
    options = format_options(spec, given, writing=True)
    array = as_events(events)
    with atomic_output(raw) as file:
        spec.write(file, array, **options)
