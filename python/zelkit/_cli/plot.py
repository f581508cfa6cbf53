"""The sweep plot: bits per event against time bins, one line per depth limit."""

from __future__ import annotations

import os
from collections.abc import Sequence

from .._atomic import atomic_output
from ..evaluation import Record

#: Pixel size of the saved figure (width, height).
FIGURE_PIXELS = (1000, 600)
_DPI = 100


def require_matplotlib() -> None:
    """Fail before any work when the plot extra is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'zel[plot]'") from None


def plot_sweep(records: Sequence[Record], path: str | os.PathLike[str]) -> None:
    """Write a PNG of bits per event (all files together) against time_bins,
    a line per (max_depth, frames), with the general compressors on the raw
    records (flat: they do not depend on the grid) and on the occupancy grid
    as dashed reference lines."""
    require_matplotlib()
    import matplotlib

    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure

    totals: dict[tuple[int, int, int], dict[str, int]] = {}
    for record in records:
        key = (record.max_depth, record.frames, record.time_bins)
        total = totals.setdefault(key, dict.fromkeys(("events", "zel", "zstd19_raw", "xz_raw", "zstd19_grid", "xz_grid"), 0))
        total["events"] += record.n_events
        total["zel"] += record.zel_bytes
        for column in ("zstd19_raw", "xz_raw", "zstd19_grid", "xz_grid"):
            total[column] += getattr(record, column)

    def bpe(total: dict[str, int], column: str) -> float:
        return 8 * total[column] / total["events"] if total["events"] else float("nan")

    figure = Figure(figsize=(FIGURE_PIXELS[0] / _DPI, FIGURE_PIXELS[1] / _DPI), dpi=_DPI)
    axes = figure.add_subplot()
    lines = sorted({(depth, frames) for depth, frames, _ in totals})
    for depth, frames in lines:
        bins = sorted(b for d, f, b in totals if (d, f) == (depth, frames))
        label = f"zel, max_depth {depth}" + (f", {frames} frames" if frames > 1 else "")
        axes.plot(bins, [bpe(totals[(depth, frames, b)], "zel") for b in bins], marker="o", label=label)
    baseline_bins = sorted({b for _, f, b in totals if f == 1}) or sorted({b for _, _, b in totals})
    if baseline_bins:
        first = next(key for key in sorted(totals) if key[2] in baseline_bins)
        for column, style, label in (("zstd19_raw", "k-", "zstd -19, raw records"),
                                     ("xz_raw", "k:", "xz, raw records")):
            value = bpe(totals[first], column)
            axes.axhline(value, color=style[0], linestyle=style[1:], linewidth=1, label=label)
        depth, frames = first[0], first[1]
        for column, label in (("zstd19_grid", "zstd -19, occupancy grid"), ("xz_grid", "xz, occupancy grid")):
            values = [bpe(totals[(depth, frames, b)], column) for b in baseline_bins if (depth, frames, b) in totals]
            axes.plot([b for b in baseline_bins if (depth, frames, b) in totals], values, "--", label=label)
    from matplotlib.ticker import NullFormatter, ScalarFormatter

    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    all_bins = sorted({b for _, _, b in totals})
    axes.set_xticks(all_bins, [str(b) for b in all_bins])
    axes.xaxis.set_minor_formatter(NullFormatter())
    axes.yaxis.set_major_formatter(ScalarFormatter())
    axes.yaxis.set_minor_formatter(NullFormatter())
    axes.set_xlabel("time bins")
    axes.set_ylabel("bits per event")
    axes.set_title(f"bits per event over {len({r.path for r in records})} files")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")
    with atomic_output(path) as handle:
        figure.savefig(handle, format="png", dpi=_DPI)
