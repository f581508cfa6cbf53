"""The per-file work of an evaluation, run wherever the executor puts it.

Only a path, the settings and the baseline sizes already known travel to the
worker; it reads the file itself, so a cluster never ships event arrays over
the network, and it sends back small records.
"""

from __future__ import annotations

import threading
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import zelkit

from .._error_text import describe
from .._read_options import AUTO, plan_read
from ._baselines import compressed_sizes, packed_grid_bytes, packed_occupancy
from ._records import Record, Setting

#: Grids whose packed form is larger than this get no grid baselines: the
#: general compressors would take minutes on them, and a lossy code is not
#: compared against a grid that large in practice.
GRID_BASELINE_MAX_BYTES = 256 << 20

# warnings.catch_warnings changes process-wide state, so workers that are
# threads take turns while they collect a file's warnings.
_WARNINGS_LOCK = threading.Lock()


@dataclass(frozen=True)
class KnownSizes:
    """Baseline sizes of one file already in the results: raw records by
    compressor, and the occupancy grid by bin count, then compressor."""

    raw: dict[str, int] = field(default_factory=dict)
    grid: dict[int, dict[str, int]] = field(default_factory=dict)


@dataclass(frozen=True)
class Job:
    """One file to measure and how."""

    path: str
    settings: tuple[Setting, ...]
    baselines: tuple[str, ...] = ("zstd3", "zstd19", "xz")
    known: KnownSizes = field(default_factory=KnownSizes)
    errors: str = "strict"
    t_offset: int | str | None = AUTO


@dataclass(frozen=True)
class Outcome:
    """A file's records, or why it failed, and the warnings its reading raised."""

    path: str
    records: list[Record]
    failure: str | None = None
    warnings: tuple[str, ...] = ()


def measure_files(jobs: Sequence[Job]) -> list[Outcome]:
    """Measure several files; a file that fails becomes an Outcome with its
    reason and the rest go on."""
    outcomes = []
    for job in jobs:
        caught: list[warnings.WarningMessage] = []
        try:
            if job.errors == "skip":
                with _WARNINGS_LOCK, warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always", zelkit.SkippedDataWarning)
                    records = measure_file(job)
            else:
                records = measure_file(job)
            outcome = Outcome(job.path, records)
        except Exception as error:  # noqa: BLE001  (any fault of one file is that file's failure)
            outcome = Outcome(job.path, [], describe(error))
        skipped = tuple(str(w.message) for w in caught if issubclass(w.category, zelkit.SkippedDataWarning))
        outcomes.append(Outcome(outcome.path, outcome.records, outcome.failure, skipped))
    return outcomes


def measure_file(job: Job) -> list[Record]:
    plan = plan_read(job.path, errors=job.errors, t_offset=job.t_offset)
    described = plan.described
    events = zelkit.load(job.path, format=described.format, **plan.options)
    # An empty file still gets a one-pixel sensor, so its grid is defined.
    width, height = max(described.width, 1), max(described.height, 1)
    raw_sizes = _sizes(job.known.raw, job.baselines, lambda: events.tobytes())
    grid_sizes: dict[int, dict[str, int]] = {}
    duration = int(events["t"].max()) - int(events["t"].min()) if events.size else 0
    records = []
    for setting in job.settings:
        n_bins = setting.time_bins * setting.frames
        grid_bytes = packed_grid_bytes(width, height, n_bins)
        if n_bins not in grid_sizes:
            wanted = job.baselines if grid_bytes <= GRID_BASELINE_MAX_BYTES else ()
            grid_sizes[n_bins] = _sizes(job.known.grid.get(n_bins, {}), wanted,
                                        lambda: packed_occupancy(events, width, height, n_bins))
        grid = grid_sizes[n_bins]
        figures = CODECS[setting.codec](events, width, height, setting)
        n = len(events)
        zel_bytes = figures.pop("zel_bytes")
        records.append(
            Record(
                path=job.path, format=described.format, width=width, height=height,
                time_bins=setting.time_bins, max_depth=setting.max_depth, frames=setting.frames,
                codec=setting.codec, n_events=n, t_base=plan.t_base, duration_us=duration, zel_bytes=zel_bytes,
                bits_per_event=8 * zel_bytes / n if n else None,
                ratio=9 * n / zel_bytes if n and zel_bytes else None,
                raw_bytes=9 * n,
                zstd3_raw=raw_sizes.get("zstd3"), zstd19_raw=raw_sizes.get("zstd19"), xz_raw=raw_sizes.get("xz"),
                grid_bytes=grid_bytes,
                zstd3_grid=grid.get("zstd3"), zstd19_grid=grid.get("zstd19"), xz_grid=grid.get("xz"),
                **figures,
            )
        )
    return records


