"""The ``.zel`` event store: recordings kept exactly, smaller than xz.

A store (docs/format.md, "The .zel event store, version 2") holds the
events in independent blocks of at most 2**20 events, each coded without
loss and checksummed, with an index of every block's time range. Reading
gives back exactly the array that was written, whatever its values: any
order, duplicates, every polarity byte, any coordinates. Each block records
a 64-bit time base, so a camera recording longer than the 32-bit time field
keeps its clock (``zel convert rec.raw rec.zel``, or ``zelkit.save`` with
``t_base``).

zelkit.load, iter_load, info and save reach it through the format registry
(format ``"zel"``, extension ``.zel``); :func:`zelkit.open_events` and
:func:`zelkit.decode_events` return an :class:`EventStore`, which reads blocks, time windows or everything
on several threads. Blocks are decoded natively with the interpreter lock
released.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, BinaryIO

import numpy as np

from . import _native
from ._camera_formats import EventChunk, _chunk, _time_mode
from ._dtype import EVENT_DTYPE, EventArray, wrap_buffer
from ._info import Outline, sensor_grid
from ._paths import PathArg, open_by_position, zel_os_error
from ._registry import FormatSpec, register_format
from .errors import FormatError

__all__ = ["BLOCK_DTYPE", "DEFAULT_BLOCK_EVENTS", "EventStore", "decode_events", "default_threads", "open_events"]

FORMAT_NAME = "zel"

#: One index entry per block: where its record starts, its time base, the
#: smallest and largest ``t`` of its events (camera time ``t_base + t``) and
#: its event count.
BLOCK_DTYPE = np.dtype(
    [("offset", "=u8"), ("t_base", "=u8"), ("t_first", "=u4"), ("t_last", "=u4"), ("n_events", "=u8")]
)
assert BLOCK_DTYPE.itemsize == _native.BLOCK_ENTRY_BYTES

#: Events per block written unless asked otherwise.
DEFAULT_BLOCK_EVENTS: int = _native.DEFAULT_BLOCK_EVENTS

_MAX_THREADS = 256

#: Bytes that tell an event store from a file of occupancy frames: the
#: magic and the version both share.
HEAD_BYTES = 10
_MAGIC = b"\x89ZEL\r\n\x1a\n"
_VERSION = 2


def is_event_store(head: bytes) -> bool:
    """True when a file starting with ``head`` is an event store."""
    return len(head) >= HEAD_BYTES and head[:8] == _MAGIC and int.from_bytes(head[8:10], "little") == _VERSION


def default_threads() -> int:
    """The cores this process may run on (what ``threads=None`` uses)."""
    try:
        return max(1, min(len(os.sched_getaffinity(0)), _MAX_THREADS))
    except (AttributeError, OSError):
        return max(1, min(os.cpu_count() or 1, _MAX_THREADS))


def write_threads() -> int:
    """Threads a writer codes blocks on: the cores, up to two. Each holds a
    block of records and its coding (about 55 MB at the default block size)
    while the caller fills the next block, so that converting a recording
    of any length stays under 200 MB."""
    return min(default_threads(), _MAX_WRITE_THREADS)


_MAX_WRITE_THREADS = 2


def _threads(value: Any) -> int:
    if value is None:
        return default_threads()
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= _MAX_THREADS:
        raise ValueError(f"threads must be an int from 1 to {_MAX_THREADS} or None, not {value!r}")
    return value


def _side(name: str, value: Any) -> int:
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= 0xFFFF:
        raise ValueError(f"{name} must be an int from 0 to 65535 (the sensor size the store records), not {value!r}")
    return value


def block_events_arg(value: Any) -> int:
    if value is None:
        return DEFAULT_BLOCK_EVENTS
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= _native.MAX_BLOCK_EVENTS:
        raise ValueError(f"block_events must be an int from 1 to {_native.MAX_BLOCK_EVENTS}, not {value!r}")
    return value


def fast_arg(value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"fast must be True or False, not {value!r}")
    return bool(value)


def encode_events(events: EventArray, *, width: int | None = None, height: int | None = None,
                  block_events: int | None = None, fast: bool = False) -> bytes:
    """The whole event store of ``events`` (an EVENT_DTYPE array) as bytes:
    the file ``save`` writes."""
    out = io.BytesIO()
    write_chunk = _open_writer(out, width=width, height=height, block_events=block_events, fast=fast)
    write_chunk(events, 0)
    write_chunk.finish()  # type: ignore[attr-defined]
    return out.getvalue()


class EventStore:
    """A ``.zel`` event store opened for reading (``zelkit.open_events`` or ``zelkit.decode_events``).

    ``blocks`` is the index (a read-only :data:`BLOCK_DTYPE` array);
    :meth:`read`, :meth:`window` and :meth:`to_events` decode what they
    need, on ``threads`` threads (default: every core this process may use),
    each block checked in full first. Times come back as the camera's minus
    ``t_offset`` (0 unless given), and must fit the 32-bit field. Use as a
    context manager, or call :meth:`close`.
    """

    def __init__(self, native: _native.EventStoreReader) -> None:
        self._native = native
        blocks: np.ndarray = np.frombuffer(memoryview(native.blocks()), dtype=BLOCK_DTYPE)
        blocks.flags.writeable = False
        self._blocks = blocks

    @property
    def blocks(self) -> np.ndarray:
        return self._blocks

    @property
    def n_events(self) -> int:
        return int(self._native.n_events)

    def __len__(self) -> int:
        return self.n_events

    @property
    def sensor_size(self) -> tuple[int, int] | None:
        """(width, height) the writer recorded (the size it was given, when
        that holds every event), or None when it recorded none."""
        w, h = self._native.width, self._native.height
        return None if (w, h) == (0, 0) else (w, h)

    @property
    def block_events(self) -> int:
        return int(self._native.block_events)

    @property
    def complete(self) -> bool:
        """False for a file read without index (its writer was interrupted):
        the blocks before the cut are all there is."""
        return bool(self._native.complete)

    def time_range(self) -> tuple[int, int] | None:
        """Smallest and largest camera time of the events (None when empty)."""
        if not len(self._blocks):
            return None
        base = self._blocks["t_base"].astype(object)
        return (int((base + self._blocks["t_first"]).min()), int((base + self._blocks["t_last"]).max()))

    def read(self, first: int = 0, count: int | None = None, *, t_offset: int = 0,
             threads: int | None = None) -> EventArray:
        """The events of blocks ``first`` .. ``first + count - 1`` (to the end by default)."""
        n = len(self._blocks)
        if isinstance(first, bool) or not isinstance(first, int) or not 0 <= first <= n:
            raise ValueError(f"first must be a block number from 0 to {n}, not {first!r}")
        if count is None:
            count = n - first
        if isinstance(count, bool) or not isinstance(count, int) or not 0 <= count <= n - first:
            raise ValueError(f"count must be an int from 0 to {n - first}, not {count!r}")
        return wrap_buffer(self._native.read(first, count, _offset(t_offset), _threads(threads)))

    def to_events(self, *, t_offset: int = 0, threads: int | None = None) -> EventArray:
        """Every event, exactly as written (times minus ``t_offset``)."""
        return self.read(t_offset=t_offset, threads=threads)

    def window(self, t0: int, t1: int, *, t_offset: int = 0, threads: int | None = None) -> EventArray:
        """The events whose camera time lies in [t0, t1), in file order.

        Only the blocks whose time range meets the window are decoded, so
        reading a window of a long recording costs what the window holds.
        """
        for name, value in (("t0", t0), ("t1", t1)):
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"{name} must be a non-negative int, not {value!r}")
        # Checked before anything is known to be read, so that a bad option
        # fails whatever window it comes with.
        offset, n_threads = _offset(t_offset), _threads(threads)
        if t1 <= t0 or not len(self._blocks):
            return np.empty(0, dtype=EVENT_DTYPE)
        base = self._blocks["t_base"].astype(object)
        meets = ((base + self._blocks["t_first"]) < t1) & ((base + self._blocks["t_last"]) >= t0)
        pieces = []
        for start, stop in _runs(np.flatnonzero(meets)):
            events = wrap_buffer(self._native.read(start, stop - start, offset, n_threads))
            camera = events["t"].astype(np.uint64) + np.uint64(offset)
            pieces.append(events[(camera >= t0) & (camera < t1)])
        return np.concatenate(pieces) if pieces else np.empty(0, dtype=EVENT_DTYPE)

    def close(self) -> None:
        self._native.close()

    def __enter__(self) -> EventStore:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<zelkit.EventStore: {self.n_events} events in {len(self._blocks)} blocks>"


def _offset(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << 64:
        raise ValueError(f"t_offset must be a non-negative 64-bit int, not {value!r}")
    return value


def _runs(indices: np.ndarray) -> Iterator[tuple[int, int]]:
    """Consecutive block numbers as [start, stop) runs."""
    if not len(indices):
        return
    cuts = np.flatnonzero(np.diff(indices) != 1) + 1
    for run in np.split(indices, cuts):
        yield int(run[0]), int(run[-1]) + 1


def open_events(path: PathArg) -> EventStore:
    """Open a ``.zel`` event store for reading (blocks, time windows, all of
    it); use as a context manager to close it. A file of occupancy frames is
    refused with :class:`FormatError` at byte 8 (:func:`zelkit.open` reads it)."""
    return EventStore(open_by_position(path, _native.EventStoreReader))


def decode_events(data: Any) -> EventStore:
    """An event store held in memory (bytes or any buffer, e.g. what
    ``zelkit.encode(..., codec="lossless")`` returns), read in place."""
    return EventStore(_native.EventStoreReader(data))


def open_store(path: PathArg) -> EventStore:
    """The store at ``path``, for the registry's functions: a file that
    cannot be read raises zel's plain OSError, as every format's does."""
    try:
        return EventStore(open_by_position(path, _native.EventStoreReader))
    except FormatError:
        raise
    except OSError as error:
        raise zel_os_error(error) from None


# -------------------------------------------------------------- the registry's functions


def _subtract(reader: _native.EventStoreReader, blocks: np.ndarray, mode: str, offset: int) -> int:
    """What every event's camera time loses for time mode ``mode``."""
    if mode == "offset":
        return offset
    if mode == "first" and len(blocks):
        # Block 0's header holds its first event's time: no need to decode it.
        return int(reader.extent(0, 1)[2])
    return 0


