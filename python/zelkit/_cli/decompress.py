"""Decode a .zel container: reconstructed events, or the dense occupancy grid.

Each occupied box of the code becomes one event at its centre (polarity 0),
so the events show what the compression kept. --grid writes the occupancy
as a NumPy array of shape (frames, time_bins, height, width).
"""

from __future__ import annotations

import argparse

import numpy as np

import zelkit

from .._atomic import atomic_output
from .common import UsageError, format_name, naming, positive_int


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN.zel", help="container to decode")
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", metavar="OUT", help="event file to write (format by extension)")
    target.add_argument("--grid", metavar="OUT.npy", help="write the dense occupancy grid")
    parser.add_argument("--to", type=format_name(writing=True), metavar="FORMAT", help="write OUT as this format")
    parser.add_argument("--max-grid-mib", type=positive_int, default=1024, metavar="MIB",
                        help="refuse grids larger than this (default 1024)")


def run(args: argparse.Namespace) -> int:
    if args.grid is not None and not args.grid.endswith(".npy"):
        raise UsageError(f"--grid writes a .npy file: {args.grid}")
    with naming(args.input), zelkit.open(args.input) as reader:
        if args.grid is None:
            events = reader.to_events()
        else:
            budget = args.max_grid_mib << 20
            grids = []
            for frame in reader:
                grids.append(frame.to_grid(max_bytes=budget))
                budget -= grids[-1].nbytes
            grid = np.stack(grids) if grids else np.zeros((0, 0, 0, 0), dtype=bool)
    if args.grid is not None:
        with naming(args.grid), atomic_output(args.grid) as handle:
            np.save(handle, grid)
    else:
        with naming(args.output):
            zelkit.save(args.output, events, format=args.to)
    return 0
