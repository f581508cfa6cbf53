"""The occupancy octree of an event stream, level by level, in NumPy.

Shared by the context study scripts: the same voxels, child numbers and
breadth-first order as the codec builds, without running the codec, so a
context can be scored on any recording before any coder exists for it.
"""
from __future__ import annotations

import dataclasses

import numpy as np


def next_pow2(n: int) -> int:
    return 1 if n <= 1 else 1 << (n - 1).bit_length()


def time_bins_of(t: np.ndarray, time_bins: int, dim_t: int) -> np.ndarray:
    """The codec's binning: trunc((t - tmin) / span * (time_bins - 1.0)), capped."""
    if t.size == 0:
        return np.zeros(0, dtype=np.int64)
    t = t.astype(np.int64)
    tmin, tmax = int(t.min()), int(t.max())
    span = float(tmax - tmin) if tmax > tmin else 1.0
    q = (t.astype(np.float64) - float(tmin)) / span
    v = q * (float(time_bins) + -1.0)
    bins = np.where(v > 0, np.trunc(v), 0).astype(np.int64)
    return np.minimum(bins, dim_t - 1)


@dataclasses.dataclass
class Level:
    """The occupied nodes of level j-1 (the parents) and their child masks.

    parent_xyz: coordinates of each parent at level j-1's resolution, in
    breadth-first (key) order; masks: each parent's child mask (first child
    in the highest of n_children bits); split: which axes split at level j.
    """

    j: int
    n_children: int
    split: tuple[bool, bool, bool]
    parent_xyz: np.ndarray  # (n, 3) int64
    parent_dims: tuple[int, int, int]
    masks: np.ndarray  # (n,) int64
    child_xyz: np.ndarray  # (m, 3) occupied children at level j, key order


@dataclasses.dataclass
class Tree:
    dims: tuple[int, int, int]
    log2: tuple[int, int, int]
    levels: list[Level]
    n_bits: int
    occupied: int


def build_tree(x: np.ndarray, y: np.ndarray, t: np.ndarray, width: int, height: int,
               time_bins: int, max_depth: int = 16) -> Tree:
    dims = (next_pow2(width), next_pow2(height), next_pow2(time_bins))
    log2 = tuple(d.bit_length() - 1 for d in dims)
    n_levels = max(log2)
    depth = min(n_levels, max_depth)
    if x.size == 0:
        return Tree(dims, log2, [], 1, 0)
    xs = np.minimum(x.astype(np.int64), dims[0] - 1)
    ys = np.minimum(y.astype(np.int64), dims[1] - 1)
    bs = time_bins_of(t, time_bins, dims[2])
    coords = np.stack([xs, ys, bs], axis=1)
    # Unique voxels at full resolution, then cut to the depth the tree reaches.
    lin = (xs * dims[1] + ys) * dims[2] + bs
    lin = np.unique(lin)
    coords = np.stack([lin // (dims[1] * dims[2]), (lin // dims[2]) % dims[1], lin % dims[2]], axis=1)
    occupied = lin.size

    def at_level(c: np.ndarray, j: int) -> np.ndarray:
        shifts = np.array([lg - min(j, lg) for lg in log2], dtype=np.int64)
        return c >> shifts

    # Key of every voxel: the child numbers from the root down, x slowest.
    key = np.zeros(coords.shape[0], dtype=np.int64)
    for j in range(1, depth + 1):
        split = tuple(j <= lg for lg in log2)
        cj = at_level(coords, j)
        child = np.zeros_like(key)
        for a in range(3):
            if split[a]:
                child = (child << 1) | (cj[:, a] & 1)
        key = (key << sum(split)) | child
    order = np.argsort(key, kind="stable")
    coords = coords[order]

    levels = []
    n_bits = 1
    for j in range(1, depth + 1):
        split = tuple(j <= lg for lg in log2)
        nc = 1 << sum(split)
        cj = at_level(coords, j)
        pj = at_level(coords, j - 1)
        pdims = tuple(1 << min(j - 1, lg) for lg in log2)
        plin = (pj[:, 0] * pdims[1] + pj[:, 1]) * pdims[2] + pj[:, 2]
        # Parents in key order: first appearance along the key-sorted voxels.
        change = np.ones(plin.size, dtype=bool)
        change[1:] = plin[1:] != plin[:-1]
        group = np.cumsum(change) - 1
        child = np.zeros(plin.size, dtype=np.int64)
        for a in range(3):
            if split[a]:
                child = (child << 1) | (cj[:, a] & 1)
        masks = np.zeros(int(group[-1]) + 1, dtype=np.int64)
        np.bitwise_or.at(masks, group, 1 << (nc - 1 - child))
        # Occupied children in key order: distinct (parent, child) pairs.
        clin_change = np.ones(plin.size, dtype=bool)
        ck = group * nc + child
        clin_change[1:] = ck[1:] != ck[:-1]
        levels.append(Level(j, nc, split, pj[change], pdims, masks, cj[clin_change]))
        n_bits += masks.size * nc
    return Tree(dims, log2, levels, n_bits, occupied)


class NodeSet:
    """Membership of coordinates among the occupied nodes of one level."""

    def __init__(self, xyz: np.ndarray, dims: tuple[int, int, int]):
        self.dims = dims
        self.lin = np.sort((xyz[:, 0] * dims[1] + xyz[:, 1]) * dims[2] + xyz[:, 2])

    def contains(self, xyz: np.ndarray) -> np.ndarray:
        d = self.dims
        inside = np.all((xyz >= 0) & (xyz < np.array(d)), axis=1)
        lin = (xyz[:, 0] * d[1] + xyz[:, 1]) * d[2] + xyz[:, 2]
        lin = np.where(inside, lin, -1)
        pos = np.searchsorted(self.lin, lin)
        pos = np.minimum(pos, self.lin.size - 1)
        return inside & (self.lin[pos] == lin)
