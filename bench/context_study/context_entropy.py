"""What each choice of context saves on the occupancy tree's child masks.

    python3 bench/context_study/context_entropy.py [--data DIR] [--bins 16,64,256]

Every occupied node's child mask (2, 4 or 8 bits, never zero) is one symbol.
For each context choice the table gives the adaptive code length in bytes:
per context, a Dirichlet estimator over the nonzero masks, whose total cost
depends only on the counts, so no order or coder detail enters, and the
learning cost that a stored table would pay as table bytes is included.
"zel" is one static probability over every tree bit, as codec="zel" codes it.
"""
from __future__ import annotations

import argparse
import math
import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))

from tree_levels import NodeSet, build_tree  # noqa: E402

AXES = np.eye(3, dtype=np.int64)
LOG2E = 1.0 / math.log(2.0)
_lgamma = np.vectorize(math.lgamma, otypes=[np.float64])


def lg(v):
    return _lgamma(np.asarray(v, dtype=np.float64))


def dirichlet_bits(ctx: np.ndarray, sym: np.ndarray, k: int, alpha: float) -> float:
    """Adaptive code length of sym under a Dirichlet(alpha) estimator per context."""
    if sym.size == 0:
        return 0.0
    pair = np.unique(ctx * 512 + sym, return_counts=True)
    pc, counts = pair
    per_ctx = np.unique(ctx, return_counts=True)[1]
    bits = np.sum(lg(per_ctx + k * alpha) - lg(k * alpha))
    bits -= np.sum(lg(counts + alpha) - lg(alpha))
    return float(bits) * LOG2E


