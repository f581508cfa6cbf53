"""A picture of what the code keeps: the events of a window beside their decoding."""

from __future__ import annotations

import os

import numpy as np

from .._atomic import atomic_output

#: Pixel size of the saved figure (width, height).
FIGURE_PIXELS = (1200, 600)
_DPI = 100

#: Colours of the event frame: background, OFF (p = 0), ON (p != 0).
_BACKGROUND = np.array([255, 255, 255], dtype=np.uint8)
_OFF = np.array([31, 119, 180], dtype=np.uint8)
_ON = np.array([214, 39, 40], dtype=np.uint8)


def event_frame(events: np.ndarray, width: int, height: int) -> np.ndarray:
    """An RGB image (height, width, 3): each pixel in the colour of its latest event."""
    image = np.empty((height, width, 3), dtype=np.uint8)
    image[:] = _BACKGROUND
    if events.size:
        order = np.argsort(events["t"], kind="stable")
        x = np.minimum(events["x"][order], width - 1)
        y = np.minimum(events["y"][order], height - 1)
        image[y, x] = np.where((events["p"][order] != 0)[:, None], _ON, _OFF)
    return image


def occupancy_image(grid: np.ndarray, width: int, height: int) -> np.ndarray:
    """How many time bins each pixel is occupied in, from a (time_bins, h, w) grid
    (cropped to the sensor: the code's grid may be padded)."""
    counts: np.ndarray = grid[:, :height, :width].sum(axis=0, dtype=np.int64)
    return counts


def render_view(events: np.ndarray, grid: np.ndarray, width: int, height: int, title: str,
                path: str | os.PathLike[str]) -> None:
    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure

    figure = Figure(figsize=(FIGURE_PIXELS[0] / _DPI, FIGURE_PIXELS[1] / _DPI), dpi=_DPI)
    left, right = figure.subplots(1, 2)
    left.imshow(event_frame(events, width, height), interpolation="nearest")
    left.set_title(f"{len(events):,} events (red ON, blue OFF)")
    occupancy = occupancy_image(grid, width, height)
    shown = right.imshow(occupancy, cmap="magma", interpolation="nearest")
    right.set_title(f"decoded occupancy, {int(np.count_nonzero(grid)):,} voxels")
    figure.colorbar(shown, ax=right, label="occupied time bins", shrink=0.8)
    for axes in (left, right):
        axes.set_xlabel("x")
        axes.set_ylabel("y")
    figure.suptitle(title)
    with atomic_output(path) as handle:
        figure.savefig(handle, format="png", dpi=_DPI)
