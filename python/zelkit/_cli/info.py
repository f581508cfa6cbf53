"""Describe event files: format, events, sensor size, times, rate, order.

The sensor size comes from the file's header where the format has one
(size_from_header), otherwise it is the largest x and y plus one. Times are
in the file's own clock: camera files count 64-bit microseconds (AEDAT 4
from the Unix epoch), and `zel view --at` takes them as shown here. A `.zel`
container is described from its header and index: the events its frames were
coded from, their times, and (in --json) its frames, time bins, depth limit
and keyframe interval; a `.zel` event store (events kept without loss) like
any event file. Every row gives the file's size in bits per event.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os

from .._read_options import describe_file
from .common import add_read_arguments, describe, gather_inputs, is_container, report
from .table import format_table


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH", help="event files or folders (searched recursively)")
    parser.add_argument("--json", action="store_true", help="print a JSON list instead of a table")
    add_read_arguments(parser, times=False)


def run(args: argparse.Namespace) -> int:
    files, failed = gather_inputs(args.paths, args.debug)
    described: list[dict[str, object]] = []
    for path in files:
        try:
            if is_container(path):
                row = {"path": path, **_describe_container(path)}
            else:
                row = {"path": path, **dataclasses.asdict(describe_file(path, errors=args.errors))}
            n = row["n_events"]
            row["bits_per_event"] = 8 * os.path.getsize(path) / n if isinstance(n, int) and n else None
            described.append(row)
        except Exception as error:  # noqa: BLE001  (one bad file must not stop the others)
            if args.debug:
                raise
            report(describe(error, path))
            failed += 1
    if args.json:
        print(json.dumps(described, indent=1))
    elif described:
        print(format_table(
            ("path", "format", "events", "width", "height", "first us", "last us", "duration s", "events/s",
             "time-ordered", "bits/event"),
            [(row["path"], row["format"], row["n_events"], row["width"], row["height"], row["t_first"],
              row["t_last"], _seconds(row["duration_us"]), row["event_rate"],
              _order(row["time_ordered"]), row["bits_per_event"])
             for row in described],
        ))
    return 1 if failed else 0


def _order(time_ordered: object) -> str:
    return "-" if time_ordered is None else "yes" if time_ordered else "no"


def _seconds(duration_us: object) -> object:
    return duration_us / 1e6 if isinstance(duration_us, (int, float)) else duration_us


def _describe_container(path: str) -> dict[str, object]:
    """The columns of an event file, for the events a container's frames were coded from."""
    from .. import container

    with container.open(path) as reader:
        n_events = int(reader.frame_event_counts().sum())
        span = reader.time_range
        duration = span[1] - span[0] if span else 0
        return {
            "format": "zel container",
            "n_events": n_events,
            "width": reader.width,
            "height": reader.height,
            "size_from_header": True,
            "t_first": span[0] if span else None,
            "t_last": span[1] if span else None,
            "duration_us": duration,
            "event_rate": n_events / (duration / 1e6) if duration else None,
            # Frames keep occupancy, not the order of events.
            "time_ordered": None,
            "frames": len(reader),
            "time_bins": reader.time_bins,
            "max_depth": reader.max_depth,
            "keyframe_interval": reader.keyframe_interval,
            "complete": reader.complete,
        }
