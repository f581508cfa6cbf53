"""Today's camera formats, registered as zelkit formats: "dat" (Prophesee
DAT, ``.dat``), "raw" (Prophesee RAW, ``.raw``, EVT 2.0 or EVT 3.0 as its
header says) and "aedat4" (iniVation AEDAT 4, ``.aedat4``). zelkit.load,
iter_load, info and save reach them through the format registry; this module
only supplies the FormatSpec's functions.

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
from ._dtype import EVENT_DTYPE, EventArray, wrap_buffer
from ._paths import zel_os_error
from ._registry import FormatSpec, register_format, skips_bad_data
from .errors import FormatError

_BLOCK_BYTES = 1 << 22
_HEADER_PREFIX_BYTES = (1 << 20) + 2
_AEDAT4_PREAMBLE_BYTES = 18
# Decompressed packets beyond this are refused; real ones are tens of KB.
_MAX_PACKET_OUTPUT = 256 << 20
_DECOMPRESS_STEP = 1 << 20
_AEDAT4_SIDE_LIMIT = 32768  # coordinates are int16


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


def _open(path: bytes) -> BinaryIO:
    try:
        return open(path, "rb")
    except OSError as error:
        raise zel_os_error(error) from None


def _time_mode(t_offset: Any, *, allow_chunk: bool) -> tuple[str, int]:
    if t_offset is None:
        return "absolute", 0
    if isinstance(t_offset, str):
        if t_offset == "first" or (t_offset == "chunk" and allow_chunk):
            return t_offset, 0
        allowed = "None, an int, 'first' or 'chunk'" if allow_chunk else "None, an int or 'first' (load has no chunks)"
        raise ValueError(f"t_offset must be {allowed}, not {t_offset!r}")
    if isinstance(t_offset, bool) or not isinstance(t_offset, int) or not 0 <= t_offset < 2**64:
        raise ValueError(f"t_offset must be a non-negative 64-bit integer, not {t_offset!r}")
    return "offset", t_offset


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
        x_limit=header["width"] if stated else side,
        y_limit=header["height"] if stated else side,
        skip=skip,
        time_mode=mode,
        time_offset=offset,
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
            import lz4.frame  # type: ignore[import-untyped]

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
        # Only a stated size bounds coordinates.
        sides = _aedat4_size(self.header) or (_AEDAT4_SIDE_LIMIT, _AEDAT4_SIDE_LIMIT)
        self.decoder = _native.Aedat4Decoder(
            x_limit=sides[0], y_limit=sides[1], skip=skip, time_mode=mode, time_offset=t_offset
        )
        self.pos = self.header["packets_begin"]
        self.end = self.header["packets_end"]
        # A packet a full batch cut short (t_offset="chunk"): its data and offset.
        self.unfinished: tuple[Any, int] | None = None

    def decode_next(self) -> bool:
        """Decodes the next packet into the decoder's buffer; False at the end."""
        if self.unfinished is not None:
            data, offset = self.unfinished
            self.unfinished = None
            self._decode(data, offset, self.decoder.resume_event)
            return True
        if self.pos >= self.end:
            return False
        self.f.seek(self.pos)
        head = self.f.read(8)
        try:
            stream_id, size = _native.aedat4_packet(head, self.pos, self.end)
        except FormatError as exc:
            # Nothing after a broken packet header can be found again.
            self.decoder.reject(exc.offset or self.pos, exc.reason)
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
            self.decoder.reject(offset, exc.reason)
            return True
        self._decode(data, offset, 0)
        return True

    def _decode(self, data: Any, offset: int, first: int) -> None:
        self.decoder.decode_packet(data, offset, first)
        if self.decoder.batch_full:
            self.unfinished = (data, offset)


# -------------------------------------------------------------- the specs


def _aedat4_size(header: dict[str, Any]) -> tuple[int, int] | None:
    events = [s for s in header["streams"] if s["type"] == "EVTS"]
    if events and events[0]["width"] is not None and events[0]["height"] is not None:
        return events[0]["width"], events[0]["height"]
    return None


def _probe_size(fmt: str) -> Callable[[bytes], tuple[int, int] | None]:
    def probe_size(path: bytes) -> tuple[int, int] | None:
        with _open(path) as f:
            if fmt == "aedat4":
                return _aedat4_size(_Aedat4File(f, False, "absolute", 0).header)
            header = _prophesee_header(fmt, f.read(_HEADER_PREFIX_BYTES))
        if header["width"] is None or header["height"] is None:
            return None
        return header["width"], header["height"]

    return probe_size


