"""Load a bundled recording as a NumPy array, slice it in time and compress it.

Usage: python3 examples/zelkit_demo.py [path]   (default: samples/bar_sweep.evb)
"""
import pathlib
import sys

import zelkit

default = pathlib.Path(__file__).resolve().parent.parent / "samples" / "bar_sweep.evb"
path = sys.argv[1] if len(sys.argv) > 1 else str(default)

events = zelkit.load(path)
print(f"{path}: {len(events)} events, {zelkit.info(path)}")
print(f"stats: {zelkit.stats(events)}")

windows = [len(w) for w in zelkit.iter_load(path, window_us=100_000)]
print(f"events per 100 ms window: {windows}")

data, figures = zelkit.compress(events, 128, 128, 16, 8)
print(f"compress: {len(data)} bytes, {figures.compression_ratio:.2f}x")
