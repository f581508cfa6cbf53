"""Dataset evaluation: every file at every setting, on any executor.

``evaluate`` returns a ``Results`` list of ``Record`` rows (one per file and
``Setting``) with the files that failed beside it as ``Failure``s.
"""

from __future__ import annotations

import concurrent.futures
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence

from tqdm import tqdm  # type: ignore[import-untyped]

from .._discover import find_inputs
from ._measure import measure_files
from ._records import Failure, Record, Results, Setting
from ._results_file import ResultsFile

__all__ = ["Failure", "Record", "Results", "Setting", "evaluate"]

Job = tuple[str, tuple[Setting, ...]]


def evaluate(
    paths: Iterable[str | os.PathLike[str]],
    settings: Iterable[Setting | tuple[int, int] | tuple[int, int, int]],
    *,
    executor: concurrent.futures.Executor | None = None,
    progress: bool = True,
    out: str | os.PathLike[str] | None = None,
    on_failure: Callable[[Failure], None] | None = None,
) -> Results:
    """Measure zel and the baseline compressors on every file at every setting.

    ``paths`` are files or folders (searched for readable files), or one of
    them. Each setting is a Setting or a tuple (time_bins, max_depth[,
    frames]); one setting may be given alone.
    ``executor`` is any concurrent.futures.Executor, for instance a Dask
    client's ``get_executor()``; by default a process pool over the
    machine's cores is made and shut down here. Workers receive paths and
    read the files themselves.

    With ``out`` (.csv, .jsonl or .json), records are written as they
    arrive and rows already in that file are not measured again, so an
    interrupted run resumes where it stopped. ``on_failure`` is called once
    per file that fails; failures are also listed in ``Results.failures``.

    Returns the records of all requested files and settings (including
    those read back from ``out``), sorted by path and setting.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    if isinstance(settings, Setting) or (
        isinstance(settings, tuple) and all(isinstance(value, int) for value in settings)
    ):
        settings = [settings]
    files = [os.path.abspath(path) for path in find_inputs(paths)]
    sweep = tuple(dict.fromkeys(_as_setting(setting) for setting in settings))
    if not sweep:
        raise ValueError("no settings to evaluate")
    results_file = ResultsFile(out) if out is not None else None
    wanted = {(path, setting) for path in files for setting in sweep}
    previous = results_file.read_existing() if results_file else []
    records = {record.key: record for record in previous if record.key in wanted}
    jobs: list[Job] = []
    for path in files:
        missing = tuple(setting for setting in sweep if (path, setting) not in records)
        if missing:
            jobs.append((path, missing))

    failures: list[Failure] = []
    owned = executor is None
    if executor is None:
        executor = concurrent.futures.ProcessPoolExecutor(max_workers=os.cpu_count() or 1)
    bar = tqdm(
        total=len(files),
        initial=len(files) - len(jobs),
        unit="file",
        disable=not progress,
        file=sys.stderr,
        dynamic_ncols=True,
    )
    started = time.monotonic()
    events_done = 0
    pending: set[concurrent.futures.Future[list[list[Record] | Failure]]] = set()
    batches: dict[concurrent.futures.Future[list[list[Record] | Failure]], list[Job]] = {}
    try:
        for batch in _batches(jobs, _worker_count(executor)):
            future = executor.submit(measure_files, batch)
            pending.add(future)
            batches[future] = batch
        for future in concurrent.futures.as_completed(pending):
            batch = batches.pop(future)
            try:
                outcomes = future.result()
            except Exception as error:  # noqa: BLE001  (a lost worker fails its batch, not the run)
                outcomes = [Failure(path, f"{type(error).__name__}: {error}") for path, _ in batch]
            new_records: list[Record] = []
            for outcome in outcomes:
                if isinstance(outcome, Failure):
                    failures.append(outcome)
                    if on_failure is not None:
                        on_failure(outcome)
                else:
                    new_records.extend(outcome)
                    if outcome:
                        events_done += outcome[0].n_events
            for record in new_records:
                records[record.key] = record
            if results_file is not None:
                results_file.append(new_records)
            bar.update(len(batch))
            elapsed = time.monotonic() - started
            if elapsed > 0:
                bar.set_postfix_str(f"{tqdm.format_sizeof(events_done / elapsed)} events/s", refresh=False)
    except BaseException:
        for future in pending:
            future.cancel()
        raise
    finally:
        bar.close()
        if results_file is not None:
            results_file.flush()
        if owned:
            executor.shutdown(wait=True, cancel_futures=True)
    ordered = sorted(records.values(), key=lambda record: (record.path, record.setting))
    failures.sort(key=lambda failure: failure.path)
    return Results(ordered, failures)


def _as_setting(value: Setting | Sequence[int]) -> Setting:
    if isinstance(value, Setting):
        setting = value
    else:
        setting = Setting(*(int(v) for v in value))
    if not 1 <= setting.time_bins <= 65535:
        raise ValueError(f"time_bins must be 1..65535, not {setting.time_bins}")
    if not 0 <= setting.max_depth <= 255:
        raise ValueError(f"max_depth must be 0..255, not {setting.max_depth}")
    if setting.frames < 1:
        raise ValueError(f"frames must be at least 1, not {setting.frames}")
    return setting


def _worker_count(executor: concurrent.futures.Executor) -> int:
    count = getattr(executor, "_max_workers", None)
    return count if isinstance(count, int) and count > 0 else os.cpu_count() or 1


def _batches(jobs: list[Job], workers: int) -> Iterable[list[Job]]:
    """Groups of files per task: one file each for small runs, so progress is
    fine-grained, up to 16 on large ones, so per-task overhead (pickling,
    scheduling on a cluster) stays small against the work."""
    size = max(1, min(16, len(jobs) // (8 * workers)))
    for start in range(0, len(jobs), size):
        yield jobs[start : start + size]
