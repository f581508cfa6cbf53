"""Evaluate zel over files and folders at every combination of the settings.

For every file and setting: events, bits per event, ratio to the 9-byte raw
record, encode and decode rates, and the sizes zstd (levels 3 and 19) and xz
reach on the raw records and on the packed occupancy grid. Prints a summary
per setting. With --out, rows are written as they arrive and a rerun with the
same --out skips what is already there.

examples:
  zel bench samples/
  zel bench data/ --time-bins 16,64,256 --max-depth 8,16 --jobs 2 --out results.csv
  zel bench data/ --scheduler tcp://10.0.0.5:8786 --out results.csv --plot sweep.png
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import itertools
import os
import sys
from collections.abc import Iterator

from ..evaluation import Failure, Setting, evaluate
from ..evaluation._results_file import SUFFIXES
from .summary import summary_table
from .common import CommandFailed, UsageError, describe, int_list, positive_int



def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH", help="event files or folders (searched recursively)")
    parser.add_argument("--time-bins", type=int_list, default=[16, 64, 256], metavar="N,...",
                        help="time bins per frame (default 16,64,256)")
    parser.add_argument("--max-depth", type=int_list, default=[8, 16], metavar="D,...",
                        help="octree depth limits (default 8,16)")
    parser.add_argument("--frames", type=int_list, default=[1], metavar="N,...",
                        help="frames the recording is cut into (default 1)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", "-j", type=positive_int, metavar="N",
                       help="worker processes on this machine (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a Dask cluster, e.g. tcp://host:8786 (needs the dask extra)")
    parser.add_argument("--out", "-o", metavar="FILE",
                        help="write rows to a .csv, .jsonl or .json file as they arrive; resume from it")
    parser.add_argument("--plot", metavar="PNG", help="draw bits per event against time bins (needs the plot extra)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def run(args: argparse.Namespace) -> int:
    settings = _settings(args)
    if args.out is not None and os.path.splitext(args.out)[1].lower() not in SUFFIXES:
        raise UsageError(f"--out must end in {', '.join(SUFFIXES)}: {args.out}")
    if args.plot is not None:
        from .plot import require_matplotlib

        require_matplotlib()

    def on_failure(failure: Failure) -> None:
        # tqdm.write keeps the line from tearing through the progress bar.
        from tqdm import tqdm  # type: ignore[import-untyped]

        tqdm.write(f"zel: {failure.path}: {failure.message}", file=sys.stderr)

    with _executor(args) as executor:
        results = evaluate(args.paths, settings, executor=executor, progress=not args.no_progress,
                           out=args.out, on_failure=on_failure)
    files = len({record.path for record in results}) + len(results.failures)
    if files == 0:
        raise CommandFailed(f"no event files in {', '.join(args.paths)}")
    print(summary_table(results))
    print(f"{files} files, {len(results.failures)} failed", file=sys.stderr)
    if args.plot is not None:
        from .plot import plot_sweep

        plot_sweep(results, args.plot)
    return 1 if results.failures else 0


def _settings(args: argparse.Namespace) -> list[Setting]:
    for option, values, low, high in (("--time-bins", args.time_bins, 1, 65535),
                                      ("--max-depth", args.max_depth, 0, 255),
                                      ("--frames", args.frames, 1, 2**32)):
        bad = [value for value in values if not low <= value <= high]
        if bad:
            raise UsageError(f"{option} values must be {low}..{high}, not {bad[0]}")
    return [Setting(*values) for values in itertools.product(args.time_bins, args.max_depth, args.frames)]


@contextlib.contextmanager
def _executor(args: argparse.Namespace) -> Iterator[concurrent.futures.Executor | None]:
    if args.scheduler is None:
        if args.jobs is None:
            yield None
            return
        with concurrent.futures.ProcessPoolExecutor(max_workers=args.jobs) as pool:
            yield pool
        return
    try:
        import distributed
    except ImportError:
        raise UsageError("--scheduler needs Dask: pip install 'zel[dask]'") from None
    try:
        client = distributed.Client(args.scheduler, timeout="10s")  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as error:
        raise OSError(f"cannot reach the Dask scheduler at {args.scheduler}: {describe(error)}") from None
    with client:
        yield client.get_executor(pure=False)  # type: ignore[no-untyped-call]
