"""zel's own codecs on streams shaped like camera recordings (sweeping edges,
hot pixels, noise, sensors up to 1280 x 720) and on the bundled samples: the
event store returns every event exactly, whole, by block and by time window,
and the context codec gives the boxes of codec="zel" frame by frame. The
sanitizer run executes these too, so the codecs' hot loops are checked for
memory and undefined behaviour on data of the shape they are made for."""

import pathlib
import sys

import numpy as np
import pytest

import zelkit
from zelkit._event_store import encode_events
from zel_command import ALL_SAMPLES

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))
from synthetic import davis_like  # noqa: E402

STREAMS = {
    "davis-like 346x260": lambda: (davis_like(300_000, duration_us=300_000), 346, 260),
    "1280x720": lambda: (davis_like(300_000, 1280, 720, duration_us=150_000), 1280, 720),
}
SAMPLE_FILES = [p for p in ALL_SAMPLES if p.suffix in (".raw", ".aedat", ".bin")]


def as_events(records):
    events = np.empty(len(records), dtype=zelkit.EVENT_DTYPE)
    for name in zelkit.EVENT_DTYPE.names:
        events[name] = records[name]
    return events


def camera_streams():
    for name, make in STREAMS.items():
        records, width, height = make()
        yield name, as_events(records), width, height
    for path in SAMPLE_FILES:
        described = zelkit.info(path)
        yield path.name, zelkit.load(path), described.width, described.height


CASES = list(camera_streams())
IDS = [case[0] for case in CASES]


@pytest.mark.parametrize("name, events, width, height", CASES, ids=IDS)
def test_the_event_store_file_of_a_camera_stream_loads_exactly(tmp_path, name, events, width, height):
    path = tmp_path / "rec.zel"
    zelkit.save(path, events, width=width, height=height)
    assert np.array_equal(zelkit.load(path), events)
    assert np.array_equal(zelkit.load(path, threads=2), events)


@pytest.mark.parametrize("name, events, width, height", CASES, ids=IDS)
def test_event_store_blocks_and_windows_of_a_camera_stream_are_exact(name, events, width, height):
    store = zelkit.decode_events(encode_events(events, width=width, height=height, block_events=4096))
    blocks = store.blocks
    assert len(blocks) == -(-len(events) // 4096)
    assert np.array_equal(store.to_events(threads=2), events)
    pieces = [store.read(i, 1) for i in range(len(blocks))]
    assert np.array_equal(np.concatenate(pieces), events)
    # A window in the middle decodes to exactly the events inside it.
    t = events["t"].astype(np.int64)
    t0, t1 = int(t[len(t) // 3]), int(t[2 * len(t) // 3])
    assert np.array_equal(store.window(t0, t1), events[(t >= t0) & (t < t1)])


@pytest.mark.parametrize("name, events, width, height", CASES, ids=IDS)
@pytest.mark.parametrize("time_bins, n_frames", [(64, 1), (16, 6)])
def test_context_frames_of_camera_streams_hold_the_boxes_of_codec_zel(name, events, width, height,
                                                                      time_bins, n_frames):
    params = dict(width=width, height=height, time_bins=time_bins, max_depth=16, n_frames=n_frames)
    zel_frames = list(zelkit.decode(zelkit.encode(events, codec="zel", **params)))
    context_frames = list(zelkit.decode(zelkit.encode(events, codec="context", **params)))
    assert len(context_frames) == len(zel_frames) == n_frames
    for ours, theirs in zip(context_frames, zel_frames):
        assert ours.n_events == theirs.n_events
        assert ours.n_bits == theirs.n_bits
        assert np.array_equal(np.sort(ours.boxes), np.sort(theirs.boxes))
