"""zelkit.evaluate as a library call, and the pieces under it."""

from __future__ import annotations

import concurrent.futures
import json
import lzma
import os

import numpy as np
import pytest
import zstandard

import zelkit
from zel_command import ALL_SAMPLES, SAMPLES, camera_file
from zelkit.evaluation._baselines import compressed_sizes, packed_occupancy, time_bin_of
from zelkit._discover import find_inputs
from zelkit import evaluate
from zelkit.evaluation import Record, Setting
from zelkit.evaluation._results_file import ResultsFile, ResultsFileError

SWEEP = [Setting(16, 8), Setting(64, 16, 4)]


class CountingExecutor(concurrent.futures.ThreadPoolExecutor):
    """Runs in threads and remembers which files were sent to workers."""

    def __init__(self) -> None:
        super().__init__(max_workers=2)
        self.sent: list[str] = []

    def submit(self, fn, /, *args, **kwargs):
        self.sent.extend(job.path for job in args[0])
        return super().submit(fn, *args, **kwargs)


def test_any_executor_gives_the_records_of_the_default_pool():
    pooled = evaluate([SAMPLES], SWEEP, progress=False)
    with CountingExecutor() as executor:
        threaded = evaluate([SAMPLES], SWEEP, executor=executor, progress=False)
    strip = lambda r: {**r.__dict__, "encode_mev_s": None, "decode_mev_s": None}  # noqa: E731
    assert [strip(r) for r in pooled] == [strip(r) for r in threaded]
    assert len(pooled) == len(ALL_SAMPLES) * len(SWEEP) and not pooled.failures
    assert sorted(executor.sent) == sorted(str(p) for p in ALL_SAMPLES)


@pytest.mark.parametrize("paths, settings", [
    ([SAMPLES / "bar_sweep.evb"], [(16, 8)]),
    (SAMPLES / "bar_sweep.evb", (16, 8)),  # one path and one setting need no list
    (str(SAMPLES / "bar_sweep.evb"), Setting(16, 8, 1)),
])
def test_records_measure_the_file_and_its_baselines(paths, settings):
    (record,) = evaluate(paths, settings, executor=CountingExecutor(), progress=False)
    raw = (SAMPLES / "bar_sweep.evb").read_bytes()
    assert (record.n_events, record.width, record.height, record.raw_bytes) == (5830, 128, 128, len(raw))
    assert record.zstd19_raw == len(zstandard.ZstdCompressor(level=19).compress(raw))
    assert record.xz_raw == len(lzma.compress(raw))
    assert record.grid_bytes == 16 * 128 * 128 // 8
    assert record.bits_per_event == pytest.approx(8 * record.zel_bytes / 5830)
    assert record.ratio == pytest.approx(len(raw) / record.zel_bytes)
    # 128 x 128 x 16 needs depth 7, so depth 8 keeps every voxel exactly.
    assert (record.coverage, record.over_coverage) == (1.0, 0.0)
    assert record.container_bytes > record.zel_bytes


def test_a_depth_limit_shows_as_over_coverage():
    shallow, full = evaluate(SAMPLES / "bar_sweep.evb", [(16, 3), (16, 7)], executor=CountingExecutor(),
                             progress=False)
    assert shallow.coverage == full.coverage == 1.0
    assert 0.5 < shallow.over_coverage < 1.0 and full.over_coverage == 0.0
    assert shallow.zel_bytes < full.zel_bytes


def test_failures_are_listed_once_and_reported_through_the_callback(tmp_path):
    bad = tmp_path / "bad.evb"
    bad.write_bytes(b"\0" * 10)
    seen = []
    results = evaluate([bad, SAMPLES / "bar_sweep.evb"], SWEEP, executor=CountingExecutor(), progress=False,
                       on_failure=seen.append)
    assert [f.path for f in results.failures] == [str(bad)] and seen == results.failures
    assert {r.path for r in results} == {str(SAMPLES / "bar_sweep.evb")}