def static_bits(ctx: np.ndarray, sym: np.ndarray) -> float:
    if sym.size == 0:
        return 0.0
    _, counts = np.unique(ctx * 512 + sym, return_counts=True)
    _, inv = np.unique(np.unique(ctx * 512 + sym) // 512, return_inverse=True)
    totals = np.bincount(inv, weights=counts)
    return float(-np.sum(counts * np.log2(counts / totals[inv])))


def popcount(v: np.ndarray) -> np.ndarray:
    v = v.astype(np.int64)
    c = np.zeros_like(v)
    while np.any(v):
        c += v & 1
        v >>= 1
    return c


class Contexts:
    """Candidate contexts of every parent on one level."""

    def __init__(self, tree, li: int):
        lev = tree.levels[li]
        self.lev = lev
        p = lev.parent_xyz
        pset = NodeSet(p, lev.parent_dims)
        # Face neighbours of the parent on its own level: -x +x -y +y -t +t.
        self.face = np.zeros(p.shape[0], dtype=np.int64)
        for a in range(3):
            for s, sign in enumerate((-1, 1)):
                hit = pset.contains(p + sign * AXES[a])
                self.face |= hit.astype(np.int64) << (2 * a + s)
        # Which of them share the parent's own parent (siblings).
        inner = np.zeros(p.shape[0], dtype=np.int64)
        if li > 0:
            up = tree.levels[li - 1]
            for a in range(3):
                if up.split[a]:
                    # Low half: the + neighbour is a sibling; high half: the -.
                    low = (p[:, a] & 1) == 0
                    inner |= np.where(low, 1 << (2 * a + 1), 1 << (2 * a))
        self.inner_mask = inner
        # Causal prediction of each child from children already coded: a child
        # whose -x, -y or -t neighbour outside the parent is occupied.
        cset = NodeSet(lev.child_xyz, tuple(
            d * (2 if s else 1) for d, s in zip(lev.parent_dims, lev.split)))
        nc = lev.n_children
        split_axes = [a for a in range(3) if lev.split[a]]
        self.predict = np.zeros(p.shape[0], dtype=np.int64)
        self.upper_hint = np.zeros(p.shape[0], dtype=np.int64)
        for c in range(nc):
            offs = np.zeros(3, dtype=np.int64)
            for b, a in enumerate(reversed(split_axes)):
                offs[a] = (c >> b) & 1
            child = p * np.array([2 if s else 1 for s in lev.split]) + offs
            hit = np.zeros(p.shape[0], dtype=bool)
            for a in range(3):
                if lev.split[a] and offs[a] == 1:
                    continue
                hit |= cset.contains(child - AXES[a])
            self.predict |= hit.astype(np.int64) << (nc - 1 - c)
        self.masks = lev.masks
        self.nc = nc
        # Free contexts: what the grandparent's mask and the previous
        # parent's mask (breadth-first order) say.
        n = p.shape[0]
        self.gmask = np.zeros(n, dtype=np.int64)
        self.pos = np.zeros(n, dtype=np.int64)
        if li > 0:
            up = tree.levels[li - 1]
            self.gmask = np.repeat(up.masks, popcount(up.masks))
            for a in range(3):
                if up.split[a]:
                    self.pos = (self.pos << 1) | (p[:, a] & 1)
        self.prev = np.concatenate([[0], lev.masks[:-1]])
        # The same block one bin earlier on this level: its children next to
        # this parent's (its upper time half when time splits) as a pattern
        # over the x, y child positions; 0 when that block is empty.
        d = lev.parent_dims
        lin = (p[:, 0] * d[1] + p[:, 1]) * d[2] + p[:, 2]
        order = np.argsort(lin)
        earlier = lin - 1
        pos = np.searchsorted(lin[order], earlier)
        pos = np.minimum(pos, lin.size - 1)
        found = (p[:, 2] >= 1) & (lin[order][pos] == earlier)
        qmask = np.where(found, lev.masks[order][pos], 0)
        tsplit = lev.split[2]
        pattern = np.zeros(n, dtype=np.int64)
        if tsplit:
            nxy = nc // 2
            for k in range(nxy):
                # child k*2+1 (upper time half) of the earlier block
                bit = (qmask >> (nc - 1 - (2 * k + 1))) & 1
                pattern |= bit << (nxy - 1 - k)
        else:
            pattern = qmask
        self.tprev = pattern
        self.tfound = found.astype(np.int64)


def zel_bits(n_bits: int, ones: int) -> float:
    p = ones / n_bits
    if p <= 0 or p >= 1:
        return 48.0
    return n_bits * -(p * math.log2(p) + (1 - p) * math.log2(1 - p)) + 48


def study(name: str, x, y, t, width: int, height: int, time_bins: int) -> dict[str, float]:
    tree = build_tree(x, y, t, width, height, time_bins)
    ones = 1 + sum(popcount(l.masks).sum() for l in tree.levels)
    rows: dict[str, list] = {}
    for li in range(len(tree.levels)):
        c = Contexts(tree, li)
        j = c.lev.j
        face_count = popcount(c.face)
        inner = popcount(c.face & c.inner_mask)
        outer = popcount(c.face & ~c.inner_mask)
        pred_count = popcount(c.predict)
        choices = {
            "level": np.zeros_like(c.masks),
            "level+faces(count)": face_count,
            "level+faces(pattern)": c.face,
            "level+siblings(3 faces)": c.face & c.inner_mask,
            "level+inner,outer counts": inner * 8 + outer,
            "level+faces(count)+pred(count)": face_count * 16 + pred_count,
            "level+faces(pattern)+pred(count)": c.face * 16 + pred_count,
            "level+pred(mask)": c.predict,
            "level+tprev": c.tprev * 2 + c.tfound,
            "level+tprev+faces(count)": (c.tprev * 2 + c.tfound) * 8 + face_count,
            "level+tprev+sib3": (c.tprev * 2 + c.tfound) * 8 + (c.face & c.inner_mask),
            "level+tprev+prev(pop)": (c.tprev * 2 + c.tfound) * 16 + popcount(c.prev),
            "level+tprev+gpop": (c.tprev * 2 + c.tfound) * 16 + np.minimum(popcount(c.gmask), 4),
            "level+gpop": popcount(c.gmask),
            "level+gmask": c.gmask,
            "level+gmask+pos": c.gmask * 8 + c.pos,
            "level+prev(pop)": popcount(c.prev),
            "level+prev(mask)": c.prev,
            "level+sib3+prev(pop)": (c.face & c.inner_mask) * 16 + popcount(c.prev),
            "level+sib3+gpop": (c.face & c.inner_mask) * 16 + popcount(c.gmask),
            "level+sib3+gpop+prev(pop)": ((c.face & c.inner_mask) * 16 + popcount(c.gmask)) * 16 + popcount(c.prev),
            "level+faces(count)+prev(pop)": face_count * 16 + popcount(c.prev),
            "level+faces(count)+pred(mask)": face_count * 256 + c.predict,
        }
        for key, ctx in choices.items():
            rows.setdefault(key, []).append((ctx, c.masks, c.nc))
    out = {"zel": zel_bits(tree.n_bits, int(ones)) / 8}
    for key, parts in rows.items():
        best = math.inf
        for alpha in (0.5, 0.125, 1 / 32):
            total = 0.0
            for ctx, sym, nc in parts:
                total += dirichlet_bits(ctx, sym, (1 << nc) - 1, alpha)
            best = min(best, total)
        out[key] = best / 8
        out[key + " [static]"] = sum(static_bits(ctx, sym) for ctx, sym, _ in parts) / 8
    out["n_bits"] = tree.n_bits
    out["symbols"] = sum(l.masks.size for l in tree.levels)
    return out


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default="/work/shared/data")
    ap.add_argument("--bins", default="16,64,256")
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    from streams import streams
    bins = [int(b) for b in args.bins.split(",")]
    for name, ev, w, h in streams(args.data, args.only):
        for tb in bins:
            r = study(name, ev["x"], ev["y"], ev["t"], w, h, tb)
            zel = r["zel"]
            print(f"## {name} tb{tb}: {len(ev)} events, {r['n_bits']} bits, "
                  f"{r['symbols']} masks, zel ~{zel:.0f} B")
            for key, v in r.items():
                if key in ("zel", "n_bits", "symbols") or key.endswith("[static]"):
                    continue
                print(f"  {key:36s} {v:10.0f} B  {v / zel:5.3f}x zel   static {r[key + ' [static]'] / zel:5.3f}x")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
