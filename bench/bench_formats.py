"""Reading speed of zelkit's camera formats on the recorded sample files, in
M events/s, end to end through zelkit.load and zelkit.iter_load, next to
the fastest peer reader installed (expelliarmus for DAT, EVT 2.0 and EVT
3.0; aedat for AEDAT 4). Peers are optional (pip install expelliarmus
aedat, for the benchmark only): a missing one is reported as such. The
decode loops alone are measured in C++ by bench_readers.
Run: python bench/bench_formats.py [data folder] [rounds]"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

import zelkit
from timing import best_of

DATA = Path(sys.argv[1] if len(sys.argv) > 1 else "/work/shared/data")
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 30
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


def main() -> None:
    print(f"{'file':20} {'events':>9} {'load M ev/s':>12} {'iter M ev/s':>12} {'peer':>14} {'peer M ev/s':>12} {'load/peer':>10}")
    for file, name in FILES:
        path = DATA / file
        if not path.exists():
            print(f"{file:20} missing")
            continue
        # Peer and zelkit alternate, so a change in the machine's load
        # weighs on both alike.
        run, label = peer(name, path)
        load_s = iter_s = peer_s = float("inf")
        n = peer_n = 0
        for _ in range(3):
            seconds, arr = best_of(ROUNDS // 3 or 1, lambda: zelkit.load(path, t_offset="first"))
            load_s, n = min(load_s, seconds), len(arr)
            seconds, _ = best_of(ROUNDS // 3 or 1, lambda: sum(len(c) for c in zelkit.iter_load(path, t_offset="chunk")))
            iter_s = min(iter_s, seconds)
            if run is not None:
                seconds, peer_n = best_of(ROUNDS // 3 or 1, run)
                peer_s = min(peer_s, seconds)
        peer_rate = ratio = "-"
        if run is not None:
            peer_rate = f"{peer_n / peer_s / 1e6:.1f}"
            ratio = f"{(n / load_s) / (peer_n / peer_s):.2f}x"
            if peer_n != n:
                label += f" ({peer_n} ev)"
        print(f"{file:20} {n:>9} {n / load_s / 1e6:>12.1f} {n / iter_s / 1e6:>12.1f} {label:>14} {peer_rate:>12} {ratio:>10}")


if __name__ == "__main__":
    main()
