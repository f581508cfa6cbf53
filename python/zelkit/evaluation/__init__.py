"""Dataset evaluation: every file at every setting, on any executor.

``evaluate`` returns a ``Results`` list of ``Record`` rows (one per file and
``Setting``) with the files that failed beside it as ``Failure``s.
"""

from __future__ import annotations

import concurrent.futures
import os
import signal
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import cast

from tqdm import tqdm  # type: ignore[import-untyped]

from .._camera_formats import SkippedDataWarning
from .._discover import find_inputs
from .._grid_limits import check_setting
from .._read_options import AUTO, check_t_offset
from ._measure import CODECS, Job, KnownSizes, Outcome, measure_files
from ._records import BASELINES, Failure, Record, Results, Setting
from ._results_file import ResultsFile

__all__ = ["Failure", "Record", "Results", "Setting", "evaluate"]

_Future = concurrent.futures.Future[list[Outcome]]


def evaluate(
    paths: Iterable[str | os.PathLike[str]] | str | os.PathLike[str],
    settings: Iterable[Setting | tuple[int, ...]] | Setting | tuple[int, ...],
    *,
    executor: concurrent.futures.Executor | None = None,
    jobs: int | None = None,
    baselines: str = "all",
    errors: str = "strict",
    t_offset: int | str | None = AUTO,
    progress: bool = True,
    out: str | os.PathLike[str] | None = None,
    on_failure: Callable[[Failure], None] | None = None,
) -> Results:
    """Measure zel and the baseline compressors on every file at every setting.

    ``paths`` are files or folders (searched for readable files), or one of
    them. Each setting is a Setting or a tuple (time_bins, max_depth[,
    frames]); one setting may be given alone.

    ``executor`` is any concurrent.futures.Executor, for instance a Dask
    client's ``get_executor()``; by default a process pool of ``jobs``
    workers (one per core) is made here, and Ctrl-C stops its workers at
    once. Workers receive paths and read the files themselves.

    ``baselines`` chooses the general-purpose compressors measured beside
    zel, on the raw records and on the packed occupancy grid: "all" (zstd
    -3, zstd -19, xz), "fast" (zstd -3) or "none". ``errors="skip"`` reads
    past bad data of camera files (each file's SkippedDataWarning is issued
    here); ``t_offset`` is what is subtracted from 64-bit camera times
    (default "auto": the first event's time when the times do not fit 32
    bits, which no figure depends on).

    With ``out`` (.csv, .jsonl or .json), records are written as they
    arrive and rows already in that file are not measured again, so an
    interrupted run resumes where it stopped; baseline sizes found there
    are reused for new settings of the same file. ``on_failure`` is called
    once per file that fails; failures are also listed in ``Results.failures``.

    Returns the records of the requested files and settings only (including
    those read back from ``out``), sorted by path and setting.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    one = isinstance(settings, Setting) or (
        isinstance(settings, tuple) and all(isinstance(value, int) for value in settings))
    listed = [settings] if one else list(cast(Iterable[Setting | tuple[int, ...]], settings))
    sweep = tuple(dict.fromkeys(_as_setting(cast(Setting | tuple[int, ...], setting)) for setting in listed))
    if not sweep:
        raise ValueError("no settings to evaluate")
    if baselines not in BASELINES:
        raise ValueError(f"baselines must be one of {', '.join(map(repr, BASELINES))}, not {baselines!r}")
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive int, not {jobs!r}")
    check_t_offset(t_offset)
    names = BASELINES[baselines]
    # Records keep absolute paths, so a resumed run may start anywhere;
    # messages name each file as it was found.
    shown = {os.path.abspath(path): path for path in find_inputs(paths)}
    files = list(shown)
    results_file = ResultsFile(out) if out is not None else None
    previous = results_file.read_existing() if results_file else []
    wanted = {(path, setting) for path in files for setting in sweep}
    records = {record.key: record for record in previous if record.key in wanted and record.has_baselines(names)}
    known = _known_sizes(previous)
    work: list[Job] = []
    for path in files:
        missing = tuple(setting for setting in sweep if (path, setting) not in records)
        if missing:
            work.append(Job(path, missing, names, known.get(path, KnownSizes()), errors, t_offset))

    failures: list[Failure] = []
    owned = executor is None
    pool = executor if executor is not None else _local_pool(jobs or os.cpu_count() or 1)
    bar = tqdm(total=len(files), initial=len(files) - len(work), unit="file", disable=not progress,
               file=sys.stderr, dynamic_ncols=True)
    started = time.monotonic()
    events_done = 0
    batches: dict[_Future, list[Job]] = {}
    try:
        # A local pool takes one file per task, so an interrupt loses no row
        # a worker has finished; a cluster takes groups (see _batch_size).
        size = 1 if owned else _batch_size(len(work), _worker_count(pool))
        for start in range(0, len(work), size):
            batch = work[start : start + size]
            batches[pool.submit(measure_files, batch)] = batch
        for future in concurrent.futures.as_completed(list(batches)):
            batch = batches.pop(future)
            try:
                outcomes = future.result()
            except Exception as error:  # noqa: BLE001  (a lost worker fails its batch, not the run)
                outcomes = [Outcome(job.path, [], f"{type(error).__name__}: {error}") for job in batch]
            new_records: list[Record] = []
            for outcome in outcomes:
                for message in outcome.warnings:
                    warnings.warn(message, SkippedDataWarning, stacklevel=2)
                if outcome.failure is not None:
                    failure = Failure(shown.get(outcome.path, outcome.path), outcome.failure)
                    failures.append(failure)
                    if on_failure is not None:
                        on_failure(failure)
                else:
                    new_records.extend(outcome.records)
                    if outcome.records:
                        events_done += outcome.records[0].n_events
            for record in new_records:
                records[record.key] = record
            if results_file is not None:
                results_file.append(new_records)
            bar.update(len(batch))
            elapsed = time.monotonic() - started
            if elapsed > 0:
                bar.set_postfix_str(f"{tqdm.format_sizeof(events_done / elapsed)} events/s", refresh=False)
    except BaseException:
        # Someone else's executor keeps running what it started; nothing
        # here waits for it.
        for future in batches:
            future.cancel()
        if owned:
            _stop_workers(pool)
        raise
    finally:
        bar.close()
        if results_file is not None:
            results_file.flush()
        if owned:
            pool.shutdown(wait=True, cancel_futures=True)
    ordered = sorted(records.values(), key=lambda record: (record.path, record.setting))
    failures.sort(key=lambda failure: failure.path)
    return Results(ordered, failures)


def _as_setting(value: Setting | Sequence[int]) -> Setting:
    setting = value if isinstance(value, Setting) else Setting(*value)  # type: ignore[arg-type]
    check_setting(setting.time_bins, setting.max_depth, setting.frames)
    if setting.codec not in CODECS:
        raise ValueError(f"codec must be one of {', '.join(map(repr, CODECS))}, not {setting.codec!r}")
    return setting


def _known_sizes(previous: Iterable[Record]) -> dict[str, KnownSizes]:
    """The baseline sizes the results already hold, by file: they depend on
    the file (and the grid's bin count) only, not on the depth or the codec."""
    known: dict[str, KnownSizes] = {}
    for record in previous:
        sizes = known.setdefault(record.path, KnownSizes())
        grid = sizes.grid.setdefault(record.time_bins * record.frames, {})
        for name in BASELINES["all"]:
            raw_size, grid_size = getattr(record, f"{name}_raw"), getattr(record, f"{name}_grid")
            if raw_size is not None:
                sizes.raw[name] = raw_size
            if grid_size is not None:
                grid[name] = grid_size
    return known


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the parent alone decides, and
    # stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _local_pool(workers: int) -> concurrent.futures.ProcessPoolExecutor:
    return concurrent.futures.ProcessPoolExecutor(max_workers=workers, initializer=_ignore_interrupts)


def _stop_workers(pool: concurrent.futures.Executor) -> None:
    """End the pool's running measurements now instead of waiting for them."""
    # ProcessPoolExecutor offers no public way to stop running tasks before
    # Python 3.14 (terminate_workers); its worker table is the only handle.
    processes = getattr(pool, "_processes", None) or {}
    for process in list(processes.values()):
        process.terminate()


def _worker_count(executor: concurrent.futures.Executor) -> int:
    count = getattr(executor, "_max_workers", None)
    return count if isinstance(count, int) and count > 0 else os.cpu_count() or 1


def _batch_size(n_jobs: int, workers: int) -> int:
    """Files per task on someone else's executor: one each for small runs, so
    progress is fine-grained, up to 16 on large ones, so per-task overhead
    (pickling, scheduling on a cluster) stays small against the work."""
    return max(1, min(16, n_jobs // (8 * workers)))
