import concurrent.futures
import pathlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zel
import zelkit
from zelkit_files import array, rows_of

SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "samples"
ROWS = [(3, 4, 500, 1), (0, 65535, 100, 0), (65535, 0, 300, 255)]


def test_event_dtype_is_one_packed_evb_record():
    assert zelkit.EVENT_DTYPE.itemsize == 9
    assert zelkit.EVENT_DTYPE.names == ("x", "y", "t", "p")
    assert array([(513, 1027, 134678021, 9)]).tobytes() == bytes.fromhex("010203040506070809")


FOREIGN = {
    "tonic": np.dtype([("x", "<i2"), ("y", "<i2"), ("t", "<i8"), ("p", "?")]),
    "metavision": np.dtype([("x", "<u2"), ("y", "<u2"), ("p", "<i2"), ("t", "<i8")]),
    "faery": np.dtype([("t", "<u8"), ("x", "<u2"), ("y", "<u2"), ("on", "?")]),
    "big-endian": np.dtype([("p", ">u4"), ("t", ">u4"), ("y", ">i4"), ("x", ">i4")]),
}


@pytest.mark.parametrize("layout", FOREIGN, ids=str)
def test_as_events_from_foreign_layouts(layout):
    dtype = FOREIGN[layout]
    polarity = "on" if "on" in dtype.names else "p"
    source = np.zeros(3, dtype=dtype)
    source["x"], source["y"], source["t"] = [1, 300, 7], [2, 0, 40], [10, 5, 2**31]
    source[polarity] = [1, 0, 1]
    events = zelkit.as_events(source)
    assert events.dtype == zelkit.EVENT_DTYPE
    assert rows_of(events) == [(1, 2, 10, 1), (300, 0, 5, 0), (7, 40, 2**31, 1)]


@pytest.mark.parametrize(
    ("field", "value", "dtype"),
    [
        ("x", -1, "<i4"),
        ("y", 65536, "<i4"),
        ("t", -5, "<i8"),
        ("t", 2**32, "<u8"),
        ("p", 256, "<i2"),
        ("p", -1, "<i1"),
    ],
)
def test_as_events_refuses_out_of_range_values_without_wrapping(field, value, dtype):
    names = ["x", "y", "t", "p"]
    source = np.zeros(4, dtype=[(n, dtype) for n in names])
    source[field][2] = value
    with pytest.raises(ValueError, match=rf"field '{field}' at index 2 is {value}"):
        zelkit.as_events(source)


@pytest.mark.parametrize(
    "bad",
    [
        np.zeros(2, dtype=[("x", "f4"), ("y", "u2"), ("t", "u4"), ("p", "u1")]),
        np.zeros(2, dtype=[("x", "u2"), ("y", "u2"), ("t", "u4")]),
        np.zeros(2, dtype="u2"),
        "not events",
        42,
        [zel.Event(1, 2, 3, 4), (1, 2, 3, 4)],
    ],
)
def test_as_events_type_errors(bad):
    with pytest.raises(TypeError):
        zelkit.as_events(bad)


def test_as_events_refuses_an_array_of_more_than_one_dimension():
    with pytest.raises(ValueError, match="one-dimensional array of events, got 2 dimensions"):
        zelkit.as_events(np.zeros((2, 3), dtype=zelkit.EVENT_DTYPE))


def test_as_events_keeps_a_ready_array_and_copies_other_layouts():
    ready = array(ROWS)
    assert zelkit.as_events(ready) is ready
    strided = array(ROWS * 2)[::2]
    converted = zelkit.as_events(strided)
    assert converted.flags.c_contiguous and rows_of(converted) == rows_of(strided)


def test_events_round_trip_through_zel_objects():
    events = zelkit.to_events(array(ROWS))
    assert all(type(e) is zel.Event for e in events)
    assert [(e.x, e.y, e.t, e.p) for e in events] == ROWS
    assert rows_of(zelkit.as_events(events)) == ROWS
    assert rows_of(zelkit.as_events(tuple(events))) == ROWS
    assert zelkit.to_events(np.empty(0, zelkit.EVENT_DTYPE)) == []


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 65535), st.integers(0, 65535), st.integers(0, 2**32 - 1), st.integers(0, 255)), max_size=30))
def test_stats_equal_zel_event_stats(rows):
    assert zelkit.stats(array(rows)) == zel.event_stats([zel.Event(*r) for r in rows])


