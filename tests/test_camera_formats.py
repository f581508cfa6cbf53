"""Prophesee DAT, RAW (EVT 2.0/3.0) and AEDAT 4 through zelkit's generic load,
iter_load, info and save: files built here from the format descriptions,
errors, skip mode, time offsets, chunks and windows, writers, AEDAT 4
compression, and what the options do to zel's own formats."""

from __future__ import annotations

import os
import struct
import warnings
from pathlib import Path

import numpy as np
import pytest

import zelkit
from zelkit import EVENT_DTYPE, FormatError, SkippedDataWarning
from zelkit_files import aedat4_file

SHARED = Path("/work/shared/data")
if not SHARED.is_dir():
    SHARED = Path(__file__).resolve().parents[2] / "shared" / "data"


def events(rows):
    return np.array(rows, dtype=EVENT_DTYPE)


def evt3_file(tmp_path, words, header=b"% evt 3.0\n% geometry 640x480\n% end\n", name="x.raw"):
    path = tmp_path / name
    path.write_bytes(header + struct.pack(f"<{len(words)}H", *words))
    return path


# time high 1, time low 2, y 5, x 7 (on), vector base 100 (off), 12-bit mask
# 0x801 (x 100 and 111), 8-bit mask 0x01 (x 112 + 2 = 114)
GOOD_EVT3 = [0x8001, 0x6002, 0x0005, 0x2807, 0x3064, 0x4801, 0x5004]
WANT_EVT3 = [(7, 5, 0x1002, 1), (100, 5, 0x1002, 0), (111, 5, 0x1002, 0), (114, 5, 0x1002, 0)]


def test_evt3_load_info_and_chunks(tmp_path):
    path = evt3_file(tmp_path, GOOD_EVT3 * 3)
    info = zelkit.info(path)
    assert (info.format, info.width, info.height, info.size_from_header) == ("raw", 640, 480, True)
    assert (info.n_events, info.t_first, info.time_ordered) == (12, 0x1002, True)
    arr = zelkit.load(path)
    assert arr.dtype == EVENT_DTYPE
    assert arr.tolist() == WANT_EVT3 * 3
    # Chunks of 1, 3 and 5 split the vector words' events between chunks.
    for n in (1, 3, 5, 100):
        chunks = list(zelkit.iter_load(path, chunk_events=n))
        assert all(len(c) == n for c in chunks[:-1])
        assert np.concatenate(chunks).tolist() == arr.tolist()


@pytest.mark.parametrize(
    "words, offset, text",
    [
        ([0x8001, 0x0001, 0x1000], 39, "reserved"),
        ([0x8010, 0x800F], 37, "goes back"),
        ([0x8001, 0x0001, 0x2000 | 700], 39, "outside the sensor width"),
    ],
)
def test_evt3_fault_offsets_and_skip(tmp_path, words, offset, text):
    path = evt3_file(tmp_path, words + [0x0001, 0x2009])
    with pytest.raises(FormatError, match=text) as err:
        zelkit.load(path)
    assert err.value.offset == offset
    with pytest.raises(FormatError, match=text):
        zelkit.info(path)
    with pytest.warns(SkippedDataWarning, match="skipped 1") as caught:
        arr = zelkit.load(path, errors="skip")
    # The warning points at the caller, not into the package.
    assert caught[0].filename == __file__
    assert arr["x"][-1] == 9
    with pytest.warns(SkippedDataWarning):
        chunks = list(zelkit.iter_load(path, chunk_events=1, errors="skip"))
    assert sum(c.skipped for c in chunks) == 1
    assert np.concatenate(chunks).tolist() == arr.tolist()
    with pytest.warns(SkippedDataWarning):
        assert zelkit.info(path, errors="skip").n_events == len(arr)


