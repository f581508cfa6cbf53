"""Running the installed ``zel`` command in a subprocess, as a user would."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np

SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "samples"
SAMPLE_FILES = sorted(SAMPLES.glob("bar_sweep.*"))
#: A small sweep keeps each run of the command to a second or two.
FAST_SWEEP = ["--time-bins", "16,64", "--max-depth", "6,16", "--no-progress"]


def zel(*args: object, cwd: os.PathLike[str] | str | None = None, timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """``python -m zelkit ARGS`` with this interpreter, output captured as text."""
    return subprocess.run(
        [sys.executable, "-m", "zelkit", *map(str, args)],
        capture_output=True, text=True, cwd=cwd, timeout=timeout,
        env={**os.environ, "PYTHONWARNINGS": "ignore"},
    )


def stderr_lines(result: subprocess.CompletedProcess[str]) -> list[str]:
    return [line for line in result.stderr.splitlines() if line.strip()]


def only_error_line(result: subprocess.CompletedProcess[str]) -> str:
    """The one error line a failed command writes, checked to be just that."""
    lines = stderr_lines(result)
    assert len(lines) == 1 and lines[0].startswith("zel: "), result.stderr
    assert "Traceback" not in result.stderr
    return lines[0]


def pixels(events: np.ndarray) -> set[tuple[int, int]]:
    return set(zip(events["x"].tolist(), events["y"].tolist()))


def copy_samples(folder: pathlib.Path) -> pathlib.Path:
    folder.mkdir(parents=True, exist_ok=True)
    for path in SAMPLE_FILES:
        shutil.copy(path, folder / path.name)
    return folder