COMPRESS_CASES = [
    (ROWS, 65535, 65535, 16, 8),
    ([], 128, 128, 16, 8),
    ([(x % 128, (x * 7) % 128, x * 13, x % 2) for x in range(500)], 128, 128, 8, 6),
]


@pytest.mark.parametrize(("rows", "w", "h", "bins", "depth"), COMPRESS_CASES)
def test_compress_bytes_and_figures_equal_zels(rows, w, h, bins, depth):
    events = [zel.Event(*r) for r in rows]
    data, figures = zelkit.compress(array(rows), w, h, bins, depth)
    expected, result = zel.compress(events, w, h, bins, depth)
    assert data == expected
    for name in ("n_events", "raw_bytes", "bitstream_bytes", "n_bits", "sparsity", "bits_per_event", "compression_ratio"):
        assert getattr(figures, name) == getattr(result, name), name
    payloads, _ = zelkit.compress_sequence(array(rows), w, h, bins, depth, 5)
    assert payloads == zel.compress_sequence(events, w, h, bins, depth, 5)[0]


def test_compress_reads_foreign_layouts_and_checks_arguments_like_zel():
    source = np.zeros(2, dtype=[("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "?")])
    data, _ = zelkit.compress(source, 16, 16, 4, 4)
    assert data == zel.compress([zel.Event(0, 0, 0, 0)] * 2, 16, 16, 4, 4)[0]
    for bad in (-1, 65536):
        with pytest.raises(OverflowError):
            zelkit.compress(source, bad, 16, 4, 4)


def test_compression_stats_is_frozen():
    _, figures = zelkit.compress(array(ROWS), 16, 16, 4, 4)
    with pytest.raises(AttributeError):
        figures.n_events = 1  # type: ignore[misc]


@pytest.mark.parametrize(
    ("rows", "ordered", "rate"),
    [([], True, None), ([(1, 2, 5, 0)], True, None), ([(1, 2, 5, 0), (9, 3, 2, 1), (0, 0, 1_000_005, 0)], False, 3 / 1.000003)],
)
def test_info_of_written_files(tmp_path, rows, ordered, rate):
    path = tmp_path / "i.evb"
    zelkit.save(path, array(rows))
    info = zelkit.info(path)
    stats = zel.event_stats([zel.Event(*r) for r in rows])
    assert info.format == "evb" and info.n_events == len(rows)
    assert info.time_ordered is ordered
    assert info.t_first == (rows[0][2] if rows else None) and info.t_last == (rows[-1][2] if rows else None)
    assert info.duration_us == (stats["duration_us"] if stats else 0)
    assert (info.width, info.height, info.size_from_header) == ((max(r[0] for r in rows) + 1, max(r[1] for r in rows) + 1, False) if rows else (0, 0, False))
    assert info.event_rate == pytest.approx(rate) if rate else info.event_rate is None


@pytest.mark.parametrize(("step", "ordered"), [(0, True), (-1, False)])
def test_info_orders_events_across_its_reading_steps(tmp_path, step, ordered):
    # The first event of a reading step at the same time as the last of the
    # one before is still in order; one a microsecond earlier is not.
    n = zelkit._info._STEP + 2
    events = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    events["t"] = np.arange(n) * 2
    events["t"][zelkit._info._STEP:] -= 2 - step
    path = tmp_path / "steps.evb"
    zelkit.save(path, events)
    assert zelkit.info(path).time_ordered is ordered


def test_info_reads_sensor_size_from_an_aedat2_header():
    info = zelkit.info(SAMPLES / "bar_sweep.aedat")
    assert (info.format, info.width, info.height, info.size_from_header) == ("aedat2", 128, 128, True)


def test_thread_pool_over_files_gives_each_its_own_events(tmp_path):
    paths = []
    for i in range(6):
        paths.append(tmp_path / f"f{i}.csv")
        zelkit.save(paths[-1], array([(i, i, t, 0) for t in range(2000)]))
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        loaded = list(pool.map(zelkit.load, paths))
    assert [int(a["x"][0]) for a in loaded] == list(range(6))
    assert all(len(a) == 2000 for a in loaded)


def test_zel_namespace_is_untouched_by_importing_zelkit():
    assert sorted(zel.__all__) == sorted(
        ["Event", "CompressionResult", "compress", "compress_sequence", "load_nmnist", "load_aedat2", "load_csv", "load_events", "event_stats"]
    )