@pytest.mark.parametrize("setting, message", [
    ((0, 8), "time_bins"), ((65536, 8), "time_bins"), ((16, -1), "max_depth"), ((16, 8, 0), "frames"),
])
def test_impossible_settings_are_refused_before_work(setting, message):
    with pytest.raises(ValueError, match=message):
        evaluate([SAMPLES], [setting], executor=CountingExecutor(), progress=False)


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".json", ".CSV", ".Json"])
def test_resume_sends_only_unfinished_files(suffix, tmp_path):
    out = tmp_path / ("results" + suffix)
    first = evaluate([SAMPLES], SWEEP[:1], executor=CountingExecutor(), progress=False, out=out)
    with CountingExecutor() as executor:
        again = evaluate([SAMPLES], SWEEP[:1], executor=executor, progress=False, out=out)
    assert executor.sent == [] and list(again) == list(first)
    with CountingExecutor() as executor:
        wider = evaluate([SAMPLES], SWEEP, executor=executor, progress=False, out=out)
    assert sorted(executor.sent) == sorted(str(p) for p in ALL_SAMPLES)
    assert len(wider) == 2 * len(first)
    assert len(ResultsFile(out).read_existing()) == len(wider)


@pytest.mark.parametrize("content, suffix", [
    ("path,format\nx,evb\n", ".csv"),
    ('{"rows": []}', ".json"),
    ("[1, 2]", ".json"),
    ('{"path": "x"}\n', ".jsonl"),
    ("[1, 2]\n", ".jsonl"),
    ('"path"\n', ".jsonl"),
    ("\xff\xfe", ".csv"),
])
def test_a_results_file_of_another_shape_is_refused_untouched(content, suffix, tmp_path):
    out = tmp_path / ("results" + suffix)
    out.write_bytes(content.encode("latin-1"))
    with pytest.raises(ResultsFileError, match="cannot resume"):
        evaluate([SAMPLES], SWEEP, executor=CountingExecutor(), progress=False, out=out)
    assert out.read_bytes() == content.encode("latin-1")


@pytest.mark.parametrize("content, suffix", [
    ("", ".csv"),
    ("\n", ".csv"),
    ("  \n\n", ".jsonl"),
    ("path,format,wi", ".csv"),
    ("\npath", ".csv"),
    ('{"path": "sam', ".jsonl"),
    ("{", ".jsonl"),
])
def test_a_results_file_with_nothing_finished_in_it_is_started_afresh(content, suffix, tmp_path):
    # An empty file, blank lines, or a first line (the CSV header included)
    # cut short by an interrupted run: the rows written next must read back.
    out = tmp_path / ("results" + suffix)
    out.write_text(content)
    first = evaluate([SAMPLES], SWEEP[:1], executor=CountingExecutor(), progress=False, out=out)
    with CountingExecutor() as executor:
        again = evaluate([SAMPLES], SWEEP[:1], executor=executor, progress=False, out=out)
    assert executor.sent == [] and list(again) == list(first)
    assert len(ResultsFile(out).read_existing()) == len(ALL_SAMPLES)


@pytest.mark.parametrize("content, suffix", [("hello", ".csv"), ("path,formatx", ".csv"), ('{"name": 1', ".jsonl")])
def test_a_cut_first_line_that_is_not_a_results_file_is_refused_untouched(content, suffix, tmp_path):
    out = tmp_path / ("results" + suffix)
    out.write_text(content)
    with pytest.raises(ResultsFileError, match="first line is not this version's"):
        evaluate([SAMPLES], SWEEP, executor=CountingExecutor(), progress=False, out=out)
    assert out.read_text() == content


def test_json_output_is_one_valid_array(tmp_path):
    out = tmp_path / "results.json"
    results = evaluate([SAMPLES], SWEEP, executor=CountingExecutor(), progress=False, out=out)
    rows = json.loads(out.read_text())
    assert len(rows) == len(results) and set(rows[0]) == set(Record.__dataclass_fields__)


def _dense_grid(events, width, height, n_bins):
    """A straightforward voxeliser: a boolean array filled event by event."""
    grid = np.zeros((n_bins, height, width), dtype=bool)
    ts = [int(t) for t in events["t"]]
    tmin, span = min(ts), (max(ts) - min(ts)) or 1
    for x, y, t in zip(events["x"], events["y"], ts):
        b = min(int((t - tmin) / span * (n_bins - 1)), n_bins - 1)
        grid[b, min(y, height - 1), min(x, width - 1)] = True
    return np.packbits(grid).tobytes()


