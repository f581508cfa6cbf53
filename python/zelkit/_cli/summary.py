"""The summary printed at the end of an evaluation, and the figures the plot shares.

Every figure of a setting is the mean over its files of that file's figure
(files without events left out); "worst" is the file with the most bits per
event. One rule for the table and the plot, so the two always agree.
"""

from __future__ import annotations

import statistics
from collections.abc import Callable, Sequence

from ..evaluation import Record, Setting
from .table import format_table

#: Compressor column stem -> how the table names it.
COMPRESSOR_NAMES = {"zstd3": "zstd-3", "zstd19": "zstd-19", "xz": "xz"}

LEGEND = """\
Figures are means over the files of a setting (files without events left out).
  bits/event     bits of zel's code per event read; worst file: the largest over the files
  bin us         the time one time bin spans
  merged events  events that fell in a voxel an earlier event of their frame had taken (the code
                 holds one event per voxel), as a share of the events
  C grid / zel   how many times larger compressor C's output is than zel's code on the same
                 occupancy grid, one bit per voxel: like for like, both keep exactly the voxels
  C raw / zel    the same against C on the 9-byte event records, which C keeps exactly and zel
                 does not (no polarity, times to the bin, one event per voxel)
  over-coverage  decoded voxels that held no event (a depth limit merges voxels into boxes)
  time error us  distance from an event's time to its decoded box's, mean over a file's events"""


def by_setting(records: Sequence[Record]) -> dict[Setting, list[Record]]:
    """Records grouped by setting, settings in order."""
    groups: dict[Setting, list[Record]] = {}
    for record in sorted(records, key=lambda r: r.setting):
        groups.setdefault(record.setting, []).append(record)
    return groups


def mean_over_files(group: Sequence[Record], figure: Callable[[Record], float | None]) -> float | None:
    """The mean of a per-file figure over the files that have events and the figure."""
    values = [value for record in group if record.n_events and (value := figure(record)) is not None]
    return statistics.fmean(values) if values else None


def bits_per_event(record: Record) -> float | None:
    return record.bits_per_event


def bits_per_event_of(column: str) -> Callable[[Record], float | None]:
    """A baseline's bits per event, as a per-file figure (for the plot)."""

    def figure(record: Record) -> float | None:
        size = getattr(record, column)
        return 8 * size / record.n_events if size is not None and record.n_events else None

    return figure


def _times_smaller(column: str) -> Callable[[Record], float | None]:
    def figure(record: Record) -> float | None:
        size = getattr(record, column)
        return size / record.zel_bytes if size is not None and record.zel_bytes else None

    return figure


def _bin_us(record: Record) -> float:
    return record.duration_us / record.frames / max(record.time_bins - 1, 1)


def _merged(record: Record) -> float:
    return record.duplicates / record.n_events


def measured_compressors(records: Sequence[Record], where: str) -> list[str]:
    """Compressor stems measured on ``where`` ("raw" or "grid") in any record;
    with every one measured, zstd -3 is left to the results file."""
    stems = [stem for stem in COMPRESSOR_NAMES
             if any(getattr(record, f"{stem}_{where}") is not None for record in records)]
    return [stem for stem in stems if stem != "zstd3"] if len(stems) == 3 else stems


def summary_table(records: Sequence[Record]) -> str:
    groups = by_setting(records)
    several_codecs = len({setting.codec for setting in groups}) > 1 or any(s.codec != "zel" for s in groups)
    setting_headers = ["time\nbins", "max\ndepth", "frames"] + (["codec"] if several_codecs else [])

    def setting_cells(setting: Setting) -> list[object]:
        return [setting.time_bins, setting.max_depth, setting.frames] + ([setting.codec] if several_codecs else [])

    grid_stems, raw_stems = measured_compressors(records, "grid"), measured_compressors(records, "raw")
    like = format_table(
        [*setting_headers, "files", "events", "bin\nus", "merged\nevents", "bits/event\nmean", "bits/event\nworst file",
         *(f"{COMPRESSOR_NAMES[stem]} grid\n/ zel" for stem in grid_stems)],
        [[*setting_cells(setting), len(group), sum(r.n_events for r in group),
          mean_over_files(group, _bin_us), _percent(mean_over_files(group, _merged)),
          mean_over_files(group, bits_per_event),
          max((r.bits_per_event for r in group if r.bits_per_event is not None), default=None),
          *(mean_over_files(group, _times_smaller(f"{stem}_grid")) for stem in grid_stems)]
         for setting, group in groups.items()],
    )
    lossy = format_table(
        [*setting_headers, *(f"{COMPRESSOR_NAMES[stem]} raw\n/ zel" for stem in raw_stems), "over-\ncoverage",
         "time error\nus"],
        [[*setting_cells(setting), *(mean_over_files(group, _times_smaller(f"{stem}_raw")) for stem in raw_stems),
          _percent(mean_over_files(group, lambda r: r.over_coverage)),
          mean_over_files(group, lambda r: r.mean_time_error_us)]
         for setting, group in groups.items()],
    )
    return "\n".join([
        "zel's code against general compressors on the same occupancy grid (like for like):", like, "",
        "against the 9-byte event records (a lossy code against lossless ones), and what the code loses:", lossy, "",
        LEGEND,
    ])


def _percent(share: float | None) -> str | None:
    return None if share is None else f"{100 * share:.1f}%"