def _loader(fmt: str) -> Callable[..., EventArray]:
    def load(path: bytes, *, errors: str = "strict", t_offset: Any = None) -> EventArray:
        skip = skips_bad_data(errors)
        mode, offset = _time_mode(t_offset, allow_chunk=False)
        with _open(path) as f:
            if fmt == "aedat4":
                reader = _Aedat4File(f, skip, mode, offset)
                while reader.decode_next():
                    pass
                records = wrap_buffer(reader.decoder.take())
                bad = reader.decoder.bad_words
            else:
                data = f.read()
                header = _prophesee_header(fmt, data[:_HEADER_PREFIX_BYTES])
                decoder = _prophesee_decoder(header, skip, mode, offset)
                view = memoryview(data)[header["data_offset"] :]
                records = wrap_buffer(decoder.decode_all(view))
                bad = decoder.bad_words
        _warn_skipped(path, bad)
        return records

    return load


def _chunk_reader(fmt: str) -> Callable[..., Iterator[EventChunk]]:
    def iter_chunks(path: bytes, max_events: int, *, errors: str = "strict", t_offset: Any = None) -> Iterator[EventChunk]:
        skip = skips_bad_data(errors)
        mode, offset = _time_mode(t_offset, allow_chunk=True)
        # A missing file or a broken header fails here, at the call; the
        # generator opens the file again when iteration starts, so an
        # iterator that is never started holds no open file.
        _probe_size(fmt)(path)
        if fmt == "aedat4":
            return _iter_aedat4(path, max_events, skip, mode, offset)
        return _iter_prophesee(path, fmt, max_events, skip, mode, offset)

    return iter_chunks


def _iter_prophesee(path: bytes, fmt: str, chunk_events: int, skip: bool, mode: str, offset: int) -> Iterator[EventChunk]:
    with _open(path) as f:
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
                if decoder.batch_full:
                    break  # t_offset="chunk": the next event starts a chunk of its own
            if filled:
                yield _chunk(out[:filled], decoder.batch_origin, decoder.bad_words - skipped_before)
            if at_end and not decoder.has_pending_output:
                break
    _warn_skipped(path, decoder.bad_words)


def _iter_aedat4(path: bytes, chunk_events: int, skip: bool, mode: str, offset: int) -> Iterator[EventChunk]:
    with _open(path) as f:
        reader = _Aedat4File(f, skip, mode, offset)
        decoder = reader.decoder
        leftover = np.empty(0, dtype=EVENT_DTYPE)
        more = True
        while more:
            # Events carried over keep their batch's origin, so the batch
            # goes on until they are yielded: every chunk but the last holds
            # exactly chunk_events, whatever the packet sizes.
            if not len(leftover):
                decoder.start_batch()
            skipped = decoder.bad_words
            while (
                decoder.buffered + len(leftover) < chunk_events
                and not decoder.batch_full
                and (more := reader.decode_next())
            ):
                pass
            # A full batch (t_offset="chunk") ends its last chunk early.
            ended = not more or decoder.batch_full
            skipped = decoder.bad_words - skipped
            records = wrap_buffer(decoder.take())
            if len(leftover):
                records = np.concatenate([leftover, records])
            base = decoder.batch_origin if mode != "absolute" else None
            start = 0
            while len(records) - start >= chunk_events or (ended and start < len(records)):
                piece = records[start : start + chunk_events]
                yield _chunk(piece, base, skipped)
                skipped = 0
                start += len(piece)
            leftover = records[start:].copy()
    _warn_skipped(path, decoder.bad_words)


def _side(name: str, given: int | None, coordinates: np.ndarray) -> int:
    if given is None:
        return int(coordinates.max()) + 1 if len(coordinates) else 1
    if isinstance(given, bool) or not isinstance(given, int) or not 0 < given < 2**32:
        raise ValueError(f"{name} must be a positive int, not {given!r}")
    return given


def _writer(encode: Callable[..., Any]) -> Callable[..., None]:
    def write(file: BinaryIO, events: EventArray, *, width: int | None = None, height: int | None = None) -> None:
        w = _side("width", width, events["x"])
        h = _side("height", height, events["y"])
        date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S")
        file.write(encode(events, w, h, date))

    return write


for _name, _encode in (("dat", _native.encode_dat), ("raw", _native.encode_evt2), ("aedat4", None)):
    register_format(
        FormatSpec(
            name=_name,
            extensions=(_name,),
            load=_loader(_name),
            iter_chunks=_chunk_reader(_name),
            write=None if _encode is None else _writer(_encode),
            probe_size=_probe_size(_name),
            options=frozenset({"errors", "t_offset"}),
            write_options=frozenset() if _encode is None else frozenset({"width", "height"}),
        )
    )