def _load(path: bytes, *, t_offset: Any = None, threads: int | None = None) -> EventArray:
    mode, offset = _time_mode(t_offset, allow_chunk=False)
    with open_store(path) as store:
        return wrap_buffer(store._native.read(0, len(store.blocks), _subtract(store._native, store.blocks, mode, offset),
                                              _threads(threads)))


def _iter_chunks(path: bytes, max_events: int, *, t_offset: Any = None,
                 threads: int | None = None) -> Iterator[EventChunk]:
    mode, offset = _time_mode(t_offset, allow_chunk=True)
    n_threads = _threads(threads)
    store = open_store(path)  # here, so a missing or broken file fails at the call
    return _chunks(store, max_events, mode, offset, n_threads)


def _decoded(native: _native.EventStoreReader, blocks: np.ndarray, mode: str, offset: int,
             threads: int) -> Iterator[tuple[int | None, np.ndarray]]:
    """The events of every block in order, as (time label, events) pieces,
    ``threads`` blocks decoded at a time. In chunk mode each piece is a run
    of blocks with one time base, in that base's clock: a converted camera
    recording's blocks each have their own, and are still decoded together.

    With more than one thread, the next batch decodes while the caller uses
    this one's pieces (converting back to a camera file writes them): one
    more batch in memory, and the writing no longer waits on the decoding.
    """
    subtract = _subtract(native, blocks, mode, offset)
    label = None if mode == "absolute" else subtract

    def decode(k: int) -> list[tuple[int | None, np.ndarray]]:
        stop = min(k + threads, len(blocks))
        if mode != "chunk":
            return [(label, wrap_buffer(native.read(k, stop - k, subtract, threads)))]
        events = wrap_buffer(native.read_in_block_clocks(k, stop - k, threads))
        bases = blocks["t_base"][k:stop]
        ends = np.cumsum(blocks["n_events"][k:stop], dtype=np.int64)
        pieces: list[tuple[int | None, np.ndarray]] = []
        begin = 0
        for cut in [*np.flatnonzero(bases[1:] != bases[:-1]), stop - k - 1]:
            pieces.append((int(bases[cut]), events[begin : ends[cut]]))
            begin = int(ends[cut])
        return pieces

    batches = range(0, len(blocks), threads)
    if threads == 1 or len(batches) < 2:
        for k in batches:
            yield from decode(k)
        return
    # Leaving the block (the caller stopped early, or a read failed) waits
    # for the batch in flight, so the store is never closed under it.
    process = os.getpid()
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="zelkit-store") as pool:
        ahead = pool.submit(decode, batches[0])
        for i, k in enumerate(batches):
            if os.getpid() != process:
                # A process forked from this one mid-iteration has none of
                # the pool's threads: it decodes the batch in flight and
                # the rest itself.
                for rest in batches[i:]:
                    yield from decode(rest)
                return
            pieces = ahead.result()
            if i + 1 < len(batches):
                ahead = pool.submit(decode, batches[i + 1])
            yield from pieces


