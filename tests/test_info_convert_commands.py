"""``zel info`` and ``zel convert`` on real files."""

from __future__ import annotations

import csv
import importlib.util
import json

import numpy as np
import pytest

import zelkit
from zel_command import REAL_DATA, SAMPLE_FILES, SAMPLES, camera_file, only_error_line, stderr_lines, tables, zel
from zelkit_files import aedat4_file

EVB = SAMPLES / "bar_sweep.evb"


def test_info_describes_every_sample(tmp_path):
    result = zel("info", *SAMPLE_FILES, "--json")
    assert result.returncode == 0, result.stderr
    described = json.loads(result.stdout)
    assert [row["path"] for row in described] == [str(p) for p in SAMPLE_FILES]
    for row in described:
        assert (row["n_events"], row["width"], row["height"]) == (5830, 128, 128)
        assert row["time_ordered"] is True
    table = zel("info", SAMPLES)
    assert table.returncode == 0
    assert len(table.stdout.strip().splitlines()) == 2 + len(SAMPLE_FILES) + 1  # and the street scene


@pytest.mark.parametrize("times, ordered", [([1_000_000, 2_000_000, 3_500_000], "yes"),
                                             ([3_500_000, 1_000_000, 2_000_000], "no")])
def test_info_tables_a_file_in_seconds_and_events_per_second(tmp_path, times, ordered):
    events = np.zeros(3, dtype=zelkit.EVENT_DTYPE)
    events["t"], events["x"], events["y"] = times, [3, 9, 1], [0, 4, 2]
    path = tmp_path / "three.evb"
    zelkit.save(path, events)
    result = zel("info", path)
    assert result.returncode == 0, result.stderr
    (row,) = tables(result.stdout)[0]
    assert (row["format"], row["events"], row["width"], row["height"]) == ("evb", "3", "10", "5")
    # The first and last events as they come; two and a half seconds from
    # the earliest to the latest.
    assert (row["first us"], row["last us"]) == (f"{times[0]:,}", f"{times[-1]:,}")
    assert (row["duration s"], row["events/s"]) == ("2.500", "1.200")
    assert (row["time-ordered"], row["bits/event"]) == (ordered, f"{8 * path.stat().st_size / 3:.3f}")


def test_info_goes_on_after_a_bad_file(tmp_path):
    bad = tmp_path / "torn.evb"
    bad.write_bytes(b"\0" * 10)
    result = zel("info", bad, EVB)
    assert result.returncode == 1
    assert str(bad) in only_error_line(result)
    assert str(EVB) in result.stdout


@pytest.mark.parametrize("source, target", [
    ("bar_sweep.evb", "out.csv"), ("bar_sweep.aedat", "out.bin"), ("bar_sweep.csv", "out.evb"),
    ("bar_sweep.bin", "out.aedat"), ("bar_sweep.csv", "out.raw"), ("bar_sweep.aedat", "out.dat"),
])
def test_convert_keeps_every_event(source, target, tmp_path):
    result = zel("convert", SAMPLES / source, tmp_path / target, "--chunk-events", "1000")
    assert result.returncode == 0, result.stderr
    assert np.array_equal(zelkit.load(tmp_path / target), zelkit.load(SAMPLES / source))


@pytest.mark.parametrize("chunk", [1, 100, 10_000])
def test_convert_refuses_what_the_target_cannot_hold_and_writes_nothing(chunk, tmp_path):
    wide = tmp_path / "wide.evb"
    events = zelkit.load(EVB)
    events["x"][-1] = 300  # N-MNIST holds x < 256
    zelkit.save(wide, events)
    result = zel("convert", wide, tmp_path / "out.bin", "--chunk-events", chunk)
    assert result.returncode == 1
    assert "x" in only_error_line(result)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["wide.evb"]


@pytest.mark.parametrize("args, message", [
    (["{missing}", "{tmp}/out.csv"], "No such file or directory"),
    (["{evb}", "{tmp}/out.xyz"], "xyz"),
])
def test_convert_failures_are_one_line_and_leave_nothing(args, message, tmp_path):
    args = [a.format(missing=tmp_path / "missing.evb", tmp=tmp_path, evb=EVB) for a in args]
    result = zel("convert", *args)
    assert result.returncode == 1
    assert message in only_error_line(result)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("extension", ["dat", "raw"])
