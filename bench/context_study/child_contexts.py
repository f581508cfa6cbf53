"""What each per-child context saves: one binary decision per child bit.

    python3 bench/context_study/child_contexts.py [--data DIR] [--bins 16,64,256] [--only NAME]

For every child of every occupied node (the bits of the octree bitstream
below the root, less the bits the tree implies) the features the context
codec can know when it codes that bit: the level, the child's number, the
parent's 26 neighbours, the child's neighbours that come earlier in key
order, the siblings coded so far. Each context choice is scored by its
adaptive code length (a Beta(a, a) estimator per context, the best a of a
few, so learning is paid for) and its static entropy (no learning cost, a
floor no adaptive coder of that context reaches), both x codec zel's bytes.
"""
from __future__ import annotations

import argparse
import math
import pathlib
import sys

import numpy as np
from scipy.special import gammaln

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))
from tree_levels import build_tree  # noqa: E402

DIRS = [(dx,dy,dt) for dx in (-1,0,1) for dy in (-1,0,1) for dt in (-1,0,1) if (dx,dy,dt)!=(0,0,0)]

def interleave_key(c, j, log2):
    """Key of nodes at level j (coords at level-j resolution)."""
    key = np.zeros(c.shape[0], dtype=np.int64)
    for l in range(1, j+1):
        for a in range(3):
            if l <= log2[a]:
                nb = min(j, log2[a])
                key = (key << 1) | ((c[:, a] >> (nb - l)) & 1)
    return key

class LevelSet:
    def __init__(self, xyz, dims, keys):
        self.dims = dims
        lin = (xyz[:,0]*dims[1]+xyz[:,1])*dims[2]+xyz[:,2]
        o = np.argsort(lin)
        self.lin = lin[o]
        self.keys = keys[o]
    def lookup(self, xyz):
        d = self.dims
        inside = np.all((xyz >= 0) & (xyz < np.array(d)), axis=1)
        lin = (xyz[:,0]*d[1]+xyz[:,1])*d[2]+xyz[:,2]
        lin = np.where(inside, lin, -1)
        pos = np.minimum(np.searchsorted(self.lin, lin), self.lin.size-1)
        hit = inside & (self.lin[pos] == lin)
        return hit, inside

