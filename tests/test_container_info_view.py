"""``zel info`` and ``zel view`` on the project's own ``.zel`` containers, as they are stored."""

from __future__ import annotations

import json

import numpy as np
import pytest

import zelkit
from zel_command import STREET, only_error_line, zel

pytest.importorskip("matplotlib")


def street_container(path, n_frames=1, keyframe_interval=None):
    events = zelkit.load(STREET)
    zelkit.container.write(path, events, width=640, height=480, time_bins=16, max_depth=12,
                           n_frames=n_frames, keyframe_interval=keyframe_interval)
    return events


@pytest.mark.parametrize("n_frames, keyframe_interval", [(1, None), (3, None), (4, 2)])
def test_info_describes_a_container_by_the_events_it_was_coded_from(n_frames, keyframe_interval, tmp_path):
    path = tmp_path / "street.zel"
    events = street_container(path, n_frames, keyframe_interval)
    result = zel("info", path, STREET, "--json")
    assert result.returncode == 0, result.stderr
    row, source = json.loads(result.stdout)
    assert row["format"] == "zel container"
    assert (row["n_events"], row["width"], row["height"]) == (events.size, 640, 480)
    assert (row["t_first"], row["t_last"]) == (int(events["t"].min()), int(events["t"].max()))
    assert (row["t_first"], row["t_last"], row["n_events"]) == (source["t_first"], source["t_last"],
                                                                 source["n_events"])
    assert row["duration_us"] == source["duration_us"] == row["t_last"] - row["t_first"]
    assert row["event_rate"] == pytest.approx(source["event_rate"])
    assert row["event_rate"] == pytest.approx(events.size / (row["duration_us"] / 1e6))  # per second
    assert (row["frames"], row["time_bins"], row["max_depth"]) == (n_frames, 16, 12)
    assert row["keyframe_interval"] == (keyframe_interval or 0)
    assert row["complete"] is True and row["time_ordered"] is None
    table = zel("info", path)
    assert table.returncode == 0 and "zel container" in table.stdout


def test_info_of_a_damaged_container_names_it_and_goes_on(tmp_path):
    good = tmp_path / "good.zel"
    street_container(good)
    bad = tmp_path / "bad.zel"
    bad.write_bytes(good.read_bytes()[:30])
    result = zel("info", bad, good)
    assert result.returncode == 1
    assert str(bad) in only_error_line(result)
    assert str(good) in result.stdout and str(bad) not in result.stdout


@pytest.mark.parametrize("at, frame", [(None, 0), ("middle", 1), ("last", 2)])
def test_view_draws_the_frame_holding_the_time(at, frame, tmp_path):
    path = tmp_path / "street.zel"
    street_container(path, n_frames=3)
    ranges = zelkit.container.open(path).frame_time_ranges()
    args = [] if at is None else ["--at", int(ranges[frame].mean()) if at == "middle" else int(ranges[frame, 1])]
    out = tmp_path / "v.png"
    result = zel("view", path, "-o", out, *args)
    assert result.returncode == 0, result.stderr
    assert f"frame {frame} of {path}" in result.stdout
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_view_refuses_a_time_no_frame_holds_and_writes_nothing(tmp_path):
    path = tmp_path / "street.zel"
    events = street_container(path, n_frames=2)
    result = zel("view", path, "-o", tmp_path / "v.png", "--at", int(events["t"].max()) + 1)
    assert result.returncode == 1
    assert "no frame with events" in only_error_line(result)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["street.zel"]


def test_an_empty_container_is_described_and_not_drawn(tmp_path):
    path = tmp_path / "empty.zel"
    zelkit.container.write(path, np.empty(0, dtype=zelkit.EVENT_DTYPE), width=8, height=8, time_bins=4,
                           max_depth=3)
    described = zel("info", path, "--json")
    assert described.returncode == 0, described.stderr
    row = json.loads(described.stdout)[0]
    assert (row["n_events"], row["t_first"], row["event_rate"]) == (0, None, None)
    drawn = zel("view", path, "-o", tmp_path / "v.png")
    assert drawn.returncode == 1 and "no frame with events" in only_error_line(drawn)
