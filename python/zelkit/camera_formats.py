"""Today's camera formats as event arrays: Prophesee DAT, Prophesee RAW (EVT 2.0
and EVT 3.0, told apart by the header) and iniVation AEDAT 4.

Cameras count time in 64-bit microseconds; event arrays hold 32 bits, which
cover 71.6 minutes. Nothing wraps silently: a timestamp that does not fit
raises ``ValueError`` naming the event index and its value. ``t_offset``
chooses what is subtracted first: ``None`` (nothing), an ``int``, ``"first"``
(the first event's time) or, for :func:`iter_camera`, ``"chunk"`` (each chunk's
first time, kept on the chunk as ``t_base``) so any length reads in windows.

Malformed input raises :class:`zelkit.FormatError` with the byte offset.
``errors="skip"`` drops bad words, records or packets instead, counts them
(``skipped`` on each chunk) and warns once with the total.
"""

from __future__ import annotations

import datetime
import os
import tempfile
import warnings
from collections.abc import Iterator
from typing import Any, BinaryIO, Literal, Union

import numpy as np

from . import _native
from .errors import FormatError

__all__ = [
    "CAMERA_FORMATS",
    "EventChunk",
    "SkippedDataWarning",
    "camera_info",
    "iter_camera",
    "load_camera",
    "save_dat",
    "save_evt2",
]

EVENT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])

#: Format names and the file extensions that select them.
CAMERA_FORMATS = {"dat": (".dat",), "raw": (".raw",), "aedat4": (".aedat4",)}

TimeOffset = Union[None, int, Literal["first", "chunk"]]
Errors = Literal["strict", "skip"]

_BLOCK_BYTES = 1 << 22
_HEADER_PREFIX_BYTES = (1 << 20) + 2
_AEDAT4_PREAMBLE_BYTES = 18
# Decompressed packets beyond this are refused; real ones are tens of KB.
_MAX_PACKET_OUTPUT = 256 << 20
_DECOMPRESS_STEP = 1 << 20
_AEDAT4_SIDE_LIMIT = 32768  # coordinates are int16


class SkippedDataWarning(UserWarning):
    """errors="skip" dropped bad words, records or packets."""


class EventChunk(np.ndarray):
    """An EVENT_DTYPE array from :func:`iter_camera`, carrying ``t_base`` (the
    microseconds subtracted from its ``t``, None when nothing was) and
    ``skipped`` (bad words dropped while decoding it)."""

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


def _format_of(path: str | bytes | os.PathLike[Any], format: str | None) -> str:
    if format is not None:
        if format not in CAMERA_FORMATS:
            raise ValueError(f"unknown camera format {format!r}; expected one of {sorted(CAMERA_FORMATS)}")
        return format
    name = os.fsdecode(os.fspath(path)).lower()
    for fmt, extensions in CAMERA_FORMATS.items():
        if name.endswith(extensions):
            return fmt
    raise ValueError(f"no camera format for the extension of {os.fsdecode(os.fspath(path))!r}")


def _time_mode(t_offset: TimeOffset, *, allow_chunk: bool) -> tuple[str, int]:
    if t_offset is None:
        return "absolute", 0
    if isinstance(t_offset, str):
        if t_offset == "first" or (t_offset == "chunk" and allow_chunk):
            return t_offset, 0
        allowed = "None, an int, 'first' or 'chunk'" if allow_chunk else "None, an int or 'first'"
        raise ValueError(f"t_offset must be {allowed}, not {t_offset!r}")
    if isinstance(t_offset, bool) or not isinstance(t_offset, int) or not 0 <= t_offset < 2**64:
        raise ValueError(f"t_offset must be a non-negative 64-bit integer, not {t_offset!r}")
    return "offset", t_offset


def _check_errors(errors: str) -> bool:
    if errors not in ("strict", "skip"):
        raise ValueError(f"errors must be 'strict' or 'skip', not {errors!r}")
    return errors == "skip"


def _warn_skipped(path: Any, count: int) -> None:
    if count:
        warnings.warn(
            f"{os.fsdecode(os.fspath(path))}: skipped {count} bad word(s), record(s) or packet(s)",
            SkippedDataWarning,
            stacklevel=3,
        )


