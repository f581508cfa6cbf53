"""Draw the events of a time window beside the decoded occupancy of that window.

The window is compressed and decoded at the given grid, so the picture
shows what the code keeps and what it loses (polarity, time detail, and
whatever a depth limit merges into larger boxes). The window runs from
--at to --at + --window-us, both ends included; times are the file's own, as
`zel info` shows them. A `.zel` container is shown as it is stored: the frame
that holds --at (default its first frame with events), its decoded
occupancy beside the events it reconstructs (one per box, at its centre);
--window-us, --time-bins and --max-depth are the container's own then. Needs
matplotlib (the plot extra).
"""

from __future__ import annotations

import argparse
import os

import numpy as np

import zelkit

from .._grid_limits import MAX_DEPTH, TIME_BINS
from .._read_options import ReadPlan
from .common import (CommandFailed, add_read_arguments, bounded_int, is_container, naming, non_negative_int,
                     positive_int, read_plan, require)
from .frame_view import render_view


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN", help="event file or .zel container")
    parser.add_argument("-o", "--output", metavar="PNG", help="image to write (default: IN's name + .view.png)")
    parser.add_argument("--window-us", type=positive_int, default=50_000, metavar="W",
                        help="window length in microseconds (default 50000)")
    parser.add_argument("--at", type=non_negative_int, metavar="T",
                        help="window start in microseconds, in the file's clock (default: the first event)")
    parser.add_argument("--time-bins", type=bounded_int(TIME_BINS), default=16, metavar="N",
                        help="time bins of the window (default 16)")
    parser.add_argument("--max-depth", type=bounded_int(MAX_DEPTH), default=16, metavar="D",
                        help="octree depth limit (default 16)")
    add_read_arguments(parser)


def run(args: argparse.Namespace) -> int:
    require("matplotlib", "zel view", "plot")
    output = args.output or os.path.splitext(os.path.basename(args.input))[0] + ".view.png"
    if is_container(args.input):
        return _view_container(args, output)
    with naming(args.input):
        plan = read_plan(args.input, args)
        window, start = _window(args.input, plan, args.at, args.window_us)
    described = plan.described
    width, height = max(described.width, 1), max(described.height, 1)
    data = zelkit.encode(window, width=width, height=height, time_bins=args.time_bins, max_depth=args.max_depth)
    frame = zelkit.decode(data)[0]
    title = (f"{os.path.basename(args.input)}: {start:,}..{start + args.window_us:,} us, "
             f"{args.time_bins} time bins, max depth {args.max_depth}, {8 * len(data) / window.size:.2f} bits/event")
    with naming(output):
        render_view(window, frame, width, height, title, output)
    print(f"{output}: {window.size:,} events of {start:,}..{start + args.window_us:,} us")
    return 0


def _view_container(args: argparse.Namespace, output: str) -> int:
    with naming(args.input), zelkit.container.open(args.input) as reader:
        counts = reader.frame_event_counts()
        if args.at is None:
            holding = [int(k) for k in (counts > 0).nonzero()[0][:1]]
        else:
            ranges = reader.frame_time_ranges()
            holding = [int(k) for k in ((counts > 0) & (ranges[:, 0] <= args.at) & (ranges[:, 1] >= args.at))
                       .nonzero()[0][:1]]
        if not holding:
            where = "" if args.at is None else f" at {args.at:,} us"
            raise CommandFailed(f"{args.input}: no frame with events{where}")
        frame = reader[holding[0]]
        events = frame.to_events()
        width, height = max(reader.width, 1), max(reader.height, 1)
        title = (f"{os.path.basename(args.input)}: frame {frame.index} of {len(reader)}, "
                 f"{frame.t_first:,}..{frame.t_last:,} us, {frame.time_bins} time bins, "
                 f"max depth {frame.max_depth}, {8 * frame.payload_bytes / frame.n_events:.2f} bits/event")
    with naming(output):
        render_view(events, frame, width, height, title, output,
                    events_label="events decoded from the boxes (one at each centre)")
    print(f"{output}: frame {frame.index} of {args.input}, {frame.n_events:,} events coded as "
          f"{events.size:,} boxes")
    return 0


def _window(path: str, plan: ReadPlan, at: int | None, window_us: int) -> tuple[np.ndarray, int]:
    """The events of [at, at + window_us] and the window's start, in the file's clock."""
    base = plan.t_base or 0
    start = at if at is not None else plan.described.t_first
    if start is None:
        raise ValueError("the file holds no events")
    first = start - base  # in the times as read
    pieces = []
    if first + window_us >= 0:
        for chunk in zelkit.iter_load(path, chunk_events=1 << 20, **plan.options):
            t = chunk["t"].astype(np.int64)
            pieces.append(chunk[(t >= first) & (t - first <= window_us)])
            # In a time-ordered file nothing after this chunk can fall in the window.
            if plan.described.time_ordered and int(t[-1]) - first > window_us:
                break
    window = np.concatenate(pieces) if pieces else np.empty(0, dtype=zelkit.EVENT_DTYPE)
    if window.size == 0:
        raise ValueError(f"no events in the window {start:,}..{start + window_us:,} us")
    return window, start
