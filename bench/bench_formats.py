"""Decode speed of zelkit's camera formats on the recorded sample files, in
M events/s, next to the fastest peer reader installed (expelliarmus for DAT,
EVT 2.0 and EVT 3.0; aedat for AEDAT 4). Peers are optional: a missing one
is reported as such. Run: python bench/bench_formats.py [data folder]"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

import zelkit
from zelkit import _native

from timing import best_of

DATA = Path(sys.argv[1] if len(sys.argv) > 1 else "/work/shared/data")
FILES = [("evt3_sample.raw", "evt3"), ("evt2_sample.raw", "evt2"), ("sample_ncars.dat", "dat"), ("sample.aedat4", "aedat4")]


def peer(name: str, path: Path):
    if name == "aedat4":
        try:
            import aedat
        except ImportError:
            return None, "aedat (not installed)"

        def run():
            n = 0
            for packet in aedat.Decoder(path):
                if "events" in packet:
                    n += len(packet["events"])
            return n

        return run, "aedat"
    try:
        from expelliarmus import Wizard
    except ImportError:
        return None, "expelliarmus (not installed)"
    wizard = Wizard(encoding=name)
    return (lambda: len(wizard.read(path))), "expelliarmus"


def decode_only(path: Path, name: str) -> float | None:
    """M events/s of the core decoder over a file already in memory (one
    native call, output allocation included), best of 200."""
    if name == "aedat4":
        return None
    data = path.read_bytes()
    header = (_native.dat_header if name == "dat" else _native.raw_header)(data[: 1 << 20])
    view = memoryview(data)[header["data_offset"] :]
    side = 16384 if name == "dat" else 2048

    def run() -> int:
        decoder = _native.PropheseeDecoder(header["encoding"], header["data_offset"], side, side, False, "first", 0)
        return len(decoder.decode_all(view)) // 9

    seconds, n = best_of(200, run)
    return n / seconds / 1e6


def main() -> None:
    print(f"{'file':20} {'events':>9} {'zelkit M ev/s':>14} {'decode only':>12} {'peer':>14} {'peer M ev/s':>12}")
    for file, name in FILES:
        path = DATA / file
        if not path.exists():
            print(f"{file:20} missing")
            continue
        seconds, arr = best_of(30, lambda: zelkit.load(path, t_offset="first"))
        n = len(arr)
        run, label = peer(name, path)
        peer_rate = "-"
        if run is not None:
            peer_seconds, peer_n = best_of(30, run)
            peer_rate = f"{peer_n / peer_seconds / 1e6:.1f}"
            if peer_n != n:
                label += f" ({peer_n} ev)"
        core = decode_only(path, name)
        core_rate = "-" if core is None else f"{core:.1f}"
        print(f"{file:20} {n:>9} {n / seconds / 1e6:>14.1f} {core_rate:>12} {label:>14} {peer_rate:>12}")


if __name__ == "__main__":
    main()