# ------------------------------------------------------------ Prophesee


def _prophesee_header(fmt: str, prefix: bytes) -> dict[str, Any]:
    return _native.dat_header(prefix) if fmt == "dat" else _native.raw_header(prefix)


def _prophesee_decoder(header: dict[str, Any], skip: bool, mode: str, offset: int) -> Any:
    # Only a stated geometry bounds coordinates; one inferred from the sensor
    # name is reported but could be wrong for an unknown camera.
    stated = header["geometry_source"] == "header"
    side = 16384 if header["encoding"] == "dat" else 2048
    return _native.PropheseeDecoder(
        header["encoding"],
        header["data_offset"],
        header["width"] if stated else side,
        header["height"] if stated else side,
        skip,
        mode,
        offset,
    )


# --------------------------------------------------------------- AEDAT 4


def _decompress(kind: str, data: bytes | memoryview, offset: int) -> bytes | memoryview:
    """Decompresses one packet in bounded steps, so a size claimed by the
    frame header never decides an allocation."""
    if kind == "none":
        return data
    parts: list[bytes] = []
    total = 0
    try:
        if kind == "lz4":
            import lz4.frame

            d = lz4.frame.LZ4FrameDecompressor()
            piece = d.decompress(data, max_length=_DECOMPRESS_STEP)
            while True:
                parts.append(piece)
                total += len(piece)
                if total > _MAX_PACKET_OUTPUT:
                    raise FormatError(f"packet decompresses to more than {_MAX_PACKET_OUTPUT} bytes", offset)
                if d.eof or d.needs_input:
                    break
                piece = d.decompress(b"", max_length=_DECOMPRESS_STEP)
            if not d.eof:
                raise FormatError("LZ4 packet is truncated", offset)
        else:
            import zstandard

            with zstandard.ZstdDecompressor().stream_reader(bytes(data), read_across_frames=False) as r:
                while piece := r.read(_DECOMPRESS_STEP):
                    parts.append(piece)
                    total += len(piece)
                    if total > _MAX_PACKET_OUTPUT:
                        raise FormatError(f"packet decompresses to more than {_MAX_PACKET_OUTPUT} bytes", offset)
    except FormatError:
        raise
    except Exception as exc:  # the libraries raise their own types for corrupt data
        raise FormatError(f"{kind} packet does not decompress: {exc}", offset) from None
    return b"".join(parts)


class _Aedat4File:
    """Walks the packets of an open AEDAT 4 file."""

    def __init__(self, f: BinaryIO, skip: bool, mode: str, t_offset: int) -> None:
        self.f = f
        size = os.fstat(f.fileno()).st_size
        end = _native.aedat4_header_end(f.read(_AEDAT4_PREAMBLE_BYTES), size)
        f.seek(0)
        self.header = _native.aedat4_header(f.read(end), size)
        events = [s for s in self.header["streams"] if s["type"] == "EVTS"]
        self.event_ids = {s["id"] for s in events}
        width = events[0]["width"] if events else None
        height = events[0]["height"] if events else None
        stated = width is not None and height is not None
        self.decoder = _native.Aedat4Decoder(
            width if stated else _AEDAT4_SIDE_LIMIT,
            height if stated else _AEDAT4_SIDE_LIMIT,
            skip,
            mode,
            t_offset,
        )
        self.pos = self.header["packets_begin"]
        self.end = self.header["packets_end"]

    def decode_next(self) -> bool:
        """Decodes the next packet into the decoder's buffer; False at the end."""
        if self.pos >= self.end:
            return False
        self.f.seek(self.pos)
        head = self.f.read(8)
        try:
            stream_id, size = _native.aedat4_packet(head, self.pos, self.end)
        except FormatError as exc:
            # Nothing after a broken packet header can be found again.
            self.decoder.reject(exc.offset, str(exc.args[0]).split(" (at byte offset")[0])
            self.pos = self.end
            return False
        offset = self.pos
        self.pos += 8 + size
        if stream_id not in self.event_ids:
            return True
        payload = self.f.read(size)
        if len(payload) != size:
            self.decoder.reject(offset, "file shrank while it was read")
            self.pos = self.end
            return False
        try:
            data = _decompress(self.header["compression"], payload, offset)
        except FormatError as exc:
            self.decoder.reject(offset, str(exc.args[0]).split(" (at byte offset")[0])
            return True
        self.decoder.decode_packet(data, offset)
        return True


