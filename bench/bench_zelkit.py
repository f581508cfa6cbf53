"""zelkit against numpy.fromfile and zel.load_events on 1M events, side by side.

Run after `pip install .`:  python3 bench/bench_zelkit.py [--events N] [--big-gib G]
Prints best-of-5 CPU times and input throughput; with --big-gib it also writes
a G GiB .evb and .csv file to a temporary folder and measures the peak RSS of
iter_load over each in a child process (Linux: /proc). Results are kept in
bench/RESULTS.md.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

import zel
import zelkit
from timing import best_of


def cpu_best(repeats, call):
    """Best CPU time of the calling process (the machine may be shared, so
    wall time says more about the neighbours than about the code)."""
    return best_of(repeats, call, clock=time.process_time)[0]


def synthetic(n, width=128, height=128, seed=1):
    rng = np.random.default_rng(seed)
    events = np.empty(n, dtype=zelkit.EVENT_DTYPE)
    events["x"] = rng.integers(0, width, n)
    events["y"] = rng.integers(0, height, n)
    events["t"] = np.arange(n, dtype=np.uint64) * 8_000_000 // n  # within N-MNIST's 23 bits
    events["p"] = rng.integers(0, 2, n)
    return events


def report(name, seconds, size=None):
    rate = f"  {size / seconds / 1e6:8.0f} MB/s" if size else ""
    print(f"{name:<48} {seconds * 1000:9.2f} ms CPU{rate}", flush=True)


PEAK_CHILD = """
import sys, zelkit

def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

# ru_maxrss would report the import's own transient peak, hiding the loop's;
# resetting the kernel's high-water mark starts the peak from here instead.
base = status_kib("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
n = 0
for chunk in zelkit.iter_load(sys.argv[1], chunk_events=1_000_000):
    n += len(chunk)
print(n, (status_kib("VmHWM") - base) / 1024)
"""


def big_file_peaks(folder, gib, block):
    for name in ("big.evb", "big.csv"):
        path = folder / name
        raw = block.tobytes() if name.endswith(".evb") else ("".join(
            f"{x},{y},{t},{p}\n" for x, y, t, p in block[:200_000].tolist())).encode()
        with open(path, "wb") as f:
            for _ in range(int(gib * 2**30) // len(raw) + 1):
                f.write(raw)
        size = path.stat().st_size
        start = time.perf_counter()
        out = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(path)], capture_output=True, text=True, check=True)
        seconds = time.perf_counter() - start
        n, peak_mib = out.stdout.split()
        print(f"iter_load {name} ({size / 2**30:.2f} GiB, {int(n):,} events): peak RSS +{float(peak_mib):.1f} MiB "
              f"above the interpreter with zelkit imported, {size / seconds / 1e6:.0f} MB/s", flush=True)
        path.unlink()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--big-gib", type=float, default=0)
    args = parser.parse_args()
    events = synthetic(args.events)
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as tmp:
        folder = pathlib.Path(tmp)
        files = {}
        for name in ("e.evb", "e.bin", "e.aedat", "e.csv"):
            files[name] = folder / name
            zelkit.save(files[name], events)
        evb = str(files["e.evb"])
        size = os.path.getsize(evb)
        fromfile = cpu_best(5, lambda: np.fromfile(evb, dtype=zelkit.EVENT_DTYPE))
        report("numpy.fromfile .evb", fromfile, size)
        load = cpu_best(5, lambda: zelkit.load(evb))
        report("zelkit.load .evb", load, size)
        report("zelkit.load .evb, mmap=True", cpu_best(5, lambda: zelkit.load(evb, mmap=True)), size)
        zel_load = cpu_best(3, lambda: zel.load_events(evb))
        report("zel.load_events .evb", zel_load, size)
        print(f"  zelkit.load / fromfile = {load / fromfile:.2f}x, zel.load_events / zelkit.load = {zel_load / load:.1f}x")
        # The same events with ", " between columns: no line is plain, so every
        # one goes through the general line parser, as all lines once did.
        files["g.csv"] = folder / "g.csv"
        files["g.csv"].write_bytes(files["e.csv"].read_bytes().replace(b",", b", "))
        for name, label in (("e.bin", "N-MNIST"), ("e.aedat", "AEDAT2"), ("e.csv", "CSV"),
                            ("g.csv", "CSV, general parser (', ' separators)")):
            path = str(files[name])
            report(f"zelkit.load {label}", cpu_best(5, lambda: zelkit.load(path)), os.path.getsize(path))
        for name, label in (("e.csv", "CSV"), ("g.csv", "CSV, ', ' separators")):
            path = str(files[name])
            report(f"zel.load_csv {label}", cpu_best(3, lambda: zel.load_csv(path)), os.path.getsize(path))
        report("zelkit.load CSV via iter_load (1M chunks)",
               cpu_best(3, lambda: sum(len(c) for c in zelkit.iter_load(files["e.csv"]))), os.path.getsize(files["e.csv"]))
        report("zelkit.save .csv", cpu_best(3, lambda: zelkit.save(folder / "s.csv", events)))
        report("zelkit.stats", cpu_best(5, lambda: zelkit.stats(events)))
        report("zelkit.to_events", cpu_best(3, lambda: zelkit.to_events(events)))
        report("zelkit.compress 128x128x16 depth 8", cpu_best(3, lambda: zelkit.compress(events, 128, 128, 16, 8)))
        if args.big_gib:
            big_file_peaks(folder, args.big_gib, events)


if __name__ == "__main__":
    main()