def features(x, y, t, width, height, tb, max_depth=16):
    tree = build_tree(x, y, t, width, height, tb, max_depth)
    log2 = tree.log2
    out = []
    prev_set = None
    for li, lev in enumerate(tree.levels):
        j = lev.j
        P = lev.parent_xyz
        n = P.shape[0]
        nc = lev.n_children
        split = np.array([1 if s else 0 for s in lev.split])
        pdims = lev.parent_dims
        cdims = tuple(d*(2 if s else 1) for d, s in zip(pdims, lev.split))
        pkeys = interleave_key(P, j-1, log2) if j > 1 else np.zeros(n, dtype=np.int64)
        pset = LevelSet(P, pdims, pkeys)
        ckeys_occ = interleave_key(lev.child_xyz, j, log2)
        cset = LevelSet(lev.child_xyz, cdims, ckeys_occ)
        # parent neighbours, 26 bits
        pn = np.zeros(n, dtype=np.int64)
        for k, d in enumerate(DIRS):
            hit, _ = pset.lookup(P + np.array(d))
            pn |= hit.astype(np.int64) << k
        # column count over time at parent level
        col = np.zeros(n, dtype=np.int64)
        if pdims[2] > 1:
            # count nodes with same (x,y)
            xy = P[:,0]*pdims[1]+P[:,1]
            u, inv, cnt = np.unique(xy, return_inverse=True, return_counts=True)
            col = cnt[inv]
        split_axes = [a for a in range(3) if lev.split[a]]
        masks = lev.masks
        bits = np.zeros((n, nc), dtype=np.int8)
        for c in range(nc):
            bits[:, c] = (masks >> (nc-1-c)) & 1
        for c in range(nc):
            offs = np.zeros(3, dtype=np.int64)
            for b, a in enumerate(reversed(split_axes)):
                offs[a] = (c >> b) & 1
            child = P * (1 + split) + offs
                
            ckey = interleave_key(child, j, log2)
            # child-level neighbours: occupied & known (key smaller)
            cn_occ = np.zeros(n, dtype=np.int64)
            cn_known = np.zeros(n, dtype=np.int64)
            for k, d in enumerate(DIRS):
                nb = child + np.array(d)
                hit, inside = cset.lookup(nb)
                nk = interleave_key(np.clip(nb, 0, None), j, log2)
                known = inside & (nk < ckey)
                cn_known |= known.astype(np.int64) << k
                cn_occ |= (known & hit).astype(np.int64) << k
            before = bits[:, :c].sum(axis=1) if c > 0 else np.zeros(n, dtype=np.int64)
            sibpat = np.zeros(n, dtype=np.int64)
            for cc in range(c):
                sibpat = (sibpat << 1) | bits[:, cc]
            implied = (c == nc-1) & (before == 0)
            out.append(dict(j=np.full(n, j), nc=np.full(n, nc), c=np.full(n, c),
                            ox=np.full(n, offs[0]), oy=np.full(n, offs[1]), ot=np.full(n, offs[2]),
                            sx=np.full(n, split[0]), sy=np.full(n, split[1]), st=np.full(n, split[2]),
                            bit=bits[:, c].astype(np.int64), pn=pn, cn_occ=cn_occ, cn_known=cn_known,
                            before=before, sibpat=sibpat, implied=implied, col=col,
                            coltot=np.full(n, pdims[2]), up=np.full(n, tree.levels[-1].j - j),
                            pbx=P[:,0]&1, pby=P[:,1]&1, pbt=P[:,2]&1, psx=np.full(n, int(j-1>=1 and j-1<=log2[0])), psy=np.full(n, int(j-1>=1 and j-1<=log2[1])), pst=np.full(n, int(j-1>=1 and j-1<=log2[2])), gpop=np.zeros(n,dtype=np.int64) if li==0 else np.repeat(np.array([bin(int(m)).count('1') for m in tree.levels[li-1].masks]), [bin(int(m)).count('1') for m in tree.levels[li-1].masks]), node=np.arange(n) + sum(l.masks.size for l in tree.levels[:li])))
    F = {k: np.concatenate([o[k] for o in out]) for k in out[0]}
    return tree, F


LOG2E = 1/math.log(2)
def zel_bytes(F):
    """codec zel's stream: one static probability over every tree bit."""
    n = int(F['n_bits']); ones = int(F['ones'])
    p = ones/n
    return (n*-(p*math.log2(p)+(1-p)*math.log2(1-p)))/8 + 6


def kt_cost(ctx, bit, alpha=0.5, beta=None):
    """adaptive Beta(alpha, beta) cost in bytes, per context."""
    if beta is None: beta = alpha
    u, inv = np.unique(ctx, return_inverse=True)
    n1 = np.bincount(inv, weights=bit, minlength=u.size)
    n = np.bincount(inv, minlength=u.size).astype(float)
    n0 = n - n1
    a = np.broadcast_to(alpha, u.shape) if np.ndim(alpha)==0 else alpha
    b = np.broadcast_to(beta, u.shape) if np.ndim(beta)==0 else beta
    c = (gammaln(a+b) - gammaln(a) - gammaln(b)) - (gammaln(a+b+n) - gammaln(a+n1) - gammaln(b+n0))
    return -c.sum()*LOG2E/8, u.size
def static_cost(ctx, bit):
    u, inv = np.unique(ctx, return_inverse=True)
    n1 = np.bincount(inv, weights=bit, minlength=u.size)
    n = np.bincount(inv, minlength=u.size).astype(float)
    n0 = n-n1
    with np.errstate(divide='ignore', invalid='ignore'):
        h = -(np.where(n1>0, n1*np.log2(n1/n), 0) + np.where(n0>0, n0*np.log2(n0/n), 0))
    return h.sum()/8
def combine(*parts):
    """parts: (array, cardinality) -> one id"""
    out = np.zeros_like(parts[0][0], dtype=np.int64)
    for a, k in parts:
        out = out * k + a
    return out
def popc(v):
    v = v.astype(np.int64); c = np.zeros_like(v)
    for i in range(27):
        c += (v >> i) & 1
    return c
DI = {d:i for i,d in enumerate(DIRS)}
def nb(F, key, d):
    return (F[key] >> DI[d]) & 1