@pytest.mark.parametrize("chunk_events", [1, 4, 5, 1000])
def test_evt3_each_chunk_counts_the_words_skipped_since_the_one_before(tmp_path, chunk_events):
    # One reserved word after the first 12 events and one after the next 12.
    bad = [0x1000]
    path = evt3_file(tmp_path, GOOD_EVT3 * 3 + bad + GOOD_EVT3 * 3 + bad + GOOD_EVT3)
    with pytest.warns(SkippedDataWarning):
        chunks = list(zelkit.iter_load(path, chunk_events=chunk_events, errors="skip"))
    counts = [c.skipped for c in chunks]
    assert sum(counts) == 2 and max(counts) == (2 if chunk_events == 1000 else 1)
    assert np.concatenate(chunks).tolist() == WANT_EVT3 * 7


@pytest.mark.parametrize("tail", [[0x2008], [0x3064, 0x4801], [0x2008, 0x3064, 0x5001]])
def test_evt3_events_after_a_skipped_y_address_wait_for_the_next_one(tmp_path, tail):
    # A y address outside the sensor is dropped in skip mode; the events
    # after it belong to no row (never to the row before it) until a good one.
    path = evt3_file(tmp_path, [0x8001, 0x6002, 0x0005, 0x2807, 0x0000 | 600] + tail + [0x0006, 0x2009])
    with pytest.warns(SkippedDataWarning, match=f"skipped {1 + len(tail) - tail.count(0x3064)}"):
        arr = zelkit.load(path, errors="skip")
    assert arr.tolist() == [(7, 5, 0x1002, 1), (9, 6, 0x1002, 0)]


def test_truncated_last_word(tmp_path):
    path = tmp_path / "t.raw"
    path.write_bytes(b"% evt 3.0\n% end\n" + struct.pack("<4H", *GOOD_EVT3[:4]) + b"\x20")
    with pytest.raises(FormatError, match="truncated"):
        zelkit.load(path)
    with pytest.raises(FormatError, match="truncated"):
        list(zelkit.iter_load(path))


WRAPS = [0x8800, 0x8000] * 256  # the 24-bit time high passes 2^24 * 2^8 = 2^32 us


def test_timestamps_never_wrap(tmp_path):
    path = evt3_file(tmp_path, [0x8001, 0x0001, 0x2001, *WRAPS, 0x8001, 0x2002])
    with pytest.raises(ValueError, match="event 1 has timestamp 4294971392") as info:
        zelkit.load(path)
    # A time that does not fit is no damage to the file: not a FormatError.
    assert type(info.value) is ValueError
    with pytest.raises(ValueError, match="subtracted"):
        zelkit.load(path, t_offset="first")
    with pytest.raises(ValueError, match="event 0"):
        zelkit.load(path, t_offset=2**32)


def test_chunk_rebasing_and_info_of_long_recordings(tmp_path):
    path = evt3_file(tmp_path, [0x8001, 0x0001, 0x2001, *WRAPS, 0x8001, 0x2002])
    chunks = list(zelkit.iter_load(path, chunk_events=1, t_offset="chunk"))
    assert [c.t_base for c in chunks] == [4096, 2**32 + 4096]
    assert [int(c["t"][0]) for c in chunks] == [0, 0]
    # info reads any length and reports the camera's own 64-bit clock.
    info = zelkit.info(path)
    assert (info.n_events, info.t_first, info.t_last, info.duration_us) == (2, 4096, 2**32 + 4096, 2**32)
    assert info.time_ordered


@pytest.mark.parametrize("kind", ["evt2", "aedat4"])
def test_chunks_end_where_time_leaves_their_range(tmp_path, kind):
    times = [5, 9, 2**32 + 5, 2**32 + 70, 2**33 + 6]  # 2**32 past a base no longer fits
    rows = [(i, i, t, 1) for i, t in enumerate(times)]
    if kind == "evt2":
        path = tmp_path / "long.raw"
        path.write_bytes(b"% evt 2.0\n% end\n" + _evt2_words(rows))
        base = 0
    else:
        base = T0
        path = aedat4_file(tmp_path, "none", [(0, [(T0 + t, x, y, p) for x, y, t, p in rows[:3]]),
                                             (0, [(T0 + t, x, y, p) for x, y, t, p in rows[3:]])])
    chunks = list(zelkit.iter_load(path, chunk_events=10, t_offset="chunk"))
    assert [len(c) for c in chunks] == [2, 2, 1]
    assert [c.t_base for c in chunks] == [base + 5, base + 2**32 + 5, base + 2**33 + 6]
    assert [t + c.t_base for c in chunks for t in c["t"].tolist()] == [base + t for t in times]
    info = zelkit.info(path)
    assert (info.n_events, info.t_first, info.t_last, info.duration_us) == (5, base + 5, base + 2**33 + 6, 2**33 + 1)


