"""What the lossy occupancy code lost: the figures reported beside bits per event."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._arrays import as_events
from .container import Frame

__all__ = ["Distortion", "distortion"]


@dataclass(frozen=True)
class Distortion:
    """Comparison of original events with their decoded occupancy.

    - ``coverage``: fraction of events whose voxel lies in a decoded box (1.0 when
      the decoding holds every occupied voxel, as it must);
    - ``decoded_voxels``: voxels the decoded boxes cover inside the grid;
    - ``false_voxels`` / ``over_coverage``: decoded voxels that held no event, as a
      count and as a fraction of ``decoded_voxels`` (0 at full depth; depth-limited
      boxes cover more than the events did);
    - ``duplicates``: events that shared a voxel with an earlier event of their
      frame and so merged into it;
    - ``mean_time_error_us`` / ``max_time_error_us``: absolute difference between
      each covered event's time and the time its box is reconstructed at;
    - ``polarity_kept``: always False, the code keeps no polarity.
    """

    n_events: int
    coverage: float
    decoded_voxels: int
    false_voxels: int
    over_coverage: float
    duplicates: int
    mean_time_error_us: float
    max_time_error_us: int
    polarity_kept: bool = False


def _frame_of_events(t: np.ndarray, frames: list[Frame]) -> np.ndarray:
    """Index into ``frames`` of the frame whose time range holds each time, or -1.

    The encoder's frames cover disjoint, increasing time ranges, so the candidate
    is the last frame starting at or before t.
    """
    # Frames without events have no time range to match.
    held = np.array([k for k, f in enumerate(frames) if f.n_events > 0], dtype=np.int64)
    firsts = np.array([frames[k].t_first for k in held], dtype=np.int64)
    lasts = np.array([frames[k].t_last for k in held], dtype=np.int64)
    pos = np.searchsorted(firsts, t, side="right") - 1
    ok = pos >= 0
    ok[ok] = t[ok] <= lasts[pos[ok]]
    return np.where(ok, held[np.maximum(pos, 0)] if held.size else -1, -1)


def _grid_dims(frame: Frame) -> list[int]:
    """The coder's grid: each of width, height and time_bins rounded up to a power of two."""
    return [1 << max(int(v) - 1, 0).bit_length() for v in (frame.width, frame.height, frame.time_bins)]


def _voxels(frame: Frame, x: np.ndarray, y: np.ndarray, t: np.ndarray) -> tuple[np.ndarray, ...]:
    """Grid voxel of each event, binned exactly as the encoder does (IEEE double)."""
    dims = _grid_dims(frame)
    span = max(frame.t_last - frame.t_first, 1)
    q = (t - frame.t_first).astype(np.float64) / float(span)
    v = q * (float(frame.time_bins) + -1.0)
    bins = np.where(v > 0, np.minimum(v, float(dims[2] - 1)), 0).astype(np.int64)
    return np.minimum(x, dims[0] - 1), np.minimum(y, dims[1] - 1), bins


def _frame_figures(frame: Frame, x: np.ndarray, y: np.ndarray, t: np.ndarray) -> dict[str, Any]:
    vx, vy, vb = _voxels(frame, x, y, t)
    boxes = frame.boxes
    covered = np.zeros(x.size, dtype=bool)
    box_of = np.full(x.size, -1, dtype=np.int64)
    # Octree leaves are aligned to their own size, so each event has at most one
    # candidate box per box size: look the candidates up by cell key.
    # Extents are at most 2**16, so 21 bits each pack a box size into one integer.
    size_keys = (boxes["dx"].astype(np.int64) << 42) | (boxes["dy"].astype(np.int64) << 21) | boxes["dbin"]
    for size in np.unique(size_keys).tolist():
        dx, dy, db = size >> 42, (size >> 21) & 0x1FFFFF, size & 0x1FFFFF
        sel = np.flatnonzero(size_keys == size)
        keys = ((boxes["x"][sel].astype(np.int64) // dx) << 40
                | (boxes["y"][sel].astype(np.int64) // dy) << 20
                | (boxes["bin"][sel].astype(np.int64) // db))
        order = np.argsort(keys)
        keys = keys[order]
        event_keys = (vx // dx) << 40 | (vy // dy) << 20 | (vb // db)
        pos = np.minimum(np.searchsorted(keys, event_keys), keys.size - 1)
        hit = keys[pos] == event_keys
        covered |= hit
        box_of[hit] = sel[order[pos[hit]]]
    voxel_keys = (vx << 40) | (vy << 20) | vb
    distinct = np.unique(voxel_keys).size
    dims = _grid_dims(frame)
    ends = [np.minimum(boxes[o].astype(np.int64) + boxes[e], d)
            for o, e, d in (("x", "dx", dims[0]), ("y", "dy", dims[1]), ("bin", "dbin", dims[2]))]
    volume = ((ends[0] - boxes["x"]) * (ends[1] - boxes["y"]) * (ends[2] - boxes["bin"])).sum()
    covered_idx = np.flatnonzero(covered)
    times = frame.box_times(boxes["bin"][box_of[covered_idx]], boxes["dbin"][box_of[covered_idx]])
    errors = np.abs(times.astype(np.int64) - t[covered_idx])
    # Only the voxels inside some box are part of the decoded volume.
    covered_distinct = distinct if covered.all() else np.unique(voxel_keys[covered]).size
    return {
        "covered": int(covered.sum()),
        "decoded_voxels": int(volume),
        "false_voxels": int(volume) - covered_distinct,
        "duplicates": int(x.size - distinct),
        "error_sum": float(errors.sum()),
        "error_max": int(errors.max()) if errors.size else 0,
    }


def distortion(original: Any, decoded: Frame | Iterable[Frame]) -> Distortion:
    """Compare ``original`` events with the frames decoded from their container.

    ``decoded`` is a Reader, a list of frames or one frame. Each event is matched
    to the frame whose time range holds it; events that no frame's range holds
    count as not covered.
    """
    events = as_events(original)
    frames = [decoded] if isinstance(decoded, Frame) else list(decoded)
    x = events["x"].astype(np.int64)
    y = events["y"].astype(np.int64)
    t = events["t"].astype(np.int64)
    which = _frame_of_events(t, frames)
    # Group event indices by frame once (stable, so each frame keeps file
    # order): a scan per frame would cost frames x events.
    order = np.argsort(which, kind="stable")
    bounds = np.searchsorted(which[order], np.arange(len(frames) + 1))
    covered = decoded_voxels = false_voxels = duplicates = 0
    error_sum, error_max = 0.0, 0
    for k, frame in enumerate(frames):
        sel = order[bounds[k] : bounds[k + 1]]
        if frame.boxes.size == 0 and sel.size == 0:
            continue
        figures = _frame_figures(frame, x[sel], y[sel], t[sel])
        covered += figures["covered"]
        decoded_voxels += figures["decoded_voxels"]
        false_voxels += figures["false_voxels"]
        duplicates += figures["duplicates"]
        error_sum += figures["error_sum"]
        error_max = max(error_max, figures["error_max"])
    n = int(events.size)
    return Distortion(
        n_events=n,
        coverage=covered / n if n else 1.0,
        decoded_voxels=decoded_voxels,
        false_voxels=false_voxels,
        over_coverage=false_voxels / decoded_voxels if decoded_voxels else 0.0,
        duplicates=duplicates,
        mean_time_error_us=error_sum / covered if covered else 0.0,
        max_time_error_us=error_max,
    )
