"""The .zel event store from Python: exact round trips of any array, chunks
and windows, the camera clock, streaming conversion, and refusals."""

import os
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zelkit
from zelkit._chunked_save import save_chunks
from zelkit._read_options import plan_read
from container_layout import BLOCK, parse_store
from zel_command import zel

SAMPLES = Path(__file__).resolve().parent.parent / "samples"


def _events(n, rng, **columns):
    ev = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    for name, values in columns.items():
        ev[name] = values
    return ev


def _arrays():
    rng = np.random.default_rng(11)
    n = 5000
    camera = _events(n, rng, x=rng.integers(0, 346, n), y=rng.integers(0, 260, n),
                     t=np.sort(rng.integers(0, 10**6, n)), p=rng.integers(0, 2, n))
    arbitrary = _events(n, rng, x=rng.integers(0, 1 << 16, n), y=rng.integers(0, 1 << 16, n),
                        t=rng.integers(0, 1 << 32, n, dtype=np.uint64), p=rng.integers(0, 256, n))
    duplicates = np.repeat(camera[:50], 40)
    backwards = camera[::-1].copy()
    extremes = _events(4, rng, x=[0, 65535, 0, 65535], y=[65535, 0, 0, 65535],
                       t=[0, 2**32 - 1, 0, 2**32 - 1], p=[0, 255, 1, 254])
    return {
        "empty": camera[:0].copy(), "one": camera[:1].copy(), "camera": camera, "arbitrary": arbitrary,
        "duplicates": duplicates, "backwards": backwards, "extremes": extremes,
    }


ARRAYS = _arrays()


@pytest.mark.parametrize("name", ARRAYS)
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("fast", [False, True])
def test_save_and_load_give_back_exactly_the_array(tmp_path, name, threads, fast):
    events = ARRAYS[name]
    path = tmp_path / "x.zel"
    zelkit.save(path, events, fast=fast)
    back = zelkit.load(path, threads=threads)
    assert back.dtype == zelkit.EVENT_DTYPE and np.array_equal(back, events)
    assert np.array_equal(np.concatenate([*zelkit.iter_load(path, chunk_events=777), events[:0]]), events)
    data = zelkit.encode(events, codec="lossless", fast=fast)
    assert data == path.read_bytes()
    assert np.array_equal(zelkit.decode_events(data).to_events(threads=threads), events)


def _block_versions(path):
    return {block["payload"][0] for block in parse_store(Path(path).read_bytes())["blocks"]}


def test_fast_blocks_are_larger_and_written_only_when_asked(tmp_path):
    events = ARRAYS["camera"]
    small, fast = tmp_path / "small.zel", tmp_path / "fast.zel"
    zelkit.save(small, events)
    zelkit.save(fast, events, fast=True)
    assert _block_versions(small) == {2} and _block_versions(fast) == {3}
    assert small.stat().st_size < fast.stat().st_size < events.nbytes
    assert zelkit.encode(events, codec="lossless", fast=np.True_) == fast.read_bytes()
    assert zelkit.info(fast).n_events == len(events)


@pytest.mark.parametrize("call, error, message", [
    (lambda p: zelkit.save(p / "a.zel", ARRAYS["one"], fast=1), TypeError, "fast must be True or False"),
    (lambda p: zelkit.save(p / "a.dat", ARRAYS["one"], fast=True), ValueError, "has no fast option"),
    (lambda p: save_chunks(p / "a.raw", [ARRAYS["one"]], fast=True), ValueError, "has no fast option"),
    (lambda p: zelkit.encode(ARRAYS["one"], time_bins=4, max_depth=4, fast=True), ValueError,
     "fast applies to codec='lossless' only"),
])
def test_fast_is_refused_where_it_means_nothing(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tmp_path)
    assert list(tmp_path.iterdir()) == []


def test_strided_input_is_stored_as_its_values(tmp_path):
    events = ARRAYS["camera"][::3]
    zelkit.write(tmp_path / "s.zel", events, codec="lossless")
    assert np.array_equal(zelkit.load(tmp_path / "s.zel"), events)


