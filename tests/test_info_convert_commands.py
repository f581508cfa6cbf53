"""``zel info`` and ``zel convert`` on real files."""

from __future__ import annotations

import csv
import json

import numpy as np
import pytest

import zelkit
from zel_command import SAMPLE_FILES, SAMPLES, only_error_line, zel

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
    (["{evb}", "{tmp}/out.csv", "--to", "nonsense"], "unknown format"),
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
