"""The .zel container: round trips against an independent voxeliser, zel's payloads,
keyframe seeking, the index-less scan and every refusal of a damaged file."""

import errno
import inspect
import os
import struct
import threading
import warnings

import numpy as np
import pytest

import zel
import zelkit
from container_layout import (ENTRY, FRAME, HEADER, INDEX_HEAD, TRAILER, assemble, forge_header, parse, records,
                              with_crc)
from helpers import run_python


def make_events(n, width, height, t_max=1_000_000, seed=0, sort=True):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    ev["x"] = rng.integers(0, max(width, 1), n)
    ev["y"] = rng.integers(0, max(height, 1), n)
    t = rng.integers(0, t_max + 1, n)
    ev["t"] = np.sort(t) if sort else t
    ev["p"] = rng.integers(0, 2, n)
    return ev


def next_pow2(n):
    return 1 if n <= 1 else 1 << (n - 1).bit_length()


def slot(t, count, last):
    """The binning rule in IEEE double, in the encoder's order of operations."""
    t = t.astype(np.int64)
    span = float(max(int(t.max()) - int(t.min()), 1)) if t.size else 1.0
    v = ((t - (t.min() if t.size else 0)).astype(np.float64) / span) * (float(count) + -1.0)
    return np.where(v > 0, np.minimum(np.trunc(v), last), 0).astype(np.int64)


