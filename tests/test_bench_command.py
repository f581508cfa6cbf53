"""``zel bench`` end to end: the table, failures, resume, parallel and Dask runs, the plot."""

from __future__ import annotations

import csv
import json
import pathlib
import struct

import pytest

from zel_command import FAST_SWEEP, SAMPLE_FILES, copy_samples, stderr_lines, tables, zel
from zelkit.evaluation._records import COLUMNS, TIMING_COLUMNS

N_SETTINGS = 4  # FAST_SWEEP: two time_bins by two max_depth
SAMPLE_EVENTS = 5830


def table_rows(stdout: str) -> list[dict[str, str]]:
    """One row per setting: the like-for-like table's cells and the lossy one's."""
    like, lossy = tables(stdout)
    assert len(like) == len(lossy)
    for a, b in zip(like, lossy):
        assert (a["time bins"], a["max depth"], a["frames"]) == (b["time bins"], b["max depth"], b["frames"])
    return [{**a, **b} for a, b in zip(like, lossy)]


def deterministic(path: pathlib.Path) -> list[tuple[str, ...]]:
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    return sorted(tuple(row[c] for c in COLUMNS if c not in TIMING_COLUMNS) for row in rows)


@pytest.fixture(scope="module")
def local_run(tmp_path_factory):
    """One reference run on a copy of the samples, shared by the comparisons."""
    folder = copy_samples(tmp_path_factory.mktemp("data") / "samples")
    out = folder.parent / "jobs1.csv"
    result = zel("bench", folder, *FAST_SWEEP, "--jobs", "1", "--out", out)
    assert result.returncode == 0, result.stderr
    return folder, result, out


def test_bench_on_the_samples_prints_one_row_per_setting(local_run):
    _, result, out = local_run
    rows = table_rows(result.stdout)
    assert [(r["time bins"], r["max depth"], r["frames"]) for r in rows] == [
        ("16", "6", "1"), ("16", "16", "1"), ("64", "6", "1"), ("64", "16", "1")]
    for row in rows:
        files, events = row["files"], row["events"]
        mean_bpe, worst_bpe = float(row["bits/event mean"]), float(row["bits/event worst file"])
        assert files == str(len(SAMPLE_FILES)) and events == f"{len(SAMPLE_FILES) * SAMPLE_EVENTS:,}"
        # The four samples hold the same events, so every file codes to the same size.
        assert mean_bpe == worst_bpe and 0 < mean_bpe < 72
        over_coverage = float(row["over- coverage"].rstrip("%"))
        assert (over_coverage > 0) == (row["max depth"] == "6")  # 128 x 128 x 64 needs depth 7
    assert "4 files, 0 failed" in result.stderr
    assert len(deterministic(out)) == len(SAMPLE_FILES) * N_SETTINGS