def test_converted_camera_files_state_one_sensor_size(extension, tmp_path):
    kept, given = tmp_path / f"kept.{extension}", tmp_path / f"given.{extension}"
    assert zel("convert", EVB, kept, "--chunk-events", "500").returncode == 0
    assert zel("convert", EVB, given, "--chunk-events", "500", "--width", "640", "--height", "480").returncode == 0
    assert (zelkit.info(kept).width, zelkit.info(kept).height) == (128, 128)
    assert (zelkit.info(given).width, zelkit.info(given).height) == (640, 480)
    assert np.array_equal(zelkit.load(given), zelkit.load(EVB))


def test_info_and_bench_find_camera_formats_in_a_folder(tmp_path):
    events = zelkit.load(EVB)
    zelkit.save(tmp_path / "cam.dat", events, width=320, height=240)
    zelkit.save(tmp_path / "cam.raw", events, width=320, height=240)
    described = json.loads(zel("info", tmp_path, "--json").stdout)
    assert [(row["format"], row["width"], row["size_from_header"]) for row in described] == [
        ("dat", 320, True), ("raw", 320, True)]
    out = tmp_path.parent / f"{tmp_path.name}.csv"
    result = zel("bench", tmp_path, "--time-bins", "16", "--max-depth", "8", "--no-progress", "--out", out)
    assert result.returncode == 0, result.stderr
    assert "2 files, 0 failed" in result.stderr
    with out.open(newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert sorted((row["format"], row["width"], row["height"]) for row in rows) == [
        ("dat", "320", "240"), ("raw", "320", "240")]


LATE = [(1, 2, 2**33 + 7, 1), (3, 4, 2**33 + 1_007, 0), (5, 6, 2**33 + 2_007, 1)]  # past the 32-bit field


def _rebase_lines(result, path):
    return [line for line in stderr_lines(result) if "rebased" in line and str(path) in line]


@pytest.mark.parametrize("offset, subtracted, noted", [
    ([], 2**33 + 7, True),                                    # auto: they do not fit, so the first event's
    (["--t-offset", "auto"], 2**33 + 7, True),
    (["--t-offset", "first"], 2**33 + 7, False),              # asked for: nothing to say
    (["--t-offset", str(2**33)], 2**33, False),
])
def test_convert_reads_camera_times_past_32_bits(offset, subtracted, noted, tmp_path):
    source = camera_file(tmp_path / "late.raw", LATE)
    result = zel("convert", source, tmp_path / "out.csv", *offset)
    assert result.returncode == 0, result.stderr
    assert zelkit.load(tmp_path / "out.csv")["t"].tolist() == [t - subtracted for _, _, t, _ in LATE]
    assert len(_rebase_lines(result, source)) == int(noted)


def test_times_that_fit_are_kept_as_they_are(tmp_path):
    source = camera_file(tmp_path / "early.raw", [(1, 2, 70, 1), (3, 4, 90, 0)])
    result = zel("convert", source, tmp_path / "out.csv")
    assert result.returncode == 0 and stderr_lines(result) == []
    assert zelkit.load(tmp_path / "out.csv")["t"].tolist() == [70, 90]


@pytest.mark.parametrize("offset", [["--t-offset", "none"], ["--t-offset", str(2**34)]])
def test_times_that_cannot_be_held_fail_naming_the_file(offset, tmp_path):
    source = camera_file(tmp_path / "late.raw", LATE)
    result = zel("convert", source, tmp_path / "out.csv", *offset)
    assert result.returncode == 1
    line = only_error_line(result)
    assert line.startswith(f"zel: {source}: ") and "fit" in line
    assert sorted(p.name for p in tmp_path.iterdir()) == ["late.raw"]


def test_every_reading_command_takes_camera_times_past_32_bits(tmp_path):
    source = camera_file(tmp_path / "late.raw", LATE)
    described = json.loads(zel("info", source, "--json").stdout)[0]
    assert (described["t_first"], described["t_last"]) == (LATE[0][2], LATE[-1][2])  # the camera's clock
    grid = ["--time-bins", "16", "--max-depth", "8"]
    compress = zel("compress", source, "-o", tmp_path / "late.zel", *grid)
    assert compress.returncode == 0, compress.stderr
    with zelkit.open(tmp_path / "late.zel") as reader:
        assert reader.time_range == (0, 2_000)
    bench = zel("bench", source, *grid, "--no-progress", "--baselines", "none")
    assert bench.returncode == 0, bench.stderr
    for result in (compress, bench):
        assert len(_rebase_lines(result, source)) == 1


def camera_times(path):
    """Every event's time in the file's own clock, read chunk by chunk."""
    return [c.t_base + t for c in zelkit.iter_load(path, chunk_events=2, t_offset="chunk") for t in c["t"].tolist()]


@pytest.mark.parametrize("target, offset, subtracted, noted", [
    # EVT 2.0 starts below 2**34 us: the camera's clock is kept as it is.
    ("out.raw", [], 0, False),
    # DAT holds 32-bit times: rebased to the first event, and said so.
    ("out.dat", [], 2**33 + 7, True),
    ("out.raw", ["--t-offset", "first"], 2**33 + 7, False),
    ("out.raw", ["--t-offset", str(2**33)], 2**33, False),
    ("out.dat", ["--t-offset", str(2**33)], 2**33, False),
    ("out.raw", ["--t-offset", "none"], 0, False),
])
def test_convert_to_camera_formats_keeps_the_camera_clock_where_it_fits(target, offset, subtracted, noted, tmp_path):
    source = camera_file(tmp_path / "late.raw", LATE)
    result = zel("convert", source, tmp_path / target, "--chunk-events", "1", *offset)
    assert result.returncode == 0, result.stderr
    assert camera_times(tmp_path / target) == [t - subtracted for _, _, t, _ in LATE]
    lines = _rebase_lines(result, source)
    assert len(lines) == int(noted) and stderr_lines(result) == lines
    if noted:
        assert lines[0] == (f"zel: {source}: times rebased by {subtracted:,} us, the first event's, as "
                            f"{tmp_path / target} cannot hold its camera clock (--t-offset chooses)")


@pytest.mark.parametrize("chunk", ["1", "1000"])
@pytest.mark.parametrize("past", [0, 1])
def test_convert_refuses_a_t_offset_past_the_first_event_naming_it(chunk, past, tmp_path):
    source = camera_file(tmp_path / "late.raw", LATE)
    offset = LATE[0][2] + past
    result = zel("convert", source, tmp_path / "out.raw", "--chunk-events", chunk, "--t-offset", str(offset))
    if not past:
        assert result.returncode == 0, result.stderr
        assert camera_times(tmp_path / "out.raw") == [t - offset for _, _, t, _ in LATE]
        return
    assert result.returncode == 1
    assert stderr_lines(result) == [f"zel: {tmp_path / 'out.raw'}: event 0 has timestamp {LATE[0][2]} us, "
                                    f"before the {offset} us subtracted from every time"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["late.raw"]


@pytest.mark.parametrize("last, rebased", [(2**32 - 1, False), (2**32, True)])
def test_convert_to_dat_keeps_a_clock_up_to_its_last_time_and_rebases_one_past(last, rebased, tmp_path):
    events = [(1, 2, 5, 1), (3, 4, last, 0)]
    source = camera_file(tmp_path / "edge.raw", events)
    result = zel("convert", source, tmp_path / "out.dat")
    assert result.returncode == 0, result.stderr
    subtracted = 5 if rebased else 0
    assert camera_times(tmp_path / "out.dat") == [t - subtracted for _, _, t, _ in events]
    assert len(_rebase_lines(result, source)) == int(rebased)


# Longer than the 32-bit field: chunks rebased each to itself carry the clock.
LONG = [(1, 2, 5, 1), (3, 4, 2**32 + 100, 0), (5, 6, 2**33 + 6, 1), (7, 8, 2**33 + 2**32 + 9, 0)]


@pytest.mark.parametrize("chunk", ["1", "3", "1000"])
def test_convert_streams_a_recording_longer_than_32_bits_into_evt2(chunk, tmp_path):
    source = camera_file(tmp_path / "long.raw", LONG)
    result = zel("convert", source, tmp_path / "out.raw", "--chunk-events", chunk)
    assert result.returncode == 0 and stderr_lines(result) == [], result.stderr
    assert camera_times(tmp_path / "out.raw") == [t for _, _, t, _ in LONG]
    chunks = list(zelkit.iter_load(tmp_path / "out.raw", t_offset="chunk"))
    assert np.concatenate(chunks)[["x", "y", "p"]].tolist() == [(x, y, p) for x, y, _, p in LONG]


@pytest.mark.parametrize("target, blamed, message", [
    ("out.dat", "out.dat", "t_base + t at index 1 is 4294967391, above the largest DAT time 4294967295"),
    ("out.csv", "long.raw", "event 1 has timestamp 4294967396 us (5 us subtracted), which does not fit"),
])
def test_a_recording_no_base_fits_fails_naming_the_event_and_writes_nothing(target, blamed, message, tmp_path):
    source = camera_file(tmp_path / "long.raw", LONG)
    result = zel("convert", source, tmp_path / target)
    assert result.returncode == 1
    # Rebased to the first event, as said, and still too long for the output.
    note, error = stderr_lines(result)
    assert note == _rebase_lines(result, source)[0]
    assert error.startswith(f"zel: {tmp_path / blamed}: {message}"), error
    assert sorted(p.name for p in tmp_path.iterdir()) == ["long.raw"]


def test_convert_rebases_a_clock_evt2_cannot_start_at(tmp_path):
    # Unix-epoch microseconds, as an AEDAT 4 camera counts: past 2**34.
    t0 = 1_605_507_430_438_338
    source = aedat4_file(tmp_path, "lz4", [(0, [(t0, 1, 2, 1), (t0 + 5, 3, 4, 0)]), (0, [(t0 + 2**33, 5, 6, 1)])])
    for target, first in (("out.raw", 0), ("keep.raw", None)):
        offset = [] if first == 0 else ["--t-offset", str(t0 - 2**20)]
        result = zel("convert", source, tmp_path / target, "--chunk-events", "1", *offset)
        assert result.returncode == 0, result.stderr
        base = t0 if first == 0 else t0 - 2**20
        assert camera_times(tmp_path / target) == [t0 - base, t0 + 5 - base, t0 + 2**33 - base]
        assert len(_rebase_lines(result, source)) == (1 if first == 0 else 0)


def _with_a_bad_word(path):
    data = bytearray(path.read_bytes())
    data[-4:] = (0x5 << 28).to_bytes(4, "little")  # a reserved word type in place of the last event
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize("command", [
    ["info", "{src}"],
    ["convert", "{src}", "{tmp}/out.csv"],
    ["compress", "{src}", "-o", "{tmp}/out.zel", "--time-bins", "16", "--max-depth", "8"],
    ["bench", "{src}", "--no-progress", "--time-bins", "16", "--max-depth", "8", "--baselines", "none"],
])
def test_errors_skip_reads_past_bad_data_and_says_how_much(command, tmp_path):
    source = _with_a_bad_word(camera_file(tmp_path / "bad.raw", [(1, 2, 5, 1), (3, 4, 9, 0), (5, 6, 12, 1)]))
    args = [word.format(src=source, tmp=tmp_path) for word in command]
    strict = zel(*args)
    errors = [line for line in stderr_lines(strict) if line.startswith("zel: ")]
    assert strict.returncode == 1 and len(errors) == 1 and "at byte offset" in errors[0]
    skipped = zel(*args, "--errors", "skip")
    assert skipped.returncode == 0, skipped.stderr
    notes = [line for line in stderr_lines(skipped) if line.startswith("zel: ")]
    assert notes == [f"zel: {source}: skipped 1 bad word(s), record(s) or packet(s)"]
    if command[0] == "convert":
        assert len(zelkit.load(tmp_path / "out.csv")) == 2


def test_errors_skip_leaves_zel_formats_as_they_are(tmp_path):
    result = zel("convert", EVB, tmp_path / "out.csv", "--errors", "skip")
    assert result.returncode == 0 and stderr_lines(result) == []
    assert np.array_equal(zelkit.load(tmp_path / "out.csv"), zelkit.load(EVB))


@pytest.mark.skipif(not (REAL_DATA / "sample.aedat4").exists(), reason="the real recordings are not here")
def test_the_real_aedat4_recording_reads_in_every_command(tmp_path):
    source = REAL_DATA / "sample.aedat4"
    grid = ["--time-bins", "16", "--max-depth", "8"]
    commands = [["convert", source, tmp_path / "out.raw"], ["compress", source, "-o", tmp_path / "out.zel", *grid],
                ["bench", source, *grid, "--no-progress", "--baselines", "none"]]
    if importlib.util.find_spec("matplotlib"):
        commands.append(["view", source, "-o", tmp_path / "view.png"])
    for command in commands:
        result = zel(*command)
        assert result.returncode == 0, result.stderr
        assert len(_rebase_lines(result, source)) == 1
    assert len(zelkit.load(tmp_path / "out.raw")) == 111_954