def expected_frames(ev, width, height, time_bins, max_depth, n_frames):
    """Leaf boxes per frame, from events alone: frames cut by the frame rule, voxels
    binned per frame, and cells at the depth where the tree stops."""
    dims = [next_pow2(v) for v in (width, height, time_bins)]
    levels = min(max_depth, max(d.bit_length() - 1 for d in dims))
    cell = [max(d >> levels, 1) for d in dims]
    frame_of = slot(ev["t"], n_frames, n_frames - 1) if ev.size else np.zeros(0, np.int64)
    frames = []
    for k in range(n_frames):
        fe = ev[frame_of == k]
        x = np.minimum(fe["x"].astype(np.int64), dims[0] - 1)
        y = np.minimum(fe["y"].astype(np.int64), dims[1] - 1)
        b = np.minimum(slot(fe["t"], time_bins, dims[2] - 1), dims[2] - 1)
        cells = {(int(i) * cell[0], int(j) * cell[1], int(s) * cell[2])
                 for i, j, s in zip(x // cell[0], y // cell[1], b // cell[2])}
        frames.append(({c + tuple(cell) for c in cells}, fe))
    return frames


def box_set(frame):
    b = frame.boxes
    return set(zip(*(b[f].tolist() for f in ("x", "y", "bin", "dx", "dy", "dbin"))))


def as_zel_events(ev):
    return [zel.Event(int(e["x"]), int(e["y"]), int(e["t"]), int(e["p"])) for e in ev]


GRIDS = [(34, 34, 16), (346, 260, 64), (65535, 65535, 65535), (1, 1, 1), (0, 0, 0), (5, 3, 2)]


@pytest.mark.parametrize("grid", GRIDS, ids=lambda g: "x".join(map(str, g)))
@pytest.mark.parametrize("max_depth", [0, 1, 2, 5, 16, 255])
@pytest.mark.parametrize("n_frames, keyframes", [(1, None), (4, None), (5, 2)])
def test_round_trip_matches_independent_voxeliser(grid, max_depth, n_frames, keyframes):
    width, height, time_bins = grid
    ev = make_events(300, width, height, seed=sum(grid) + max_depth)
    data = zelkit.encode(ev, width=width, height=height, time_bins=time_bins,
                         max_depth=max_depth, n_frames=n_frames, keyframe_interval=keyframes)
    expected = expected_frames(ev, width, height, time_bins, max_depth, n_frames)
    with zelkit.decode(data) as reader:
        assert len(reader) == n_frames and reader.complete
        for frame, (boxes, fe) in zip(reader, expected):
            assert box_set(frame) == boxes
            assert frame.n_events == fe.size
            if fe.size:
                assert frame.time_range == (int(fe["t"].min()), int(fe["t"].max()))


@pytest.mark.parametrize("codec", ["zel", "context"])
def test_an_empty_delta_is_the_smallest_record_and_the_next_starts_right_after_it(codec):
    # A delta with no runs repeats the frame before it; its record is the
    # smallest a record can be, and the next record may start at its end.
    ev = make_events(60, 8, 8, seed=4)
    data = zelkit.encode(ev, time_bins=2, max_depth=3, n_frames=3, keyframe_interval=2, codec=codec)
    layout = parse(data)
    kept = records(data, layout)
    head = FRAME.unpack_from(kept[1])
    empty = bytearray(FRAME.pack(*head[:7], layout["frames"][0]["n_bits"], 0) + bytes(4))
    forged = assemble(data, [kept[0], bytes(with_crc(empty, 0, FRAME.size)), kept[2]])
    original = [box_set(f) for f in zelkit.decode(data)]
    for whole in (forged, forged[: parse(forged)["index_offset"]]):
        with zelkit.decode(whole) as reader:
            assert reader.complete
            assert [box_set(f) for f in reader] == [original[0], original[0], original[2]]


def test_width_and_height_default_to_largest_coordinate_plus_one():
    ev = make_events(50, 100, 7, seed=3)
    reader = zelkit.decode(zelkit.encode(ev, time_bins=4, max_depth=3))
    assert (reader.width, reader.height) == (int(ev["x"].max()) + 1, int(ev["y"].max()) + 1)
    edge = np.array([(65535, 0, 0, 0)], dtype=zelkit.EVENT_DTYPE)
    assert zelkit.decode(zelkit.encode(edge, time_bins=1, max_depth=1)).width == 65535


@pytest.mark.parametrize("args", [(34, 34, 16, 8), (346, 260, 64, 16), (8, 8, 1, 2), (640, 480, 5, 3)])
def test_single_frame_payload_is_compress_output(args):
    ev = make_events(400, args[0], args[1], seed=args[3])
    payload, result = zel.compress(as_zel_events(ev), *args)
    frames = parse(zelkit.encode(ev, width=args[0], height=args[1], time_bins=args[2],
                                 max_depth=args[3]))["frames"]
    assert [f["payload"] for f in frames] == [payload]
    assert frames[0]["n_bits"] == result.n_bits


@pytest.mark.parametrize("n_frames", [2, 3, 10])
def test_sequence_payloads_are_compress_sequence_output(n_frames):
    ev = make_events(500, 64, 48, seed=n_frames)
    payloads, result = zel.compress_sequence(as_zel_events(ev), 64, 48, 8, 6, n_frames)
    layout = parse(zelkit.encode(ev, width=64, height=48, time_bins=8, max_depth=6,
                                 n_frames=n_frames))
    assert [f["payload"] for f in layout["frames"]] == payloads
    assert sum(f["n_bits"] for f in layout["frames"]) == result.n_bits
    assert [f["kind"] for f in layout["frames"]] == [0] + [1] * (n_frames - 1)


def test_layout_fields_match_the_documented_format():
    ev = make_events(100, 20, 10, seed=9)
    layout = parse(zelkit.encode(ev, width=20, height=10, time_bins=4, max_depth=5, n_frames=6,
                                 keyframe_interval=4))
    assert layout["magic"] == b"\x89ZEL\r\n\x1a\n" and layout["version"] == 1
    assert (layout["width"], layout["height"], layout["time_bins"], layout["max_depth"]) == (20, 10, 4, 5)
    assert layout["keyframe_interval"] == 4 and layout["n_frames"] == 6
    assert [f["kind"] for f in layout["frames"]] == [0, 1, 1, 1, 0, 1]
    assert [e[0] for e in layout["index"]] == [f["offset"] for f in layout["frames"]]
    assert [(e[1], e[2], e[3]) for e in layout["index"]] == [
        (f["t_first"], f["t_last"], f["n_events"]) for f in layout["frames"]]


@pytest.mark.parametrize("interval", [1, 3, 4])
def test_keyframe_seeking_gives_sequential_frames(interval):
    ev = make_events(2000, 40, 30, seed=interval)
    params = dict(width=40, height=30, time_bins=8, max_depth=6, n_frames=11)
    sequential = [box_set(f) for f in zelkit.decode(zelkit.encode(ev, **params))]
    reader = zelkit.decode(zelkit.encode(ev, keyframe_interval=interval, **params))
    order = [7, 3, 10, 0, 9, 9, 1, 5, -1]
    assert [box_set(reader[k]) for k in order] == [sequential[k] for k in order]
    assert [f.keyframe for f in reader] == [k % interval == 0 for k in range(11)]


def test_window_finds_frames_by_time_range():
    ev = make_events(600, 16, 16, t_max=9_999, seed=4)
    reader = zelkit.decode(zelkit.encode(ev, time_bins=4, max_depth=4, n_frames=10))
    ranges = reader.frame_time_ranges()
    for t0, t1 in [(0, 1), (2500, 2600), (0, 10_000), (9_999, 2**40), (20_000, 30_000)]:
        got = [f.index for f in reader.window(t0, t1)]
        want = [k for k, (a, b) in enumerate(ranges) if a < t1 and b >= t0]
        assert got == want
    assert reader.time_range == (int(ev["t"].min()), int(ev["t"].max()))


@pytest.mark.parametrize("times, n_frames, counts", [
    ([1000, 9000], 3, [1, 0, 1]),                 # an empty frame between two
    ([5000, 5001, 9000], 4, [2, 0, 0, 1]),
    ([1000, 1001, 1002], 1, [3]),
])
def test_empty_frames_take_no_part_in_the_time_range_or_windows(times, n_frames, counts):
    ev = np.zeros(len(times), dtype=zelkit.EVENT_DTYPE)
    ev["t"], ev["x"] = times, np.arange(len(times))
    reader = zelkit.decode(zelkit.encode(ev, width=8, height=8, time_bins=4, max_depth=3, n_frames=n_frames))
    assert reader.frame_event_counts().tolist() == counts
    assert reader.time_range == (min(times), max(times))  # not 0 from an empty frame's record
    empty = [k for k, n in enumerate(counts) if n == 0]
    assert all(reader.frame_time_ranges()[k].tolist() == [0, 0] for k in empty)
    assert [f.index for f in reader.window(0, 2**40)] == [k for k, n in enumerate(counts) if n]
    assert [f.index for f in reader.window(0, min(times))] == []


def test_window_is_half_open():
    ev = make_events(600, 16, 16, t_max=9_999, seed=4)
    reader = zelkit.decode(zelkit.encode(ev, time_bins=4, max_depth=4, n_frames=10))
    ranges = reader.frame_time_ranges()
    # Frame 3 starts at t1 (excluded); frame 1 ends at t0 (included).
    t0, t1 = int(ranges[1][1]), int(ranges[3][0])
    assert [f.index for f in reader.window(t0, t1)] == [1, 2]
    assert [f.index for f in reader.window(t1, t1 + 1)] == [3]


def test_open_reads_files_and_write_is_atomic(tmp_path):
    ev = make_events(200, 30, 30, seed=5)
    path = tmp_path / "rec.zel"
    zelkit.write(path, ev, time_bins=8, max_depth=5, n_frames=3)
    with zelkit.open(path) as reader:
        assert [box_set(f) for f in reader] == [
            box_set(f) for f in zelkit.decode(path.read_bytes())]
    bad = ev.astype([("x", "<i4"), ("y", "<u2"), ("t", "<u4"), ("p", "u1")])
    bad["x"][7] = -1
    with pytest.raises(ValueError, match="'x' at index 7"):
        zelkit.write(tmp_path / "bad.zel", bad, time_bins=8, max_depth=5)
    assert sorted(os.listdir(tmp_path)) == ["rec.zel"]


@pytest.mark.parametrize("kwargs, error", [
    (dict(n_frames=0), ValueError), (dict(keyframe_interval=0), ValueError),
    (dict(time_bins=65536), OverflowError), (dict(max_depth=-1), OverflowError),
])
def test_encode_refuses_bad_parameters(kwargs, error):
    params = dict(time_bins=4, max_depth=3) | kwargs
    with pytest.raises(error):
        zelkit.encode(make_events(10, 4, 4), **params)


@pytest.mark.parametrize("window_us", [0, -5, True, 2.5])
def test_encode_stream_refuses_a_window_that_is_not_a_positive_int(tmp_path, window_us):
    with pytest.raises(ValueError, match="window_us must be a positive integer"):
        zelkit.encode_stream(tmp_path / "s.zel", [], width=4, height=4, time_bins=2, max_depth=2,
                             window_us=window_us)
    assert os.listdir(tmp_path) == []


def test_frames_are_read_one_at_a_time_not_by_slice():
    with zelkit.decode(zelkit.encode(make_events(10, 4, 4), time_bins=4, max_depth=3, n_frames=3)) as reader:
        with pytest.raises(TypeError, match="one at a time"):
            reader[0:2]
        assert reader[-1].index == 2


def test_native_encode_refuses_a_buffer_of_partial_records():
    with pytest.raises(ValueError, match="whole number of 9-byte events"):
        zelkit._native.encode(b"\0" * 10, 4, 4, 2, 2, 1, 0)


@pytest.mark.parametrize("n_events", [0, 10])
@pytest.mark.parametrize("to_file", [False, True], ids=["encode", "write"])
def test_a_frame_count_beyond_memory_is_refused_before_any_work(to_file, n_events, tmp_path):
    events = make_events(n_events, 4, 4)
    params = dict(time_bins=2, max_depth=2, n_frames=10**12)
    # Even frames without events take their record and index entry.
    with pytest.raises(MemoryError, match="n_frames 1000000000000 needs at least .* bytes per frame"):
        if to_file:
            zelkit.write(tmp_path / "x.zel", events, **params)
        else:
            zelkit.encode(events, **params)
    assert os.listdir(tmp_path) == []


def test_write_takes_the_parameters_of_encode():
    def keywords(function, skip):
        return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()
                if p.name not in skip]

    assert keywords(zelkit.write, {"path", "events"}) == keywords(zelkit.encode, {"events"})


# ------------------------------------------------------------------ streaming


def test_stream_frames_follow_windows_whatever_the_chunking(tmp_path):
    ev = make_events(3000, 50, 40, t_max=99_999, seed=6)
    params = dict(width=50, height=40, time_bins=8, max_depth=6, window_us=10_000)
    one = tmp_path / "one.zel"
    assert zelkit.encode_stream(one, [ev], **params) == 10
    pieces = np.split(ev, [1, 2, 700, 1500, 1501, 2999])
    many = tmp_path / "many.zel"
    zelkit.encode_stream(many, iter(pieces), **params)
    assert one.read_bytes() == many.read_bytes()
    with zelkit.open(one) as reader:
        for k, frame in enumerate(reader):
            # Windows are anchored at the first event.
            window = ev[(ev["t"] - ev["t"][0]) // 10_000 == k]
            boxes, _ = expected_frames(window, 50, 40, 8, 6, 1)[0]
            assert box_set(frame) == boxes and frame.n_events == window.size
    first = ev[ev["t"] < ev["t"][0] + 10_000]
    payload, _ = zel.compress(as_zel_events(first), 50, 40, 8, 6)
    assert parse(one.read_bytes())["frames"][0]["payload"] == payload


def test_stream_writer_gives_an_empty_frame_after_a_full_one_no_time_range():
    writer = zelkit._native.ContainerWriter(8, 8, 2, 3, 0)
    parts = [writer.begin(), writer.add_frame(make_events(20, 8, 8, t_max=500, seed=12)),
             writer.add_frame(np.empty(0, zelkit.EVENT_DTYPE))]
    tail, header = writer.finish()
    data = header + b"".join(parts)[len(header):] + tail
    with zelkit.decode(data) as reader:
        assert reader.frame_time_ranges()[1].tolist() == [0, 0]
        assert reader[1].n_events == 0 and reader[1].boxes.size == 0


@pytest.mark.parametrize("call", ["finish", "add_frame", "begin"])
def test_stream_writer_refuses_calls_out_of_order(call):
    writer = zelkit._native.ContainerWriter(8, 8, 2, 3, 0)
    if call == "begin":
        writer.begin()
    args = [np.empty(0, zelkit.EVENT_DTYPE)] if call == "add_frame" else []
    with pytest.raises(ValueError, match=rf"{call}\(\) cannot be called"):
        getattr(writer, call)(*args)


def test_stream_failure_leaves_nothing_behind(tmp_path):
    def chunks():
        yield make_events(100, 10, 10)
        raise RuntimeError("source failed")

    with pytest.raises(RuntimeError):
        zelkit.encode_stream(tmp_path / "x.zel", chunks(), width=10, height=10, time_bins=4,
                             max_depth=4, window_us=100)
    assert os.listdir(tmp_path) == []


def test_stream_of_nothing_is_an_empty_container(tmp_path):
    path = tmp_path / "empty.zel"
    assert zelkit.encode_stream(path, [], width=4, height=4, time_bins=2, max_depth=2,
                                window_us=5) == 0
    with zelkit.open(path) as reader:
        assert len(reader) == 0 and reader.time_range is None and reader.to_events().size == 0


# ------------------------------------------------------------- index-less reading


def streamed(tmp_path, n_events=2000):
    path = tmp_path / "s.zel"
    ev = make_events(n_events, 32, 32, t_max=49_999, seed=7)
    zelkit.encode_stream(path, [ev], width=32, height=32, time_bins=4, max_depth=5,
                         window_us=10_000, keyframe_interval=2)
    return bytearray(path.read_bytes())


def interrupted(data, cut):
    """What an interrupted stream writer leaves: an unknown count, cut at `cut`."""
    data = bytearray(data[:cut])
    struct.pack_into("<Q", data, 24, 2**64 - 1)
    return bytes(with_crc(data, 0, 32))


def test_index_less_file_reads_up_to_last_complete_frame(tmp_path):
    data = streamed(tmp_path)
    layout = parse(bytes(data))
    full = [box_set(f) for f in zelkit.decode(bytes(data))]
    for cut, expect in [(layout["index_offset"], 5), (layout["frames"][4]["offset"] + 60, 4),
                        (layout["frames"][1]["offset"] + 3, 1), (36, 0)]:
        with pytest.warns(zelkit.IncompleteContainerWarning):
            reader = zelkit.decode(interrupted(data, cut))
        assert not reader.complete and len(reader) == expect
        assert [box_set(f) for f in reader] == full[:expect]


def test_lost_index_with_every_frame_present_reads_whole(tmp_path):
    data = streamed(tmp_path)
    layout = parse(bytes(data))
    reader = zelkit.decode(bytes(data[: layout["index_offset"]]))
    assert reader.complete and len(reader) == 5


# -------------------------------------------------------------------- refusals


def sample():
    ev = make_events(400, 16, 16, seed=8)
    data = bytearray(zelkit.encode(ev, time_bins=4, max_depth=4, n_frames=4, keyframe_interval=2))
    return data, parse(bytes(data))


def forge_frame(field_offset, fmt, value, frame=0):
    def craft(data, layout):
        f = layout["frames"][frame]
        struct.pack_into(fmt, data, f["offset"] + field_offset, value(f) if callable(value) else value)
        return with_crc(data, f["offset"], f["offset"] + FRAME.size + len(f["payload"]))
    return craft


def forge_index(field_offset, fmt, value):
    def craft(data, layout):
        at = layout["index_offset"]
        struct.pack_into(fmt, data, at + field_offset, value(layout) if callable(value) else value)
        return with_crc(data, at, at + INDEX_HEAD.size + ENTRY.size * len(layout["index"]))
    return craft


def flip(where):
    def craft(data, layout):
        data[where(layout)] ^= 0x40
        return data
    return craft


def frame_at(k, delta):
    return lambda layout: layout["frames"][k]["offset"] + delta


REFUSALS = {
    "empty": (lambda d, l: b"", "bad magic", lambda l: 0),
    "bad magic": (flip(lambda l: 1), "bad magic", lambda l: 0),
    "unknown version": (forge_header(8, "<H", 3), "unknown format version 3", lambda l: 8),
    "truncated header": (lambda d, l: d[:20], "truncated file header", lambda l: 20),
    "header checksum": (flip(lambda l: 14), "file header checksum", lambda l: 32),
    "reserved flags": (forge_header(10, "<H", 1), "reserved", lambda l: 10),
    "frame checksum": (flip(frame_at(1, FRAME.size + 2)), "frame 1 checksum",
                       lambda l: l["frames"][1]["offset"] + FRAME.size + len(l["frames"][1]["payload"])),
    "payload longer than record": (forge_frame(40, "<Q", 2**40, 2), "exceeds",
                                   lambda l: l["frames"][2]["offset"] + 40),
    "index count beyond file": (forge_index(8, "<Q", 2**60), "index claims",
                                lambda l: l["index_offset"] + 8),
    "index checksum": (flip(lambda l: l["index_offset"] + 20), "index checksum",
                       lambda l: len(l["frames"]) * 0 + l["index_offset"] + 16 + 24 * 4),
    "index offset beyond file": (lambda d, l: d[:-16] + struct.pack("<Q8s", 2**62, b"ZELINDEX"),
                                 "outside the file", lambda l: l["index_offset"] + 16 + 24 * 4 + 4),
    "index entry out of place": (forge_index(16 + 24, "<Q", 10), "points at offset 10",
                                 lambda l: l["index_offset"] + 16 + 24),
    "index disagrees with frame": (forge_index(16 + 24 * 2 + 8, "<I", 0), "index entry",
                                   lambda l: l["frames"][2]["offset"] + 16),
    "delta without its frame": (forge_frame(4, "<B", 1, 0), "no frame before it",
                                lambda l: l["frames"][0]["offset"] + 4),
    "kind against interval": (forge_frame(4, "<B", 0, 1), "keyframe interval",
                              lambda l: l["frames"][1]["offset"] + 4),
    "unknown frame kind": (forge_frame(4, "<B", 7, 3), "unknown frame kind",
                           lambda l: l["frames"][3]["offset"] + 4),
    "frame numbered wrong": (forge_frame(8, "<Q", 5, 1), "numbered 5",
                             lambda l: l["frames"][1]["offset"] + 8),
    "forged keyframe bit count": (forge_frame(32, "<Q", 2**50, 2), "can hold",
                                  lambda l: l["frames"][2]["offset"] + 32),
    "forged delta bit count": (forge_frame(32, "<Q", 2**50, 1), "delta chain holds",
                               lambda l: l["frames"][1]["offset"] + 32),
    "bit count beyond tree": (forge_frame(32, "<Q", lambda f: f["n_bits"] + 5, 0), "tree uses",
                              lambda l: l["frames"][0]["offset"] + 32),
    "bit count cut to the root": (forge_frame(32, "<Q", 1, 0), "no occupied box",
                                  lambda l: l["frames"][0]["offset"] + 24),
    "more boxes than events": (forge_frame(24, "<Q", 1, 0), "more occupied boxes",
                               lambda l: l["frames"][0]["offset"] + 24),
}


def compose(*crafts):
    def craft(data, layout):
        for one in crafts:
            data = one(data, layout)
        return data
    return craft


def rebuilt(edit=lambda k, record: record, first_at=HEADER.size):
    """The file re-assembled from its records (each through ``edit``) with a fresh index."""
    def craft(data, layout):
        parts = [edit(k, r) for k, r in enumerate(records(bytes(data), layout))]
        return bytearray(assemble(bytes(data), parts, first_at))
    return craft


def payload_cut(k, keep):
    """Record k with its payload cut to its first ``keep`` bytes, sealed again."""
    def edit(j, record):
        if j != k:
            return record
        record = bytearray(record[: FRAME.size + keep]) + bytes(4)
        struct.pack_into("<Q", record, 40, keep)
        return bytes(with_crc(record, 0, FRAME.size + keep))
    return edit


def index_at(layout, delta=0):
    return layout["index_offset"] + delta


# Rules the reader enforces beyond the cases above, one broken rule each.
REFUSALS.update({
    "reserved header byte": (forge_header(19, "<B", 1), "reserved header field", lambda l: 19),
    "reserved frame bytes 6-7": (forge_frame(6, "<H", 1, 1), "reserved frame field",
                                 lambda l: l["frames"][1]["offset"] + 5),
    "reserved index field": (forge_index(4, "<I", 1), "reserved index field",
                             lambda l: index_at(l, 4)),
    "index count against header": (forge_header(24, "<Q", 3), "index lists 4 frames but the file "
                                   "header declares 3", lambda l: index_at(l, 8)),
    "trailer before a whole index": (
        lambda d, l: d[:-16] + struct.pack("<Q8s", len(d) - 16 - 19, b"ZELINDEX"),
        "outside the file's frame area", lambda l: index_at(l, 16 + 24 * 4 + 4)),
    "trailer naming the header": (lambda d, l: d[:-16] + struct.pack("<Q8s", 10, b"ZELINDEX"),
                                  "index offset 10 lies outside", lambda l: index_at(l, 16 + 24 * 4 + 4)),
    "index entry too close to the index": (forge_index(16 + 24 * 3, "<Q", lambda l: index_at(l, -10)),
                                           "index entry 3 points at", lambda l: index_at(l, 16 + 24 * 3)),
    "record without its tag": (flip(frame_at(1, 0)), "no frame record where frame 1 should start",
                               lambda l: l["frames"][1]["offset"]),
    "trailer not at an index": (
        lambda d, l: d[:-16] + struct.pack("<Q8s", l["frames"][1]["offset"], b"ZELINDEX"),
        "does not point at an index", lambda l: l["frames"][1]["offset"]),
    "bytes after a frame's checksum": (
        rebuilt(lambda k, r: r + b"\0" * 4 if k == 1 else r), "followed by 4 bytes",
        lambda l: l["frames"][2]["offset"]),
    "first record not after the header": (rebuilt(first_at=HEADER.size + 4),
                                          "index entry 0 points at offset 40",
                                          lambda l: index_at(l, 4 + INDEX_HEAD.size)),
    "index entry with reversed times": (forge_index(16 + 8, "<I", 2**32 - 1),
                                        "index entry 0 has its time range reversed",
                                        lambda l: index_at(l, 16 + 8)),
    "frame with reversed times": (forge_frame(16, "<I", lambda f: f["t_last"] + 1, 2),
                                  "frame 2 has its time range reversed",
                                  lambda l: l["frames"][2]["offset"] + 16),
    "index disagrees with frame t_last": (forge_index(16 + 24 * 2 + 12, "<I", 2**32 - 1),
                                          "frame 2 does not match its index entry",
                                          lambda l: l["frames"][2]["offset"] + 20),
    "index disagrees with frame n_events": (forge_index(16 + 24 * 2 + 16, "<Q", 2**40),
                                            "frame 2 does not match its index entry",
                                            lambda l: l["frames"][2]["offset"] + 24),
    "rANS probability 4096": (forge_frame(FRAME.size, "<H", 4096, 2), "probability 4096 is outside",
                              lambda l: l["frames"][2]["offset"] + FRAME.size),
    "rANS probability 0": (forge_frame(FRAME.size, "<H", 0, 0), "probability 0 is outside",
                           lambda l: l["frames"][0]["offset"] + FRAME.size),
    "keyframe payload shorter than a rANS header": (
        rebuilt(payload_cut(0, 5)), "shorter than a rANS stream header",
        lambda l: l["frames"][0]["offset"] + FRAME.size),
    "delta payload of odd length": (rebuilt(payload_cut(1, 1)), "delta payload has odd length 1",
                                    lambda l: l["frames"][1]["offset"] + FRAME.size),
})


@pytest.mark.parametrize("name", REFUSALS)
def test_damaged_containers_are_refused_with_offset(name):
    craft, message, offset = REFUSALS[name]
    data, layout = sample()
    damaged = bytes(craft(data, layout))
    with pytest.raises(zelkit.FormatError, match=message) as info:
        list(zelkit.decode(damaged))
    assert info.value.offset == offset(layout)
    assert f"offset {info.value.offset}" in str(info.value)


@pytest.mark.parametrize("damage", [
    forge_index(16 + 24 * 3 + 12, "<I", 2**32 - 1),  # frame 3 decodes but disagrees with its entry
    forge_frame(24, "<Q", 1, 3),                       # frame 3 decodes to more boxes than it claims
])
def test_a_frame_that_fails_does_not_become_the_chain_of_later_deltas(damage):
    # Keyframes 0 and 3: reading frame 4 decodes keyframe 3 over the bits
    # frame 1 left, then fails; frame 2 must still be built from frame 0.
    ev = make_events(400, 16, 16, seed=8)
    data = bytearray(zelkit.encode(ev, time_bins=4, max_depth=4, n_frames=6, keyframe_interval=3))
    whole = [box_set(f) for f in zelkit.decode(bytes(data))]
    reader = zelkit.decode(bytes(damage(data, parse(bytes(data)))))
    assert box_set(reader[1]) == whole[1]
    with pytest.raises(zelkit.FormatError, match="frame 3"):
        reader[4]
    assert [box_set(reader[k]) for k in (2, 1, 0)] == [whole[2], whole[1], whole[0]]


def test_empty_frame_with_a_time_range_is_refused():
    ev = np.array([(1, 1, 0, 0), (2, 2, 0, 1), (3, 3, 100, 0)], dtype=zelkit.EVENT_DTYPE)
    data = bytearray(zelkit.encode(ev, time_bins=2, max_depth=2, n_frames=3))
    layout = parse(bytes(data))
    assert layout["frames"][1]["n_events"] == 0
    # t_first 0 and t_last 5: a range although the frame has no events.
    damaged = compose(forge_frame(20, "<I", 5, 1), forge_index(16 + 24 + 12, "<I", 5))(data, layout)
    with pytest.raises(zelkit.FormatError, match="frame 1 has no events but a time range") as info:
        list(zelkit.decode(bytes(damaged)))
    assert info.value.offset == layout["frames"][1]["offset"] + 16


def test_junk_before_an_empty_index_is_refused(tmp_path):
    path = tmp_path / "empty.zel"
    zelkit.encode_stream(path, [], width=4, height=4, time_bins=2, max_depth=2, window_us=5)
    with pytest.raises(zelkit.FormatError, match="4 bytes between the file header") as info:
        zelkit.decode(assemble(path.read_bytes(), [], first_at=HEADER.size + 4))
    assert info.value.offset == HEADER.size


def test_truncated_file_with_declared_count_is_refused(tmp_path):
    data, layout = sample()
    cut = layout["frames"][3]["offset"] + 20
    with pytest.raises(zelkit.FormatError, match="truncated frame 3") as info:
        zelkit.decode(bytes(data[:cut]))
    assert info.value.offset == cut
    inside_payload = layout["frames"][3]["offset"] + FRAME.size + 1
    with pytest.raises(zelkit.FormatError, match="truncated frame 3: its record needs") as info:
        zelkit.decode(bytes(data[:inside_payload]))
    assert info.value.offset == layout["frames"][3]["offset"] + 40
    path = tmp_path / "cut.zel"
    path.write_bytes(bytes(data[:cut]))
    with pytest.raises(zelkit.FormatError):
        zelkit.open(path)


def test_open_refuses_what_cannot_be_read_by_position(tmp_path):
    os.mkfifo(tmp_path / "fifo.zel")
    # A FIFO without a writer must not block the open.
    out = run_python(f"""
        import errno, zelkit
        try:
            zelkit.open({str(tmp_path / "fifo.zel")!r})
        except OSError as error:
            print(errno.errorcode[error.errno], error.filename)
    """, timeout=30)
    assert out.stdout.split() == ["ESPIPE", str(tmp_path / "fifo.zel")], out.stderr
    with pytest.raises(IsADirectoryError) as info:
        zelkit.open(tmp_path)
    assert info.value.filename == os.fspath(tmp_path)
    with pytest.raises(FileNotFoundError):
        zelkit.open(tmp_path / "missing.zel")


def test_a_file_cut_short_while_open_is_refused_not_misread(tmp_path):
    data, layout = sample()
    path = tmp_path / "rec.zel"
    path.write_bytes(bytes(data))
    with zelkit.open(path) as reader:
        os.truncate(path, layout["frames"][2]["offset"] + 10)
        assert reader[1].index == 1
        with pytest.raises(zelkit.FormatError, match="cut short") as info:
            reader[2]
        assert info.value.offset == layout["frames"][2]["offset"] + 10


def test_a_closed_reader_refuses_to_decode():
    data, _ = sample()
    reader = zelkit.decode(bytes(data))
    reader.close()
    with pytest.raises(ValueError, match="closed"):
        reader[0]


@pytest.mark.parametrize("codec, opener", [(None, zelkit.decode), ("lossless", zelkit.decode_events)])
@pytest.mark.parametrize("closing", ["close", "with"])
def test_a_reader_over_a_buffer_lets_go_of_it_when_closed(codec, opener, closing):
    ev = make_events(50, 8, 8, seed=4)
    data = bytearray(zelkit.encode(ev, width=8, height=8, time_bins=2, max_depth=3)
                     if codec is None else zelkit.encode(ev, codec=codec))
    reader = opener(data)
    # Read in place: the buffer cannot change size under an open reader.
    with pytest.raises(BufferError):
        data.append(0)
    if closing == "close":
        reader.close()
    else:
        with reader:
            pass
    data.append(0)  # no export left behind


def test_threads_sharing_a_reader_get_the_frames_of_a_lone_reader(tmp_path):
    ev = make_events(5000, 64, 64, seed=13)
    data = zelkit.encode(ev, time_bins=8, max_depth=6, n_frames=24, keyframe_interval=5)
    alone = [box_set(f) for f in zelkit.decode(data)]
    path = tmp_path / "rec.zel"
    path.write_bytes(data)
    with zelkit.open(path) as reader:
        seen = {}

        def read(order):
            seen[order[0]] = [(k, box_set(reader[k])) for k in order]

        orders = [list(range(24)), list(range(23, -1, -1)), [7, 3, 19, 0, 12, 23, 5] * 3]
        threads = [threading.Thread(target=read, args=(order,)) for order in orders]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert all(boxes == alone[k] for result in seen.values() for k, boxes in result)
    assert len(seen) == 3


def test_reader_indexing():
    data, _ = sample()
    reader = zelkit.decode(bytes(data))
    assert reader[-4].index == 0
    with pytest.raises(IndexError):
        reader[4]


# ------------------------------------------------------------ grids and events


def test_to_grid_equals_voxels_at_full_depth_and_refuses_large_grids():
    ev = make_events(500, 30, 20, seed=10)
    frame = zelkit.decode(zelkit.encode(ev, width=30, height=20, time_bins=6, max_depth=16))[0]
    grid = frame.to_grid()
    assert grid.shape == (6, 20, 30)
    want = np.zeros_like(grid)
    want[slot(ev["t"], 6, 7), ev["y"], ev["x"]] = True
    assert np.array_equal(grid, want)
    assert np.array_equal(frame.to_grid(max_bytes=grid.size), grid)
    with pytest.raises(ValueError, match="max_bytes"):
        frame.to_grid(max_bytes=grid.size - 1)


def test_depth_limited_box_fills_grid_and_yields_one_centred_event():
    ev = np.array([(5, 1, 100, 1), (6, 2, 300, 0)], dtype=zelkit.EVENT_DTYPE)
    frame = zelkit.decode(zelkit.encode(ev, width=8, height=8, time_bins=4, max_depth=1))[0]
    assert box_set(frame) == {(4, 0, 0, 4, 4, 2), (4, 0, 2, 4, 4, 2)}
    grid = frame.to_grid()
    assert grid.sum() == 2 * 32 and grid[0:4, 0:4, 4:8].all()
    out = frame.to_events()
    # x, y at the box centre (4..7 -> 5, 0..3 -> 1); a bin is 200/3 us wide from t 100,
    # so bins 0-1 cover 100..233.3 and bins 2-3 cover 233.3..300 (bin 3 is t 300 alone).
    assert out.tolist() == [(5, 1, 167, 0), (5, 1, 267, 0)]


def test_a_grid_of_one_time_bin_puts_every_box_at_the_middle_of_its_frame():
    # One bin covers the whole frame, whatever the frame's span.
    ev = np.array([(1, 1, 100, 1), (6, 6, 300, 0)], dtype=zelkit.EVENT_DTYPE)
    frame = zelkit.decode(zelkit.encode(ev, width=8, height=8, time_bins=1, max_depth=3))[0]
    out = frame.to_events()
    assert sorted(out.tolist()) == [(1, 1, 200, 0), (6, 6, 200, 0)]


def test_random_damage_is_refused_or_read_never_anything_else():
    data, layout = sample()
    rng = np.random.default_rng(11)
    for trial in range(300):
        damaged = bytearray(data)
        if trial % 3 == 0:
            damaged = damaged[: rng.integers(0, len(data))]
        else:
            for at in rng.integers(0, len(data), rng.integers(1, 4)):
                damaged[at] = rng.integers(0, 256)
            # Half the time re-seal the frames so damage reaches the decoder itself.
            if trial % 2 == 0:
                for f in layout["frames"]:
                    with_crc(damaged, f["offset"], f["offset"] + FRAME.size + len(f["payload"]))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", zelkit.IncompleteContainerWarning)
                frames = list(zelkit.decode(bytes(damaged)))
        except zelkit.FormatError:
            continue
        assert all(f.boxes.size <= f.n_events for f in frames)
