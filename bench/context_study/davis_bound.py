"""The information in the davis-like streams, against the byte targets.

    python3 bench/context_study/davis_bound.py

The davis-like recording (bench/davis_like.hpp) draws every event from a
known distribution: 70 % on three moving bars, 10 % on sixteen hot pixels,
20 % uniform noise. Treating its hash as random, a voxel of a time bin is
occupied with probability 1 - exp(-lambda), lambda being the expected events
that land on it, and voxels are independent up to the fixed event count per
bin (a few bits per bin). The sum of the voxels' binary entropies is then
the expected length of the best code that does not know the hash: no coder
of the occupancy grid gets below it on average, whatever its model.
"""
from __future__ import annotations

import numpy as np


def binary_entropy(p: np.ndarray) -> np.ndarray:
    p = np.clip(p, 1e-300, 1 - 1e-16)
    return -(p * np.log2(p) + (1 - p) * np.log2(1 - p))


def bound_bytes(n: int, width: int, height: int, time_bins: int,
                duration_us: int = 1_000_000) -> tuple[float, float]:
    """(whole stream, noise alone) entropy in bytes at this many time bins."""
    t = (np.arange(n, dtype=np.uint64) * np.uint64(duration_us) // np.uint64(n)).astype(np.int64)
    q = t / t.max()
    bins = np.minimum(np.trunc(q * (time_bins - 1.0)).astype(np.int64), time_bins - 1)
    # Offset of a bar event from its bar's centre: (j1 + j2) // 2 - 7.
    jitter = np.bincount(np.add.outer(np.arange(16), np.arange(16)).ravel() // 2,
                         minlength=16) / 256.0
    start, speed = [40, 300, 170], [120, 200, 310]
    total = noise = 0.0
    for b in range(time_bins):
        in_bin = t[bins == b]
        events = in_bin.size
        if events == 0:
            continue
        lam_noise = np.full((width, height), 0.2 * events / (width * height))
        lam = lam_noise.copy()
        for k in range(16):
            lam[(k * 97 + 13) % width, (k * 61 + 7) % height] += 0.1 * events / 16
        for bar in range(3):
            centre = (start[bar] + speed[bar] * in_bin // 1_000_000) % width
            at_centre = np.bincount(centre, minlength=width).astype(float)
            along_x = sum(np.roll(at_centre, k - 7) * jitter[k] for k in range(16))
            rows = (30 + bar * height // 4 + np.arange(height // 4)) % height
            lam[:, rows] += (0.7 / 3) * along_x[:, None] / (height // 4)
        total += binary_entropy(1 - np.exp(-lam)).sum()
        noise += binary_entropy(1 - np.exp(-lam_noise)).sum()
    return total / 8, noise / 8


def main() -> None:
    for n, w, h in [(1_000_000, 346, 260), (2_000_000, 1280, 720)]:
        for tb in (16, 64, 256):
            total, noise = bound_bytes(n, w, h, tb)
            print(f"davis-like {n} {w}x{h} tb{tb}: entropy {total:,.0f} B "
                  f"(its noise alone {noise:,.0f} B)", flush=True)


if __name__ == "__main__":
    main()