def test_offsets_apply_to_every_chunk_and_window(tmp_path):
    path = evt3_file(tmp_path, GOOD_EVT3 * 3)
    arr = zelkit.load(path, t_offset=0x1000)
    assert arr["t"].tolist() == [2] * 12
    for options in ({"chunk_events": 5}, {"window_us": 1}):
        got = list(zelkit.iter_load(path, t_offset=0x1000, **options))
        assert np.concatenate(got).tolist() == arr.tolist()
    assert zelkit.load(path, t_offset="first")["t"].tolist() == [0] * 12


def _reference_windows(arr, window_us):
    index = (arr["t"].astype(np.int64) - int(arr["t"][0])) // window_us
    return [arr[index == k] for k in range(int(index[-1]) + 1)]


def _evt2_words(evs):
    words, high = [], None
    for x, y, t, p in evs:
        if t >> 6 != high:
            high = t >> 6
            words.append(0x8 << 28 | high)
        words.append(p << 28 | (t & 63) << 22 | x << 11 | y)
    return struct.pack(f"<{len(words)}I", *words)


def _camera_files(tmp_path):
    """One sorted recording in each camera format, its events spread over
    time-high words, DAT records and AEDAT 4 packets."""
    rng = np.random.default_rng(3)
    t = np.sort(rng.integers(0, 3000, 200)).astype(np.uint32)
    rows = [(int(rng.integers(0, 64)), int(rng.integers(0, 48)), int(ti), int(rng.integers(0, 2))) for ti in t]
    raw = tmp_path / "w.raw"
    raw.write_bytes(b"% evt 2.0\n% geometry 64x48\n% end\n" + _evt2_words(rows))
    dat = tmp_path / "w.dat"
    dat.write_bytes(
        b"% Width 64\n% Height 48\n\x0c\x08"
        + b"".join(struct.pack("<II", t, x | y << 14 | p << 28) for x, y, t, p in rows)
    )
    packets = [(0, [(T0 + t, x, y, p) for x, y, t, p in rows[i : i + 37]]) for i in range(0, len(rows), 37)]
    aedat = aedat4_file(tmp_path, "lz4", packets)
    return events(rows), [raw, dat, aedat]


@pytest.mark.parametrize("step", [1, 7, 64])
@pytest.mark.parametrize("window_us", [1, 50, 999, 10**6])
def test_windows_across_chunk_word_and_packet_boundaries(tmp_path, monkeypatch, step, window_us):
    import zelkit._files

    # Small read steps put window edges at every kind of chunk boundary.
    monkeypatch.setattr(zelkit._files, "_WINDOW_STEP", step)
    want, paths = _camera_files(tmp_path)
    rebased = want.copy()
    rebased["t"] -= want["t"][0]
    for path in paths:
        arr = zelkit.load(path, t_offset="first")
        assert arr.tolist() == rebased.tolist(), path.name
        got = list(zelkit.iter_load(path, window_us=window_us, t_offset="first"))
        ref = _reference_windows(arr, window_us)
        assert [w.tolist() for w in got] == [w.tolist() for w in ref], path.name
        assert all(type(w) is np.ndarray for w in got)


@pytest.mark.parametrize("n", [1, 5, 36, 37, 38, 500])
def test_aedat4_chunks_are_exact_across_packets(tmp_path, n):
    want, paths = _camera_files(tmp_path)
    aedat = paths[2]
    for t_offset in (T0, "first", "chunk"):
        chunks = list(zelkit.iter_load(aedat, chunk_events=n, t_offset=t_offset))
        assert all(len(c) == n for c in chunks[:-1])
        # Each chunk says what was subtracted from it: the camera's clock comes back.
        absolute = np.concatenate([c["t"].astype(np.int64) + c.t_base for c in chunks])
        assert (absolute - T0).tolist() == want["t"].tolist()