# -------------------------------------------------------------- public API


def camera_info(path: str | bytes | os.PathLike[Any], format: str | None = None) -> dict[str, Any]:
    """Header facts of a camera file: format, encoding, width and height
    (None when the file does not say), where the geometry came from, and the
    header's own fields (AEDAT 4: its streams and compression)."""
    fmt = _format_of(path, format)
    with open(path, "rb") as f:
        if fmt == "aedat4":
            header = _Aedat4File(f, False, "absolute", 0).header
            events = [s for s in header["streams"] if s["type"] == "EVTS"]
            return {
                "format": "aedat4",
                "width": events[0]["width"] if events else None,
                "height": events[0]["height"] if events else None,
                "compression": header["compression"],
                "streams": header["streams"],
            }
        header = _prophesee_header(fmt, f.read(_HEADER_PREFIX_BYTES))
    return {
        "format": fmt,
        "encoding": header["encoding"],
        "width": header["width"],
        "height": header["height"],
        "geometry_source": header["geometry_source"],
        "fields": header["fields"],
        "data_offset": header["data_offset"],
    }


def load_camera(
    path: str | bytes | os.PathLike[Any],
    format: str | None = None,
    *,
    errors: Errors = "strict",
    t_offset: TimeOffset = None,
) -> np.ndarray:
    """All events of a DAT, RAW (EVT 2.0/3.0) or AEDAT 4 file as an
    EVENT_DTYPE array, in file order."""
    fmt = _format_of(path, format)
    skip = _check_errors(errors)
    mode, offset = _time_mode(t_offset, allow_chunk=False)
    with open(path, "rb") as f:
        if fmt == "aedat4":
            reader = _Aedat4File(f, skip, mode, offset)
            while reader.decode_next():
                pass
            records = np.frombuffer(reader.decoder.take(), dtype=EVENT_DTYPE)
            bad = reader.decoder.bad_words
        else:
            data = f.read()
            header = _prophesee_header(fmt, data[:_HEADER_PREFIX_BYTES])
            decoder = _prophesee_decoder(header, skip, mode, offset)
            records = np.frombuffer(decoder.decode_all(memoryview(data)[header["data_offset"] :]), dtype=EVENT_DTYPE)
            bad = decoder.bad_words
    _warn_skipped(path, bad)
    return records


def iter_camera(
    path: str | bytes | os.PathLike[Any],
    format: str | None = None,
    *,
    chunk_events: int = 1 << 20,
    errors: Errors = "strict",
    t_offset: TimeOffset = None,
) -> Iterator[EventChunk]:
    """Events of a camera file in chunks of ``chunk_events`` (the last may be
    shorter), reading the file piece by piece: memory stays near one chunk
    plus a 4 MiB read buffer. AEDAT 4 chunks with ``t_offset="chunk"`` end at
    packet boundaries, so they hold at least ``chunk_events`` events."""
    if isinstance(chunk_events, bool) or not isinstance(chunk_events, int) or chunk_events <= 0:
        raise ValueError(f"chunk_events must be a positive int, not {chunk_events!r}")
    fmt = _format_of(path, format)
    skip = _check_errors(errors)
    mode, offset = _time_mode(t_offset, allow_chunk=True)
    if fmt == "aedat4":
        yield from _iter_aedat4(path, chunk_events, skip, mode, offset)
    else:
        yield from _iter_prophesee(path, fmt, chunk_events, skip, mode, offset)


