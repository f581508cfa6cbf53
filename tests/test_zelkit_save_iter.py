import os

import numpy as np
import pytest

import zel
import zelkit
from zelkit_files import array, rows_of

ROWS = [(0, 0, 0, 0), (127, 127, 8_388_607, 1), (5, 9, 1000, 1), (3, 2, 10, 0)]


def fields(events):
    return [(e.x, e.y, e.t, e.p) for e in events]


@pytest.mark.parametrize(
    ("name", "format", "zel_loader"),
    [
        ("out.evb", None, zel.load_events),
        ("out.bin", None, zel.load_events),
        ("out.aedat", None, zel.load_events),
        ("out.csv", None, zel.load_events),
        ("out.txt", None, zel.load_events),
        ("out.data", "nmnist", zel.load_nmnist),
        ("out.data", "aedat2", zel.load_aedat2),
        ("out.data", "csv", zel.load_csv),
    ],
)
@pytest.mark.parametrize("rows", [[], ROWS], ids=["empty", "rows"])
def test_saved_files_read_back_by_zel_and_zelkit(tmp_path, name, format, zel_loader, rows):
    path = tmp_path / name
    zelkit.save(path, array(rows), format=format)
    assert fields(zel_loader(str(path))) == rows
    assert rows_of(zelkit.load(path, format)) == rows
    assert os.listdir(tmp_path) == [name]


def test_evb_and_csv_hold_every_value(tmp_path):
    rows = [(65535, 65535, 2**32 - 1, 255), (0, 1, 2, 3)]
    for name in ("all.evb", "all.csv"):
        zelkit.save(tmp_path / name, array(rows))
        assert fields(zel.load_events(str(tmp_path / name))) == rows


def test_aedat2_has_its_header(tmp_path):
    zelkit.save(tmp_path / "h.aedat", array(ROWS))
    assert (tmp_path / "h.aedat").read_bytes().startswith(b"#!AER-DAT2.0\r\n")


@pytest.mark.parametrize(
    ("name", "bad_row", "field", "limit"),
    [
        ("n.bin", (256, 0, 0, 0), "x", 255),
        ("n.bin", (0, 300, 0, 0), "y", 255),
        ("n.bin", (0, 0, 1 << 23, 0), "t", 8388607),
        ("n.bin", (0, 0, 0, 2), "p", 1),
        ("a.aedat", (128, 0, 0, 0), "x", 127),
        ("a.aedat", (0, 128, 0, 0), "y", 127),
        ("a.aedat", (0, 0, 0, 255), "p", 1),
    ],
)
def test_writers_refuse_unrepresentable_values_and_leave_nothing(tmp_path, name, bad_row, field, limit):
    rows = [(1, 1, 1, 1)] * 5 + [bad_row, bad_row]
    with pytest.raises(ValueError, match=rf"field '{field}' at index 5 .*limit of {limit}\b"):
        zelkit.save(tmp_path / name, array(rows))
    assert os.listdir(tmp_path) == []


def test_failed_save_keeps_the_previous_file(tmp_path):
    path = tmp_path / "keep.bin"
    zelkit.save(path, array(ROWS))
    before = path.read_bytes()
    with pytest.raises(ValueError):
        zelkit.save(path, array([(1000, 0, 0, 0)]))
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["keep.bin"]


def test_save_refuses_unknown_extension_like_load(tmp_path):
    with pytest.raises(OSError) as info:
        zelkit.save(tmp_path / "x.unknown", array(ROWS))
    with pytest.raises(OSError) as expected:
        zelkit.load(tmp_path / "x.unknown")
    assert type(info.value) is type(expected.value) is OSError
    assert info.value.args == expected.value.args
    assert info.value.args[0].endswith(". Supported: .bin, .evb, .aedat, .csv, .txt, .dat, .raw, .aedat4, .zel")
    assert os.listdir(tmp_path) == []


# ---- iter_load -----------------------------------------------------------------

def chunks_of(path, **kwargs):
    return [rows_of(c) for c in zelkit.iter_load(path, **kwargs)]


