"""Distortion figures on cases small enough to work out by hand."""

import numpy as np
import pytest

import zelkit


def events(rows):
    return np.array(rows, dtype=zelkit.EVENT_DTYPE)


def measure(ev, **params):
    return zelkit.distortion(ev, zelkit.decode(zelkit.encode(ev, **params)))


@pytest.mark.parametrize("n_frames", [1, 3])
def test_full_depth_covers_every_event_exactly(n_frames):
    rng = np.random.default_rng(2)
    ev = np.zeros(800, dtype=zelkit.EVENT_DTYPE)
    ev["x"], ev["y"] = rng.integers(0, 20, 800), rng.integers(0, 10, 800)
    ev["t"] = np.sort(rng.integers(0, 5000, 800))
    d = measure(ev, width=20, height=10, time_bins=4, max_depth=16, n_frames=n_frames)
    assert d.coverage == 1.0 and d.false_voxels == 0 and d.over_coverage == 0.0
    assert d.n_events == 800 and d.polarity_kept is False
    assert d.decoded_voxels + d.duplicates == 800


def test_depth_one_turns_a_single_voxel_into_its_half_grid_box():
    d = measure(events([(1, 2, 5, 1)]), width=4, height=4, time_bins=4, max_depth=1)
    # Grid 4x4x4 halved once: the event's box is 2x2x2, seven voxels of it never held an event.
    assert (d.coverage, d.decoded_voxels, d.false_voxels, d.over_coverage) == (1.0, 8, 7, 7 / 8)
    assert d.mean_time_error_us == 0.0 and d.max_time_error_us == 0


def test_time_error_and_duplicates():
    # time_bins 3 over t 0..100: bin 0 is [0, 50) reconstructed at 25, bin 2 is t 100 alone.
    ev = events([(0, 0, 0, 1), (0, 0, 40, 0), (1, 0, 100, 1)])
    d = measure(ev, width=2, height=1, time_bins=3, max_depth=8)
    assert d.duplicates == 1
    assert d.max_time_error_us == 25 and d.mean_time_error_us == pytest.approx(40 / 3)


def test_events_outside_the_decoded_frames_count_as_lost():
    ev = events([(0, 0, 10, 0), (1, 1, 20, 0)])
    frame = zelkit.decode(zelkit.encode(ev[:1], width=2, height=2, time_bins=1, max_depth=4))[0]
    d = zelkit.distortion(ev, frame)
    assert d.coverage == 0.5 and d.false_voxels == 0


def test_lost_events_do_not_dilute_the_time_error():
    # One bin over t 0..40: both coded events are 20 us from its centre.
    coded = events([(0, 0, 0, 0), (1, 1, 40, 0)])
    frame = zelkit.decode(zelkit.encode(coded, width=2, height=2, time_bins=1, max_depth=4))[0]
    alone = zelkit.distortion(coded, frame)
    assert alone.mean_time_error_us > 0
    lost = events([(0, 0, 0, 0), (1, 1, 40, 0), (1, 0, 5000, 1), (0, 1, 9000, 1)])
    d = zelkit.distortion(lost, frame)
    assert d.coverage == 0.5
    assert (d.mean_time_error_us, d.max_time_error_us) == (alone.mean_time_error_us, alone.max_time_error_us)


def test_empty_original():
    d = zelkit.distortion(events([]), [])
    assert (d.n_events, d.coverage, d.decoded_voxels) == (0, 1.0, 0)


@pytest.mark.parametrize("max_depth, extra, covered, fewer_false", [
    (8, (2, 0, 10, 0), False, 0),   # in the frame's range, in no decoded box
    (1, (2, 0, 10, 0), False, 0),   # a depth-1 box of another octant
    (1, (1, 1, 0, 0), True, 1),     # inside the first event's 2x2x1 box: one false voxel fewer
])
def test_an_event_outside_every_box_is_lost_not_a_false_voxel(max_depth, extra, covered, fewer_false):
    # The frame spans t 0..20 and codes the two events it was given.
    coded = events([(0, 0, 0, 1), (3, 3, 20, 1)])
    frame = zelkit.decode(zelkit.encode(coded, width=4, height=4, time_bins=2, max_depth=max_depth))[0]
    alone = zelkit.distortion(coded, frame)
    d = zelkit.distortion(events([(0, 0, 0, 1), extra, (3, 3, 20, 1)]), frame)
    assert d.coverage == pytest.approx(1.0 if covered else 2 / 3)
    assert d.decoded_voxels == alone.decoded_voxels
    assert d.false_voxels == alone.false_voxels - fewer_false
