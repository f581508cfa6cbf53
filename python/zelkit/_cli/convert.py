"""Convert an event file to another format, streaming in bounded memory.

The output format follows OUT's extension unless --to names it. Formats that
record a sensor size (.dat, .raw, .zel) get IN's unless --width/--height give
one. Formats that record a camera clock (.dat, .raw, .zel) keep IN's camera
times where they can hold them; otherwise, and in formats of 32-bit times where the
times do not fit, times are rebased to the first event (said on stderr;
--t-offset chooses). The output appears only once it is complete.
"""

from __future__ import annotations

import argparse

import zelkit

from .._chunked_save import camera_time_limits, fits_sensor_size, save_chunks, writes_sensor_size
from .._read_options import header_size
from .._grid_limits import SENSOR_SIDE
from .common import add_read_arguments, bounded_int, format_name, naming, positive_int, read_plan, reading


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN", help="event file to read")
    parser.add_argument("output", metavar="OUT", help="file to write")
    parser.add_argument("--from", dest="source_format", type=format_name(writing=False), metavar="FORMAT",
                        help="read IN as this format")
    parser.add_argument("--to", type=format_name(writing=True), metavar="FORMAT", help="write OUT as this format")
    parser.add_argument("--width", type=bounded_int(SENSOR_SIDE), help="sensor width for formats that record one "
                        "(default: IN's, from its header or its largest x plus one)")
    parser.add_argument("--height", type=bounded_int(SENSOR_SIDE), help="sensor height, likewise")
    parser.add_argument("--fast", action="store_true",
                        help=".zel: store in fast blocks (larger, several times as fast to write and read)")
    parser.add_argument("--chunk-events", type=positive_int, default=1 << 20, metavar="N",
                        help="events held in memory at a time (default 1048576)")
    add_read_arguments(parser)


def run(args: argparse.Namespace) -> int:
    with naming(args.output):
        sized = writes_sensor_size(args.output, format=args.to)
        clock = camera_time_limits(args.output, format=args.to)
        fits = sized and fits_sensor_size(args.output, format=args.to)
    width, height = args.width, args.height
    with naming(args.input):
        if fits and width is None and height is None:
            # The writer checks the header's size against the events once
            # it has seen them all: no pass over IN is needed to choose it.
            declared = header_size(args.input, format=args.source_format)
            if declared is not None:
                width, height = max(declared[0], 1), max(declared[1], 1)
        plan = read_plan(args.input, args, output=args.output, clock=clock,
                         sized=sized and not (width and height))
        chunks = zelkit.iter_load(args.input, chunk_events=args.chunk_events, format=args.source_format,
                                  **plan.options)
    if sized and not (width and height):
        # Every chunk's header must state the same size: IN's, unless given.
        width = width or max(plan.described.width, 1)
        height = height or max(plan.described.height, 1)
    elif not sized:
        width = height = None
    with naming(args.output):
        save_chunks(args.output, reading(args.input, chunks), format=args.to, width=width, height=height,
                    rebase=plan.t_base if plan.chunk_clock else None, fast=args.fast)
    return 0