@pytest.mark.parametrize("width, height, n_bins", [(1, 1, 1), (7, 5, 3), (34, 34, 16), (5, 3, 64)])
def test_packed_occupancy_equals_a_dense_voxeliser(width, height, n_bins):
    rng = np.random.default_rng(width * 1000 + n_bins)
    events = np.zeros(200, dtype=zelkit.EVENT_DTYPE)
    events["x"] = rng.integers(0, width + 2, 200)  # some beyond the sensor: clamped
    events["y"] = rng.integers(0, height + 2, 200)
    events["t"] = rng.integers(0, 2**32, 200, dtype=np.uint64)
    assert packed_occupancy(events, width, height, n_bins) == _dense_grid(events, width, height, n_bins)


@pytest.mark.parametrize("ts, n_bins, bins", [
    ([5, 5, 5], 8, [0, 0, 0]),              # one timestamp: span taken as 1
    ([0, 10], 4, [0, 3]),                   # the last event lands in the last bin
    ([0, 2**32 - 1], 65535, [0, 65534]),
    ([100, 0, 50], 3, [2, 0, 1]),           # unordered input keeps its order
])
def test_time_bins_follow_the_codec_rule(ts, n_bins, bins):
    assert time_bin_of(np.array(ts, dtype=np.uint32), n_bins).tolist() == bins


def test_empty_input_still_has_baselines():
    assert packed_occupancy(np.zeros(0, dtype=zelkit.EVENT_DTYPE), 2, 2, 2) == b"\0"
    assert set(compressed_sizes(b"")) == {"zstd3", "zstd19", "xz"}


def test_inputs_are_found_once_in_sorted_order_skipping_hidden_and_foreign_files(tmp_path):
    for name in ["b.evb", "a.csv", "e.CSV", "notes.md", ".tmp-partial.evb", "sub/c.aedat", ".hidden/d.evb"]:
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    found = find_inputs([tmp_path, tmp_path / "b.evb", tmp_path / "notes.md"])
    assert [f[len(str(tmp_path)) + 1:] for f in found] == ["a.csv", "b.evb", "sub/c.aedat", "notes.md"]
    with pytest.raises(FileNotFoundError):
        find_inputs([tmp_path / "missing"])


@pytest.mark.parametrize("second", [
    lambda folder: os.path.join(folder, ".", "b.evb"),
    lambda folder: os.path.join(folder, "sub", "..", "b.evb"),
    lambda folder: os.path.join(folder, "link.evb"),    # a symbolic link to b.evb
    lambda folder: os.path.join(folder, "linked", "b.evb"),  # b.evb through a linked folder
])
def test_one_file_named_two_ways_is_found_once(tmp_path, second):
    (tmp_path / "sub").mkdir()
    (tmp_path / "b.evb").write_bytes(b"")
    os.symlink(tmp_path / "b.evb", tmp_path / "link.evb")
    os.symlink(tmp_path, tmp_path / "linked", target_is_directory=True)
    first = str(tmp_path / "b.evb")
    assert find_inputs([first, second(str(tmp_path))]) == [first]


@pytest.mark.parametrize("size", [0, 1, 4095, 4097, 70_000])
@pytest.mark.parametrize("alphabet", [2, 256])
def test_xz_figure_is_what_xz_defaults_give(size, alphabet):
    data = np.random.default_rng(size + alphabet).integers(0, alphabet, size, dtype=np.uint8).tobytes()
    assert compressed_sizes(data)["xz"] == len(lzma.compress(data))


def test_resume_returns_only_the_files_and_settings_asked_for(tmp_path):
    out = tmp_path / "results.csv"
    evaluate([SAMPLES], SWEEP, executor=CountingExecutor(), progress=False, out=out)
    evb = SAMPLES / "bar_sweep.evb"
    with CountingExecutor() as executor:
        again = evaluate(evb, SWEEP[1], executor=executor, progress=False, out=out)
    assert executor.sent == [] and [(r.path, r.setting) for r in again] == [(str(evb), SWEEP[1])]


@pytest.mark.parametrize("setting", [(65535, 255), (1, 0), (16, 8, 2**32)])
def test_the_edges_of_every_setting_are_accepted(setting):
    assert evaluate([], [setting], executor=CountingExecutor(), progress=False) == []


@pytest.mark.parametrize("setting, message", [
    ((16, 256), "max_depth"), ((16, 8, 2**32 + 1), "frames"), (Setting(16, 8, 1, "nope"), "codec"),
])
def test_one_past_each_edge_is_refused(setting, message):
    with pytest.raises(ValueError, match=message):
        evaluate([], [setting], executor=CountingExecutor(), progress=False)