def touching_faces(F):
    """the 3 parent face neighbours touching the child: bit per axis (0 if axis not split)."""
    out = []
    for a in range(3):
        o = F['o'+'xyt'[a]]; s = F['s'+'xyt'[a]]
        dm = [0,0,0]; dm[a] = -1; dp = [0,0,0]; dp[a] = 1
        v = np.where(o == 1, nb(F,'pn',tuple(dp)), nb(F,'pn',tuple(dm)))
        out.append(v)
    return out
def far_faces(F):
    out = []
    for a in range(3):
        o = F['o'+'xyt'[a]]
        dm = [0,0,0]; dm[a] = -1; dp = [0,0,0]; dp[a] = 1
        out.append(np.where(o == 1, nb(F,'pn',tuple(dm)), nb(F,'pn',tuple(dp))))
    return out

def experiments(F):
    j = F['j']; c = F['c']; bit = F['bit']; keep = ~F['implied']
    tf = touching_faces(F); ff = far_faces(F)
    tfc = tf[0]*4+tf[1]*2+tf[2]
    ffc = ff[0]*4+ff[1]*2+ff[2]
    nbef = np.minimum(F['before'], 2)
    # child-level causal face neighbours (-x,-y,-t)
    cx = nb(F,'cn_occ',(-1,0,0)); cy = nb(F,'cn_occ',(0,-1,0)); ct = nb(F,'cn_occ',(0,0,-1))
    cf = cx*4+cy*2+ct
    cnall = popc(F['cn_occ'])
    pnall = popc(F['pn'])
    colr = np.where(F['coltot']>1, np.minimum((F['col']*4)//np.maximum(F['coltot'],1),3), 0)
    base = combine((j,17),(c,8))
    E = {}
    E['level'] = combine((j,17))
    E['level+c'] = base
    E['level+c+sibpat'] = combine((j,17),(c,8),(F['sibpat'],128))
    E['level+c+before'] = combine((j,17),(c,8),(nbef,3))
    E['+tf'] = combine((j,17),(c,8),(tfc,8))
    E['+tf+before'] = combine((j,17),(c,8),(tfc,8),(nbef,3))
    E['+tf+ff+before'] = combine((j,17),(c,8),(tfc,8),(ffc,8),(nbef,3))
    E['+pncount+before'] = combine((j,17),(c,8),(np.minimum(pnall,26),27),(nbef,3))
    E['+cf+before'] = combine((j,17),(c,8),(cf,8),(nbef,3))
    E['+tf+cf+before'] = combine((j,17),(c,8),(tfc,8),(cf,8),(nbef,3))
    E['+tf+cf+ff+before'] = combine((j,17),(c,8),(tfc,8),(cf,8),(ffc,8),(nbef,3))
    E['+tf+cncount+before'] = combine((j,17),(c,8),(tfc,8),(np.minimum(cnall,7),8),(nbef,3))
    E['+tf+cf+before+col'] = combine((j,17),(c,8),(tfc,8),(cf,8),(nbef,3),(colr,4))
    E['+tfcount+cfcount+before'] = combine((j,17),(c,8),(popc(tfc),4),(popc(cf),4),(nbef,3))
    E['+tfc+cfc+pnc+before'] = combine((j,17),(c,8),(popc(tfc),4),(popc(cf),4),(np.minimum(pnall,26)//3,9),(nbef,3))
    return E, keep, bit


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default="/work/shared/data")
    ap.add_argument("--bins", default="16,64,256")
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    from streams import streams
    for name, ev, w, h in streams(args.data, args.only):
        if len(ev) > 1_500_000:
            continue
        for tb in (int(b) for b in args.bins.split(",")):
            tree, F = features(ev["x"], ev["y"], ev["t"], w, h, tb)
            F["n_bits"] = tree.n_bits
            F["ones"] = int(F["bit"].sum()) + 1
            z = zel_bytes(F)
            E, keep, bit = experiments(F)
            print(f"## {name} tb{tb} zel {z:.0f}")
            for k, ctx in E.items():
                best = min((kt_cost(ctx[keep], bit[keep], a)[0], a) for a in (0.5, 0.25, 0.1, 0.05))
                st = static_cost(ctx[keep], bit[keep])
                print(f"  {k:28s} {best[0]:9.0f} {best[0]/z:6.3f} (a={best[1]})  static {st/z:6.3f}"
                      f"  contexts {np.unique(ctx[keep]).size}")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
