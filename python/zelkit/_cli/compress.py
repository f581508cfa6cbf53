"""Compress event files into .zel containers.

Prints, per file, the container's size against the 9-byte raw records
(bits per event and ratio) and the time taken to read, code and write it.

The sensor size comes from the file unless --width/--height give it. With
--window-us a recording of any length is read and coded one time window per
frame, in memory bounded by one window. Camera times that do not fit 32 bits
are rebased to the first event (said on stderr; --t-offset chooses).
"""

from __future__ import annotations

import argparse
import os
import time

import zelkit

from .._grid_limits import FRAMES, MAX_DEPTH, SENSOR_SIDE, TIME_BINS
from .common import (CONTAINER_EXTENSION, CommandFailed, UsageError, add_read_arguments, bounded_int, naming, positive_int, read_plan,
                     reading, report)
from .table import format_table


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", metavar="IN", help="event files")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="output file (one input) or folder (default: beside each input, .zel)")
    parser.add_argument("--time-bins", type=bounded_int(TIME_BINS), required=True, metavar="N",
                        help=f"time bins per frame, {TIME_BINS[0]}..{TIME_BINS[1]}")
    parser.add_argument("--max-depth", type=bounded_int(MAX_DEPTH), required=True, metavar="D",
                        help=f"octree depth limit, {MAX_DEPTH[0]}..{MAX_DEPTH[1]}")
    cut = parser.add_mutually_exclusive_group()
    cut.add_argument("--frames", type=bounded_int(FRAMES), default=1, metavar="N", help="frames (default 1)")
    cut.add_argument("--window-us", type=positive_int, metavar="W", help="one frame per W microseconds, streamed")
    parser.add_argument("--keyframe-interval", type=positive_int, metavar="K",
                        help="code every K-th frame on its own, so readers can seek "
                             "(default: only the first; every frame with --codec context)")
    parser.add_argument("--codec", choices=zelkit.CODECS, default="zel",
                        help="keyframe coding: zel (zel.compress's bytes, the default) or context "
                             "(smaller, the same boxes)")
    parser.add_argument("--width", type=bounded_int(SENSOR_SIDE), help="sensor width (default: from the file)")
    parser.add_argument("--height", type=bounded_int(SENSOR_SIDE), help="sensor height (default: from the file)")
    add_read_arguments(parser)


def run(args: argparse.Namespace) -> int:
    outputs = _outputs(args.inputs, args.output)
    rows, failed = [], 0
    for source, target in zip(args.inputs, outputs):
        try:
            rows.append((source, target, *_compress_one(source, target, args)))
        except CommandFailed as error:  # one bad file must not stop the others
            if args.debug:
                raise
            report(str(error))
            failed += 1
    if rows:
        print(format_table(("input", "output", "frames", "events", "bytes", "bits/event", "ratio", "seconds"), rows))
    return 1 if failed else 0


def _outputs(inputs: list[str], output: str | None) -> list[str]:
    if output is None:
        outputs = [os.path.splitext(path)[0] + CONTAINER_EXTENSION for path in inputs]
    elif os.path.isdir(output):
        outputs = [os.path.join(output, os.path.splitext(os.path.basename(path))[0] + CONTAINER_EXTENSION) for path in inputs]
    elif len(inputs) > 1:
        raise UsageError(f"-o {output} must be an existing folder when compressing several files")
    else:
        outputs = [output]
    seen: dict[str, str] = {}
    for source, target in zip(inputs, outputs):
        key = os.path.realpath(target)
        if key in seen:
            raise UsageError(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source
    return outputs


def _compress_one(source: str, target: str, args: argparse.Namespace) -> tuple[object, ...]:
    with naming(source):
        plan = read_plan(source, args)
    described = plan.described
    grid = {"width": args.width or max(described.width, 1), "height": args.height or max(described.height, 1),
            "time_bins": args.time_bins, "max_depth": args.max_depth,
            "keyframe_interval": args.keyframe_interval, "codec": args.codec}
    start = time.perf_counter()
    if args.window_us is not None:
        with naming(source):
            chunks = zelkit.iter_load(source, window_us=args.window_us, **plan.options)
        with naming(target):
            frames = zelkit.encode_stream(target, reading(source, chunks), window_us=args.window_us, **grid)
    else:
        with naming(source):
            events = zelkit.load(source, **plan.options)
        with naming(target):
            zelkit.write(target, events, n_frames=args.frames, **grid)
        frames = args.frames
    seconds = time.perf_counter() - start
    n, size = described.n_events, os.path.getsize(target)
    return (frames, n, size, 8 * size / n if n else None, 9 * n / size if size else None, seconds)