@pytest.mark.parametrize("name", ["c.evb", "c.bin", "c.aedat", "c.csv"])
@pytest.mark.parametrize(("chunk", "sizes"), [(1, [1] * 4), (3, [3, 1]), (4, [4]), (100, [4])])
def test_chunks_by_count(tmp_path, name, chunk, sizes):
    path = tmp_path / name
    zelkit.save(path, array(ROWS))
    chunks = chunks_of(path, chunk_events=chunk)
    assert [len(c) for c in chunks] == sizes
    assert [r for c in chunks for r in c] == ROWS


def test_empty_file_yields_no_chunk_and_no_window(tmp_path):
    path = tmp_path / "e.evb"
    path.write_bytes(b"")
    assert chunks_of(path) == [] and chunks_of(path, window_us=5) == []


def window_rows(ts):
    return [(0, 0, t, 0) for t in ts]


@pytest.mark.parametrize(
    ("ts", "window", "expected"),
    [
        # First event opens window 0; an event exactly on a boundary starts the next.
        ([100, 104, 105, 109, 110], 5, [[100, 104], [105, 109], [110]]),
        # Windows without events in between are yielded empty.
        ([0, 1, 17], 5, [[0, 1], [], [], [17]]),
        # A step back opens the window that holds the event, without empty
        # ones; no window is yielded empty twice.
        ([10, 20, 11, 25], 5, [[10], [], [20], [11], [25]]),
        ([10, 11, 3, 4, 10], 5, [[10, 11], [3, 4], [10]]),
        ([7], 1, [[7]]),
        ([0, 2**32 - 1], 2**30, [[0], [], [], [2**32 - 1]]),
    ],
)
def test_windows(tmp_path, ts, window, expected):
    path = tmp_path / "w.evb"
    zelkit.save(path, array(window_rows(ts)))
    got = [[r[2] for r in c] for c in chunks_of(path, window_us=window)]
    assert got == expected


def test_windows_span_read_steps(tmp_path):
    ts = np.arange(200_000, dtype=np.uint32) // 3
    events = np.zeros(len(ts), dtype=zelkit.EVENT_DTYPE)
    events["t"] = ts
    path = tmp_path / "many.evb"
    zelkit.save(path, events)
    windows = list(zelkit.iter_load(path, window_us=10_000))
    assert [len(w) for w in windows] == [30_000] * 6 + [20_000]
    assert np.array_equal(np.concatenate(windows), events)


@pytest.mark.parametrize(
    ("name", "content", "good_rows", "offset"),
    [
        ("t.evb", bytes(9 * 3 + 4), 3, 27),
        ("t.bin", bytes(5 * 3 + 1), 3, 15),
        ("t.aedat", b"#h\n" + bytes(8 * 2 + 3), 2, 19),
        ("t.csv", b"1,2,3,4\n5,6,7,8\nx\n1,2,3,999\n", 2, 18),
        ("t.csv", b"1,2,3,4\n5,6,7,8\n#\xff\n", 2, 16),
    ],
)
def test_bad_data_fails_at_its_chunk_with_offset(tmp_path, name, content, good_rows, offset):
    path = tmp_path / name
    path.write_bytes(content)
    iterator = zelkit.iter_load(path, format="nmnist" if name.endswith(".bin") else None, chunk_events=1)
    for _ in range(good_rows):
        assert len(next(iterator)) == 1
    with pytest.raises(zelkit.FormatError) as info:
        next(iterator)
    assert info.value.offset == offset
    assert f"at byte offset {offset}" in str(info.value)


def test_missing_file_fails_at_the_call(tmp_path):
    with pytest.raises(OSError, match=r"\(os error 2\)"):
        zelkit.iter_load(tmp_path / "missing.csv")


@pytest.mark.parametrize("kwargs", [{"chunk_events": 0}, {"window_us": -1}, {"chunk_events": 1, "window_us": 1}, {"chunk_events": 1.5}])
def test_iter_load_argument_errors(kwargs):
    with pytest.raises(ValueError):
        zelkit.iter_load("x.evb", **kwargs)


# ---- streaming a file chunk by chunk (what `zel convert` writes through)

