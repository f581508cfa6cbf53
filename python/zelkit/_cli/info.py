"""Describe event files: format, events, sensor size, duration, rate, order.

The sensor size comes from the file's header where the format has one
(size_from_header), otherwise it is the largest x and y plus one.
"""

from __future__ import annotations

import argparse
import dataclasses
import json

import zelkit

from .._discover import find_inputs
from .table import format_table
from .common import describe, report



def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH", help="event files or folders")
    parser.add_argument("--json", action="store_true", help="print a JSON list instead of a table")


def run(args: argparse.Namespace) -> int:
    described: list[dict[str, object]] = []
    failed = 0
    for given in args.paths:
        try:
            files = find_inputs([given])
        except OSError as error:
            report(describe(error, given))
            failed += 1
            continue
        for path in files:
            try:
                described.append({"path": path, **dataclasses.asdict(zelkit.info(path))})
            except Exception as error:  # noqa: BLE001  (one bad file must not stop the others)
                report(describe(error, path))
                failed += 1
    if args.json:
        print(json.dumps(described, indent=1))
    elif described:
        print(format_table(
            ("path", "format", "events", "width", "height", "duration s", "events/s", "time-ordered"),
            [(row["path"], row["format"], row["n_events"], row["width"], row["height"],
              _seconds(row["duration_us"]), row["event_rate"], "yes" if row["time_ordered"] else "no")
             for row in described],
        ))
    return 1 if failed else 0


def _seconds(duration_us: object) -> object:
    return duration_us / 1e6 if isinstance(duration_us, (int, float)) else duration_us
