"""General-purpose compressors measured beside zel, and the grid they are given.

Every figure in a dataset evaluation is only meaningful next to what an
off-the-shelf compressor does with the same input, so the evaluation runs
these on the raw 9-byte records and on the packed occupancy grid.
"""

from __future__ import annotations

import lzma
from collections.abc import Callable

import numpy as np
import zstandard

#: Name -> function returning the compressed size in bytes.
COMPRESSORS: dict[str, Callable[[bytes], int]] = {
    "zstd3": lambda data: len(zstandard.ZstdCompressor(level=3).compress(data)),
    "zstd19": lambda data: len(zstandard.ZstdCompressor(level=19).compress(data)),
    "xz": lambda data: len(_xz(data)),
}


def _xz(data: bytes) -> bytes:
    # xz's default preset, with the dictionary cut to the input's size: a
    # larger one cannot find more matches, so the output has the same length,
    # but preparing the default 8 MiB dictionary dominates small inputs.
    dictionary = 1 << max(12, (len(data) - 1).bit_length())
    return lzma.compress(data, filters=[{"id": lzma.FILTER_LZMA2, "preset": 6, "dict_size": min(dictionary, 1 << 23)}])


def compressed_sizes(data: bytes, names: tuple[str, ...] = tuple(COMPRESSORS)) -> dict[str, int]:
    """The size each compressor in ``names`` reaches on ``data``."""
    return {name: COMPRESSORS[name](data) for name in names}


def time_bin_of(t: np.ndarray, n_bins: int) -> np.ndarray:
    """The bin of each timestamp by zel's rule, so baseline and codec see one grid.

    q = (t - tmin) / span; bin = trunc(q * (n_bins - 1)), capped at n_bins - 1,
    evaluated in float64 in that order; span is 1 when all timestamps are equal.
    """
    if t.size == 0:
        return np.zeros(0, dtype=np.int64)
    tmin, tmax = int(t.min()), int(t.max())
    span = float(tmax - tmin) if tmax > tmin else 1.0
    q = (t.astype(np.float64) - float(tmin)) / span
    bins = np.trunc(q * (float(n_bins) + -1.0)).astype(np.int64)
    return np.minimum(bins, n_bins - 1)


def packed_grid_bytes(width: int, height: int, n_bins: int) -> int:
    """The size of the packed occupancy grid: one bit per voxel."""
    return (n_bins * height * width + 7) // 8


def packed_occupancy(events: np.ndarray, width: int, height: int, n_bins: int) -> bytes:
    """The occupancy grid (n_bins, height, width) of the events, one bit per voxel.

    Built straight into the packed buffer (MSB first, as numpy.packbits), so a
    grid of a billion voxels costs 128 MB, not a gigabyte of booleans.
    Coordinates beyond the sensor are clamped to its last row or column, as
    the codec does.
    """
    packed = np.zeros(packed_grid_bytes(width, height, n_bins), dtype=np.uint8)
    if events.size:
        x = np.minimum(events["x"].astype(np.int64), width - 1)
        y = np.minimum(events["y"].astype(np.int64), height - 1)
        b = time_bin_of(events["t"], n_bins)
        index = np.unique((b * height + y) * width + x)
        np.bitwise_or.at(packed, index >> 3, (0x80 >> (index & 7)).astype(np.uint8))
    return packed.tobytes()
