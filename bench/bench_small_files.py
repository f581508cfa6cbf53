"""Per-file cost of storing short recordings (a data set of thousands of
N-CARS or N-MNIST samples is stored file by file).

    python3 bench/bench_small_files.py [--rounds R] [--packages DIR ...]

For each real recording of ../shared/data (read with zelkit.load, as
bench_lossless.py reads them), prints the best time in ms of
zelkit.save(path.zel) (the file written, synced and renamed into place) and
of zelkit.encode(codec="lossless") in memory. With --packages, each DIR is
an installed zelkit (its zelkit/ and zel*.so copied there) put first on
sys.path in a child process; the packages take turns for R rounds, so two
builds are measured in one run on the same machine state.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def measure(rounds: int) -> str:
    sys.path.insert(0, HERE)
    import zelkit
    from bench_lossless import RECORDINGS

    cells = []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "sample.zel")
        for name, events, _ in RECORDINGS():
            repeats = max(20, 200_000 // max(len(events), 1))
            best_save = best_encode = float("inf")
            for _ in range(rounds):
                start = time.perf_counter()
                for _ in range(repeats):
                    zelkit.save(path, events)
                best_save = min(best_save, (time.perf_counter() - start) / repeats)
                start = time.perf_counter()
                for _ in range(repeats):
                    zelkit.encode(events, codec="lossless")
                best_encode = min(best_encode, (time.perf_counter() - start) / repeats)
            assert np.array_equal(zelkit.load(path), events)
            cells.append(f"{name} ({len(events):,} events): save {best_save * 1e3:.3f} ms, "
                         f"encode {best_encode * 1e3:.3f} ms")
    return "\n".join(cells)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--packages", nargs="*", default=[])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child or not args.packages:
        print(measure(args.rounds))
        return
    for round_number in range(args.rounds):
        for package in args.packages:
            env = dict(os.environ, PYTHONPATH=os.path.abspath(package))
            out = subprocess.run([sys.executable, __file__, "--child", "--rounds", "3"], env=env, check=True,
                                 capture_output=True, text=True).stdout
            print(f"round {round_number + 1}, {package}:\n{out}")


if __name__ == "__main__":
    main()
