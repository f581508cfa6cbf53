"""Describe event files: format, events, sensor size, times, rate, order.

The sensor size comes from the file's header where the format has one
(size_from_header), otherwise it is the largest x and y plus one. Times are
in the file's own clock: camera files count 64-bit microseconds (AEDAT 4
from the Unix epoch), and `zel view --at` takes them as shown here.
"""

from __future__ import annotations

import argparse
import dataclasses
import json

from .._read_options import describe_file
from .common import add_read_arguments, describe, gather_inputs, report
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
            described.append({"path": path, **dataclasses.asdict(describe_file(path, errors=args.errors))})
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
             "time-ordered"),
            [(row["path"], row["format"], row["n_events"], row["width"], row["height"], row["t_first"],
              row["t_last"], _seconds(row["duration_us"]), row["event_rate"],
              "yes" if row["time_ordered"] else "no")
             for row in described],
        ))
    return 1 if failed else 0


def _seconds(duration_us: object) -> object:
    return duration_us / 1e6 if isinstance(duration_us, (int, float)) else duration_us
