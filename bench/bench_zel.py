"""The speed table for zel through its Python API, with peers, in one process.

    python3 bench/bench_zel.py [--baseline DIR] [--repeats N] [--write]

Runs every case on the deterministic davis-like stream (the same one that
bench/davis_like.hpp builds for the C++ per-stage benchmark) and prints the
medians with their spread. --baseline DIR also loads an older build of zel
(the directory holding its extension module) under another name and runs the
zel cases on it in the same run, so before and after share the machine's
state. --write replaces this script's section of bench/RESULTS.md.

Peers: zstd level 3 (the zstandard package) and xz (lzma, preset 6) on the
events' raw 9-byte records, and NumPy reading those records from a file.
"""
import argparse
import datetime
import gc
import importlib.machinery
import importlib.util
import lzma
import os
import pathlib
import platform
import statistics
import sys
import tempfile
import time

import numpy as np
import zstandard

import zel
from synthetic import RECORD, davis_like

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "RESULTS.md"
BEGIN = "<!-- bench_zel.py: begin -->"
END = "<!-- bench_zel.py: end -->"


def as_events(module, records):
    event = module.Event
    return [event(x, y, t, p) for x, y, t, p in records.tolist()]


def load_baseline(directory):
    """An older zel build from `directory`, loaded beside the current one."""
    candidates = sorted(pathlib.Path(directory).glob("zel*.so"))
    if not candidates:
        sys.exit(f"no zel extension module in {directory}")
    loader = importlib.machinery.ExtensionFileLoader("zel", str(candidates[0]))
    spec = importlib.util.spec_from_file_location("zel", candidates[0], loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


CPU_TIMES = {}


def measure(call, repeats):
    """Wall times (s) of `repeats` calls and the last value; collection paused.
    The calls' process CPU times are kept in CPU_TIMES under the wall list's id,
    as on a loaded machine they vary less than wall times."""
    times, cpu, value = [], [], None
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeats):
            start, start_cpu = time.perf_counter(), time.process_time()
            value = call()
            times.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
    finally:
        gc.enable()
    CPU_TIMES[id(times)] = cpu
    return times, value


def spread(values, scale=1e3, unit="ms"):
    med = statistics.median(values)
    return f"{med * scale:.1f} {unit} ({min(values) * scale:.1f}–{max(values) * scale:.1f}, n={len(values)})"


def peak_rss_during(call):
    """Peak resident memory added by one call: the kernel's high-water mark is
    reset first (clear_refs 5), then read back; None where that is unsupported."""
    status = pathlib.Path("/proc/self/status")
    try:
        pathlib.Path("/proc/self/clear_refs").write_text("5")
    except OSError:
        return None, call()

    def field(name):
        for line in status.read_text().splitlines():
            if line.startswith(name):
                return int(line.split()[1]) * 1024
        return 0

    before = field("VmRSS:")
    value = call()
    return field("VmHWM:") - before, value


class Table:
    """Rows keyed by case, one column per build ("before", "after") or peer."""

    def __init__(self):
        self.rows = {}
        self.columns = []

    def add(self, column, case, figure, target="", note=""):
        if column not in self.columns:
            self.columns.append(column)
        row = self.rows.setdefault(case, {"target": target, "cells": {}})
        row["cells"][column] = f"{figure}; {note}" if note else figure
        print(f"{column:<7} {case:<52} {figure:<40} {target:<16} {note}", flush=True)

    def markdown(self):
        lines = ["| case | target | " + " | ".join(self.columns) + " |",
                 "|---|---|" + "---|" * len(self.columns)]
        for case, row in self.rows.items():
            cells = [row["cells"].get(c, "") for c in self.columns]
            lines.append(f"| {case} | {row['target']} | " + " | ".join(cells) + " |")
        return "\n".join(lines)


def core_times(results):
    return [(r.encode_us + r.decode_us) / 1e6 for r in results]