def _registered(name, header):
    """A registered format whose writer puts `header(events)` before the records."""
    def write(file, events):
        file.write(header(events))
        file.write(events.tobytes())

    def load(path):
        with open(path, "rb") as f:
            data = f.read()
        return np.frombuffer(data[len(header(data[:0])):], dtype=zelkit.EVENT_DTYPE).copy()

    zelkit.register_format(zelkit.FormatSpec(name, (name,), load, lambda p, n: iter([load(p)]), write=write))


def _events(n, t0=0):
    events = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    events["x"] = np.arange(n) % 7
    events["t"] = t0 + np.arange(n)
    events["p"] = np.arange(n) % 2
    return events


def test_a_format_without_open_writer_is_streamed_by_dropping_each_chunks_header(tmp_path):
    from zelkit._chunked_save import save_chunks

    _registered("hdrfixed", lambda events: b"FIXED\n")
    pieces = [_events(3), _events(0), _events(5, 100)]
    path = tmp_path / "s.hdrfixed"
    assert save_chunks(path, pieces) == 8
    assert path.read_bytes() == b"FIXED\n" + b"".join(p.tobytes() for p in pieces)
    assert np.array_equal(zelkit.load(path), np.concatenate(pieces))


def test_a_header_that_depends_on_the_events_cannot_be_streamed(tmp_path):
    from zelkit._chunked_save import save_chunks

    _registered("hdrcount", lambda events: b"N=%d\n" % len(events))
    with pytest.raises(ValueError, match="cannot be written chunk by chunk"):
        save_chunks(tmp_path / "s.hdrcount", [_events(3)])
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name, chunks, options, message", [
    ("s.aedat4", [_events(2)], {}, "cannot be written"),
    ("s.raw", [_events(2)], {}, "needs width and height"),
    ("s.raw", [_events(2)], {"width": 8, "height": 8, "rebase": 10}, "before the 10 us"),
])
def test_streamed_saves_refuse_what_they_cannot_write_and_leave_nothing(tmp_path, name, chunks, options, message):
    from zelkit._camera_formats import _chunk
    from zelkit._chunked_save import save_chunks

    chunks = [_chunk(c, 5, 0) for c in chunks]  # chunks at camera time 5 + t
    with pytest.raises(ValueError, match=message):
        save_chunks(tmp_path / name, chunks, **options)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("spec, message", [
    (dict(name="zel"), "already registered"),
    (dict(extensions=(".dot",)), "without the leading dot"),
    (dict(extensions=("",)), "without the leading dot"),
    (dict(extensions=("evb",)), "keeps zel's meaning"),
    (dict(extensions=("raw",)), "already belongs to format"),
])
def test_register_format_refuses_names_and_extensions_taken_or_malformed(spec, message):
    fields = dict(name="untaken", extensions=("untaken",), load=lambda p: _events(0),
                  iter_chunks=lambda p, n: iter([]))
    fields.update(spec)
    with pytest.raises(ValueError, match=message):
        zelkit.register_format(zelkit.FormatSpec(**fields))
    with pytest.raises(ValueError, match="format 'untaken'"):
        zelkit.load("x.untaken", format="untaken")


@pytest.mark.parametrize("rebase", [5, 12, 15, 16])
def test_a_rebase_past_a_chunks_base_takes_every_event_that_lies_after_it(tmp_path, rebase):
    from zelkit._camera_formats import _chunk
    from zelkit._chunked_save import save_chunks

    events = _events(2)
    events["t"] = [10, 20]  # camera times 15 and 25 in a chunk at base 5
    chunks = [_chunk(np.zeros(0, zelkit.EVENT_DTYPE), 0, 0), _chunk(events, 5, 0)]
    path = tmp_path / "s.raw"
    if rebase > 15:
        with pytest.raises(ValueError, match="event 0 has timestamp 15 us, before the 16 us"):
            save_chunks(path, chunks, width=8, height=8, rebase=rebase)
        assert os.listdir(tmp_path) == []
        return
    save_chunks(path, chunks, width=8, height=8, rebase=rebase)
    assert zelkit.load(path)["t"].tolist() == [15 - rebase, 25 - rebase]
