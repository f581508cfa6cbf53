"""Running the installed ``zel`` command in a subprocess, as a user would."""

from __future__ import annotations

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = ROOT / "samples"
SAMPLE_FILES = sorted(SAMPLES.glob("bar_sweep.*"))
STREET = SAMPLES / "street.raw"
#: Everything `zel bench samples/` measures.
ALL_SAMPLES = sorted([*SAMPLE_FILES, STREET])
#: The real recordings, where this machine has them: beside the clone, or
#: beside the folder of worktrees.
REAL_DATA = next((folder for folder in (ROOT.parent / "shared" / "data", ROOT.parent.parent / "shared" / "data")
                  if folder.is_dir()), ROOT.parent / "shared" / "data")


def _load_sample_tool():
    spec = importlib.util.spec_from_file_location("make_samples", ROOT / "tools" / "make_samples.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


#: tools/make_samples.py, whose EVT 2.0 encoder also writes the camera files of the tests.
make_samples = _load_sample_tool()


def camera_file(path: pathlib.Path, rows, width: int = 64, height: int = 48) -> pathlib.Path:
    """An EVT 2.0 file of (x, y, t, p) rows; t may exceed 32 bits, as a camera's does."""
    path.write_bytes(make_samples.encode_evt2(rows, width, height))
    return path
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


def tables(stdout: str) -> list[list[dict[str, str]]]:
    """Each table the command printed, as rows of {header: cell}; a header's
    lines are joined by spaces, and columns are where the ruler's dashes are."""
    found: list[list[dict[str, str]]] = []
    lines = stdout.splitlines()
    for k, line in enumerate(lines):
        if not line or set(line) - {"-", " "}:
            continue
        spans, start = [], None
        for i, char in enumerate(line + " "):
            if char == "-" and start is None:
                start = i
            elif char != "-" and start is not None:
                spans.append((start, i))
                start = None
        head = k - 1
        while head > 0 and lines[head - 1].strip() and not lines[head - 1].endswith(":"):
            head -= 1
        names = [" ".join(part for h in lines[head:k] if (part := h[a:b].strip())) for a, b in spans]
        rows = []
        for row in lines[k + 1:]:
            if not row.strip():
                break
            rows.append({name: row[a:b].strip() for name, (a, b) in zip(names, spans)})
        found.append(rows)
    return found