def _chunks(store: EventStore, max_events: int, mode: str, offset: int, threads: int) -> Iterator[EventChunk]:
    with store:
        pending: list[np.ndarray] = []
        held = 0
        label = None
        for piece_label, events in _decoded(store._native, store.blocks, mode, offset, threads):
            # A chunk holds one time base: it ends where the base changes.
            if pending and piece_label != label:
                yield _chunk(np.concatenate(pending), label, 0)
                pending, held = [], 0
            label = piece_label
            while len(events):
                take = min(max_events - held, len(events))
                pending.append(events[:take])
                held += take
                events = events[take:]
                if held == max_events:
                    yield _chunk(np.concatenate(pending) if len(pending) > 1 else pending[0], label, 0)
                    pending, held = [], 0
        if pending:
            yield _chunk(np.concatenate(pending), label, 0)


def _probe_size(path: bytes) -> tuple[int, int] | None:
    with open_store(path) as store:
        return store.sensor_size


def outline(path: PathArg) -> Outline:
    """What the store at ``path`` holds, from its index and its blocks'
    headers: every record is read and checked, no block decoded. Its order
    is not known (only decoding tells)."""
    with open_store(path) as store:
        x_max, y_max, t_first = store._native.extent(0, len(store.blocks))
        n = store.n_events
        width, height, from_header = sensor_grid(store.sensor_size, n, x_max, y_max)
        span = store.time_range()
        return Outline(format=FORMAT_NAME, n_events=n, width=width, height=height, size_from_header=from_header,
                       t_first=t_first if n else None, duration_us=span[1] - span[0] if span else 0,
                       time_ordered=None)


