"""Compress event files into .zel containers.

The sensor size comes from the file unless --width/--height give it. With
--window-us a recording of any length is read and coded one time window per
frame, in memory bounded by one window.
"""

from __future__ import annotations

import argparse
import os

import zelkit

from ..table import format_table
from .common import UsageError, describe, non_negative_int, positive_int, report

NAME = "compress"
HELP = "write .zel containers"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", metavar="IN", help="event files")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="output file (one input) or folder (default: beside each input, .zel)")
    parser.add_argument("--time-bins", type=positive_int, required=True, metavar="N")
    parser.add_argument("--max-depth", type=non_negative_int, required=True, metavar="D")
    cut = parser.add_mutually_exclusive_group()
    cut.add_argument("--frames", type=positive_int, default=1, metavar="N", help="frames (default 1)")
    cut.add_argument("--window-us", type=positive_int, metavar="W", help="one frame per W microseconds, streamed")
    parser.add_argument("--keyframe-interval", type=positive_int, metavar="K",
                        help="code every K-th frame on its own, so readers can seek")
    parser.add_argument("--width", type=positive_int, help="sensor width (default: from the file)")
    parser.add_argument("--height", type=positive_int, help="sensor height (default: from the file)")


def run(args: argparse.Namespace) -> int:
    if args.time_bins > 65535 or args.max_depth > 255:
        raise UsageError("--time-bins must be 1..65535 and --max-depth 0..255")
    outputs = _outputs(args.inputs, args.output)
    rows, failed = [], 0
    for source, target in zip(args.inputs, outputs):
        try:
            rows.append((source, target, *_compress_one(source, target, args)))
        except Exception as error:  # noqa: BLE001  (one bad file must not stop the others)
            report(describe(error, source))
            failed += 1
    if rows:
        print(format_table(("input", "output", "events", "bytes", "bits/event", "ratio", "encode ms"), rows))
    return 1 if failed else 0


def _outputs(inputs: list[str], output: str | None) -> list[str]:
    if output is None:
        return [os.path.splitext(path)[0] + ".zel" for path in inputs]
    if os.path.isdir(output):
        return [os.path.join(output, os.path.splitext(os.path.basename(path))[0] + ".zel") for path in inputs]
    if len(inputs) > 1:
        raise UsageError(f"-o {output} must be an existing folder when compressing several files")
    return [output]


def _compress_one(source: str, target: str, args: argparse.Namespace) -> tuple[object, ...]:
    described = zelkit.info(source)
    width = args.width or described.width
    height = args.height or described.height
    grid = {"width": width, "height": height, "time_bins": args.time_bins, "max_depth": args.max_depth,
            "keyframe_interval": args.keyframe_interval}
    if args.window_us is not None:
        chunks = zelkit.iter_load(source, window_us=args.window_us)
        result = zelkit.write_stream(target, chunks, window_us=args.window_us, **grid)
    else:
        result = zelkit.write(target, zelkit.load(source), n_frames=args.frames, **grid)
    size = os.path.getsize(target)
    n = result.n_events
    return (n, size, 8 * size / n if n else None, 9 * n / size if size else None, result.encode_us / 1000)