def _iter_prophesee(path: Any, fmt: str, chunk_events: int, skip: bool, mode: str, offset: int) -> Iterator[EventChunk]:
    with open(path, "rb") as f:
        header = _prophesee_header(fmt, f.read(_HEADER_PREFIX_BYTES))
        decoder = _prophesee_decoder(header, skip, mode, offset)
        f.seek(header["data_offset"])
        block = memoryview(b"")
        at_end = False
        while True:
            decoder.start_batch()
            skipped_before = decoder.bad_words
            out = np.empty(chunk_events, dtype=EVENT_DTYPE)
            raw = out.view(np.uint8)
            filled = 0
            while filled < chunk_events:
                if not block and not decoder.has_pending_output:
                    if at_end:
                        break
                    block = memoryview(f.read(_BLOCK_BYTES))
                    if not block:
                        decoder.finish()
                        at_end = True
                        break
                consumed, written = decoder.decode_into(block, raw[filled * 9 :])
                block = block[consumed:]
                filled += written
            if filled:
                yield _chunk(out[:filled], decoder.batch_origin, decoder.bad_words - skipped_before)
            if at_end and not decoder.has_pending_output:
                break
    _warn_skipped(path, decoder.bad_words)


def _iter_aedat4(path: Any, chunk_events: int, skip: bool, mode: str, offset: int) -> Iterator[EventChunk]:
    with open(path, "rb") as f:
        reader = _Aedat4File(f, skip, mode, offset)
        decoder = reader.decoder
        leftover = np.empty(0, dtype=EVENT_DTYPE)
        more = True
        while more:
            decoder.start_batch()
            skipped_before = decoder.bad_words
            while decoder.buffered + len(leftover) < chunk_events and (more := reader.decode_next()):
                pass
            records = np.frombuffer(decoder.take(), dtype=EVENT_DTYPE)
            skipped = decoder.bad_words - skipped_before
            if mode == "chunk":
                if len(records):
                    yield _chunk(records, decoder.batch_origin, skipped)
                continue
            if len(leftover):
                records = np.concatenate([leftover, records])
            start = 0
            while len(records) - start >= chunk_events or (not more and start < len(records)):
                piece = records[start : start + chunk_events]
                yield _chunk(piece, decoder.batch_origin if mode != "absolute" else None, skipped)
                skipped = 0
                start += len(piece)
            leftover = records[start:].copy()
    _warn_skipped(path, decoder.bad_words)


def _write_atomically(path: Any, data: Any) -> None:
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    fd, temp = tempfile.mkstemp(dir=folder, prefix=".zelkit-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def _prepare(events: np.ndarray, width: int | None, height: int | None) -> tuple[np.ndarray, int, int]:
    arr = np.ascontiguousarray(events)
    if arr.dtype != EVENT_DTYPE:
        raise TypeError(f"events must be an array of zelkit.EVENT_DTYPE, not {arr.dtype}")
    arr = arr.reshape(-1)
    if width is None:
        width = int(arr["x"].max()) + 1 if len(arr) else 1
    if height is None:
        height = int(arr["y"].max()) + 1 if len(arr) else 1
    for name, side in (("width", width), ("height", height)):
        if isinstance(side, bool) or not isinstance(side, int) or not 0 < side < 2**32:
            raise ValueError(f"{name} must be a positive int, not {side!r}")
    return arr, width, height


def _date() -> str:
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")


def save_dat(path: str | bytes | os.PathLike[Any], events: np.ndarray, *, width: int | None = None,
             height: int | None = None) -> None:
    """Writes a Prophesee DAT file of CD events (header with Width and
    Height, which default to the events' extent). x and y must be below the
    sensor sides (at most 16384) and p 0 or 1, else ValueError names the
    field, the first bad index and the limit, and nothing is written."""
    arr, width, height = _prepare(events, width, height)
    _write_atomically(path, _native.encode_dat(arr, width, height, _date()))


def save_evt2(path: str | bytes | os.PathLike[Any], events: np.ndarray, *, width: int | None = None,
              height: int | None = None) -> None:
    """Writes a Prophesee RAW file in EVT 2.0 with the 'evt', 'format' and
    'geometry' header lines Metavision tools read. Sides are at most 2048, p
    is 0 or 1 and t must never go back in file order."""
    arr, width, height = _prepare(events, width, height)
    _write_atomically(path, _native.encode_evt2(arr, width, height, _date()))
