"""The command's contract: help, exit status and one-line errors."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

from zel_command import SAMPLES, stderr_lines, zel

SUBCOMMANDS = ["info", "convert", "compress", "decompress", "bench", "view"]


@pytest.mark.parametrize("subcommand", SUBCOMMANDS)
def test_every_subcommand_has_help(subcommand):
    result = zel(subcommand, "--help")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"usage: zel {subcommand}")


def test_console_script_is_installed_beside_the_interpreter():
    script = pathlib.Path(sys.executable).with_name("zel")
    result = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    for subcommand in SUBCOMMANDS:
        assert subcommand in result.stdout


@pytest.mark.parametrize(
    "args, expected",
    [
        ([], "required: COMMAND"),
        (["frobnicate"], "invalid choice"),
        (["bench", str(SAMPLES), "--no-such-option"], "unrecognized arguments"),
        (["bench", str(SAMPLES), "--time-bins", "16,x"], "expected an integer"),
        (["bench", str(SAMPLES), "--time-bins", "0"], "--time-bins values must be 1..65535"),
        (["bench", str(SAMPLES), "--max-depth", "256"], "--max-depth values must be 0..255"),
        (["bench", str(SAMPLES), "--jobs", "0"], "expected a positive integer"),
        (["bench", str(SAMPLES), "--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"], "not allowed with"),
        (["bench", str(SAMPLES), "--out", "results.txt"], "--out must end in"),
        (["compress", str(SAMPLES / "bar_sweep.evb"), "--max-depth", "8"], "--time-bins"),
        (["decompress", "x.zel", "--grid", "x.png"], "--grid writes a .npy file"),
    ],
)
def test_usage_errors_exit_2_with_one_line(args, expected, tmp_path):
    result = zel(*args, cwd=tmp_path)
    assert result.returncode == 2
    lines = stderr_lines(result)
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("zel") and "error:" in lines[0] and expected in lines[0]
    assert list(tmp_path.iterdir()) == []


def _bad_inputs(folder: pathlib.Path) -> dict[str, pathlib.Path]:
    (folder / "unknown.xyz").write_bytes(b"junk")
    (folder / "torn.evb").write_bytes(b"0123456789")
    return {
        "missing": folder / "missing.evb",
        "unknown format": folder / "unknown.xyz",
        "malformed": folder / "torn.evb",
    }


@pytest.mark.parametrize("kind, message", [
    ("missing", "No such file or directory"),
    ("unknown format", "Unknown file extension"),
    ("malformed", "not a multiple of 9"),
])
@pytest.mark.parametrize("subcommand", ["bench", "info"])
def test_a_bad_input_is_one_line_naming_it_and_exit_1(subcommand, kind, message, tmp_path):
    path = _bad_inputs(tmp_path)[kind]
    extra = ["--no-progress"] if subcommand == "bench" else []
    result = zel(subcommand, path, *extra)
    assert result.returncode == 1
    errors = [line for line in stderr_lines(result) if line.startswith("zel: ")]
    assert len(errors) == 1, result.stderr
    assert str(path) in errors[0] and message in errors[0]
    assert "Traceback" not in result.stderr


def test_a_folder_without_event_files_is_an_error(tmp_path):
    (tmp_path / "notes.md").write_text("nothing to measure")
    result = zel("bench", tmp_path, "--no-progress")
    assert result.returncode == 1
    assert stderr_lines(result) == [f"zel: no event files in {tmp_path}"]


@pytest.mark.parametrize("where", ["before", "after"])
def test_debug_shows_the_traceback(where, tmp_path):
    args = ["bench", tmp_path / "missing.evb"]
    args = ["--debug", *args] if where == "before" else [*args, "--debug"]
    result = zel(*args)
    assert result.returncode == 1
    assert "Traceback" in result.stderr and "FileNotFoundError" in result.stderr


def test_python_m_zelkit_and_the_script_agree(tmp_path):
    script = pathlib.Path(sys.executable).with_name("zel")
    via_script = subprocess.run([script, "bench", SAMPLES / "bar_sweep.evb", "--time-bins", "16", "--max-depth",
                                 "8", "--no-progress"], capture_output=True, text=True, timeout=120,
                                env={**os.environ, "PYTHONWARNINGS": "ignore"})
    via_module = zel("bench", SAMPLES / "bar_sweep.evb", "--time-bins", "16", "--max-depth", "8", "--no-progress")
    assert via_script.returncode == via_module.returncode == 0
    assert via_script.stdout == via_module.stdout
