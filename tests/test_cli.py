"""The command's contract: help, exit status, one-line errors, Ctrl-C and SIGTERM."""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import zelkit
from helpers import run_python
from zelkit._error_text import describe
from zel_command import ROOT, SAMPLES, camera_file, only_error_line, stderr_lines, zel

EVB = SAMPLES / "bar_sweep.evb"

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
        (["bench", str(SAMPLES), "--time-bins", "65536"], "--time-bins values must be 1..65535"),
        (["bench", str(SAMPLES), "--frames", "0"], "--frames values must be 1.."),
        (["bench", str(SAMPLES), "--baselines", "some"], "invalid choice"),
        (["bench", str(SAMPLES), "--errors", "ignore"], "invalid choice"),
        (["compress", str(EVB), "--max-depth", "8"], "--time-bins"),
        (["compress", str(EVB), "--time-bins", "16", "--max-depth", "256"], "from 0 to 255, got '256'"),
        (["compress", str(EVB), "--time-bins", "65536", "--max-depth", "8"], "from 1 to 65535, got '65536'"),
        (["compress", str(EVB), "--time-bins", "0", "--max-depth", "8"], "from 1 to 65535, got '0'"),
        (["compress", str(EVB), "--time-bins", "8", "--max-depth", "8", "--width", "65536"], "from 1 to 65535"),
        (["compress", str(EVB), "--time-bins", "8", "--max-depth", "8", "--keyframe-interval", "0"], "positive"),
        (["view", str(EVB), "--max-depth", "256"], "from 0 to 255, got '256'"),
        (["view", str(EVB), "--time-bins", "65536"], "from 1 to 65535, got '65536'"),
        (["view", str(EVB), "--window-us", "0"], "expected a positive integer"),
        (["convert", str(EVB), "out.csv", "--to", "nope"], "unknown format 'nope'"),
        (["convert", str(EVB), "out.csv", "--from", "nope"], "unknown format 'nope'"),
        (["convert", str(EVB), "out.aedat4", "--to", "aedat4"], "cannot be written"),
        (["convert", str(EVB), "out.raw", "--width", "0"], "from 1 to 65535, got '0'"),
        (["convert", str(EVB), "out.csv", "--t-offset", "-1"], "integer from 0 to 2**64-1"),
        (["convert", str(EVB), "out.csv", "--t-offset", str(2**64)], "integer from 0 to 2**64-1"),
        (["convert", str(EVB), "out.csv", "--t-offset", "chunk"], "expected an integer"),
        (["decompress", "x.zel", "--grid", "x.png"], "--grid writes a .npy file"),
        (["decompress", "x.zel", "-o", "x.csv", "--to", "nope"], "unknown format 'nope'"),
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


@pytest.mark.parametrize("subcommand", ["bench", "info"])
def test_a_folder_without_event_files_is_an_error(subcommand, tmp_path):
    (tmp_path / "notes.md").write_text("nothing to measure")
    result = zel(subcommand, tmp_path, "--no-progress" if subcommand == "bench" else "--json")
    assert result.returncode == 1
    assert stderr_lines(result) == [f"zel: no event files in {tmp_path}"]


@pytest.mark.parametrize("subcommand", ["bench", "info"])
def test_an_empty_folder_beside_a_good_file_is_reported_and_the_rest_goes_on(subcommand, tmp_path):
    (tmp_path / "empty").mkdir()
    extra = ["--no-progress", "--time-bins", "16", "--max-depth", "8", "--baselines", "none"] if subcommand == "bench" else []
    result = zel(subcommand, tmp_path / "empty", EVB, *extra)
    assert result.returncode == 1
    assert f"zel: no event files in {tmp_path / 'empty'}" in stderr_lines(result)
    assert result.stdout.strip()


# The same fault, reported by each command that reads the file: one line,
# the path as typed, no exception type.
READERS = {
    "info": ["info", "{path}"],
    "bench": ["bench", "{path}", "--no-progress", "--time-bins", "16", "--max-depth", "8"],
    "compress": ["compress", "{path}", "-o", "out.zel", "--time-bins", "16", "--max-depth", "8"],
    "convert": ["convert", "{path}", "out.csv"],
    "view": ["view", "{path}", "-o", "view.png"],
}


@pytest.mark.parametrize("subcommand", sorted(READERS))
@pytest.mark.parametrize("name, content, message", [
    ("missing.evb", None, "No such file or directory"),
    ("torn.evb", b"0123456789", "not a multiple of 9"),
    ("reserved.raw", "reserved", "at byte offset"),
    ("unknown.xyz", b"junk", "Unknown file extension"),
])
def test_every_reading_command_names_the_file_as_typed(subcommand, name, content, message, tmp_path):
    if subcommand == "view":
        pytest.importorskip("matplotlib")
    if content == "reserved":
        camera_file(tmp_path / name, [(1, 2, 10, 1)])
        data = bytearray((tmp_path / name).read_bytes())
        data[-4:] = (0x5 << 28).to_bytes(4, "little")  # a CD word turned into a reserved type
        (tmp_path / name).write_bytes(bytes(data))
    elif content is not None:
        (tmp_path / name).write_bytes(content)
    before = sorted(p.name for p in tmp_path.iterdir())
    result = zel(*[word.format(path=name) for word in READERS[subcommand]], cwd=tmp_path)
    assert result.returncode == 1
    errors = [line for line in stderr_lines(result) if line.startswith("zel: ")]
    assert len(errors) == 1, result.stderr
    assert errors[0].startswith(f"zel: {name}: ") and message in errors[0], errors[0]
    assert "Error:" not in errors[0] and "Traceback" not in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize("command", [
    ["convert", "{evb}", "{out}.csv"],
    ["compress", "{evb}", "-o", "{out}.zel", "--time-bins", "16", "--max-depth", "8"],
    ["bench", "{evb}", "--out", "{out}.csv", "--no-progress", "--time-bins", "16", "--max-depth", "8"],
    ["view", "{evb}", "-o", "{out}.png"],
])
def test_a_failed_write_names_the_output_not_its_temporary_file(command, tmp_path):
    if command[0] == "view":
        pytest.importorskip("matplotlib")
    out = tmp_path / "no_such_folder" / "out"
    words = [word.format(evb=EVB, out=out) for word in command]
    target = next(word for word in words if word.startswith(str(out)))
    result = zel(*words)
    assert result.returncode == 1
    line = [line for line in stderr_lines(result) if line.startswith("zel: ")][-1]
    # The system's words alone, not Python's "[Errno 2] ...: 'path'".
    assert line == f"zel: {target}: No such file or directory", line


