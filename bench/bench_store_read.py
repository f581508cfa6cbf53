"""Reading .zel event stores through zelkit.load, this build against an older one, in one run.

    python3 bench/bench_store_read.py --baseline DIR [--events N] [--rounds R] [--repeats K] [--write]

Saves a davis-like stream of --events events (12M: a dozen blocks) as .zel,
once with the default (modelled) blocks and once with fast blocks, and the
largest real recording of ../shared/data (when present) the same two ways.
Then loads every file on one thread and on every core, in child processes
that take turns: one imports this checkout's installed zelkit, the other
the build installed in DIR (`pip install --no-deps --target DIR .` at an
older commit). Each child checks that what it loaded is the saved array.
Prints M events/s, best of R rounds of K loads, and each build's
all-cores / one-thread ratio. --write replaces this script's section of
bench/RESULTS.md.
"""
import argparse
import datetime
import hashlib
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
BEGIN = "<!-- bench_store_read.py: begin -->"
END = "<!-- bench_store_read.py: end -->"


def child(paths, repeats):
    """Loads each file on 1 thread and on every core; prints the best times as JSON."""
    import numpy as np
    import zelkit

    cores = zelkit._event_store.default_threads()
    out = {}
    for path, digest in paths:
        for threads in (1, cores):
            times = []
            for _ in range(repeats):
                start = time.perf_counter()
                events = zelkit.load(path, threads=threads)
                times.append(time.perf_counter() - start)
            if hashlib.sha256(np.ascontiguousarray(events).tobytes()).hexdigest() != digest:
                sys.exit(f"{path} loaded differently on {threads} threads")
            out[f"{path}|{threads}"] = [min(times), len(events)]
    print(json.dumps({"cores": cores, "seconds": out}))


def streams(n):
    import zelkit
    from bench_event_store import as_events
    from bench_lossless import DATA, REAL
    from synthetic import davis_like

    yield f"davis-like, {n:,} events", as_events(davis_like(n, duration_us=n))
    present = [(label, DATA / name, options) for label, name, options in REAL if (DATA / name).exists()]
    if present:
        label, path, options = max(present, key=lambda item: item[1].stat().st_size)
        yield label, zelkit.load(path, **options)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", required=True, help="directory holding an older zelkit build")
    parser.add_argument("--events", type=int, default=12_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--write", action="store_true")
    parser.add_argument("--child", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        return child([item.split("=", 1) for item in args.child], args.repeats)

    import numpy as np
    import zelkit

    load_at_start = os.getloadavg()[0]
    with tempfile.TemporaryDirectory() as tmp:
        files = []  # (label, kind, path, digest)
        for k, (label, events) in enumerate(streams(args.events)):
            digest = hashlib.sha256(np.ascontiguousarray(events).tobytes()).hexdigest()
            for kind, fast in (("modelled", False), ("fast", True)):
                path = pathlib.Path(tmp) / f"s{k}{kind}.zel"
                zelkit.save(path, events, fast=fast)
                files.append((label, kind, str(path), digest))
        builds = {"before": {**os.environ, "PYTHONPATH": os.path.abspath(args.baseline)},
                  "after": {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}}
        best, cores = {}, 1
        for _ in range(args.rounds):
            for build, env in builds.items():
                command = [sys.executable, __file__, "--baseline", args.baseline, "--repeats", str(args.repeats),
                           "--child", *(f"{path}={digest}" for _, _, path, digest in files)]
                found = json.loads(subprocess.run(command, env=env, check=True, capture_output=True,
                                                  text=True, cwd=tmp).stdout)
                cores = found["cores"]
                for key, (seconds, n) in found["seconds"].items():
                    best[build, key] = min(best.get((build, key), (seconds, n)), (seconds, n))
    lines = [f"zelkit.load of .zel files, M events/s (best of {args.rounds} rounds of {args.repeats} loads, "
             "the two builds taking turns in child processes):", "",
             f"| stream | blocks | before, 1 thread | after, 1 thread | before, {cores} threads | "
             f"after, {cores} threads | before, {cores} / 1 | after, {cores} / 1 |",
             "|---|---|---|---|---|---|---|---|"]
    for label, kind, path, _ in files:
        speed = {}
        for build in builds:
            for threads in (1, cores):
                seconds, n = best[build, f"{path}|{threads}"]
                speed[build, threads] = n / seconds / 1e6
        lines.append(f"| {label} | {kind} | {speed['before', 1]:.1f} | **{speed['after', 1]:.1f}** | "
                     f"{speed['before', cores]:.1f} | **{speed['after', cores]:.1f}** | "
                     f"{speed['before', cores] / speed['before', 1]:.2f}x | "
                     f"**{speed['after', cores] / speed['after', 1]:.2f}x** |")
    lines += ["", f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
              f"load average {load_at_start:.1f} at the start of the run and {os.getloadavg()[0]:.1f} at its end, "
              f"{datetime.date.today()}."]
    text = "\n".join(lines)
    print(text)
    if args.write:
        from bench_lossless import write_section
        write_section(BEGIN, END, "`python3 bench/bench_store_read.py --baseline …` (store reads, before and after)",
                      text)


if __name__ == "__main__":
    main()
