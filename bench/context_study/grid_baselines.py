"""zstd -19 and xz on the packed occupancy grid, as `zel bench` measures them.

    python3 bench/context_study/grid_baselines.py [--data DIR]

One line per stream and time_bins: the grid's bytes, zstd -19's and xz's,
and the byte target of the context codec, 0.75 x the smaller of the two
(the other half of the target, 0.70 x codec zel, bench_context prints).
"""
from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from streams import streams  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", default="/work/shared/data")
    ap.add_argument("--bins", default="16,64,256")
    args = ap.parse_args()
    from zelkit.baselines import compressed_sizes, packed_occupancy
    for name, events, width, height in streams(args.data):
        for tb in (int(b) for b in args.bins.split(",")):
            grid = packed_occupancy(events, width, height, tb)
            sizes = compressed_sizes(grid)
            best = min(sizes["zstd19"], sizes["xz"])
            print(f"{name:24s} tb{tb:<4d} grid {len(grid):>10,d} zstd19 {sizes['zstd19']:>9,d} "
                  f"xz {sizes['xz']:>9,d} 0.75x {0.75 * best:>11,.0f}", flush=True)


if __name__ == "__main__":
    main()
