"""`zel bench` throughput over a folder of N-MNIST-sized files: --jobs 1, --jobs 2, Dask.

Run after `pip install '.[dask]'`:  python3 bench/bench_cli.py [--files 2000]
With --recording PATH instead: `zel bench PATH --jobs 1` at the default sweep
for each --baselines choice (best of --rounds, interleaved), a first run with
--out and a rerun that adds a depth (its baselines come from the results
file), and how long the command takes to stop after SIGINT and SIGTERM
while a measurement is running (--jobs 1 and 2, and the default pool).

The files are written once into a temporary folder from a fixed seed: N-MNIST
records (5 bytes: x, y, then polarity and a 23-bit timestamp) of 34x34
events over about 300 ms, 2,000 to 6,000 events each, counts chosen so no
file is also a whole number of 9-byte records. Each configuration runs the
real command in a subprocess, so interpreter and pool start-up are counted.
The Dask run uses a LocalCluster of two single-threaded worker processes on
127.0.0.1, the same parallelism as --jobs 2, so the difference between the
two is the cost of the Dask path.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

SWEEP = ["--time-bins", "16,64", "--max-depth", "8"]


def write_dataset(folder: pathlib.Path, n_files: int, seed: int = 7) -> int:
    rng = np.random.default_rng(seed)
    total = 0
    for i in range(n_files):
        n = int(rng.integers(2000, 6000))
        n += n % 9 == 0  # a multiple of 9 records would also read as compact binary
        t = np.sort(rng.integers(0, 300_000, n)).astype(np.uint32)
        record = np.zeros((n, 5), dtype=np.uint8)
        record[:, 0] = rng.integers(0, 34, n)
        record[:, 1] = rng.integers(0, 34, n)
        word = (rng.integers(0, 2, n).astype(np.uint32) << 23) | t
        record[:, 2], record[:, 3], record[:, 4] = word >> 16, (word >> 8) & 0xFF, word & 0xFF
        (folder / f"digit_{i:05d}.bin").write_bytes(record.tobytes())
        total += n
    return total


def run_bench(folder: pathlib.Path, *placement: str) -> float:
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-m", "zelkit", "bench", str(folder), *SWEEP, "--no-progress",
                             *placement], capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"zel bench {' '.join(placement)} failed:\n{result.stderr}")
    return elapsed


def run_command(*args: object) -> float:
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-m", "zelkit", *map(str, args)], capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"zel {' '.join(map(str, args))} failed:\n{result.stderr}")
    return time.perf_counter() - start


def baselines_and_cache(recording: pathlib.Path, rounds: int) -> None:
    best: dict[str, float] = {}
    for _ in range(rounds):
        for choice in ("all", "fast", "none"):
            seconds = run_command("bench", recording, "--jobs", "1", "--no-progress", "--baselines", choice)
            best[choice] = min(best.get(choice, seconds), seconds)
    for choice, seconds in best.items():
        print(f"--baselines {choice:5} {seconds:6.2f} s (best of {rounds})")
    with tempfile.TemporaryDirectory() as temporary:
        out = pathlib.Path(temporary) / "results.csv"
        first = run_command("bench", recording, "--jobs", "1", "--no-progress", "--max-depth", "8", "--out", out)
        again = run_command("bench", recording, "--jobs", "1", "--no-progress", "--max-depth", "8,16", "--out", out)
        print(f"first run, depth 8, --out: {first:.2f} s; rerun adding depth 16: {again:.2f} s")


def stop_times(recording: pathlib.Path) -> None:
    """Seconds from a signal to the command's exit, while a worker waits on a
    FIFO (a measurement that never ends) after the recording's rows are in."""
    code = ("import signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
            "from zelkit._cli import main; raise SystemExit(main())")
    for placement in ([], ["--jobs", "1"], ["--jobs", "2"]):
        for name in ("SIGINT", "SIGTERM"):
            with tempfile.TemporaryDirectory() as temporary:
                folder = pathlib.Path(temporary) / "data"
                folder.mkdir()
                shutil.copy(recording, folder / f"a{recording.suffix}")
                os.mkfifo(folder / "zz_never_written.csv")
                out = pathlib.Path(temporary) / "out.csv"
                running = subprocess.Popen([sys.executable, "-c", code, "bench", str(folder), "--no-progress",
                                            "--baselines", "none", "--out", str(out), *placement],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                while not out.exists() or out.read_text().count("\n") < 2:
                    time.sleep(0.02)
                time.sleep(0.5)
                start = time.perf_counter()
                running.send_signal(getattr(signal, name))
                running.communicate(timeout=120)
                print(f"{' '.join(placement) or 'default pool':12} {name:8} stopped in "
                      f"{time.perf_counter() - start:5.2f} s, exit {running.returncode}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--recording", type=pathlib.Path, help="measure baselines, the cache and stopping on this file")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    if args.recording is not None:
        baselines_and_cache(args.recording, args.rounds)
        stop_times(args.recording)
        return
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary) / "nmnist"
        folder.mkdir()
        events = write_dataset(folder, args.files)
        print(f"{args.files} files, {events:,} events, settings {' '.join(SWEEP)}")
        timings = {"--jobs 1": run_bench(folder, "--jobs", "1"), "--jobs 2": run_bench(folder, "--jobs", "2")}
        import distributed

        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=":0", silence_logs=50) as cluster:
            timings["Dask, 2 workers"] = run_bench(folder, "--scheduler", cluster.scheduler_address)
        for name, seconds in timings.items():
            print(f"{name:16} {seconds:7.1f} s  {args.files / seconds:7.1f} files/s  {events / seconds / 1e6:5.2f} M events/s")
        overhead = timings["Dask, 2 workers"] / timings["--jobs 2"] - 1
        print(f"Dask over the process pool: {overhead:+.0%}")


if __name__ == "__main__":
    main()
