"""Draw the events of a time window beside the decoded occupancy of that window.

The window is compressed and decoded at the given grid, so the picture
shows what the code keeps and what it loses (polarity, time detail, and
whatever a depth limit merges into larger boxes).
"""

from __future__ import annotations

import argparse
import os

import numpy as np

import zelkit

from .frame_view import render_view
from .plot import require_matplotlib
from .common import UsageError, non_negative_int, positive_int



def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN", help="event file")
    parser.add_argument("-o", "--output", metavar="PNG", help="image to write (default: IN's name + .view.png)")
    parser.add_argument("--window-us", type=positive_int, default=50_000, metavar="W",
                        help="window length in microseconds (default 50000)")
    parser.add_argument("--at", type=non_negative_int, metavar="T",
                        help="window start in microseconds (default: the first event)")
    parser.add_argument("--time-bins", type=positive_int, default=16, metavar="N")
    parser.add_argument("--max-depth", type=non_negative_int, default=16, metavar="D")


def run(args: argparse.Namespace) -> int:
    if args.time_bins > 65535 or args.max_depth > 255:
        raise UsageError("--time-bins must be 1..65535 and --max-depth 0..255")
    require_matplotlib()
    output = args.output or os.path.splitext(os.path.basename(args.input))[0] + ".view.png"
    described = zelkit.info(args.input)
    width, height = max(described.width, 1), max(described.height, 1)
    start = args.at
    pieces = []
    for chunk in zelkit.iter_load(args.input, chunk_events=1 << 20):
        if chunk.size == 0:
            continue
        if start is None:
            start = int(chunk["t"][0])
        t = chunk["t"].astype(np.int64)
        selected = chunk[(t >= start) & (t - start < args.window_us)]
        pieces.append(selected)
        # In a time-ordered file nothing after this chunk can fall in the window.
        if described.time_ordered and int(t[-1]) - start >= args.window_us:
            break
    window = np.concatenate(pieces) if pieces else None
    if window is None or window.size == 0:
        raise ValueError(f"{args.input}: no events in the window starting at {start or 0} us")
    data = zelkit.encode(window, width=width, height=height, time_bins=args.time_bins, max_depth=args.max_depth)
    frame = zelkit.decode(data)[0]
    grid = frame.to_grid(max_bytes=1 << 30)
    title = (f"{os.path.basename(args.input)}: {start:,}..{start + args.window_us:,} us, "
             f"{args.time_bins} time bins, max depth {args.max_depth}, {8 * len(data) / window.size:.2f} bits/event")
    render_view(window, grid, width, height, title, output)
    print(output)
    return 0