def _sizes(known: dict[str, int], names: tuple[str, ...], data: Callable[[], bytes]) -> dict[str, int]:
    """The sizes of ``names``: those already known, the rest measured on ``data()``."""
    missing = tuple(name for name in names if name not in known)
    measured = compressed_sizes(data(), missing) if missing else {}
    return {name: known.get(name, measured.get(name, 0)) for name in names}


def _zel_figures(events: np.ndarray, width: int, height: int, setting: Setting) -> dict[str, Any]:
    """zel's code of the events: its size and speed, and what its decoding loses."""
    if setting.frames == 1:
        data, result = zelkit.compress(events, width, height, setting.time_bins, setting.max_depth)
        zel_bytes = len(data)
    else:
        frames, result = zelkit.compress_sequence(
            events, width, height, setting.time_bins, setting.max_depth, setting.frames
        )
        zel_bytes = sum(len(frame) for frame in frames)
    container = zelkit.encode(events, width=width, height=height, time_bins=setting.time_bins,
                              max_depth=setting.max_depth, n_frames=setting.frames)
    return {
        "zel_bytes": zel_bytes,
        "encode_mev_s": _rate(len(events), result.encode_us),
        "decode_mev_s": _rate(len(events), result.decode_us),
        **_container_figures(events, container),
    }


def _container_figures(events: np.ndarray, container: bytes) -> dict[str, Any]:
    """The container's size and what its code loses of the events."""
    lost = zelkit.distortion(events, zelkit.decode(container))
    return {
        "container_bytes": len(container),
        "coverage": lost.coverage,
        "over_coverage": lost.over_coverage,
        "duplicates": lost.duplicates,
        "mean_time_error_us": lost.mean_time_error_us,
        "max_time_error_us": lost.max_time_error_us,
    }


def _context_figures(events: np.ndarray, width: int, height: int, setting: Setting) -> dict[str, Any]:
    """The container with context-coded keyframes: its payloads' size, and its
    speed timed through the container (encode, then decode every frame's boxes)
    since no zel function reports it; a frame sequence takes the codec's own
    default keyframe interval."""
    start = time.perf_counter()
    container = zelkit.encode(events, width=width, height=height, time_bins=setting.time_bins,
                              max_depth=setting.max_depth, n_frames=setting.frames, codec="context")
    encode_s = time.perf_counter() - start
    start = time.perf_counter()
    with zelkit.decode(container) as reader:
        payload_bytes = sum(frame.payload_bytes for frame in reader)
    decode_s = time.perf_counter() - start
    return {
        "zel_bytes": payload_bytes,
        "encode_mev_s": _rate(len(events), round(encode_s * 1e6)),
        "decode_mev_s": _rate(len(events), round(decode_s * 1e6)),
        **_container_figures(events, container),
    }


#: Setting.codec -> the figures of that codec's code of a file; one per name in
#: zelkit.CODECS.
CODECS: dict[str, Callable[[np.ndarray, int, int, Setting], dict[str, Any]]] = {
    "zel": _zel_figures,
    "context": _context_figures,
}


def _rate(n_events: int, microseconds: int) -> float | None:
    return n_events / microseconds if n_events and microseconds > 0 else None
