"""Convert an event file to another format, streaming in bounded memory.

The output format follows OUT's extension unless --to names it. Formats that
record a sensor size (.dat, .raw) get IN's unless --width/--height give one.
The output appears only once it is complete.
"""

from __future__ import annotations

import argparse

import zelkit

from .._chunked_save import save_chunks, writes_sensor_size
from .common import positive_int



def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN", help="event file to read")
    parser.add_argument("output", metavar="OUT", help="file to write")
    parser.add_argument("--from", dest="source_format", metavar="FORMAT", help="read IN as this format")
    parser.add_argument("--to", metavar="FORMAT", help="write OUT as this format")
    parser.add_argument("--width", type=positive_int, help="sensor width for formats that record one "
                        "(default: IN's, from its header or its largest x plus one)")
    parser.add_argument("--height", type=positive_int, help="sensor height, likewise")
    parser.add_argument("--chunk-events", type=positive_int, default=1 << 20, metavar="N",
                        help="events held in memory at a time (default 1048576)")


def run(args: argparse.Namespace) -> int:
    width, height = args.width, args.height
    if writes_sensor_size(args.output, args.to) and (width is None or height is None):
        # One pass over IN first: every chunk's header must state the same size.
        described = zelkit.info(args.input, format=args.source_format)
        width = width or max(described.width, 1)
        height = height or max(described.height, 1)
    chunks = zelkit.iter_load(args.input, chunk_events=args.chunk_events, format=args.source_format)
    save_chunks(args.output, chunks, format=args.to, width=width, height=height)
    return 0