@pytest.mark.parametrize("suffix", ["dat", "raw"])
@pytest.mark.parametrize("size", [None, (640, 480)])
def test_writers_round_trip_through_save_load_and_info(tmp_path, suffix, size):
    arr = events([(0, 0, 0, 0), (639, 479, 63, 1), (5, 6, 64, 1), (7, 8, 2**32 - 1, 0)])
    path = tmp_path / f"a.{suffix}"
    sides = {} if size is None else {"width": size[0], "height": size[1]}
    zelkit.save(path, arr, **sides)
    assert zelkit.load(path).tolist() == arr.tolist()
    assert np.concatenate(list(zelkit.iter_load(path, chunk_events=3))).tolist() == arr.tolist()
    info = zelkit.info(path)
    assert (info.width, info.height, info.size_from_header) == (640, 480, True)
    assert (info.format, info.n_events, info.t_last) == (suffix, 4, 2**32 - 1)


@pytest.mark.parametrize("errors", ["strict", "skip"])
@pytest.mark.parametrize("suffix", ["dat", "raw"])
def test_a_file_of_only_a_header_loads_as_no_events(tmp_path, suffix, errors):
    path = tmp_path / f"empty.{suffix}"
    zelkit.save(path, events([]), width=64, height=48)
    assert len(zelkit.load(path, errors=errors)) == 0
    assert sum(len(c) for c in zelkit.iter_load(path, errors=errors)) == 0


@pytest.mark.parametrize(
    "name, rows, sides, match",
    [
        ("b.raw", [(0, 0, 5, 0), (1, 1, 4, 0)], {}, "t at index 1"),
        ("c.dat", [(0, 0, 0, 0), (9, 0, 0, 0)], {"width": 9}, "x at index 1"),
        ("d.raw", [(0, 0, 0, 2)], {}, "p at index 0"),
        ("e.raw", [(2048, 0, 0, 0)], {}, "width"),
        ("f.dat", [(0, 0, 0, 0)], {"height": 0}, "height must be a positive int"),
        ("g.dat", [(0, 0, 0, 0)], {"width": 2**32}, "width must be a positive int"),
        ("h.raw", [(0, 0, 0, 0)], {"height": True}, "height must be a positive int"),
    ],
)
def test_writers_refuse_and_leave_nothing(tmp_path, name, rows, sides, match):
    with pytest.raises(ValueError, match=match):
        zelkit.save(tmp_path / name, events(rows), **sides)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name", ["one.dat", "one.raw"])
def test_a_one_pixel_sensor_is_a_sensor(tmp_path, name):
    arr = events([(0, 0, 3, 1), (0, 0, 9, 0)])
    zelkit.save(tmp_path / name, arr, width=1, height=1)
    assert np.array_equal(zelkit.load(tmp_path / name), arr)
    described = zelkit.info(tmp_path / name)
    assert (described.width, described.height, described.size_from_header) == (1, 1, True)


