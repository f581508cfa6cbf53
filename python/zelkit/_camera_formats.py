"""The camera formats, registered as zelkit formats: "dat" (Prophesee DAT,
``.dat``), "raw" (Prophesee RAW, ``.raw``, EVT 2.0 or EVT 3.0 as its header
says) and "aedat4" (iniVation AEDAT 4, ``.aedat4``). zelkit.load, iter_load,
info and save reach them through the format registry; this module only
supplies the FormatSpec's functions, each a call into the native readers and
writers (``_native.load_camera_file``, ``CameraReader``, ``CameraWriter``).

Cameras count time in 64-bit microseconds; event arrays hold 32 bits, which
cover 71.6 minutes. Nothing wraps silently: a timestamp that does not fit
raises ``ValueError`` naming the event index and its value. The ``t_offset``
option chooses what is subtracted first: ``None`` (nothing), an ``int``,
``"first"`` (the first event's time) or, when iterating, ``"chunk"`` (each
chunk's first time, kept on the chunk as ``t_base``) so any length reads.

Malformed input raises :class:`zelkit.FormatError` with the byte offset.
``errors="skip"`` drops bad words, records or packets instead, counts them
(``skipped`` on each chunk) and warns once per file with the total.
"""

from __future__ import annotations

import datetime
import os
import sys
import warnings
from collections.abc import Callable, Iterator
from typing import Any, BinaryIO

import numpy as np

from . import _native
from ._dtype import EventArray, wrap_buffer
from ._registry import EXTENSION_TABLE, FormatSpec, register_format, skips_bad_data

_UINT64_LIMIT = 1 << 64


class SkippedDataWarning(UserWarning):
    """errors="skip" dropped bad words, records or packets of a camera file."""


class EventChunk(np.ndarray):
    """An EVENT_DTYPE array that zelkit.iter_load yields in chunks of a camera
    file, carrying ``t_base`` (the microseconds subtracted from its ``t``,
    None when nothing was) and ``skipped`` (bad words dropped while decoding
    it; bad data after a file's last event is counted only by the
    warning). Time windows are plain arrays: a window may join several
    chunks."""

    t_base: int | None
    skipped: int

    def __array_finalize__(self, obj: Any) -> None:
        self.t_base = getattr(obj, "t_base", None)
        self.skipped = getattr(obj, "skipped", 0)


def _chunk(records: np.ndarray, t_base: int | None, skipped: int) -> EventChunk:
    chunk = records.view(EventChunk)
    chunk.t_base = t_base
    chunk.skipped = skipped
    return chunk