@pytest.mark.parametrize("error, path, line", [
    # An OSError naming its file is told under that name, in the system's words.
    (FileNotFoundError(2, "No such file or directory", "out/x.csv"), "in.evb", "out/x.csv: No such file or directory"),
    (PermissionError(13, "Permission denied", b"caf\xc3\xa9.zel"), None, "caf\u00e9.zel: Permission denied"),
    (OSError("short read"), "in.evb", "in.evb: short read"),
    (MemoryError(), "big.raw", "big.raw: not enough memory"),
    # The input's faults need no type; the program's keep theirs.
    (ValueError("bad\n   value"), "in.evb", "in.evb: bad value"),
    (zelkit.FormatError("torn record", 12), "in.evb", "in.evb: torn record (at byte offset 12)"),
    (RuntimeError("stuck"), "in.evb", "in.evb: RuntimeError: stuck"),
    (KeyError(), None, "KeyError"),
    (ValueError(""), "in.evb", "in.evb: ValueError"),
])
def test_an_error_is_one_line_under_the_file_it_concerns(error, path, line):
    assert describe(error, path) == line


def test_help_lists_every_subcommand_in_plain_text():
    result = zel("--help")
    assert result.returncode == 0
    assert "``" not in result.stdout and "The zel command" in result.stdout
    for subcommand in SUBCOMMANDS:
        assert subcommand in result.stdout


@pytest.mark.parametrize("subcommand, heavy", [
    ("info", ["tqdm", "zstandard", "zelkit.evaluation", "matplotlib", "distributed", "concurrent.futures.process"]),
    ("convert", ["tqdm", "zstandard", "zelkit.evaluation", "matplotlib", "distributed"]),
])
def test_a_command_imports_only_what_it_runs(subcommand, heavy, tmp_path):
    args = [str(EVB)] if subcommand == "info" else [str(EVB), str(tmp_path / "out.csv")]
    result = run_python(f"""
        import sys
        from zelkit._cli import main
        status = main({[subcommand, *args]!r})
        print(status, sorted(name for name in {heavy!r} if name in sys.modules))
        """)
    assert result.stdout.split("\n")[-2] == "0 []", result.stdout + result.stderr


def test_install_hints_say_what_the_readme_says(tmp_path):
    # A matplotlib that cannot be imported, as on a machine without the plot extra.
    (tmp_path / "matplotlib").mkdir()
    (tmp_path / "matplotlib" / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])}
    result = subprocess.run([sys.executable, "-m", "zelkit", "view", str(EVB), "-o", str(tmp_path / "v.png")],
                            capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 1
    line = only_error_line(result)
    readme = (ROOT / "README.md").read_text()
    for hint in ("pip install 'zel[plot]'", "pip install '.[plot]'"):
        assert hint in line and hint in readme
    assert "zel view" in line


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


@pytest.mark.parametrize("command", [
    ["compress", "{tiny}", "-o", "{tmp}/out.zel", "--time-bins", "65535", "--max-depth", "255", "--width", "65535",
     "--height", "1", "--frames", "1", "--keyframe-interval", "1"],
    ["compress", "{tiny}", "-o", "{tmp}/out.zel", "--time-bins", "1", "--max-depth", "0", "--window-us", "1"],
    ["bench", "{tiny}", "--time-bins", "65535,1", "--max-depth", "255,0", "--frames", "1", "--baselines", "none",
     "--no-progress", "--jobs", "1"],
    ["view", "{tiny}", "-o", "{tmp}/v.png", "--time-bins", "65535", "--max-depth", "255", "--window-us", "1",
     "--at", "0"],
    ["convert", "{tiny}", "{tmp}/out.raw", "--width", "2048", "--height", "1", "--chunk-events", "1",
     "--t-offset", "0"],
])
def test_every_bound_is_accepted_at_its_edge(command, tmp_path):
    if command[0] == "view":
        pytest.importorskip("matplotlib")
    tiny = tmp_path / "tiny.evb"
    tiny.write_bytes(np.array([(0, 0, 0, 1), (1, 0, 1, 0)], dtype=zelkit.EVENT_DTYPE).tobytes())
    result = zel(*[word.format(tiny=tiny, tmp=tmp_path) for word in command])
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("value, accepted", [(0, True), (2**64 - 1, True), (2**64, False), (-1, False),
                                             (True, False), ("first", True), (None, True), ("chunk", False)])
def test_t_offset_bounds_are_the_64_bit_clock(value, accepted):
    from zelkit._read_options import check_t_offset

    if accepted:
        check_t_offset(value)
    else:
        with pytest.raises(ValueError, match="2\\*\\*64-1"):
            check_t_offset(value)
