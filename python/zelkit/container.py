"""The ``.zel`` container: encode events into a self-describing file and read it back.

A container holds the grid parameters, then one record per frame (its time range,
its octree bit count, its payload and a checksum), then an index of the frames.
docs/format.md gives the layout byte by byte. With ``codec="zel"`` (the default)
payloads are exactly the bytes ``zel.compress`` / ``zel.compress_sequence`` return
for the same events; ``codec="context"`` codes the keyframes' trees with a
context model instead, smaller for the same boxes.

Writing, reading and every check of the layout are native (zelkit._native's
ContainerWriter and ContainerReader); this module holds the Python views over
them: :class:`Reader`, a sequence of :class:`Frame`.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, Literal

import numpy as np

from . import _native
from ._arrays import as_events
from ._dtype import EVENT_DTYPE
from ._files import time_windows
from ._event_store import encode_events
from ._paths import PathArg as PathLike, open_by_position
from ._atomic import atomic_output, atomic_write_bytes

__all__ = [
    "BOX_DTYPE",
    "CODECS",
    "GRID_LIMITS",
    "Codec",
    "Frame",
    "IncompleteContainerWarning",
    "Reader",
    "decode",
    "encode",
    "encode_stream",
    "open",
    "write",
]

#: One occupied leaf box: origin (x, y, time bin) and extent along each axis.
BOX_DTYPE = np.dtype(
    [("x", "<u2"), ("y", "<u2"), ("bin", "<u2"), ("dx", "<u4"), ("dy", "<u4"), ("dbin", "<u4")]
)
assert BOX_DTYPE.itemsize == _native.BOX_RECORD_BYTES


#: One index entry per frame, as the native reader hands it over.
_INDEX_DTYPE = np.dtype([("offset", "=u8"), ("t_first", "=u4"), ("t_last", "=u4"), ("n_events", "=u8")])
assert _INDEX_DTYPE.itemsize == _native.INDEX_ENTRY_BYTES

#: The largest value each grid parameter takes (the header stores them in 16 and 8 bits).
GRID_LIMITS: Mapping[str, int] = MappingProxyType({
    "width": _native.MAX_GRID_EXTENT, "height": _native.MAX_GRID_EXTENT,
    "time_bins": _native.MAX_GRID_EXTENT, "max_depth": _native.MAX_TREE_DEPTH,
})

#: How a writer codes keyframes: "zel" as ``zel.compress`` does (a rANS stream of the
#: octree bitstream), "context" with one adaptive binary decision per child. Both give
#: the same boxes; delta frames are the same for both.
Codec = Literal["zel", "context"]

#: The codecs the native writer knows, from its one table (Codec lists the same names).
CODECS: tuple[str, ...] = _native.CODECS

#: Dense grids above this size are refused by Frame.to_grid unless asked for.
DEFAULT_GRID_BYTES = 1 << 30


class IncompleteContainerWarning(UserWarning):
    """A container was read without its index and holds fewer frames than were written."""


def _default_extent(arr: np.ndarray, name: str, given: int | None) -> int:
    if given is not None:
        return given
    if arr.size == 0:
        return 0
    # A coordinate of 65535 needs no 65536: its grid (next power of two) holds it.
    return min(int(arr[name].max()) + 1, 0xFFFF)


#: The keyframe interval a codec is written with when the caller names none. "zel"
#: keeps compress_sequence's payloads (only frame 0 a keyframe); a "context" keyframe
#: is smaller than the xor delta from the frame before (bench/RESULTS.md), so every
#: frame is one. A codec missing here writes with 0.
_DEFAULT_KEYFRAME_INTERVAL: Mapping[str, int] = MappingProxyType({"context": 1})


def _keyframe_interval(value: int | None, codec: str) -> int:
    if value is None:
        return _DEFAULT_KEYFRAME_INTERVAL.get(codec, 0) if isinstance(codec, str) else 0
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"keyframe_interval must be a positive integer or None, not {value!r}")
    return value


#: The value of ``codec=`` (beside :data:`CODECS`) that makes :func:`encode`
#: and :func:`write` store the events themselves, without loss: an event
#: store, which ``zelkit.decode_events`` and ``zelkit.load`` read.
LOSSLESS = "lossless"


def _check_codec(codec: Any) -> None:
    if codec != LOSSLESS and codec not in CODECS:
        choices = ", ".join(repr(name) for name in (*CODECS, LOSSLESS))
        raise ValueError(f"codec must be one of {choices}, not {codec!r}")


def encode(
    events: Any,
    *,
    width: int | None = None,
    height: int | None = None,
    time_bins: int | None = None,
    max_depth: int | None = None,
    n_frames: int = 1,
    keyframe_interval: int | None = None,
    codec: Codec | Literal["lossless"] = "zel",
    fast: bool = False,
) -> bytes:
    """Return the ``.zel`` container of ``events`` as bytes.

    With ``codec="zel"`` (the default) the events are split into ``n_frames``
    frames by ``zel.compress_sequence``'s rule and each frame is binned over
    its own time range (``time_bins`` and ``max_depth`` are required).
    ``keyframe_interval=K`` codes every K-th frame on its own so readers can
    seek; without it the payloads equal ``compress_sequence``'s
    (``compress``'s for one frame).

    ``codec`` chooses how keyframes are coded (:data:`Codec`); every frame decodes to
    the same boxes with either. For ``"context"`` without a ``keyframe_interval``
    every frame is a keyframe, which is smaller than deltas between them.

    ``width`` and ``height`` default to the largest coordinate plus one. For a
    recording whose header gives the sensor size, pass that instead
    (``info = zelkit.info(path)``, then ``width=info.width, height=info.height``)
    so every file of one camera is coded on the same grid.

    With ``codec="lossless"`` the result is an event store: ``zelkit.decode_events``
    of it gives back exactly ``events``, whatever their values. ``width`` and
    ``height`` are then only recorded (as the sensor size; default: not
    known), and the frame parameters do not apply. ``fast=True`` codes it
    in fast blocks, as ``zelkit.save`` does.
    """
    arr = as_events(events)
    _check_codec(codec)
    if codec == LOSSLESS:
        frame_options = {"time_bins": time_bins, "max_depth": max_depth,
                         "keyframe_interval": keyframe_interval, "n_frames": None if n_frames == 1 else n_frames}
        given = [name for name, value in frame_options.items() if value is not None]
        if given:
            raise ValueError(f"codec='lossless' keeps every event: {', '.join(given)} do(es) not apply")
        return encode_events(arr, width=width, height=height, fast=fast)
    if fast is not False:
        raise ValueError(f"fast applies to codec='lossless' only, not to codec={codec!r}")
    if time_bins is None or max_depth is None:
        raise ValueError(f"codec={codec!r} needs time_bins and max_depth")
    if isinstance(n_frames, bool) or not isinstance(n_frames, int) or n_frames < 1:
        raise ValueError(f"n_frames must be a positive integer, not {n_frames!r}")
    return _native.encode(
        arr,
        _default_extent(arr, "x", width),
        _default_extent(arr, "y", height),
        time_bins,
        max_depth,
        n_frames,
        _keyframe_interval(keyframe_interval, codec),
        codec,
    )


def write(
    path: PathLike,
    events: Any,
    *,
    width: int | None = None,
    height: int | None = None,
    time_bins: int | None = None,
    max_depth: int | None = None,
    n_frames: int = 1,
    keyframe_interval: int | None = None,
    codec: Codec | Literal["lossless"] = "zel",
    fast: bool = False,
) -> None:
    """Write ``encode(events, ...)`` to ``path`` atomically (temporary file, then rename)."""
    atomic_write_bytes(path, encode(
        events, width=width, height=height, time_bins=time_bins, max_depth=max_depth,
        n_frames=n_frames, keyframe_interval=keyframe_interval, codec=codec, fast=fast))


def encode_stream(
    path: PathLike,
    chunks: Iterable[Any],
    *,
    width: int,
    height: int,
    time_bins: int,
    max_depth: int,
    window_us: int,
    keyframe_interval: int | None = None,
    codec: Codec = "zel",
) -> int:
    """Write a recording of any length to ``path``, one frame per ``window_us`` window.

    ``chunks`` is any iterable of event arrays (for example ``zelkit.iter_load``).
    Memory holds one window of events plus 24 bytes of index per frame. The file
    appears at ``path`` only once complete. Returns the number of frames written.
    ``keyframe_interval`` and ``codec`` are as for :func:`encode`.
    """
    if isinstance(window_us, bool) or not isinstance(window_us, int) or window_us < 1:
        raise ValueError(f"window_us must be a positive integer, not {window_us!r}")
    writer = _native.ContainerWriter(width, height, time_bins, max_depth,
                                     _keyframe_interval(keyframe_interval, codec), codec)
    with atomic_output(path) as out:
        # Until the count is put in at the end, a reader treats the file as interrupted.
        out.write(writer.begin())
        # Windows are cells of a grid anchored at the first event; empty cells make no frame.
        arrays = (array for array in map(as_events, chunks) if array.size)
        for window in (w for w in time_windows(arrays, window_us) if w.size):
            out.write(writer.add_frame(window))
        tail, header = writer.finish()
        out.write(tail)
        out.seek(0)
        out.write(header)
    return writer.frames_added


# ---------------------------------------------------------------------------- reading


@dataclass(frozen=True, eq=False)
class Frame:
    """One decoded frame: its grid, its time range and its occupied leaf boxes."""

    index: int
    keyframe: bool
    width: int
    height: int
    time_bins: int
    max_depth: int
    t_first: int
    t_last: int
    n_events: int
    n_bits: int
    payload_bytes: int
    boxes: np.ndarray = field(repr=False)

    @property
    def time_range(self) -> tuple[int, int]:
        """First and last timestamp of the frame's events (its bins span this range)."""
        return self.t_first, self.t_last

    @property
    def grid_shape(self) -> tuple[int, int, int]:
        """(time_bins, height, width), each at least 1 (0 bins like 1: everything in bin 0)."""
        return max(self.time_bins, 1), max(self.height, 1), max(self.width, 1)

    def to_grid(self, max_bytes: int = DEFAULT_GRID_BYTES) -> np.ndarray:
        """Dense boolean occupancy of shape (time_bins, height, width).

        Boxes reaching beyond the sensor (the grid is rounded up to powers of two)
        are cut at its edge. A grid larger than ``max_bytes`` is refused before any
        memory is taken.
        """
        shape = self.grid_shape
        size = shape[0] * shape[1] * shape[2]
        if size > max_bytes:
            raise ValueError(f"a {shape[0]}x{shape[1]}x{shape[2]} grid takes {size} bytes, "
                             f"more than max_bytes={max_bytes}")
        grid = np.zeros(shape, dtype=bool)
        b = self.boxes
        single = (b["dx"] == 1) & (b["dy"] == 1) & (b["dbin"] == 1)
        voxels = b[single]
        inside = (voxels["bin"] < shape[0]) & (voxels["y"] < shape[1]) & (voxels["x"] < shape[2])
        voxels = voxels[inside]
        grid[voxels["bin"], voxels["y"], voxels["x"]] = True
        for box in b[~single]:
            x, y, t = int(box["x"]), int(box["y"]), int(box["bin"])
            grid[t : t + int(box["dbin"]), y : y + int(box["dy"]), x : x + int(box["dx"])] = True
        return grid

    def box_times(self, first_bin: np.ndarray, n_bins: np.ndarray) -> np.ndarray:
        """Microsecond centre of the time covered by bins ``first_bin .. first_bin + n_bins - 1``.

        Bin b holds the times t with (t - t_first) / span * (time_bins - 1) in [b, b + 1),
        so it covers [t_first + span * b / (time_bins - 1), ...) cut at t_last; the last
        bin holds t_last alone.
        """
        lo_bin = first_bin.astype(np.float64)
        hi_bin = np.minimum(first_bin.astype(np.int64) + n_bins, max(self.time_bins, 1))
        span = float(self.t_last - self.t_first)
        if self.time_bins <= 1 or span == 0.0:
            centre = np.full(lo_bin.shape, (self.t_first + self.t_last) / 2.0)
        else:
            scale = span / (self.time_bins - 1.0)
            lo = np.minimum(self.t_first + lo_bin * scale, self.t_last)
            hi = np.minimum(self.t_first + hi_bin * scale, self.t_last)
            centre = (lo + hi) / 2.0
        times: np.ndarray = np.rint(centre).astype(np.uint32)
        return times

    def to_events(self) -> np.ndarray:
        """One event per occupied box at its centre, sorted by time, polarity 0.

        A box reaching beyond the sensor is centred on its part inside it; times are
        bin centres mapped back to microseconds.
        """
        b = self.boxes
        out = np.empty(b.size, dtype=EVENT_DTYPE)
        for axis, extent, limit in (("x", "dx", self.width), ("y", "dy", self.height)):
            start = b[axis].astype(np.int64)
            end = np.minimum(start + b[extent], np.maximum(limit, start + 1))
            out[axis] = (start + end - 1) // 2
        out["t"] = self.box_times(b["bin"], b["dbin"])
        out["p"] = 0
        return out[np.argsort(out["t"], kind="stable")]


class Reader(Sequence[Frame]):
    """Frames of a ``.zel`` container: ``len``, ``reader[k]``, iteration, ``window``.

    Frames are decoded when asked for. With keyframes a frame is decoded from the
    keyframe before it; without, from frame 0 (sequential access costs one frame
    per step either way). Every frame on the way is checked; a damaged one raises
    :class:`zelkit.FormatError` with its byte offset. A file is read by position,
    never whole. Threads may share a reader: their decodes take turns.
    """

    def __init__(self, native: _native.ContainerReader) -> None:
        self._native = native
        self.width: int = native.width
        self.height: int = native.height
        self.time_bins: int = native.time_bins
        self.max_depth: int = native.max_depth
        self.keyframe_interval: int = native.keyframe_interval
        self.complete: bool = native.complete
        index = np.frombuffer(memoryview(native.index()), dtype=_INDEX_DTYPE)
        self._t_first = index["t_first"]
        self._t_last = index["t_last"]
        self._n_events = index["n_events"]
        if not self.complete:
            warnings.warn(
                f"container has no index and no frame count (its writer was interrupted); "
                f"read {len(index)} complete frames, later ones may be lost",
                IncompleteContainerWarning, stacklevel=3)

    # -- sequence protocol

    def __len__(self) -> int:
        return int(self._n_events.size)

    def __getitem__(self, k: int) -> Frame:  # type: ignore[override]
        if isinstance(k, slice):
            raise TypeError("frames are read one at a time; use window() or a range of indices")
        k = int(k)
        if k < 0:
            k += len(self)
        if not 0 <= k < len(self):
            raise IndexError(f"frame index out of range (container has {len(self)} frames)")
        return self._decode(k)

    def __iter__(self) -> Iterator[Frame]:
        for k in range(len(self)):
            yield self._decode(k)

    def _decode(self, k: int) -> Frame:
        f = self._native.decode(k)
        return Frame(
            index=k, keyframe=f.keyframe, width=self.width, height=self.height,
            time_bins=self.time_bins, max_depth=self.max_depth, t_first=f.t_first,
            t_last=f.t_last, n_events=f.n_events, n_bits=f.n_bits, payload_bytes=f.payload_bytes,
            boxes=np.frombuffer(f.boxes, dtype=BOX_DTYPE),
        )

    # -- queries

    @property
    def time_range(self) -> tuple[int, int] | None:
        """First and last timestamp over all frames with events (None when there are none)."""
        has = self._n_events > 0
        if not has.any():
            return None
        return int(self._t_first[has].min()), int(self._t_last[has].max())

    def frame_time_ranges(self) -> np.ndarray:
        """(n, 2) array of every frame's first and last timestamp, from the index."""
        return np.stack([self._t_first, self._t_last], axis=1)

    def frame_event_counts(self) -> np.ndarray:
        """How many events every frame was coded from, from the index."""
        counts: np.ndarray = self._n_events.astype(np.uint64)
        return counts

    def window(self, t0: int, t1: int) -> list[Frame]:
        """Frames holding events in ``[t0, t1)``, found from the index without scanning."""
        hits = np.flatnonzero((self._n_events > 0) & (self._t_first < t1) & (self._t_last >= t0))
        return [self._decode(int(k)) for k in hits]

    def to_events(self) -> np.ndarray:
        """Reconstructed events of every frame (``Frame.to_events``), concatenated."""
        parts = [frame.to_events() for frame in self]
        return np.concatenate(parts) if parts else np.empty(0, dtype=EVENT_DTYPE)

    # -- lifetime

    def close(self) -> None:
        self._native.close()

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"<zelkit.Reader {len(self)} frames {self.width}x{self.height} "
                f"time_bins={self.time_bins} max_depth={self.max_depth}"
                f"{'' if self.complete else ' incomplete'}>")


def decode(data: Any) -> Reader:
    """A reader over a container of occupancy frames held in memory (bytes or
    any buffer), read in place. An event store is refused with
    :class:`FormatError` at byte 8: :func:`zelkit.decode_events` reads it."""
    return Reader(_native.ContainerReader(data))


def open(path: PathLike) -> Reader:  # noqa: A001  (mirrors the builtin on purpose)
    """Open a ``.zel`` file of occupancy frames for reading; use as a context
    manager to close it. An event store is refused with :class:`FormatError`
    at byte 8: :func:`zelkit.open_events` (or :func:`zelkit.load`) reads it."""
    return Reader(open_by_position(path, _native.ContainerReader))