def zel_cases(table, tag, module, davis, hd, repeats):
    """The zel rows of the issue's table for one build of the module."""
    events = as_events(module, davis)
    n = len(events)

    def compress_case(evs, width, height, time_bins, label, target=""):
        results = []
        walls, _ = measure(lambda: results.append(module.compress(evs, width, height, time_bins, 16)[1]), repeats)
        cores = core_times(results)
        rate = [len(evs) / w / 1e6 for w in walls]
        cpu = CPU_TIMES[id(walls)]
        table.add(tag, f"compress {label}, end to end", spread(walls),
                  "", f"{statistics.median(rate):.1f} M events/s; CPU time {spread(cpu)}, "
                  f"{len(evs) / statistics.median(cpu) / 1e6:.1f} M events/s; "
                  f"ratio {results[-1].compression_ratio:.2f}x")
        table.add(tag, f"compress {label}, core (encode + decode)", spread(cores), target,
                  f"encode {statistics.median(r.encode_us for r in results) / 1e3:.1f} ms, "
                  f"decode {statistics.median(r.decode_us for r in results) / 1e3:.1f} ms")
        return walls, cores

    walls64, cores64 = compress_case(events, 346, 260, 64, "davis 1M 346x260 tb64 d16", "<= 15 ms")
    table.add(tag, f"compress tb64 rate", f"{n / statistics.median(walls64) / 1e6:.1f} M events/s wall, "
              f"{n / statistics.median(CPU_TIMES[id(walls64)]) / 1e6:.1f} M events/s CPU", ">= 60 M/s")
    _, cores256 = compress_case(events, 346, 260, 256, "davis 1M 346x260 tb256 d16", "<= 30 ms")

    for frames, factor in ((1, 1.1), (256, 2.0), (4096, 3.0)):
        results = []
        walls, _ = measure(
            lambda: results.append(module.compress_sequence(events, 346, 260, 256, 16, frames)[1]), repeats)
        cores = core_times(results)
        ratio = statistics.median(cores) / statistics.median(cores256)
        table.add(tag, f"compress_sequence {frames} frames, core (tb256 d16)", spread(cores),
                  f"<= {factor}x compress", f"{ratio:.2f}x compress tb256; wall {spread(walls)}")

    # Same size, many calls: the spread shows whether some calls pay for
    # fresh pages and others not.
    results = []
    measure(lambda: results.append(module.compress(events, 346, 260, 64, 16)[1]), 4 * repeats)
    cores = core_times(results)
    table.add(tag, "compress tb64 repeated, core", spread(cores), "no bimodal cost",
              f"max / median {max(cores) / statistics.median(cores):.2f}")
    del events

    hd_events = as_events(module, hd)
    compress_case(hd_events, 1280, 720, 64, "2M 1280x720 tb64 d16", "<= 65 ms")
    del hd_events

    few = [module.Event(1, 2, 0, 0), module.Event(3, 4, 500, 1), module.Event(5, 6, 1_000_000, 0)]
    frames = 10_000_000
    start = time.perf_counter()
    peak, (payloads, result) = peak_rss_during(lambda: module.compress_sequence(few, 346, 260, 16, 16, frames))
    wall = time.perf_counter() - start
    core = (result.encode_us + result.decode_us) / 1e6
    peak_note = "peak not measurable here" if peak is None else f"peak {peak / frames:.1f} bytes/frame"
    table.add(tag, "compress_sequence 3 events, 10M frames", f"{wall:.2f} s wall, core {core:.2f} s",
              "< 0.5 s, < 40 B/frame", f"{peak_note} (includes Python's 10M bytes objects)")
    del payloads
    return statistics.median(walls64), statistics.median(CPU_TIMES[id(walls64)])


def peer_cases(table, davis, repeats, zel_times):
    zel_wall, zel_cpu = zel_times
    raw = davis.tobytes()
    compressor = zstandard.ZstdCompressor(level=3)
    walls, packed = measure(lambda: compressor.compress(raw), repeats)
    table.add("peer", "zstd level 3, raw 9-byte records (1M)", spread(walls), "",
              f"ratio {len(raw) / len(packed):.2f}x; CPU time {spread(CPU_TIMES[id(walls)])}; "
              f"zel compress tb64 is {statistics.median(walls) / zel_wall:.2f}x its speed by wall time, "
              f"{statistics.median(CPU_TIMES[id(walls)]) / zel_cpu:.2f}x by CPU time (target >= 2x)")
    walls, packed = measure(lambda: lzma.compress(raw, preset=6), max(1, repeats // 2))
    table.add("peer", "xz preset 6, raw 9-byte records (1M)", spread(walls), "", f"ratio {len(raw) / len(packed):.2f}x")

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp, "davis.evb")
        path.write_bytes(raw)
        walls, _ = measure(lambda: np.fromfile(path, dtype=RECORD), repeats)
        table.add("peer", "numpy.fromfile of the .evb (1M records)", spread(walls))
        walls, _ = measure(lambda: zel.load_events(str(path)), repeats)
        table.add("peer", "zel.load_events of the .evb (1M Event objects)", spread(walls))
        walls, _ = measure(lambda: np.frombuffer(path.read_bytes(), dtype=RECORD).copy(), repeats)
        table.add("peer", "read_bytes + numpy.frombuffer copy (1M records)", spread(walls))


def machine():
    model = "unknown CPU"
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{model}, {os.cpu_count()} logical CPUs, {memory:.0f} GiB; "
            f"Python {platform.python_version()}, NumPy {np.__version__}, "
            f"zstandard {zstandard.__version__}; {platform.platform()}")


def write_section(text):
    old = RESULTS.read_text() if RESULTS.exists() else "# Benchmark results\n"
    section = f"{BEGIN}\n{text}\n{END}"
    if BEGIN in old and END in old:
        head, rest = old.split(BEGIN, 1)
        new = head + section + rest.split(END, 1)[1]
    else:
        new = old.rstrip("\n") + "\n\n" + section + "\n"
    RESULTS.write_text(new)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", help="directory holding an older zel extension module")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--write", action="store_true", help="update bench/RESULTS.md")
    args = parser.parse_args()

    load_start = os.getloadavg()
    davis = davis_like(1_000_000)
    hd = davis_like(2_000_000, 1280, 720)
    table = Table()
    builds = [("after", zel)]
    if args.baseline:
        builds.insert(0, ("before", load_baseline(args.baseline)))
    zel_times = None
    for tag, module in builds:
        zel_times = zel_cases(table, tag, module, davis, hd, args.repeats)
    peer_cases(table, davis, args.repeats, zel_times)
    load_end = os.getloadavg()

    text = "\n".join([
        f"## `python3 bench/bench_zel.py{' --baseline …' if args.baseline else ''}` "
        f"({datetime.date.today().isoformat()})",
        "",
        f"Machine: {machine()}.",
        f"Load average {load_start[0]:.1f} at the start and {load_end[0]:.1f} at the end: the machine is "
        "shared with other builds, so figures are medians of repeated runs with their range.",
        "",
        "Stream: the davis-like recording of bench/davis_like.hpp (1M events, 346x260, 1 s; the 2M-event "
        "variant at 1280x720). \"Core\" is encode_us + decode_us as the module reports them; \"end to end\" "
        "is the Python call's wall time including the list conversion.",
        "",
        table.markdown(),
    ])
    print()
    print(text)
    if args.write:
        write_section(text)


if __name__ == "__main__":
    main()
