"""Convert an event file to another format, streaming in bounded memory.

The output format follows OUT's extension unless --to names it. The output
appears only once it is complete.
"""

from __future__ import annotations

import argparse

import zelkit

from ..chunked_save import save_chunks
from .common import positive_int

NAME = "convert"
HELP = "convert an event file to another format"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", metavar="IN", help="event file to read")
    parser.add_argument("output", metavar="OUT", help="file to write")
    parser.add_argument("--from", dest="source_format", metavar="FORMAT", help="read IN as this format")
    parser.add_argument("--to", metavar="FORMAT", help="write OUT as this format")
    parser.add_argument("--chunk-events", type=positive_int, default=1 << 20, metavar="N",
                        help="events held in memory at a time (default 1048576)")


def run(args: argparse.Namespace) -> int:
    chunks = zelkit.iter_load(args.input, chunk_events=args.chunk_events, format=args.source_format)
    save_chunks(args.output, chunks, format=args.to)
    return 0
