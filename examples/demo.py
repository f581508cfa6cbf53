"""Load a bundled recording, summarise it and compress it with zel.

Usage: python3 examples/demo.py [path]   (default: samples/bar_sweep.aedat)
"""
import pathlib
import sys

import zel

default = pathlib.Path(__file__).resolve().parent.parent / "samples" / "bar_sweep.aedat"
path = sys.argv[1] if len(sys.argv) > 1 else str(default)

events = zel.load_events(path)
print(f"{path}: {zel.event_stats(events)}")

data, result = zel.compress(events, 128, 128, 16, 8)
print(f"compress:          {len(data)} bytes, {result.n_bits} octree bits -> {result}")

payloads, sequence = zel.compress_sequence(events, 128, 128, 4, 8, 10)
print(f"compress_sequence: {len(payloads)} frames, {sequence.bitstream_bytes} bytes -> {sequence}")
