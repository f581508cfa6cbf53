"""A picture of what the code keeps: the events of a window beside their decoding.

Sensors of any size are drawn so that every event shows: a sensor larger
than a panel is pooled into blocks of k x k pixels first (an event or an
occupied voxel anywhere in the block marks it), because a screen pixel
sampled from several sensor pixels would drop sparse ones. Pixels that
hold nothing stay white, so a few occupied pixels on a large sensor stand
out instead of vanishing into a dark background.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from .._atomic import atomic_output

#: Pixel size of the saved figure (width, height).
FIGURE_PIXELS = (1800, 820)
_DPI = 100
#: Sensor pixels a panel shows along each axis before blocks are pooled.
PANEL_PIXELS = (800, 600)

#: Colours of the event frame: background, OFF (p = 0), ON (p != 0).
_BACKGROUND = np.array([255, 255, 255], dtype=np.uint8)
_OFF = np.array([31, 119, 180], dtype=np.uint8)
_ON = np.array([214, 39, 40], dtype=np.uint8)


def pooling(width: int, height: int) -> int:
    """The block side k so that a width x height sensor fits a panel."""
    return max(1, -(-width // PANEL_PIXELS[0]), -(-height // PANEL_PIXELS[1]))


def event_frame(events: np.ndarray, width: int, height: int, k: int = 1) -> np.ndarray:
    """An RGB image (ceil(height / k), ceil(width / k), 3): each block in the
    colour of its latest event."""
    image = np.empty((-(-height // k), -(-width // k), 3), dtype=np.uint8)
    image[:] = _BACKGROUND
    if events.size:
        order = np.argsort(events["t"], kind="stable")
        x = np.minimum(events["x"][order], width - 1) // k
        y = np.minimum(events["y"][order], height - 1) // k
        image[y, x] = np.where((events["p"][order] != 0)[:, None], _ON, _OFF)
    return image


def occupancy_image(boxes: np.ndarray, width: int, height: int, time_bins: int) -> np.ndarray:
    """How many time bins each pixel is occupied in, as an int64 (height, width)
    array, from a frame's boxes (cut at the sensor's edge: the code's grid is
    padded to powers of two).

    The leaves of the octree never overlap, so a pixel's count is the sum of
    the bin extents of the boxes over it; a two-dimensional difference array
    adds every box in one pass without building the dense grid.
    """
    x0 = np.minimum(boxes["x"].astype(np.int64), width)
    y0 = np.minimum(boxes["y"].astype(np.int64), height)
    x1 = np.minimum(x0 + boxes["dx"], width)
    y1 = np.minimum(y0 + boxes["dy"], height)
    first_bin = boxes["bin"].astype(np.int64)
    depth = np.maximum(np.minimum(first_bin + boxes["dbin"], max(time_bins, 1)) - first_bin, 0)
    difference = np.zeros((height + 1, width + 1), dtype=np.int64)
    np.add.at(difference, (y0, x0), depth)
    np.add.at(difference, (y0, x1), -depth)
    np.add.at(difference, (y1, x0), -depth)
    np.add.at(difference, (y1, x1), depth)
    counts: np.ndarray = difference.cumsum(axis=0).cumsum(axis=1)[:height, :width]
    return counts


def pooled_max(image: np.ndarray, k: int) -> np.ndarray:
    """The largest value of each k x k block (the last blocks may be partial)."""
    if k == 1:
        return image
    height, width = image.shape
    padded = np.zeros((-(-height // k) * k, -(-width // k) * k), dtype=image.dtype)
    padded[:height, :width] = image
    blocks: np.ndarray = padded.reshape(padded.shape[0] // k, k, padded.shape[1] // k, k).max(axis=(1, 3))
    return blocks


def render_view(events: np.ndarray, frame: Any, width: int, height: int, title: str,
                path: str | os.PathLike[str], events_label: str = "events (red ON, blue OFF, latest shown)") -> None:
    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.colors import LogNorm
    from matplotlib.figure import Figure

    k = pooling(width, height)
    block = f" ({k}x{k} pixel blocks)" if k > 1 else ""
    figure = Figure(figsize=(FIGURE_PIXELS[0] / _DPI, FIGURE_PIXELS[1] / _DPI), dpi=_DPI, layout="constrained")
    left, right = figure.subplots(1, 2)
    left.imshow(event_frame(events, width, height, k), interpolation="nearest",
                extent=(0, width, height, 0))
    left.set_title(f"{len(events):,} {events_label}{block}")
    counts = occupancy_image(frame.boxes, width, height, frame.time_bins)
    occupied = int(np.count_nonzero(counts))
    shown = pooled_max(counts, k)
    # Empty pixels are masked (white); a log scale keeps one occupied bin as
    # visible as all of them.
    colours = matplotlib.colormaps["viridis"].with_extremes(bad="white")
    picture = right.imshow(np.ma.masked_equal(shown, 0), cmap=colours, interpolation="nearest",
                           norm=LogNorm(vmin=1, vmax=max(2, int(shown.max(initial=0)))),
                           extent=(0, width, height, 0))
    right.set_title(f"decoded occupancy: {occupied:,} pixels, {int(counts.sum()):,} voxels{block}")
    figure.colorbar(picture, ax=right, label="occupied time bins (most in the block)", shrink=0.8)
    for axes in (left, right):
        axes.set_xlabel("x")
        axes.set_ylabel("y")
    figure.suptitle(title)
    with atomic_output(path) as handle:
        figure.savefig(handle, format="png", dpi=_DPI)
