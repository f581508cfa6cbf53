"""Evaluate zel over files and folders at every combination of the settings.

For every file and setting: the size of zel's code in bits per event, set
first against zstd -19 and xz on the same occupancy grid (like for like:
both keep exactly the occupied voxels), then against the same compressors
on the 9-byte event records (a lossy code against lossless ones); what the
code loses (merged events, over-coverage, time error); encode and decode
rates. Prints a table per setting, with a legend under it. With --out, rows
are written as they arrive and a rerun with the same --out measures only
what is missing, reusing the general compressors' sizes found there.
Ctrl-C (or SIGTERM) stops at once, keeping every finished row.

examples:
  zel bench samples/
  zel bench data/ --time-bins 16,64,256 --max-depth 8,16 --jobs 2 --out results.csv
  zel bench data/ --time-bins 64 --max-depth 16 --codec zel,context
  zel bench data/ --baselines fast --scheduler tcp://10.0.0.5:8786 --out results.csv --plot sweep.png
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import itertools
import os
import sys
from collections.abc import Iterator

from .._grid_limits import FRAMES, MAX_DEPTH, TIME_BINS
from .._read_options import AUTO
from ..evaluation import Failure, Setting, evaluate
from ..evaluation._measure import CODECS
from ..evaluation._records import BASELINES
from ..evaluation._results_file import SUFFIXES
from .common import UsageError, add_read_arguments, check_bounds, describe, gather_inputs, int_list
from .common import positive_int, rebase_note, report, require
from .summary import summary_table


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH", help="event files or folders (searched recursively)")
    parser.add_argument("--time-bins", type=int_list, default=[16, 64, 256], metavar="N,...",
                        help="time bins per frame (default 16,64,256)")
    parser.add_argument("--max-depth", type=int_list, default=[8, 16], metavar="D,...",
                        help="octree depth limits (default 8,16)")
    parser.add_argument("--frames", type=int_list, default=[1], metavar="N,...",
                        help="frames the recording is cut into (default 1)")
    parser.add_argument("--codec", type=_codec_list, default=["zel"], metavar="C,...",
                        help=f"occupancy codecs, side by side in the table: {', '.join(CODECS)} (default zel)")
    parser.add_argument("--baselines", choices=tuple(BASELINES), default="all",
                        help="general compressors measured beside zel: all (zstd -3, zstd -19, xz; the default), "
                             "fast (zstd -3) or none")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", "-j", type=positive_int, metavar="N",
                       help="worker processes on this machine (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on a Dask cluster, e.g. tcp://host:8786 (needs the dask extra)")
    parser.add_argument("--out", "-o", metavar="FILE",
                        help="write rows to a .csv, .jsonl or .json file as they arrive; resume from it")
    parser.add_argument("--plot", metavar="PNG", help="draw bits per event against time bins (needs the plot extra)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_read_arguments(parser)


def run(args: argparse.Namespace) -> int:
    settings = _settings(args)
    if args.out is not None and os.path.splitext(args.out)[1].lower() not in SUFFIXES:
        raise UsageError(f"--out must end in {', '.join(SUFFIXES)}: {args.out}")
    if args.plot is not None:
        require("matplotlib", "--plot", "plot")
    files, missing = gather_inputs(args.paths, args.debug)
    if not files:
        return 1

    def on_failure(failure: Failure) -> None:
        report(f"{failure.path}: {failure.message}")

    with _executor(args) as executor:
        results = evaluate(files, settings, executor=executor, jobs=args.jobs, baselines=args.baselines,
                           errors=args.errors, t_offset=args.t_offset, progress=not args.no_progress,
                           out=args.out, on_failure=on_failure)
    failed = missing + len(results.failures)
    if args.t_offset == AUTO:
        shown = {os.path.abspath(path): path for path in files}
        for path, base in sorted({(r.path, r.t_base) for r in results if r.t_base is not None}):
            report(rebase_note(shown.get(path, path), base))
    if results:
        print(summary_table(results))
    print(f"{len(files) + missing} files, {failed} failed", file=sys.stderr)
    if args.plot is not None and results:
        from .plot import plot_sweep

        plot_sweep(results, args.plot)
    return 1 if failed else 0


def _settings(args: argparse.Namespace) -> list[Setting]:
    check_bounds("--time-bins", args.time_bins, TIME_BINS)
    check_bounds("--max-depth", args.max_depth, MAX_DEPTH)
    check_bounds("--frames", args.frames, FRAMES)
    return [Setting(*values)
            for values in itertools.product(args.time_bins, args.max_depth, args.frames, args.codec)]


def _codec_list(text: str) -> list[str]:
    """A comma-separated list of codec names such as ``zel,context``."""
    names = [part.strip() for part in text.split(",")]
    unknown = [name for name in names if name not in CODECS]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown codec {unknown[0]!r} (choose from {', '.join(CODECS)})")
    return list(dict.fromkeys(names))


@contextlib.contextmanager
def _executor(args: argparse.Namespace) -> Iterator[concurrent.futures.Executor | None]:
    """The Dask cluster's executor with --scheduler; otherwise None, and
    evaluate runs its own pool of --jobs workers."""
    if args.scheduler is None:
        yield None
        return
    require("distributed", "--scheduler", "dask")
    import distributed

    try:
        client = distributed.Client(args.scheduler, timeout="10s")  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as error:
        raise OSError(f"cannot reach the Dask scheduler at {args.scheduler}: {describe(error)}") from None
    with client:
        yield client.get_executor(pure=False)  # type: ignore[no-untyped-call]