def test_options_on_formats_without_them(tmp_path):
    arr = events([(1, 2, 3, 1), (4, 5, 6, 0)])
    evb = tmp_path / "a.evb"
    zelkit.save(evb, arr)
    # Defaults are every format's behaviour, so passing them changes nothing.
    assert zelkit.load(evb, errors="strict", t_offset=None).tolist() == arr.tolist()
    for call in (
        lambda: zelkit.load(evb, errors="skip"),
        lambda: zelkit.load(evb, t_offset=5),
        lambda: zelkit.iter_load(evb, t_offset="first"),
        lambda: zelkit.info(evb, errors="skip"),
        lambda: zelkit.save(tmp_path / "b.evb", arr, width=10),
        lambda: zelkit.save(tmp_path / "b.csv", arr, height=10),
    ):
        with pytest.raises(ValueError, match="format '(evb|csv)' has no (errors|t_offset|width|height) option"):
            call()
    with pytest.raises(ValueError, match="errors must be 'strict' or 'skip'"):
        zelkit.load(evb, errors="ignore")
    raw = evt3_file(tmp_path, GOOD_EVT3)
    with pytest.raises(ValueError, match="t_offset must be"):
        zelkit.load(raw, t_offset="chunk")
    with pytest.raises(ValueError, match="t_offset must be"):
        zelkit.load(raw, t_offset=-1)
    with pytest.raises(ValueError, match="windows need one"):
        zelkit.iter_load(raw, window_us=10, t_offset="chunk")
    with pytest.raises(ValueError, match="cannot be written"):
        zelkit.save(tmp_path / "c.aedat4", arr)
    with pytest.raises(ValueError, match="no such option"):
        zelkit.register_format(
            zelkit.FormatSpec("x", ("x",), lambda p: arr, lambda p, n: iter([arr]), options=frozenset({"speed"}))
        )
    assert sorted(os.listdir(tmp_path)) == ["a.evb", "x.raw"]


def test_missing_file_fails_at_the_call(tmp_path):
    for name in ("none.dat", "none.raw", "none.aedat4"):
        with pytest.raises(OSError, match="No such file"):
            zelkit.iter_load(tmp_path / name)
        with pytest.raises(OSError, match="No such file"):
            zelkit.load(tmp_path / name, errors="skip")


@pytest.mark.parametrize(
    "name, content, size",
    [
        ("gen1.dat", b"% Height 240\n% Width 304\n\x0c\x08" + struct.pack("<II", 1, 3 | 4 << 14), (304, 240, True)),
        ("ncars.dat", b"% Version 2\n\x00\x08" + struct.pack("<II", 1, 3 | 4 << 14), (4, 5, False)),
        ("geometry.raw", b"% evt 2.0\n% geometry 320x320\n% end\n" + _evt2_words([(3, 4, 1, 1)]), (320, 320, True)),
        ("format.raw", b"% evt 3.0\n% format EVT3;height=720;width=1280\n% end\n" + struct.pack("<3H", 0x8001, 4, 0x2003),
         (1280, 720, True)),
        ("plain.raw", b"% evt 2.0\n% end\n" + _evt2_words([(3, 4, 1, 1)]), (4, 5, False)),
        # One side alone states no sensor: neither bounds the events.
        ("width_only.raw", b"% evt 2.0\n% Width 640\n% end\n" + _evt2_words([(3, 4, 1, 1)]), (4, 5, False)),
        ("height_only.raw", b"% evt 2.0\n% Height 480\n% end\n" + _evt2_words([(3, 4, 1, 1)]), (4, 5, False)),
        # A size inferred from a sensor name that the events do not fit is no size.
        ("named.raw", b"% evt 2.0\n% plugin_name hal_plugin_gen31_evk2\n% end\n" + _evt2_words([(700, 4, 1, 1)]),
         (701, 5, False)),
        # That sensor is 640x480: its last column and row fit, one past either does not.
        ("named_last.raw", b"% evt 2.0\n% plugin_name hal_plugin_gen31_evk2\n% end\n" + _evt2_words([(639, 479, 1, 1)]),
         (640, 480, True)),
        ("named_x_past.raw", b"% evt 2.0\n% plugin_name hal_plugin_gen31_evk2\n% end\n" + _evt2_words([(640, 4, 1, 1)]),
         (641, 5, False)),
        ("named_y_past.raw", b"% evt 2.0\n% plugin_name hal_plugin_gen31_evk2\n% end\n" + _evt2_words([(3, 480, 1, 1)]),
         (4, 481, False)),
    ],
)
def test_info_size_from_the_header(tmp_path, name, content, size):
    path = tmp_path / name
    path.write_bytes(content)
    info = zelkit.info(path)
    assert (info.width, info.height, info.size_from_header) == size
    assert info.n_events == 1