@pytest.mark.parametrize("options, message", [
    ({"baselines": "some"}, "baselines"), ({"jobs": 0}, "jobs"), ({"jobs": True}, "jobs"),
    ({"t_offset": -1}, "t_offset"), ({"t_offset": 2**64}, "t_offset"), ({"t_offset": "chunk"}, "t_offset"),
])
def test_bad_options_are_refused_before_work(options, message):
    with pytest.raises(ValueError, match=message):
        evaluate([SAMPLES], SWEEP, executor=CountingExecutor(), progress=False, **options)


def test_the_largest_time_bins_and_depth_run_end_to_end(tmp_path):
    path = tmp_path / "tiny.evb"
    zelkit.save(path, np.array([(0, 0, 0, 1), (1, 1, 5, 0), (1, 0, 9, 1)], dtype=zelkit.EVENT_DTYPE))
    (record,) = evaluate(path, (65535, 255), executor=CountingExecutor(), progress=False, baselines="none")
    assert record.coverage == 1.0 and record.duplicates == 0


@pytest.mark.parametrize("baselines, measured", [("none", []), ("fast", ["zstd3"]), ("all", ["zstd3", "zstd19", "xz"])])
def test_baselines_choose_the_compressors_measured(baselines, measured):
    (record,) = evaluate(SAMPLES / "bar_sweep.evb", (16, 8), executor=CountingExecutor(), progress=False,
                         baselines=baselines)
    for stem in ("zstd3", "zstd19", "xz"):
        for where in ("raw", "grid"):
            assert (getattr(record, f"{stem}_{where}") is not None) == (stem in measured)


def test_baseline_sizes_in_the_results_are_not_measured_again(tmp_path, monkeypatch):
    from zelkit.evaluation import _baselines

    calls = []
    counting = {name: (lambda f, n: lambda data: calls.append(n) or f(data))(f, name)
                for name, f in _baselines.COMPRESSORS.items()}
    monkeypatch.setattr(_baselines, "COMPRESSORS", counting)
    out, evb = tmp_path / "results.csv", SAMPLES / "bar_sweep.evb"
    first = evaluate(evb, (16, 8), executor=CountingExecutor(), progress=False, out=out)
    assert sorted(calls) == sorted(2 * ["zstd3", "zstd19", "xz"])  # the raw records and the grid
    calls.clear()
    deeper = evaluate(evb, [(16, 8), (16, 12)], executor=CountingExecutor(), progress=False, out=out)
    assert calls == []  # a new depth, the same grid and records
    columns = [f"{stem}_{where}" for stem in ("zstd3", "zstd19", "xz") for where in ("raw", "grid")]
    assert all(getattr(deeper[1], c) == getattr(first[0], c) for c in columns)
    finer = evaluate(evb, [(32, 8)], executor=CountingExecutor(), progress=False, out=out)
    assert sorted(calls) == ["xz", "zstd19", "zstd3"]  # a new grid; the records' sizes are known
    assert finer[0].xz_raw == first[0].xz_raw


def test_rows_without_the_baselines_asked_for_are_measured_again(tmp_path):
    out, evb = tmp_path / "results.jsonl", SAMPLES / "bar_sweep.evb"
    evaluate(evb, (16, 8), executor=CountingExecutor(), progress=False, out=out, baselines="none")
    with CountingExecutor() as executor:
        (record,) = evaluate(evb, (16, 8), executor=executor, progress=False, out=out, baselines="fast")
    assert executor.sent == [str(evb)] and record.zstd3_grid is not None
    with CountingExecutor() as executor:
        evaluate(evb, (16, 8), executor=executor, progress=False, out=out, baselines="none")
    assert executor.sent == []


def test_failures_name_the_file_as_it_was_found(tmp_path, monkeypatch):
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "bad.evb").write_bytes(b"\0" * 10)
    monkeypatch.chdir(tmp_path)
    results = evaluate("data", (16, 8), executor=CountingExecutor(), progress=False)
    (failure,) = results.failures
    assert failure.path == os.path.join("data", "bad.evb")
    assert failure.message.startswith("Compact binary file size 10 is not a multiple of 9")


def test_camera_times_past_32_bits_are_rebased_unless_told_otherwise(tmp_path):
    path = camera_file(tmp_path / "late.raw", [(1, 1, 2**33 + 5, 1), (2, 2, 2**33 + 505, 0)])
    (record,) = evaluate(path, (16, 8), executor=CountingExecutor(), progress=False, baselines="none")
    assert (record.n_events, record.duration_us) == (2, 500)
    results = evaluate(path, (16, 8), executor=CountingExecutor(), progress=False, t_offset=None)
    assert "does not fit" in results.failures[0].message


