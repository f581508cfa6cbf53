"""The sweep plot: bits per event against time bins, one line per depth limit.

It shows the table's figures: means over files (summary.mean_over_files),
for zel and for the general compressors on the same occupancy grid; the
compressors on the raw records, which do not depend on the grid, are
horizontal lines.
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from .._atomic import atomic_output
from ..evaluation import Record
from .common import require
from .summary import COMPRESSOR_NAMES, bits_per_event, bits_per_event_of, by_setting, mean_over_files
from .summary import measured_compressors

#: Pixel size of the saved figure (width, height).
FIGURE_PIXELS = (1000, 600)
_DPI = 100


def plot_sweep(records: Sequence[Record], path: str | os.PathLike[str]) -> None:
    """Write a PNG of bits per event (mean over files) against time_bins, a line
    per (max_depth, frames, codec), with the general compressors on the same
    grid dashed and on the raw records flat."""
    require("matplotlib", "the plot", "plot")
    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure
    from matplotlib.ticker import NullFormatter, ScalarFormatter

    groups = by_setting(records)
    figure = Figure(figsize=(FIGURE_PIXELS[0] / _DPI, FIGURE_PIXELS[1] / _DPI), dpi=_DPI)
    axes = figure.add_subplot()
    lines = sorted({(s.max_depth, s.frames, s.codec) for s in groups})
    for depth, frames, codec in lines:
        points = sorted((s.time_bins, value) for s, group in groups.items()
                        if (s.max_depth, s.frames, s.codec) == (depth, frames, codec)
                        and (value := mean_over_files(group, bits_per_event)) is not None)
        label = f"{codec}, max depth {depth}" + (f", {frames} frames" if frames > 1 else "")
        axes.plot([b for b, _ in points], [v for _, v in points], marker="o", label=label)
    # The baselines depend on the grid's bins, not on the depth: one line
    # each, from the first depth's settings.
    depth, frames, codec = lines[0]
    reference = sorted((s.time_bins, group) for s, group in groups.items()
                       if (s.max_depth, s.frames, s.codec) == (depth, frames, codec))
    for stem in measured_compressors(records, "grid"):
        grid = [(b, value) for b, group in reference
                if (value := mean_over_files(group, bits_per_event_of(f"{stem}_grid"))) is not None]
        axes.plot([b for b, _ in grid], [v for _, v in grid], "--",
                  label=f"{COMPRESSOR_NAMES[stem]}, same occupancy grid")
    for stem, style in zip(measured_compressors(records, "raw"), ("-", ":")):
        raw = mean_over_files(reference[0][1], bits_per_event_of(f"{stem}_raw"))
        if raw is not None:
            axes.axhline(raw, color="k", linestyle=style, linewidth=1,
                         label=f"{COMPRESSOR_NAMES[stem]}, raw records (lossless)")
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    all_bins = sorted({s.time_bins for s in groups})
    axes.set_xticks(all_bins, [str(b) for b in all_bins])
    axes.xaxis.set_minor_formatter(NullFormatter())
    axes.yaxis.set_major_formatter(ScalarFormatter())
    axes.yaxis.set_minor_formatter(NullFormatter())
    axes.set_xlabel("time bins")
    axes.set_ylabel("bits per event, mean over files")
    axes.set_title(f"bits per event, mean over {len({r.path for r in records})} files")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")
    with atomic_output(path) as handle:
        figure.savefig(handle, format="png", dpi=_DPI)