def test_compress_on_the_header_grid(tmp_path):
    path = tmp_path / "g.raw"
    rows = [(3, 4, 10, 1), (9, 2, 20, 0)]
    zelkit.save(path, events(rows), width=1280, height=720)
    info = zelkit.info(path)
    arr = zelkit.load(path)
    own = zelkit.decode(zelkit.encode(arr, time_bins=4, max_depth=4))
    grid = zelkit.decode(zelkit.encode(arr, width=info.width, height=info.height, time_bins=4, max_depth=4))
    assert (own.width, own.height) == (10, 5)
    assert (grid.width, grid.height) == (1280, 720)


T0 = 1_605_507_430_438_338
PACKETS = [(0, [(T0, 1, 2, 1), (T0 + 5, 345, 259, 0)]), (1, [(T0, 9, 9, 1)]), (0, [(T0 + 9, 3, 4, 1)])]


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
def test_aedat4_compressions(tmp_path, compression):
    path = aedat4_file(tmp_path, compression, PACKETS)
    info = zelkit.info(path)
    assert (info.format, info.width, info.height, info.size_from_header) == ("aedat4", 346, 260, True)
    assert (info.n_events, info.t_first, info.t_last) == (3, T0, T0 + 9)
    with pytest.raises(ValueError, match="event 0 has timestamp"):
        zelkit.load(path)
    arr = zelkit.load(path, t_offset="first")
    assert arr.tolist() == [(1, 2, 0, 1), (345, 259, 5, 0), (3, 4, 9, 1)]
    for n in (1, 2, 5):
        chunks = list(zelkit.iter_load(path, chunk_events=n, t_offset="first"))
        assert np.concatenate(chunks).tolist() == arr.tolist()


def test_aedat4_truncated_and_corrupt(tmp_path):
    path = aedat4_file(tmp_path, "lz4", PACKETS)
    data = path.read_bytes()
    path.write_bytes(data[:-5])
    with pytest.raises(FormatError, match="runs past"):
        zelkit.load(path, t_offset="first")
    with pytest.warns(SkippedDataWarning):
        assert len(zelkit.load(path, t_offset="first", errors="skip")) == 2
    # The bad packet comes after the last event: no chunk holds it, the warning counts it.
    with pytest.warns(SkippedDataWarning, match="skipped 1"):
        chunks = list(zelkit.iter_load(path, chunk_events=1, t_offset="first", errors="skip"))
    assert [c.tolist() for c in chunks] == [[(1, 2, 0, 1)], [(345, 259, 5, 0)]]
    corrupt = bytearray(data)
    corrupt[-12:-4] = b"\xff" * 8
    path.write_bytes(bytes(corrupt))
    with pytest.raises(FormatError):
        zelkit.load(path, t_offset="first")


@pytest.mark.parametrize("length", [0, 3])
def test_aedat4_io_header_too_short_is_blamed_on_its_length(tmp_path, length):
    path = tmp_path / "short.aedat4"
    path.write_bytes(b"#!AER-DAT4.0\r\n" + struct.pack("<I", length) + bytes(length) + bytes(16))
    with pytest.raises(FormatError, match="too short") as raised:
        zelkit.load(path)
    assert raised.value.offset == 14


@pytest.mark.parametrize("name", ["dat", "raw", "aedat4"])
def test_garbage_is_a_format_error(tmp_path, name):
    rng = np.random.default_rng(7)
    for trial in range(20):
        path = tmp_path / f"g{trial}.{name}"
        prefix = {"dat": b"% Width 4\n% Height 4\n\x00\x08", "raw": b"% evt 3.0\n% end\n", "aedat4": b""}[name]
        path.write_bytes(prefix + rng.integers(0, 256, int(rng.integers(0, 300)), dtype=np.uint8).tobytes())
        for errors in ("strict", "skip"):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SkippedDataWarning)
                try:
                    zelkit.load(path, errors=errors)
                except ValueError:
                    pass  # FormatError or a timestamp refusal: never a crash or a hang


