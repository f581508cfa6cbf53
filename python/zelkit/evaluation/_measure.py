"""The per-file work of an evaluation, run wherever the executor puts it.

Only a path and the settings travel to the worker; it reads the file itself,
so a cluster never ships event arrays over the network, and it sends back
small records.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

import zelkit

from ._baselines import compressed_sizes, packed_occupancy
from ._records import Failure, Record, Setting


def measure_files(jobs: Sequence[tuple[str, Sequence[Setting]]]) -> list[list[Record] | Failure]:
    """Measure several files, each at its settings; a file that fails becomes a
    Failure and the rest go on."""
    outcomes: list[list[Record] | Failure] = []
    for path, settings in jobs:
        try:
            outcomes.append(measure_file(path, settings))
        except MemoryError:
            outcomes.append(Failure(path, "MemoryError: not enough memory for this file"))
        except Exception as error:  # noqa: BLE001  (any fault of one file is that file's failure)
            outcomes.append(Failure(path, _one_line(error)))
    return outcomes


def measure_file(path: str, settings: Sequence[Setting]) -> list[Record]:
    events, width, height, format_name = _load(path)
    raw = events.tobytes()
    raw_sizes = compressed_sizes(raw)
    grid_sizes: dict[int, tuple[int, dict[str, int]]] = {}
    records = []
    for setting in settings:
        n_bins = setting.time_bins * setting.frames
        if n_bins not in grid_sizes:
            grid = packed_occupancy(events, width, height, n_bins)
            grid_sizes[n_bins] = (len(grid), compressed_sizes(grid))
        grid_bytes, grid_compressed = grid_sizes[n_bins]
        zel_bytes, result = _compress(events, width, height, setting)
        container = zelkit.encode(events, width=width, height=height, time_bins=setting.time_bins,
                                  max_depth=setting.max_depth, n_frames=setting.frames)
        lost = zelkit.distortion(events, zelkit.decode(container))
        n = len(events)
        records.append(
            Record(
                path=path,
                format=format_name,
                width=width,
                height=height,
                time_bins=setting.time_bins,
                max_depth=setting.max_depth,
                frames=setting.frames,
                n_events=n,
                zel_bytes=zel_bytes,
                bits_per_event=8 * zel_bytes / n if n else None,
                ratio=len(raw) / zel_bytes if n and zel_bytes else None,
                encode_mev_s=_rate(n, result.encode_us),
                decode_mev_s=_rate(n, result.decode_us),
                raw_bytes=len(raw),
                zstd3_raw=raw_sizes["zstd3"],
                zstd19_raw=raw_sizes["zstd19"],
                xz_raw=raw_sizes["xz"],
                grid_bytes=grid_bytes,
                zstd3_grid=grid_compressed["zstd3"],
                zstd19_grid=grid_compressed["zstd19"],
                xz_grid=grid_compressed["xz"],
                container_bytes=len(container),
                coverage=lost.coverage,
                over_coverage=lost.over_coverage,
                duplicates=lost.duplicates,
                mean_time_error_us=lost.mean_time_error_us,
                max_time_error_us=lost.max_time_error_us,
            )
        )
    return records


def _load(path: str) -> tuple[np.ndarray, int, int, str]:
    described = zelkit.info(path)
    events = zelkit.load(path, format=described.format)
    # An empty file still gets a one-pixel sensor, so its grid is defined.
    return events, max(described.width, 1), max(described.height, 1), described.format


def _compress(events: np.ndarray, width: int, height: int, setting: Setting) -> tuple[int, zelkit.CompressionStats]:
    if setting.frames == 1:
        data, result = zelkit.compress(events, width, height, setting.time_bins, setting.max_depth)
        return len(data), result
    frames, result = zelkit.compress_sequence(
        events, width, height, setting.time_bins, setting.max_depth, setting.frames
    )
    return sum(len(frame) for frame in frames), result


def _rate(n_events: int, microseconds: int) -> float | None:
    return n_events / microseconds if n_events and microseconds > 0 else None


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split()) or type(error).__name__
    return text if isinstance(error, OSError) else f"{type(error).__name__}: {text}"