@pytest.mark.parametrize("times", [[5, 900, 40, 7], [900, 5, 40, 300], [40, 40, 40, 40]])
def test_a_recording_lasts_from_its_earliest_to_its_latest_event_in_any_order(tmp_path, times):
    events = np.zeros(len(times), dtype=zelkit.EVENT_DTYPE)
    events["t"], events["x"] = times, np.arange(len(times))
    path = tmp_path / "unordered.evb"
    zelkit.save(path, events)
    (record,) = evaluate(path, (16, 8), executor=CountingExecutor(), progress=False, baselines="none")
    assert (record.n_events, record.duration_us) == (len(times), max(times) - min(times))


def test_skipped_data_is_warned_about_by_the_evaluation(tmp_path):
    path = camera_file(tmp_path / "bad.raw", [(1, 1, 5, 1), (2, 2, 9, 0)])
    data = bytearray(path.read_bytes())
    data[-4:] = (0x5 << 28).to_bytes(4, "little")  # a reserved word type
    path.write_bytes(bytes(data))
    with pytest.warns(zelkit.SkippedDataWarning, match="bad.raw: skipped 1"):
        (record,) = evaluate(path, (16, 8), executor=CountingExecutor(), progress=False, errors="skip",
                             baselines="none")
    assert record.n_events == 1
    strict = evaluate(path, (16, 8), executor=CountingExecutor(), progress=False, baselines="none")
    assert "byte offset" in strict.failures[0].message and not strict


class SequencedExecutor(concurrent.futures.Executor):
    """Runs each task when the result of the one before has been taken, so
    the evaluation sees them finish one at a time in order; the `at`-th
    raises KeyboardInterrupt instead of measuring."""

    def __init__(self, at: int) -> None:
        self.at = at
        self.tasks: list[tuple[concurrent.futures.Future, object, tuple]] = []
        self.sent: list[str] = []

    def submit(self, fn, /, *args, **kwargs):
        executor = self

        class Chained(concurrent.futures.Future):
            def result(self, timeout=None):
                value = super().result(timeout)
                executor._run(index + 1)
                return value

        index = len(self.tasks)
        future = Chained()
        self.tasks.append((future, fn, args))
        self.sent.extend(job.path for job in args[0])
        if index == 0:
            self._run(0)
        return future

    def _run(self, k: int) -> None:
        if k < len(self.tasks):
            future, fn, args = self.tasks[k]
            if k + 1 == self.at:
                future.set_exception(KeyboardInterrupt())
            else:
                future.set_result(fn(*args))


def _measured(records):
    """What a record says of its file and setting; speeds differ from run to run."""
    import dataclasses
    return [{k: v for k, v in dataclasses.asdict(r).items() if not k.endswith("_mev_s")} for r in records]


@pytest.mark.parametrize("suffix", [".csv", ".jsonl", ".json"])
@pytest.mark.parametrize("at", [1, 3])
def test_an_interrupted_evaluation_keeps_its_finished_rows_and_resumes_from_them(suffix, at, tmp_path):
    whole = evaluate([SAMPLES], SWEEP[:1], executor=CountingExecutor(), progress=False)
    out = tmp_path / ("results" + suffix)
    executor = SequencedExecutor(at)
    with pytest.raises(KeyboardInterrupt):
        evaluate([SAMPLES], SWEEP[:1], executor=executor, progress=False, out=out)
    assert len(executor.sent) == len(ALL_SAMPLES) > at
    # The file holds exactly the rows of the files finished before the
    # interrupt (a .json file too: it is brought up to date on the way out).
    kept = ResultsFile(out).read_existing()
    assert sorted(record.path for record in kept) == sorted(executor.sent[: at - 1])
    assert all(row in _measured(whole) for row in _measured(kept))
    with CountingExecutor() as resuming:
        resumed = evaluate([SAMPLES], SWEEP[:1], executor=resuming, progress=False, out=out)
    assert sorted(resuming.sent) == sorted(executor.sent[at - 1 :])
    assert _measured(resumed) == _measured(whole)
    assert _measured(sorted(ResultsFile(out).read_existing(), key=lambda r: r.path)) == _measured(whole)
