"""The per-setting summary printed at the end of an evaluation."""

from __future__ import annotations

import statistics
from collections.abc import Sequence

from ..evaluation import Record, Setting
from .table import format_table

HEADERS = (
    "time_bins", "max_depth", "frames", "files", "events",
    "mean bpe", "median bpe", "x zstd19 raw", "x xz raw", "x zstd19 grid", "x xz grid",
    "over-coverage", "time err us",
)


def summary_rows(records: Sequence[Record]) -> list[tuple[object, ...]]:
    """One row per setting. Bits per event are per file (files without events
    left out); the "x ..." columns are how many times smaller zel's output is
    than that baseline, over all files of the setting together. What the code
    loses: the mean over files of the fraction of decoded voxels that held no
    event, and the mean absolute time error of reconstructed events."""
    by_setting: dict[Setting, list[Record]] = {}
    for record in records:
        by_setting.setdefault(record.setting, []).append(record)
    rows: list[tuple[object, ...]] = []
    for setting in sorted(by_setting):
        group = by_setting[setting]
        bpe = [record.bits_per_event for record in group if record.bits_per_event is not None]
        zel_total = sum(record.zel_bytes for record in group)

        def times(column: str) -> float | None:
            total = sum(getattr(record, column) for record in group)
            return total / zel_total if zel_total else None

        rows.append((
            setting.time_bins, setting.max_depth, setting.frames, len(group),
            sum(record.n_events for record in group),
            statistics.fmean(bpe) if bpe else None,
            statistics.median(bpe) if bpe else None,
            times("zstd19_raw"), times("xz_raw"), times("zstd19_grid"), times("xz_grid"),
            statistics.fmean(record.over_coverage for record in group),
            _event_weighted(group, "mean_time_error_us"),
        ))
    return rows


def _event_weighted(group: Sequence[Record], column: str) -> float | None:
    events = sum(record.n_events for record in group)
    if not events:
        return None
    return float(sum(getattr(record, column) * record.n_events for record in group)) / events


def summary_table(records: Sequence[Record]) -> str:
    return format_table(HEADERS, summary_rows(records))