def test_two_jobs_give_the_same_table_as_one(local_run, tmp_path):
    folder, reference, reference_out = local_run
    out = tmp_path / "jobs2.csv"
    result = zel("bench", folder, *FAST_SWEEP, "--jobs", "2", "--out", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout == reference.stdout
    assert deterministic(out) == deterministic(reference_out)


def test_a_dask_cluster_gives_the_same_table_as_the_local_run(local_run, tmp_path):
    distributed = pytest.importorskip("distributed")
    folder, reference, reference_out = local_run
    out = tmp_path / "dask.csv"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=":0", silence_logs=50) as cluster:
        assert cluster.scheduler_address.startswith("tcp://127.0.0.1:")
        result = zel("bench", folder, *FAST_SWEEP, "--scheduler", cluster.scheduler_address, "--out", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout == reference.stdout
    assert deterministic(out) == deterministic(reference_out)


def test_one_corrupt_file_among_good_ones_is_counted_once(tmp_path):
    folder = copy_samples(tmp_path / "data")
    (folder / "nested").mkdir()
    (folder / "nested" / "corrupt.evb").write_bytes(b"\x01" * 40)
    (folder / "notes.md").write_text("not an event file, not looked at")
    out = tmp_path / "out.csv"
    result = zel("bench", folder, *FAST_SWEEP, "--jobs", "2", "--out", out)
    assert result.returncode == 1
    errors = [line for line in stderr_lines(result) if line.startswith("zel: ")]
    assert len(errors) == 1 and "corrupt.evb" in errors[0] and "not a multiple of 9" in errors[0]
    assert "5 files, 1 failed" in result.stderr
    assert all(row["files"] == "4" for row in table_rows(result.stdout))
    assert not any(row[0].endswith("corrupt.evb") for row in deterministic(out))


@pytest.mark.parametrize("name, kind", [("r.CSV", "csv"), ("r.JsonL", "jsonl"), ("r.JSON", "json")])
def test_results_file_suffixes_are_read_whatever_their_case(tmp_path, name, kind):
    out = tmp_path / name
    args = ["bench", SAMPLE_FILES[0], "--time-bins", "16", "--max-depth", "6", "--no-progress",
            "--baselines", "none", "--jobs", "1", "--out", out]
    result = zel(*args)
    assert result.returncode == 0, result.stderr
    text = out.read_text()
    first = {"csv": lambda: text.split("\n", 1)[0].split(",")[:2],
             "jsonl": lambda: list(json.loads(text.splitlines()[0]))[:2],
             "json": lambda: list(json.loads(text)[0])[:2]}[kind]()
    assert first == list(COLUMNS[:2])
    again = zel(*args)  # and resumed from: nothing is measured twice
    assert again.returncode == 0, again.stderr
    assert out.read_text() == text


def test_resume_skips_finished_rows_and_redoes_missing_and_torn_ones(tmp_path):
    folder = copy_samples(tmp_path / "data")
    out = tmp_path / "out.csv"
    assert zel("bench", folder, *FAST_SWEEP, "--jobs", "1", "--out", out).returncode == 0
    complete = deterministic(out)
    header, *lines = out.read_text().splitlines()
    # Mark one finished row so a recomputation would show, drop the rows of
    # one file, and end on a torn line as a crash mid-write would.
    marked = lines[0].split(",")
    marked[COLUMNS.index("zel_bytes")] = "1"
    dropped = lines[-1].split(",")[0]
    kept = [",".join(marked)] + [line for line in lines[1:] if not line.startswith(dropped + ",")]
    out.write_text("\n".join([header, *kept]) + "\n" + lines[-1][:25])

    result = zel("bench", folder, *FAST_SWEEP, "--jobs", "1", "--out", out)
    assert result.returncode == 0, result.stderr
    rows = deterministic(out)
    assert len(rows) == len(complete) == len(set(rows))
    changed = [row for row in rows if row not in complete]
    assert len(changed) == 1 and changed[0][COLUMNS.index("zel_bytes")] == "1"


def test_plot_writes_a_png_of_the_figure_size(tmp_path):
    pytest.importorskip("matplotlib")
    from zelkit._cli.plot import FIGURE_PIXELS

    png = tmp_path / "sweep.png"
    result = zel("bench", SAMPLE_FILES[0], *FAST_SWEEP, "--jobs", "1", "--plot", png)
    assert result.returncode == 0, result.stderr
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    assert struct.unpack(">II", data[16:24]) == FIGURE_PIXELS
    assert [p.name for p in tmp_path.iterdir()] == ["sweep.png"]


def test_an_interrupted_run_resumes_to_the_complete_table(tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    folder = tmp_path / "data"
    folder.mkdir()
    for i in range(12):
        (folder / f"copy{i:02d}.evb").write_bytes(SAMPLE_FILES[-1].read_bytes())
    # A file among the others whose reader waits for a writer that never
    # comes: the run cannot finish before it is interrupted, however fast
    # the machine measures the rest.
    stuck = folder / "copy05_never_written.evb"
    os.mkfifo(stuck)
    out = tmp_path / "out.csv"
    code = ("import signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
            "from zelkit._cli import main; raise SystemExit(main())")
    running = subprocess.Popen([sys.executable, "-c", code, "bench", folder, *FAST_SWEEP, "--jobs", "1",
                                "--out", out], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and (not out.exists() or len(deterministic(out)) < N_SETTINGS):
            time.sleep(0.05)
        running.send_signal(signal.SIGINT)
        _, stderr = running.communicate(timeout=60)
    finally:
        running.kill()
        running.wait()
    assert running.returncode == 130, stderr
    assert stderr.strip().splitlines()[-1] == "zel: interrupted"
    assert N_SETTINGS <= len(deterministic(out)) < 12 * N_SETTINGS

    stuck.unlink()
    result = zel("bench", folder, *FAST_SWEEP, "--jobs", "1", "--out", out)
    assert result.returncode == 0, result.stderr
    rows = deterministic(out)
    assert len(rows) == len(set(rows)) == 12 * N_SETTINGS
    assert all(row["files"] == "12" for row in table_rows(result.stdout))


@pytest.mark.parametrize("signal_name, status, last_line", [("SIGINT", 130, "zel: interrupted"),
                                                            ("SIGTERM", 143, "zel: terminated")])
@pytest.mark.parametrize("jobs", [[], ["--jobs", "1"], ["--jobs", "2"]])
def test_a_signal_stops_the_run_at_once_keeping_finished_rows(signal_name, status, last_line, jobs, tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    folder = copy_samples(tmp_path / "data")
    # Its reader waits for a writer that never comes: a measurement that
    # would never finish, so only stopping its worker ends the run.
    os.mkfifo(folder / "zz_never_written.csv")
    out = tmp_path / "out.csv"
    # SIGINT sent to this process alone, as kill -INT or a batch scheduler does;
    # the handler is asked for in case this test runs with SIGINT ignored.
    code = ("import signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
            "from zelkit._cli import main; raise SystemExit(main())")
    running = subprocess.Popen([sys.executable, "-c", code, "bench", folder, "--time-bins", "16", "--max-depth", "8",
                                "--no-progress", "--baselines", "none", "--out", out, *jobs],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and (not out.exists() or len(deterministic(out)) < len(SAMPLE_FILES)):
            time.sleep(0.05)
        running.send_signal(getattr(signal, signal_name))
        _, stderr = running.communicate(timeout=30)
    finally:
        running.kill()
        running.wait()
    assert running.returncode == status, stderr
    assert stderr.strip().splitlines()[-1] == last_line
    assert len(deterministic(out)) == len(SAMPLE_FILES)


def test_every_file_failing_prints_the_failures_and_no_table(tmp_path):
    for name in ("a.evb", "b.evb"):
        (tmp_path / name).write_bytes(b"\1" * 10)
    result = zel("bench", tmp_path, *FAST_SWEEP, "--jobs", "1")
    assert result.returncode == 1 and result.stdout == ""
    errors = [line for line in stderr_lines(result) if line.startswith("zel: ")]
    assert len(errors) == 2 and all("not a multiple of 9" in line for line in errors)


def test_the_samples_table_shows_merged_events_bin_width_and_the_worst_file():
    from zel_command import ALL_SAMPLES, SAMPLES

    result = zel("bench", SAMPLES, "--time-bins", "16", "--max-depth", "8,16", "--no-progress", "--jobs", "1")
    assert result.returncode == 0, result.stderr
    rows = table_rows(result.stdout)
    assert [row["files"] for row in rows] == [str(len(ALL_SAMPLES))] * 2
    for row in rows:
        assert float(row["bits/event worst file"]) > float(row["bits/event mean"]) > 0
        assert 0 < float(row["merged events"].rstrip("%")) < 100
        assert float(row["bin us"].replace(",", "")) > 0
        assert float(row["zstd-19 grid / zel"]) > 0 and float(row["xz raw / zel"]) > 0
    # The street scene's 640x480 grid needs depth 10: depth 8 merges voxels, depth 16 keeps them.
    assert [float(row["over- coverage"].rstrip("%")) > 0 for row in rows] == [True, False]
    assert "like for like" in result.stdout and "a lossy code against lossless ones" in result.stdout


@pytest.mark.parametrize("baselines, columns", [
    ("none", []), ("fast", ["zstd-3 grid / zel", "zstd-3 raw / zel"]),
    ("all", ["zstd-19 grid / zel", "xz grid / zel", "zstd-19 raw / zel", "xz raw / zel"]),
])
def test_the_table_shows_the_compressors_measured(baselines, columns):
    result = zel("bench", SAMPLE_FILES[0], "--time-bins", "16", "--max-depth", "8", "--no-progress",
                 "--baselines", baselines)
    assert result.returncode == 0, result.stderr
    (row,) = table_rows(result.stdout)
    assert sorted(name for name in row if " / zel" in name) == sorted(columns)