def test_chunks_have_the_asked_size_and_windows_match_the_loaded_array(tmp_path):
    events = ARRAYS["camera"]
    path = tmp_path / "c.zel"
    # Small blocks, so chunks and windows cross block boundaries.
    zelkit.write(path, events, codec="lossless")
    with zelkit.open_events(path) as store:
        assert len(store) == len(events) and store.complete
    sizes = [len(c) for c in zelkit.iter_load(path, chunk_events=1000)]
    assert sizes == [1000] * 5
    windows = list(zelkit.iter_load(path, window_us=50_000))
    expected = list(zelkit._files.time_windows([events], 50_000))
    assert len(windows) == len(expected)
    assert all(np.array_equal(a, b) for a, b in zip(windows, expected))


@pytest.mark.parametrize("block_events", [1, 7, 1000])
def test_store_windows_and_block_reads_decode_what_they_cover(block_events):
    events = ARRAYS["camera"]
    store = zelkit.decode_events(zelkit._event_store.encode_events(events, block_events=block_events))
    assert store.block_events == block_events
    assert len(store.blocks) == -(-len(events) // block_events)
    # The count of a store of several blocks is every block's, not the last one's.
    assert len(store) == store.n_events == len(events)
    assert store.time_range() == (int(events["t"].min()), int(events["t"].max()))
    t = events["t"].tolist()
    # Windows at random times, and windows that start or end on an event's
    # time (the first inclusive, the second not), at block edges or within.
    for t0, t1 in [(0, 1), (100_000, 100_500), (250_000, 600_000), (0, 2**40), (500, 500),
                   (t[block_events], t[3 * block_events]), (t[1234], t[1234] + 1), (t[999], t[2500]),
                   (t[0], t[-1]), (t[-1], t[-1] + 1)]:
        mask = (events["t"] >= t0) & (events["t"] < t1)
        assert np.array_equal(store.window(t0, t1), events[mask]), (t0, t1)
    k = len(store.blocks) // 2
    first = int(store.blocks["n_events"][:k].sum())
    assert np.array_equal(store.read(k, 1), events[first:first + int(store.blocks["n_events"][k])])
    with pytest.raises(ValueError, match="count"):
        store.read(k, len(store.blocks))
    with pytest.raises(ValueError, match="first"):
        store.read(-1)


@pytest.mark.parametrize("block_events", [1, 7, None])
@pytest.mark.parametrize("t_base", [0, 2**40 + 17])
def test_times_from_the_first_event_whatever_the_blocks(tmp_path, block_events, t_base):
    # "first" is the first event's time, read from block 0's header; an
    # event before it cannot be shown and is refused.
    events = ARRAYS["camera"][:3000].copy()
    path = tmp_path / "s.zel"
    path.write_bytes(zelkit._event_store.encode_events(events, block_events=block_events))
    if t_base:
        writer = zelkit._native.EventStoreWriter(0, 0, block_events or 2**20)
        body = bytes(writer.begin()) + bytes(writer.add(events, t_base))
        tail, header = writer.finish()
        path.write_bytes(bytes(header) + body[len(header):] + bytes(tail))
    expected = events["t"] - events["t"][0]
    assert np.array_equal(zelkit.load(path, t_offset="first")["t"], expected)
    chunks = list(zelkit.iter_load(path, chunk_events=500, t_offset="first"))
    assert all(c.t_base == t_base + int(events["t"][0]) for c in chunks)
    assert np.array_equal(np.concatenate(chunks)["t"], expected)
    late = events.copy()
    late["t"][0] = late["t"][1] + 1
    path.write_bytes(zelkit._event_store.encode_events(late, block_events=block_events))
    with pytest.raises(ValueError, match="event 1 has timestamp"):
        zelkit.load(path, t_offset="first")


def test_a_closed_store_refuses_to_read(tmp_path):
    path = tmp_path / "s.zel"
    zelkit.save(path, ARRAYS["camera"])
    with zelkit.open_events(path) as store:
        assert len(store.read(0, 1)) > 0
    for call in (lambda: store.read(0, 1), lambda: store.to_events(), lambda: store.window(0, 2**40),
                 lambda: store._native.extent(0, 1)):
        with pytest.raises(ValueError, match="closed"):
            call()
    store.close()  # closing twice is harmless


def test_a_camera_clock_past_32_bits_is_kept(tmp_path):
    events = ARRAYS["camera"]
    base = 2**40 + 17
    path = tmp_path / "late.zel"
    zelkit.save(path, events, t_base=base)
    with pytest.raises(ValueError, match=r"event 0 has timestamp \d+ us, which does not fit"):
        zelkit.load(path)
    assert np.array_equal(zelkit.load(path, t_offset=base), events)
    shifted = zelkit.load(path, t_offset="first")
    assert np.array_equal(shifted["t"], events["t"] - events["t"][0])
    chunks = list(zelkit.iter_load(path, chunk_events=2000, t_offset="chunk"))
    assert all(c.t_base == base for c in chunks)
    info = zelkit.info(path)
    assert (info.t_first, info.t_last) == (base + int(events["t"][0]), base + int(events["t"][-1]))
    with zelkit.open_events(path) as store:
        assert np.array_equal(store.window(base + 200_000, base + 300_000, t_offset=base),
                              events[(events["t"] >= 200_000) & (events["t"] < 300_000)])


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_chunks_of_a_store_with_several_clock_bases_each_hold_one_base(tmp_path, threads):
    # Bases too far apart to share a block: each chunk is one base's events,
    # once, at that base, however many events a chunk could hold, and
    # however the blocks decoded together fall across the bases.
    pieces = [(0, ARRAYS["camera"][:300]), (2**33, ARRAYS["camera"][300:700]),
              (2**34 + 5, ARRAYS["camera"][700:750])]
    writer = zelkit._native.EventStoreWriter(0, 0, 128)
    body = bytes(writer.begin()) + b"".join(bytes(writer.add(events, base)) for base, events in pieces)
    tail, header = writer.finish()
    path = tmp_path / "bases.zel"
    path.write_bytes(bytes(header) + body[len(header):] + bytes(tail))
    for n in (10**6, 350):
        expected = [(base, events[i : i + n]) for base, events in pieces for i in range(0, len(events), n)]
        chunks = list(zelkit.iter_load(path, chunk_events=n, t_offset="chunk", threads=threads))
        assert [c.t_base for c in chunks] == [base for base, _ in expected], n
        assert all(np.array_equal(c, events) for c, (_, events) in zip(chunks, expected)), n


def _store_threads():
    return [t for t in threading.enumerate() if t.name.startswith("zelkit-store")]


@pytest.mark.parametrize("mode", ["chunk", "first"])
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_chunks_before_a_damaged_block_come_out_exact_and_then_the_read_fails(tmp_path, threads, mode):
    # Eight blocks of 16; block 5's payload damaged. Whatever is decoded
    # ahead, the chunks given are exactly the events before the damage,
    # the error names the damaged record, and no decoding thread is left.
    events = ARRAYS["camera"][:128]
    data = bytearray(zelkit._event_store.encode_events(events, block_events=16))
    damaged = parse_store(bytes(data))["blocks"][5]
    data[damaged["offset"] + BLOCK.size + len(damaged["payload"]) // 2] ^= 0x40
    path = tmp_path / "damaged.zel"
    path.write_bytes(bytes(data))
    given = []
    with pytest.raises(zelkit.FormatError) as info:
        for chunk in zelkit.iter_load(path, chunk_events=10, t_offset=mode, threads=threads):
            given.append(chunk)
    assert damaged["offset"] <= info.value.offset < damaged["offset"] + BLOCK.size + len(damaged["payload"]) + 4
    got = np.concatenate([*given, events[:0]])
    assert len(got) <= 5 * 16 and len(got) % 10 == 0
    first = 0 if mode == "chunk" else int(events["t"][0])
    assert np.array_equal(got["t"], events["t"][: len(got)] - first)
    assert np.array_equal(got[["x", "y", "p"]], events[["x", "y", "p"]][: len(got)])
    assert not _store_threads()


def test_a_reader_left_early_waits_for_its_decoding_and_closes(tmp_path):
    events = ARRAYS["camera"]
    path = tmp_path / "s.zel"
    path.write_bytes(zelkit._event_store.encode_events(events, block_events=256))
    chunks = zelkit.iter_load(path, chunk_events=100, threads=2)
    assert np.array_equal(next(chunks), events[:100])
    chunks.close()
    assert not _store_threads()


@pytest.mark.parametrize("fast", [[], ["--fast"]])
def test_convert_streams_a_camera_recording_in_and_out_exactly(tmp_path, fast):
    source = SAMPLES / "street.raw"
    stored, back = tmp_path / "street.zel", tmp_path / "street.dat"
    assert zel("convert", source, stored, "--chunk-events", "5000", *fast).returncode == 0
    assert _block_versions(stored) == ({3} if fast else {2})
    assert zel("convert", stored, back).returncode == 0
    original = zelkit.load(source)
    assert np.array_equal(zelkit.load(stored), original)
    assert np.array_equal(zelkit.load(back), original)
    info = zelkit.info(stored)
    assert (info.width, info.height, info.size_from_header) == (640, 480, True)
    assert zelkit.open_events(stored).sensor_size == (640, 480)  # the camera header's, read without a pass
    listed = zel("info", stored)
    assert listed.returncode == 0, listed.stderr
    bits = 8 * os.path.getsize(stored) / len(original)
    assert f"{bits:.3f}" in listed.stdout and "bits/event" in listed.stdout


def _camera_times(path):
    return np.concatenate([c.t_base + c["t"].astype(np.uint64) for c in zelkit.iter_load(path, t_offset="chunk")])


@pytest.mark.parametrize("offset, subtracted", [([], 0), (["--t-offset", "first"], None),
                                                (["--t-offset", "7"], 7), (["--t-offset", "auto"], 0)])
def test_convert_to_a_store_keeps_the_camera_clock_or_takes_off_what_is_asked(tmp_path, offset, subtracted):
    source, stored = SAMPLES / "street.raw", tmp_path / "street.zel"
    result = zel("convert", source, stored, "--chunk-events", "1000", *offset)
    assert result.returncode == 0, result.stderr
    camera = _camera_times(source)
    base = camera[0] if subtracted is None else subtracted
    assert np.array_equal(_camera_times(stored), camera - np.uint64(base))
    assert "rebased" not in result.stderr


OUTLINED = ("format", "n_events", "width", "height", "size_from_header", "t_first", "duration_us")


@pytest.mark.parametrize("name", ARRAYS)
@pytest.mark.parametrize("size, t_base", [(None, None), ((346, 260), None), ((40, 30), None),
                                           ((65535, 65535), 2**40 + 3)])
def test_a_reading_plan_knows_what_info_knows_without_decoding(tmp_path, name, size, t_base):
    # The command plans a store's read from its index and block headers:
    # the same sensor grid (the header's only if it holds every event),
    # first camera time and span as a full pass, its order left unknown.
    path = tmp_path / "s.zel"
    width, height = size or (None, None)
    if t_base is None:  # blocks of 700 events
        path.write_bytes(zelkit._event_store.encode_events(ARRAYS[name], width=width, height=height,
                                                           block_events=700))
    else:
        zelkit.save(path, ARRAYS[name], width=width, height=height, t_base=t_base)
    planned = plan_read(path, t_offset=None).described
    described = zelkit.info(path)
    assert [getattr(planned, f) for f in OUTLINED] == [getattr(described, f) for f in OUTLINED]
    assert planned.time_ordered is None


def _stored(tmp_path, fast=False):
    path = tmp_path / "d.zel"
    zelkit.write(path, ARRAYS["arbitrary"][:300], codec="lossless", fast=fast)
    return path, path.read_bytes()


@pytest.mark.parametrize("fast", [False, True])
def test_damage_is_refused_with_its_offset(tmp_path, fast):
    path, data = _stored(tmp_path, fast)
    trailer_magic = len(data) - 8
    for at in range(0, trailer_magic, 5):
        damaged = bytearray(data)
        damaged[at] ^= 0x04
        path.write_bytes(damaged)
        with pytest.raises(zelkit.FormatError) as caught:
            zelkit.load(path)
        assert caught.value.offset is not None and caught.value.offset <= len(data), at
    for size in (0, 9, 35, 36, 60, len(data) // 2):
        path.write_bytes(data[:size])
        with pytest.raises(zelkit.FormatError):
            zelkit.load(path)


def test_each_reader_names_the_other_kind_of_zel_file(tmp_path):
    events = ARRAYS["camera"]
    lossless = zelkit.encode(events, codec="lossless")
    frames = zelkit.encode(events, time_bins=16, max_depth=8)
    with pytest.raises(zelkit.FormatError, match="without loss.*open_events") as caught:
        zelkit.decode(lossless)
    assert caught.value.offset == 8
    with pytest.raises(zelkit.FormatError, match="occupancy frames.*zelkit.open") as caught:
        zelkit.decode_events(frames)
    assert caught.value.offset == 8
    (tmp_path / "f.zel").write_bytes(frames)
    with pytest.raises(zelkit.FormatError, match="occupancy frames"):
        zelkit.load(tmp_path / "f.zel")


@pytest.mark.parametrize("call, message", [
    (lambda p, e: zelkit.load(p, threads=0), "threads"),
    (lambda p, e: zelkit.load(p, threads=True), "threads"),
    (lambda p, e: zelkit.load(p, errors="skip"), "no errors option"),
    (lambda p, e: zelkit.load(p, t_offset="chunk"), "t_offset"),
    (lambda p, e: zelkit.encode(e, codec="lossless", time_bins=16), "time_bins"),
    (lambda p, e: zelkit.encode(e, codec="lossless", n_frames=4), "n_frames"),
    (lambda p, e: zelkit.encode(e, codec="bogus", time_bins=16, max_depth=8), "codec must be one of"),
    (lambda p, e: zelkit.encode(e), "needs time_bins and max_depth"),
    (lambda p, e: zelkit.save(p, e, width=70000), "width"),
    (lambda p, e: zelkit.load("/no/such/dir/x.zel"), "No such file"),
    (lambda p, e: zelkit.open_events(p).window(-1, 5), "t0 must be a non-negative int"),
    (lambda p, e: zelkit.open_events(p).window(0, True), "t1 must be a non-negative int"),
    (lambda p, e: zelkit.open_events(p).read(t_offset=-1), "t_offset must be"),
    (lambda p, e: zelkit.open_events(p).window(5, 5, t_offset=-1), "t_offset must be"),
    (lambda p, e: zelkit.open_events(p).read(t_offset=2**64), "t_offset must be"),
    (lambda p, e: zelkit._event_store.encode_events(e, block_events=0), "block_events must be"),
    (lambda p, e: zelkit._event_store.encode_events(e, block_events=2**22 + 1), "block_events must be"),
])
def test_bad_requests_are_refused_clearly(tmp_path, call, message):
    path = tmp_path / "r.zel"
    zelkit.save(path, ARRAYS["one"])
    with pytest.raises((ValueError, OSError), match=message):
        call(path, ARRAYS["one"])


@pytest.mark.parametrize("width, height", [(65535, 65535), (65535, 1), (1, 65535), (640, 480)])
@pytest.mark.parametrize("write", ["save", "encode_events"])
def test_the_largest_sensor_sides_are_recorded(tmp_path, write, width, height):
    path = tmp_path / "r.zel"
    corner = _events(1, None, x=[0], y=[0], t=[5], p=[1])  # held by every size
    if write == "save":
        zelkit.save(path, corner, width=width, height=height)
    else:
        path.write_bytes(zelkit._event_store.encode_events(corner, width=width, height=height))
    assert zelkit.open_events(path).sensor_size == (width, height)


@pytest.mark.parametrize("size, corner, recorded", [
    ((346, 260), (345, 259), "given"),    # holds every event: kept
    ((346, 260), (346, 10), "extent"),    # one event past it: what readers infer
    ((346, 260), (3, 260), "extent"),
    ((640, 0), (3, 4), "extent"),         # half a size holds nothing
    ((346, 260), (65535, 4), None),       # an extent no header can state: none recorded
    (None, (400, 300), None),             # none given: none recorded
])
@pytest.mark.parametrize("threads", [1, 2])
def test_a_given_size_is_recorded_only_when_it_holds_every_event(tmp_path, size, corner, recorded, threads,
                                                                 monkeypatch):
    # Readers make of a store what they made of its events: zelkit.info's
    # size is the events' extent unless the size recorded holds them.
    monkeypatch.setattr(zelkit._event_store, "write_threads", lambda: threads)
    events = ARRAYS["camera"][:3000].copy()
    events["x"][1234], events["y"][1234] = corner
    extent = (int(events["x"].max()) + 1, int(events["y"].max()) + 1)
    expected = {"given": size, "extent": extent, None: None}[recorded]
    width, height = size if size else (None, None)
    stored = tmp_path / "stored.zel"
    stored.write_bytes(zelkit._event_store.encode_events(events, width=width, height=height, block_events=1000))
    zelkit.save(tmp_path / "saved.zel", events, width=width, height=height)
    for path in (stored, tmp_path / "saved.zel"):
        assert zelkit.open_events(path).sensor_size == expected
        assert np.array_equal(zelkit.load(path), events)
        described = zelkit.info(path)
        assert (described.width, described.height) == (expected or extent)
        assert described.size_from_header is (expected is not None)


@pytest.mark.parametrize("side", ["width", "height"])
@pytest.mark.parametrize("value", [65536, -1, 2**64, 1.0, True])
@pytest.mark.parametrize("write", [
    lambda path, **size: zelkit.save(path, ARRAYS["one"], **size),
    lambda path, **size: zelkit._event_store.encode_events(ARRAYS["one"], **size),
])
def test_sensor_sides_past_the_recorded_range_are_refused(tmp_path, write, side, value):
    path = tmp_path / "r.zel"
    with pytest.raises(ValueError, match=f"{side} must be an int from 0 to 65535"):
        write(path, **{side: value})
    assert not path.exists()


MAX_THREADS = zelkit._event_store._MAX_THREADS


@pytest.mark.parametrize("call", [
    lambda p: zelkit.load(p, threads=1),
    lambda p: zelkit.load(p, threads=MAX_THREADS),
    lambda p: zelkit.open_events(p).read(threads=MAX_THREADS),
    lambda p: zelkit.open_events(p).window(0, 2**64, threads=MAX_THREADS),
    lambda p: zelkit.decode_events(zelkit._event_store.encode_events(ARRAYS["one"], block_events=1)).to_events(),
    lambda p: zelkit.decode_events(zelkit._event_store.encode_events(
        ARRAYS["one"], block_events=zelkit._native.MAX_BLOCK_EVENTS)).to_events(),
])
def test_the_edges_of_the_store_arguments_are_accepted(tmp_path, call):
    path = tmp_path / "r.zel"
    zelkit.save(path, ARRAYS["one"])
    assert np.array_equal(call(path), ARRAYS["one"])


@pytest.mark.parametrize("call", [
    lambda p: zelkit.load(p, threads=MAX_THREADS + 1),
    lambda p: zelkit.open_events(p).read(threads=MAX_THREADS + 1),
    lambda p: zelkit.open_events(p).window(0, 5, threads=MAX_THREADS + 1),
    lambda p: zelkit.open_events(p).window(5, 5, threads=0),
    lambda p: zelkit.iter_load(p, chunk_events=1, threads=MAX_THREADS + 1),
])
def test_thread_counts_outside_the_limits_are_refused_whatever_is_read(tmp_path, call):
    path = tmp_path / "r.zel"
    zelkit.save(path, ARRAYS["one"])
    with pytest.raises(ValueError, match=f"threads must be an int from 1 to {MAX_THREADS} or None"):
        result = call(path)
        if not isinstance(result, np.ndarray):
            list(result)


def test_a_failing_stream_leaves_no_file(tmp_path):
    from zelkit._chunked_save import save_chunks

    def chunks():
        yield ARRAYS["camera"]
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        save_chunks(tmp_path / "s.zel", chunks())
    assert list(tmp_path.iterdir()) == []


def test_an_interrupted_writer_leaves_a_readable_prefix(tmp_path):
    events = ARRAYS["camera"]
    writer = zelkit._native.EventStoreWriter(0, 0, 1000)
    data = writer.begin() + writer.add(events)  # 5 complete blocks, none pending
    store = zelkit.decode_events(data)
    assert not store.complete and len(store.blocks) == 5
    assert np.array_equal(store.to_events(), events)
    cut = zelkit.decode_events(data[:-10])
    assert len(cut.blocks) == 4 and np.array_equal(cut.to_events(), events[:4000])


@settings(max_examples=150, deadline=None)
@given(
    records=hnp.arrays(np.uint8, st.integers(0, 200).map(lambda n: 9 * n)),
    block_events=st.integers(1, 64),
    sorted_times=st.booleans(),
    fast=st.booleans(),
)
def test_any_records_round_trip_in_any_block_size(records, block_events, sorted_times, fast):
    events = records.view(zelkit.EVENT_DTYPE).copy()
    if sorted_times:
        events.sort(order="t", kind="stable")
    store = zelkit.decode_events(zelkit._event_store.encode_events(events, block_events=block_events, fast=fast))
    assert np.array_equal(store.to_events(threads=2), events)
    assert int(store.blocks["n_events"].sum()) == len(events)