def _unsigned_64(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < _UINT64_LIMIT:
        raise ValueError(f"{name} must be a non-negative 64-bit integer, not {value!r}")
    return value


def _time_mode(t_offset: Any, *, allow_chunk: bool) -> tuple[str, int]:
    if t_offset is None:
        return "absolute", 0
    if isinstance(t_offset, str):
        if t_offset == "first" or (t_offset == "chunk" and allow_chunk):
            return t_offset, 0
        allowed = "None, an int, 'first' or 'chunk'" if allow_chunk else "None, an int or 'first' (load has no chunks)"
        raise ValueError(f"t_offset must be {allowed}, not {t_offset!r}")
    return "offset", _unsigned_64("t_offset", t_offset)


def _read_options(errors: str, t_offset: Any, *, allow_chunk: bool) -> dict[str, Any]:
    mode, offset = _time_mode(t_offset, allow_chunk=allow_chunk)
    return {"skip": skips_bad_data(errors), "time_mode": mode, "time_offset": offset}


def _caller_level() -> int:
    """warnings.warn's stacklevel of the first frame outside zelkit, so the
    warning points at the user's call however deep the package nests."""
    package = os.path.dirname(os.path.abspath(__file__))
    frame: Any = sys._getframe(1)
    level = 1
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == package:
        frame, level = frame.f_back, level + 1
    return level


def _warn_skipped(path: bytes, count: int) -> None:
    if count:
        warnings.warn(
            f"{os.fsdecode(path)}: skipped {count} bad word(s), record(s) or packet(s)",
            SkippedDataWarning,
            stacklevel=_caller_level(),
        )


# -------------------------------------------------------------- reading


def _probe_size(fmt: str) -> Callable[[bytes], tuple[int, int] | None]:
    def probe_size(path: bytes) -> tuple[int, int] | None:
        reader = _native.CameraReader(path, fmt)
        try:
            return reader.sensor
        finally:
            reader.close()

    return probe_size


def _loader(fmt: str) -> Callable[..., EventArray]:
    def load(path: bytes, *, errors: str = "strict", t_offset: Any = None) -> EventArray:
        options = _read_options(errors, t_offset, allow_chunk=False)
        records, skipped = _native.load_camera_file(path, fmt, **options)
        _warn_skipped(path, skipped)
        return wrap_buffer(records)

    return load


def _chunk_reader(fmt: str) -> Callable[..., Iterator[EventChunk]]:
    def iter_chunks(path: bytes, max_events: int, *, errors: str = "strict", t_offset: Any = None) -> Iterator[EventChunk]:
        options = _read_options(errors, t_offset, allow_chunk=True)
        # Opened here, so a missing file or a broken header fails at the call.
        reader = _native.CameraReader(path, fmt, **options)
        return _chunks(reader, path, max_events, options["time_mode"])

    return iter_chunks


def _chunks(reader: Any, path: bytes, max_events: int, time_mode: str) -> Iterator[EventChunk]:
    try:
        while True:
            if time_mode == "chunk":
                reader.start_batch()
            skipped = reader.bad_words
            records = reader.read(max_events)
            if not len(records):
                break
            t_base = None if time_mode == "absolute" else reader.batch_origin
            yield _chunk(wrap_buffer(records), t_base, reader.bad_words - skipped)
        skipped = reader.bad_words
    finally:
        reader.close()
    _warn_skipped(path, skipped)


# -------------------------------------------------------------- writing


def _side(name: str, given: Any) -> int:
    if isinstance(given, bool) or not isinstance(given, int) or not 0 < given < 2**32:
        raise ValueError(f"{name} must be a positive int, not {given!r}")
    return given


def _extent(coordinates: np.ndarray) -> int:
    """The side that holds every coordinate: the largest plus one (1 for none)."""
    return int(coordinates.max()) + 1 if len(coordinates) else 1


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def _open_writer(encoding: str) -> Callable[..., Callable[[EventArray, int], None]]:
    def open_writer(file: BinaryIO, *, width: int | None = None, height: int | None = None) -> Callable[[EventArray, int], None]:
        if width is None or height is None:
            raise ValueError("a camera file written chunk by chunk needs width and height: its header states them")
        writer = _native.CameraWriter(encoding, width=_side("width", width), height=_side("height", height))
        file.write(writer.header(_now()))

        def write_chunk(events: EventArray, t_base: int = 0) -> None:
            file.write(writer.write(events, _unsigned_64("t_base", t_base)))

        return write_chunk

    return open_writer


def _writer(encoding: str) -> Callable[..., None]:
    def write(file: BinaryIO, events: EventArray, *, width: int | None = None, height: int | None = None,
              t_base: int | None = None) -> None:
        w = _extent(events["x"]) if width is None else width
        h = _extent(events["y"]) if height is None else height
        _open_writer(encoding)(file, width=w, height=h)(events, 0 if t_base is None else t_base)

    return write


_WRITERS = {"dat": ("dat", (_native.DAT_TIME_LIMIT, _native.DAT_TIME_LIMIT)),
            "raw": ("evt2", (_native.EVT2_FIRST_TIME_LIMIT, None))}

for _ext, _name, _zel in EXTENSION_TABLE:
    if _zel or _name == "zel":  # zel's formats, and the event store (_event_store.py)
        continue
    _encoding, _limits = _WRITERS.get(_name, (None, None))
    register_format(
        FormatSpec(
            name=_name,
            extensions=(_ext,),
            load=_loader(_name),
            iter_chunks=_chunk_reader(_name),
            write=None if _encoding is None else _writer(_encoding),
            open_writer=None if _encoding is None else _open_writer(_encoding),
            probe_size=_probe_size(_name),
            options=frozenset({"errors", "t_offset"}),
            write_options=frozenset() if _encoding is None else frozenset({"width", "height", "t_base"}),
            time_limits=_limits,
        )
    )
