"""How far a causal voxel-by-voxel context model could go, for scale.

    python3 bench/context_study/raster_bound.py

Scans the packed grid (time slowest, then y, then x) and scores every voxel
with an adaptive bit model whose context is the voxels already seen around
it: the previous one or two bins at the same pixel and the causal spatial
neighbours in its own bin. Not a coder; a yardstick for what the octree's
contexts leave on the table, per time_bins, against codec zel's bytes.
"""
from __future__ import annotations

import math
import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from tree_levels import time_bins_of  # noqa: E402

LOG2E = 1 / math.log(2)
_lg = np.vectorize(math.lgamma, otypes=[np.float64])


def adaptive_bits(ctx: np.ndarray, bit: np.ndarray, alpha: float = 0.4) -> float:
    key = ctx * 2 + bit
    counts = np.bincount(key, minlength=2 * (int(ctx.max()) + 1)).reshape(-1, 2)
    n = counts.sum(axis=1)
    used = n > 0
    c = counts[used].astype(np.float64)
    nn = n[used].astype(np.float64)
    bits = np.sum(_lg(nn + 2 * alpha) - _lg(2 * alpha)) - np.sum(_lg(c + alpha) - _lg(alpha))
    return float(bits) * LOG2E


def grid_of(ev, width, height, tb):
    b = time_bins_of(ev["t"], tb, 1 << max(0, (tb - 1).bit_length()))
    x = np.minimum(ev["x"].astype(np.int64), width - 1)
    y = np.minimum(ev["y"].astype(np.int64), height - 1)
    g = np.zeros((tb, height, width), dtype=np.int64)
    g[b, y, x] = 1
    return g


def shifted(g, dt, dy, dx):
    """g moved by (dt, dy, dx): out[t, y, x] = g[t - dt, y - dy, x - dx], 0 outside."""
    out = np.zeros_like(g)
    T, H, W = g.shape
    for t in range(dt, T):
        src = g[t - dt]
        ys = slice(max(dy, 0), H + min(dy, 0))
        xs = slice(max(dx, 0), W + min(dx, 0))
        ys_src = slice(max(-dy, 0), H - max(dy, 0))
        xs_src = slice(max(-dx, 0), W - max(dx, 0))
        out[t][ys, xs] = src[ys_src, xs_src]
    return out


def bound(ev, width, height, tb) -> dict[str, float]:
    g = grid_of(ev, width, height, tb)
    # Causal neighbours: earlier bins at the same pixel (any position), and
    # in the same bin the pixels before this one in raster order.
    n = {
        "t-1": shifted(g, 1, 0, 0),
        "t-2": shifted(g, 2, 0, 0),
        "t+0 x-1": shifted(g, 0, 0, 1),
        "t+0 y-1": shifted(g, 0, 1, 0),
        "t+0 x-1 y-1": shifted(g, 0, 1, 1),
        "t+0 x+1 y-1": shifted(g, 0, 1, -1),
        "t-1 x-1": shifted(g, 1, 0, 1),
        "t-1 x+1": shifted(g, 1, 0, -1),
        "t-1 y-1": shifted(g, 1, 1, 0),
        "t-1 y+1": shifted(g, 1, -1, 0),
    }
    bit = g.ravel()
    out = {}
    out["iid"] = adaptive_bits(np.zeros_like(bit), bit) / 8
    ctx = np.zeros_like(bit)
    for k, name in enumerate(["t-1", "t-2"]):
        ctx |= n[name].ravel() << k
    out["time only"] = adaptive_bits(ctx, bit) / 8
    ctx = np.zeros_like(bit)
    for k, name in enumerate(["t+0 x-1", "t+0 y-1", "t+0 x-1 y-1", "t+0 x+1 y-1"]):
        ctx |= n[name].ravel() << k
    out["space only"] = adaptive_bits(ctx, bit) / 8
    ctx = np.zeros_like(bit)
    for k, name in enumerate(n):
        ctx |= n[name].ravel() << k
    out["space+time (10)"] = adaptive_bits(ctx, bit) / 8
    return out


def main() -> None:
    import zelkit
    from streams import streams
    for name, ev, w, h in streams("/work/shared/data"):
        if len(ev) > 1_500_000:
            continue
        for tb in (16, 64, 256):
            if tb * w * h > 120_000_000:
                continue
            zel_bytes = len(zelkit.compress(ev, w, h, tb, 16)[0])
            r = bound(ev, w, h, tb)
            print(f"{name[:14]:14s} tb{tb:3d} zel {zel_bytes:8d} " +
                  " ".join(f"{k}={v / zel_bytes:.3f}" for k, v in r.items()), flush=True)


if __name__ == "__main__":
    main()