@pytest.mark.skipif(not SHARED.is_dir(), reason="recorded sample files are not present")
def test_real_recordings_smoke():
    counts = {"evt3_sample.raw": 219_596, "evt2_sample.raw": 539_481, "sample_ncars.dat": 2_009, "sample.aedat4": 111_954}
    for name, count in counts.items():
        arr = zelkit.load(SHARED / name, t_offset="first")
        assert len(arr) == count
        whole = np.concatenate(list(zelkit.iter_load(SHARED / name, chunk_events=65_536, t_offset="first")))
        assert whole.tobytes() == arr.tobytes()
        assert zelkit.info(SHARED / name).n_events == count


@pytest.mark.parametrize(
    "t_offset, match",
    [
        # The largest offset reaches the decoder, which then finds every event before it.
        (2**64 - 1, "event 0 has timestamp"),
        (2**64, "t_offset must be a non-negative 64-bit integer"),
        (-1, "t_offset must be a non-negative 64-bit integer"),
        (True, "t_offset must be a non-negative 64-bit integer"),
        (1.0, "t_offset must be a non-negative 64-bit integer"),
    ],
)
def test_t_offset_bounds(tmp_path, t_offset, match):
    path = evt3_file(tmp_path, GOOD_EVT3)
    with pytest.raises(ValueError, match=match):
        zelkit.load(path, t_offset=t_offset)
    with pytest.raises(ValueError, match=match):
        list(zelkit.iter_load(path, t_offset=t_offset))


@pytest.mark.parametrize(
    "name, header, record",
    [
        # Without a stated size, coordinates are bounded only by the format's
        # own fields: 14 bits in DAT, 11 in EVT 2.0 and EVT 3.0.
        ("top.dat", b"% Version 2\n\x00\x08", struct.pack("<II", 7, 16383 | 16383 << 14 | 1 << 28)),
        ("top.raw", b"% evt 2.0\n% end\n", _evt2_words([(2047, 2047, 7, 1)])),
        ("top3.raw", b"% evt 3.0\n% end\n", struct.pack("<3H", 0x8000, 0x0000 | 2047, 0x2800 | 2047)),
    ],
)
def test_unstated_sensor_size_bounds_nothing_the_format_can_hold(tmp_path, name, header, record):
    path = tmp_path / name
    path.write_bytes(header + record)
    arr = zelkit.load(path)
    assert arr[["x", "y", "p"]].tolist() == [(int(arr["x"][0]), int(arr["y"][0]), 1)]
    assert int(arr["x"][0]) == int(arr["y"][0]) == (16383 if name.endswith(".dat") else 2047)


@pytest.mark.parametrize("compression", ["lz4", "zstd"])
def test_aedat4_skip_goes_on_past_a_packet_that_does_not_decompress(tmp_path, compression):
    packets = [(0, [(T0 + i, i, i, 1)]) for i in range(3)]
    path = aedat4_file(tmp_path, compression, packets)
    data = bytearray(path.read_bytes())
    # Packets follow the IO header: a 4-byte stream id, a 4-byte size, the payload.
    pos = 18 + struct.unpack_from("<I", data, 14)[0]
    sizes = []
    for _ in range(3):
        size = struct.unpack_from("<I", data, pos + 4)[0]
        sizes.append((pos, size))
        pos += 8 + size
    assert pos == len(data)
    second, size = sizes[1]
    data[second + 8 : second + 8 + size] = b"\xff" * size
    path.write_bytes(bytes(data))
    with pytest.raises(FormatError, match="does not decompress") as raised:
        zelkit.load(path, t_offset="first")
    assert raised.value.offset == second
    with pytest.warns(SkippedDataWarning, match="skipped 1"):
        arr = zelkit.load(path, t_offset="first", errors="skip")
    assert arr.tolist() == [(0, 0, 0, 1), (2, 2, 2, 1)]
    with pytest.warns(SkippedDataWarning, match="skipped 1"):
        chunks = list(zelkit.iter_load(path, chunk_events=1, t_offset="first", errors="skip"))
    assert [c.tolist() for c in chunks] == [[(0, 0, 0, 1)], [(2, 2, 2, 1)]]
