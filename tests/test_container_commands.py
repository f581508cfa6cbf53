"""``zel compress``, ``decompress`` and ``view``: containers written, read back and drawn."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import zelkit
from zel_command import SAMPLE_FILES, SAMPLES, camera_file, only_error_line, pixels, tables, zel

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

    # The table states what was written: bits per event and the ratio to
    # the 9-byte records come from the container's size.
    (row,) = tables(result.stdout)[0]
    size, n = container.stat().st_size, original.size
    assert (row["frames"], row["events"], row["bytes"]) == (str(expected_frames), f"{n:,}", f"{size:,}")
    assert (row["bits/event"], row["ratio"]) == (f"{8 * size / n:.3f}", f"{9 * n / size:.3f}")

    assert zel("decompress", container, "--grid", tmp_path / "grid.npy").returncode == 0
    grid = np.load(tmp_path / "grid.npy")
    assert grid.shape == (frames, 16, 128, 128) and grid.dtype == bool
    ys, xs = np.nonzero(grid.any(axis=(0, 1)))
    assert set(zip(xs.tolist(), ys.tolist())) == pixels(original)


@pytest.mark.parametrize("frames, mib, fits", [(2, 1, True), (3, 1, False), (3, 2, True)])
def test_the_grid_limit_bounds_all_frames_together(frames, mib, fits, tmp_path):
    # Each frame's grid is 1 x 512 x 1024 booleans: half a MiB.
    events = np.zeros(30, dtype=zelkit.EVENT_DTYPE)
    events["x"], events["y"], events["t"] = np.arange(30) * 30, np.arange(30) * 15, np.arange(30) * 1000
    container, grid = tmp_path / "c.zel", tmp_path / "g.npy"
    zelkit.write(container, events, width=1024, height=512, time_bins=1, max_depth=16, n_frames=frames)
    result = zel("decompress", container, "--grid", grid, "--max-grid-mib", str(mib))
    if fits:
        assert result.returncode == 0, result.stderr
        assert np.load(grid).shape == (frames, 1, 512, 1024)
    else:
        assert result.returncode == 1
        assert "more than max_bytes" in only_error_line(result)
        assert not grid.exists()


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


def _view(tmp_path, *args):
    pytest.importorskip("matplotlib")
    result = zel("view", *args, "-o", tmp_path / "view.png")
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_view_includes_both_ends_of_the_window(tmp_path):
    source = tmp_path / "two.evb"
    zelkit.save(source, np.array([(1, 1, 100, 1), (2, 2, 50_100, 0), (3, 3, 50_101, 0)], dtype=zelkit.EVENT_DTYPE))
    assert "2 events of 100..50,100 us" in _view(tmp_path, source)
    assert "2 events of 50,100..50,101 us" in _view(tmp_path, source, "--at", "50100", "--window-us", "1")


@pytest.mark.parametrize("at, window, shown", [
    (2**33 + 1_000, 1_000, 1), (2**33 + 7, 2_000, 3), (2**33 + 1_008, 998, 0),
])
def test_view_takes_the_window_in_the_files_own_clock(at, window, shown, tmp_path):
    pytest.importorskip("matplotlib")
    source = camera_file(tmp_path / "late.raw", [(1, 2, 2**33 + 7, 1), (3, 4, 2**33 + 1_007, 0), (5, 6, 2**33 + 2_007, 1)])
    result = zel("view", source, "-o", tmp_path / "view.png", "--at", at, "--window-us", window)
    if shown:
        assert result.returncode == 0, result.stderr
        assert f"{shown} events of {at:,}..{at + window:,} us" in result.stdout
    else:
        assert result.returncode == 1 and "no events in the window" in result.stderr.splitlines()[-1]


@pytest.mark.parametrize("width, height, time_bins, max_depth", [
    (20, 10, 4, 16), (20, 10, 4, 2), (37, 5, 7, 3), (640, 480, 16, 6), (1, 1, 1, 0),
])
def test_the_occupancy_panel_counts_each_pixels_decoded_bins(width, height, time_bins, max_depth):
    from zelkit._cli.frame_view import occupancy_image

    rng = np.random.default_rng(width + max_depth)
    ev = np.zeros(300, dtype=zelkit.EVENT_DTYPE)
    ev["x"], ev["y"] = rng.integers(0, width, 300), rng.integers(0, height, 300)
    ev["t"] = np.sort(rng.integers(0, 10_000, 300))
    frame = zelkit.decode(zelkit.encode(ev, width=width, height=height, time_bins=time_bins, max_depth=max_depth))[0]
    assert np.array_equal(occupancy_image(frame.boxes, width, height, time_bins), frame.to_grid().sum(axis=0))


# Sizes at and past a panel's 800 x 600 on either axis alone, and both.
@pytest.mark.parametrize("width, height", [(34, 34), (640, 480), (1280, 720), (2000, 2000), (800, 600), (801, 1),
                                           (1601, 100), (2400, 10), (10, 601), (100, 1201)])
def test_every_event_shows_on_a_panel_of_any_sensor_size(width, height):
    from zelkit._cli.frame_view import PANEL_PIXELS, event_frame, pooled_max, pooling

    k = pooling(width, height)
    assert -(-width // k) <= PANEL_PIXELS[0] and -(-height // k) <= PANEL_PIXELS[1]
    assert k == 1 or -(-width // (k - 1)) > PANEL_PIXELS[0] or -(-height // (k - 1)) > PANEL_PIXELS[1]
    rng = np.random.default_rng(width)
    ev = np.zeros(500, dtype=zelkit.EVENT_DTYPE)
    ev["x"], ev["y"], ev["p"] = rng.integers(0, width, 500), rng.integers(0, height, 500), rng.integers(0, 2, 500)
    image = event_frame(ev, width, height, k)
    marked = {(int(y), int(x)) for y, x in zip(*np.nonzero((image != 255).any(axis=2)))}
    assert marked == set(zip((ev["y"] // k).tolist(), (ev["x"] // k).tolist()))
    counts = np.zeros((height, width), dtype=np.int64)
    counts[ev["y"], ev["x"]] = 1
    assert np.count_nonzero(pooled_max(counts, k)) == len(marked)
