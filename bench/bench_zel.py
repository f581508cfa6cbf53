"""Benchmarks for zel on million-event streams and the real recordings in ../shared/data.

Run after `pip install .`:  python3 bench/bench_zel.py [--events N]
Prints one line per case: best wall time of a few repeats, plus the compressor's own
encode/decode figures. Results of a run are kept in bench/RESULTS.md.
"""
import argparse
import pathlib
import random
import struct
import tempfile
import time

import zel

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"


def best_of(repeats, call):
    best, value = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        value = call()
        best = min(best, time.perf_counter() - start)
    return best, value


def synthetic(n, width=640, height=480, duration_us=10_000_000, seed=1):
    """A moving blob plus background noise, timestamps increasing."""
    rng = random.Random(seed)
    events = []
    for i in range(n):
        t = i * duration_us // n
        if rng.random() < 0.8:
            cx = (t // 2000) % width
            x, y = min(width - 1, max(0, int(rng.gauss(cx, 12)))), min(height - 1, max(0, int(rng.gauss(height / 2, 40))))
        else:
            x, y = rng.randrange(width), rng.randrange(height)
        events.append(zel.Event(x, y, t, rng.randrange(2)))
    return events


def report(name, seconds, result=None):
    extra = ""
    if result is not None:
        extra = f"  encode_us={result.encode_us} decode_us={result.decode_us} {result!r}"
    print(f"{name:<58} {seconds * 1000:9.1f} ms{extra}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    n, r = args.events, args.repeats

    events = synthetic(n)
    report(f"event_stats, {n} events", *best_of(r, lambda: (zel.event_stats(events), None))[:1])
    for tb, depth in [(16, 8), (256, 16)]:
        seconds, (_, result) = best_of(r, lambda: zel.compress(events, 640, 480, tb, depth))
        report(f"compress 640x480 time_bins={tb} max_depth={depth}", seconds, result)
    for frames in (10, 100):
        seconds, (_, result) = best_of(r, lambda: zel.compress_sequence(events, 640, 480, 16, 10, frames))
        report(f"compress_sequence 640x480x16 depth 10, {frames} frames", seconds, result)
    sparse = events[:: max(1, n // 1000)]
    seconds, (_, result) = best_of(1, lambda: zel.compress_sequence(sparse, 128, 128, 16, 8, 1_000_000))
    report(f"compress_sequence {len(sparse)} events, 1,000,000 frames", seconds, result)

    with tempfile.TemporaryDirectory() as tmp:
        evb = pathlib.Path(tmp, "big.evb")
        evb.write_bytes(b"".join(struct.pack("<HHIB", e.x, e.y, e.t, e.p) for e in events))
        csv = pathlib.Path(tmp, "big.csv")
        csv.write_text("x,y,t,p\n" + "".join(f"{e.x},{e.y},{e.t},{e.p}\n" for e in events))
        report(f"load_events .evb, {n} events", best_of(r, lambda: zel.load_events(str(evb)))[0])
        report(f"load_events .csv, {n} events", best_of(r, lambda: zel.load_events(str(csv)))[0])

    nmnist = SHARED / "sample_nmnist.bin"
    if nmnist.exists():
        digit = zel.load_nmnist(str(nmnist))
        seconds, (_, result) = best_of(r, lambda: zel.compress(digit, 34, 34, 16, 8))
        report(f"compress N-MNIST sample ({len(digit)} events) 34x34x16", seconds, result)
        seconds, (_, result) = best_of(r, lambda: zel.compress_sequence(digit, 34, 34, 4, 8, 30))
        report("compress_sequence N-MNIST sample, 30 frames", seconds, result)


if __name__ == "__main__":
    main()
