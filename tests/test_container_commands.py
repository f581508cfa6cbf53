"""``zel compress``, ``decompress`` and ``view``: containers written, read back and drawn."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import zelkit
from zel_command import SAMPLE_FILES, SAMPLES, only_error_line, pixels, zel

EVB = SAMPLES / "bar_sweep.evb"


@pytest.mark.parametrize("cut", [[], ["--frames", "4"], ["--frames", "4", "--keyframe-interval", "2"],
                                 ["--window-us", "100000"]])
def test_compress_then_decompress_keeps_every_occupied_pixel(cut, tmp_path):
    container = tmp_path / "sweep.zel"
    result = zel("compress", EVB, "-o", container, "--time-bins", "16", "--max-depth", "16", *cut)
    assert result.returncode == 0, result.stderr
    assert "sweep.zel" in result.stdout
    original = zelkit.load(EVB)
    with zelkit.open(container) as reader:
        frames = len(reader)
    expected_frames = 9 if cut == ["--window-us", "100000"] else int(cut[1]) if cut else 1
    assert frames == expected_frames

    assert zel("decompress", container, "-o", tmp_path / "back.csv").returncode == 0
    assert pixels(zelkit.load(tmp_path / "back.csv")) == pixels(original)

    assert zel("decompress", container, "--grid", tmp_path / "grid.npy").returncode == 0
    grid = np.load(tmp_path / "grid.npy")
    assert grid.shape == (frames, 16, 128, 128) and grid.dtype == bool
    ys, xs = np.nonzero(grid.any(axis=(0, 1)))
    assert set(zip(xs.tolist(), ys.tolist())) == pixels(original)


def test_compress_several_files_into_a_folder(tmp_path):
    inputs = []
    for name in ("a.evb", "b.evb"):
        (tmp_path / name).write_bytes(EVB.read_bytes())
        inputs.append(tmp_path / name)
    out = tmp_path / "out"
    out.mkdir()
    result = zel("compress", *inputs, "-o", out, "--time-bins", "16", "--max-depth", "8")
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in out.iterdir()) == ["a.zel", "b.zel"]
    # The samples share one name, so their containers would overwrite each other.
    clash = zel("compress", *SAMPLE_FILES, "-o", out, "--time-bins", "16", "--max-depth", "8")
    assert clash.returncode == 2 and "bar_sweep.zel" in clash.stderr
    assert sorted(p.name for p in out.iterdir()) == ["a.zel", "b.zel"]


@pytest.mark.parametrize("command", [
    ["compress", "{missing}", "-o", "{tmp}/out.zel", "--time-bins", "16", "--max-depth", "8"],
    ["decompress", "{missing}", "-o", "{tmp}/out.evb"],
    ["decompress", "{garbage}", "-o", "{tmp}/out.evb"],
    ["convert", "{missing}", "{tmp}/out.csv"],
    ["view", "{missing}", "-o", "{tmp}/view.png"],
])
def test_a_bad_input_leaves_no_output(command, tmp_path):
    garbage = tmp_path / "garbage.zel"
    garbage.write_bytes(b"not a container at all")
    args = [part.format(missing=tmp_path / "missing.evb", tmp=tmp_path, garbage=garbage) for part in command]
    result = zel(*args)
    assert result.returncode == 1
    only_error_line(result)
    assert [p.name for p in tmp_path.iterdir()] == ["garbage.zel"]


def test_view_draws_events_beside_their_decoding(tmp_path):
    from zelkit._cli.frame_view import FIGURE_PIXELS

    png = tmp_path / "view.png"
    result = zel("view", EVB, "-o", png, "--window-us", "200000", "--at", "300000")
    assert result.returncode == 0, result.stderr
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", data[16:24]) == FIGURE_PIXELS


@pytest.mark.parametrize("at", ["5000000", str(2**40)])
def test_view_of_an_empty_window_is_an_error(at, tmp_path):
    result = zel("view", EVB, "-o", tmp_path / "view.png", "--at", at)
    assert result.returncode == 1
    assert "no events" in only_error_line(result)
    assert list(tmp_path.iterdir()) == []