def _open_writer(file: BinaryIO, *, width: int | None = None, height: int | None = None,
                 block_events: int | None = None, fast: bool = False) -> Callable[[EventArray, int], None]:
    """Writes a store chunk by chunk. A sensor size given is recorded when it
    holds every event, and otherwise the size readers infer from the events
    (sensor_grid: a grid that does not hold them is no sensor's), checked
    once finish() has seen them all. So a camera header's size may be
    passed on unchecked, with no pass over the recording before writing.
    ``fast`` writes the fast blocks (larger, several times as fast to write
    and to read) instead of the modelled ones."""
    size = (_side("width", width), _side("height", height))
    version = _native.FAST_BLOCK_VERSION if fast_arg(fast) else _native.BLOCK_VERSION
    writer = _native.EventStoreWriter(*size, block_events_arg(block_events), write_threads(), version)
    start = file.tell()
    file.write(writer.begin())
    added = 0

    def write_chunk(events: EventArray, t_base: int = 0) -> None:
        nonlocal added
        file.write(writer.add(events, t_base))
        added += len(events)

    def finish() -> None:
        tail, header = writer.finish()
        if size != (0, 0):
            fitted = sensor_grid(size, added, *writer.extent())[:2]
            if fitted != size:
                header = writer.resized_header(*(fitted if max(fitted) <= 0xFFFF else (0, 0)))
        file.write(tail)
        end = file.tell()
        file.seek(start)
        file.write(header)
        file.seek(end)

    write_chunk.finish = finish  # type: ignore[attr-defined]
    return write_chunk


def _write(file: BinaryIO, events: EventArray, *, width: int | None = None, height: int | None = None,
           t_base: int | None = None, fast: bool = False) -> None:
    write_chunk = _open_writer(file, width=width, height=height, fast=fast)
    write_chunk(events, 0 if t_base is None else t_base)
    write_chunk.finish()  # type: ignore[attr-defined]


register_format(
    FormatSpec(
        name=FORMAT_NAME,
        extensions=("zel",),
        load=_load,
        iter_chunks=_iter_chunks,
        write=_write,
        open_writer=_open_writer,
        probe_size=_probe_size,
        options=frozenset({"t_offset", "threads"}),
        write_options=frozenset({"width", "height", "t_base", "fast"}),
        time_limits=(1 << 64, None),
    )
)
