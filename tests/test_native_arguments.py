"""How zelkit._native binds and converts arguments, and what it returns."""

import gc
import importlib.util
import inspect
import os
import pathlib
import sys
import weakref

import numpy as np
import pytest

import zel
import zelkit
from zelkit import _native

EVENTS = np.array([(1, 2, 30, 1), (3, 4, 10, 0), (5, 0, 20, 1)], dtype=zelkit.EVENT_DTYPE)


def callables():
    """Every function, class and method of the module that Python code calls."""
    for name, value in vars(_native).items():
        if name.startswith("_") or not callable(value):
            continue
        # Records are made by the interpreter's tuple machinery, Buffers only by the module.
        if isinstance(value, type) and (issubclass(value, tuple) or value is _native.Buffer):
            continue
        yield name, value
        for method_name, method in vars(value).items() if isinstance(value, type) else ():
            if not method_name.startswith("_") and callable(method):
                yield f"{name}.{method_name}", method


@pytest.mark.parametrize(("name", "function"), list(callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_every_callable_has_a_text_signature(name, function):
    signature = inspect.signature(function)
    assert function.__doc__.strip(), name
    if "." in name:  # a method: self first, then what its callers pass
        assert next(iter(signature.parameters)) == "self"


@pytest.fixture
def stream(tmp_path):
    path = tmp_path / "s.evb"
    path.write_bytes(EVENTS.tobytes())
    opened = _native.RecordStream(os.fsencode(path), "evb")
    yield opened
    opened.close()


# An EVT 3.0 file of one event, for the calls that need an open reader.
RAW_FILE = b"% evt 3.0\n% end\n" + np.array([0x8001, 0x0005, 0x2007], "<u2").tobytes()


@pytest.fixture(autouse=True, scope="module")
def raw_file(tmp_path_factory):
    global RAW_PATH
    RAW_PATH = tmp_path_factory.mktemp("camera") / "one.raw"
    RAW_PATH.write_bytes(RAW_FILE)
    return RAW_PATH


def reader(**options):
    return _native.CameraReader(RAW_PATH, "raw", **options)


def writer():
    return _native.CameraWriter("dat", width=8, height=8)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _native.load(), "load() missing 2 required positional arguments: 'path' and 'format'"),
        (lambda: _native.load(b"a", "evb", 1), "load() takes 2 positional arguments but 3 were given"),
        (lambda: _native.load_camera_file(b"a", "raw", 1), "load_camera_file() takes 2 positional arguments but 3 were given"),
        # Python's own singular, where zel keeps "arguments".
        (lambda: _native.summarize(EVENTS, EVENTS), "summarize() takes 1 positional argument but 2 were given"),
        (lambda: _native.load(b"a", path=b"b"), "load() got multiple values for argument 'path'"),
        (lambda: _native.load(b"a", fmt="evb"), "load() got an unexpected keyword argument 'fmt'"),
        # Too many positional arguments is reported before any keyword is looked at.
        (lambda: _native.load(b"a", "evb", 1, fmt="evb"), "load() takes 2 positional arguments but 3 were given"),
        (
            lambda: _native.compress(EVENTS, 1, 1),
            "compress() missing 2 required positional arguments: 'time_bins' and 'max_depth'",
        ),
        (
            lambda: _native.CameraWriter("evt2"),
            "CameraWriter.__new__() missing 2 required keyword-only arguments: 'width' and 'height'",
        ),
        # Missing positional parameters are reported before missing keyword-only ones.
        (lambda: _native.CameraWriter(), "CameraWriter.__new__() missing 1 required positional argument: 'format'"),
        (
            lambda: _native.CameraWriter("evt2", 640, 480),
            "CameraWriter.__new__() takes 1 positional argument but 3 were given",
        ),
        (
            lambda: _native.CameraReader(b"a", "raw", False),
            "CameraReader.__new__() takes 2 positional arguments but 3 were given",
        ),
        (lambda: reader().close(1), "CameraReader.close() takes 0 positional arguments but 1 was given"),
        (
            lambda: writer().write(EVENTS, 0, t_base=0),
            "CameraWriter.write() got multiple values for argument 't_base'",
        ),
    ],
)
def test_binding_errors_in_the_interpreters_words(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_method_binding_errors_name_the_class(stream):
    with pytest.raises(TypeError, match=r"^RecordStream\.read\(\) missing 1 required positional argument: 'max_events'$"):
        stream.read()
    with pytest.raises(TypeError, match=r"^RecordStream\.close\(\) got an unexpected keyword argument 'now'$"):
        stream.close(now=True)


def test_defaults_go_through_the_converter(tmp_path):
    defaults = {p.name: p.default for p in inspect.signature(_native.CameraReader).parameters.values()}
    assert (defaults["skip"], defaults["time_mode"], defaults["time_offset"]) == (False, "absolute", 0)
    # Each default is accepted when given explicitly, and leaving it out behaves the same.
    explicit = reader(skip=defaults["skip"], time_mode=defaults["time_mode"], time_offset=defaults["time_offset"])
    implicit = reader()
    assert bytes(explicit.read(10)) == bytes(implicit.read(10)) == bytes(_native.load_camera_file(RAW_PATH, "raw")[0])
    assert (explicit.batch_origin, explicit.bad_words) == (implicit.batch_origin, implicit.bad_words) == (0, 0)
    assert bytes(_native.encode_records("csv", EVENTS)) == bytes(_native.encode_records("csv", EVENTS, 0))
    assert bytes(writer().write(EVENTS)) == bytes(writer().write(EVENTS, 0))


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        # Conversions run in parameter order; the first failure wins.
        (lambda: _native.compress(3, 2.5, 1, 1, 1), TypeError, "compress() argument 'events' must be a C-contiguous EVENT_DTYPE array, not int"),
        (lambda: _native.compress(EVENTS, -1, 2.5, 1, 1), OverflowError, "compress() argument 'width' is -1, outside the range 0..65535"),
        (lambda: _native.compress(EVENTS, 1, 2.5, 1, 1), TypeError, "compress() argument 'height' must be int, not float"),
        (lambda: _native.compress(EVENTS, 1, 1, 65536, 1), OverflowError, "compress() argument 'time_bins' is 65536, outside the range 0..65535"),
        (lambda: _native.compress(EVENTS, 1, 1, 1, 256), OverflowError, "compress() argument 'max_depth' is 256, outside the range 0..255"),
        (lambda: _native.compress(EVENTS, 2**100, 1, 1, 1), OverflowError, f"compress() argument 'width' is {2**100}, outside the range 0..65535"),
        (lambda: _native.compress(EVENTS, -(2**100), 1, 1, 1), OverflowError, f"compress() argument 'width' is {-(2**100)}, outside the range 0..65535"),
        (lambda: _native.encode_records("csv", EVENTS, 2**64), OverflowError, f"encode_records() argument 'first_index' is {2**64}, outside the range 0..{2**64 - 1}"),
        (lambda: _native.encode_records("csv", EVENTS, "0"), TypeError, "encode_records() argument 'first_index' must be int, not str"),
        # A read of no events would look like the end of the file.
        (lambda: reader().read(0), ValueError, f"CameraReader.read() argument 'max_events' is 0, outside the range 1..{2**64 - 1}"),
        (lambda: reader().read(-1), ValueError, f"CameraReader.read() argument 'max_events' is -1, outside the range 1..{2**64 - 1}"),
        (lambda: writer().write(EVENTS, -1), OverflowError, f"CameraWriter.write() argument 't_base' is -1, outside the range 0..{2**64 - 1}"),
        (lambda: _native.CameraWriter("dat", width=2**32, height=1), OverflowError,
         f"CameraWriter.__new__() argument 'width' is {2**32}, outside the range 0..{2**32 - 1}"),
        (lambda: _native.load(b"x", "evt9"), ValueError, "load() argument 'format' must be 'bin', 'evb', 'nmnist', 'aedat2' or 'csv', not 'evt9'"),
        (lambda: _native.load(b"x", b"evb"), TypeError, "load() argument 'format' must be str, not bytes"),
        (lambda: _native.encode_records("evb", EVENTS), ValueError, "encode_records() argument 'format' must be 'nmnist', 'aedat2' or 'csv', not 'evb'"),
        (lambda: reader(time_mode="late"), ValueError, "CameraReader.__new__() argument 'time_mode' must be 'absolute', 'offset', 'first' or 'chunk', not 'late'"),
        # A whole-file load has one time origin.
        (lambda: _native.load_camera_file(b"x", "raw", time_mode="chunk"), ValueError,
         "load_camera_file() argument 'time_mode' must be 'absolute', 'offset' or 'first', not 'chunk'"),
        (lambda: _native.CameraReader(b"x", "evt4"), ValueError, "CameraReader.__new__() argument 'format' must be 'raw', 'dat' or 'aedat4', not 'evt4'"),
        (lambda: _native.CameraWriter("raw", width=1, height=1), ValueError, "CameraWriter.__new__() argument 'format' must be 'dat' or 'evt2', not 'raw'"),
        (lambda: _native.load(3, "evb"), TypeError, "load() argument 'path' must be str, bytes or os.PathLike, not int"),
        (lambda: writer().write([1]), TypeError, "CameraWriter.write() argument 'events' must be a C-contiguous EVENT_DTYPE array, not list"),
        (lambda: writer().write(np.zeros((4, 18), "u1")[:, 1]), TypeError, "CameraWriter.write() argument 'events' must be a C-contiguous EVENT_DTYPE array, not ndarray"),
        (lambda: writer().header(b"2024"), TypeError, "CameraWriter.header() argument 'date' must be str, not bytes"),
        (lambda: _native.unknown_extension_message(b"x", "evb"), TypeError, "unknown_extension_message() argument 'extensions' must be a sequence of str, not str"),
        (lambda: _native.unknown_extension_message(b"x", ["evb", 5]), TypeError, "unknown_extension_message() argument 'extensions' must be str, not int"),
        # Reads and writes of the event store take 1 to 256 threads at the native edge too.
        (lambda: _native.EventStoreReader(_native.encode_event_store(EVENTS, 0, 0, 10)).read(0, 1, 0, 0), ValueError,
         "EventStoreReader.read() argument 'threads' is 0, outside the range 1..256"),
        (lambda: _native.EventStoreWriter(0, 0, 10, 0), ValueError,
         "EventStoreWriter.__new__() argument 'threads' is 0, outside the range 1..256"),
        (lambda: _native.bin_format(-1), OverflowError, f"bin_format() argument 'size' is -1, outside the range 0..{2**64 - 1}"),
        (lambda: _native.from_events(5), TypeError, "from_events() argument 'events' must be a sequence of zel.Event, not int"),
        (lambda: _native.from_events([zel.Event(1, 2, 3, 4), (1, 2, 3, 4)]), TypeError, "from_events() argument 'events' holds tuple at index 1, not zel.Event"),
    ],
)
def test_conversion_errors_name_the_call_and_the_argument(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize(("format", "width", "height", "message"), [
    ("dat", 0, 8, "sensor width 0 is outside 1 to 16384"),
    ("evt2", 8, 0, "sensor height 0 is outside 1 to 2048"),
    ("dat", 16385, 1, "sensor width 16385 is outside 1 to 16384"),
    ("evt2", 1, 2049, "sensor height 2049 is outside 1 to 2048"),
])
def test_camera_writer_refuses_a_sensor_the_format_cannot_hold(format, width, height, message):
    # zelkit.save checks the sides too; the native writer must not rely on it.
    with pytest.raises(ValueError) as info:
        _native.CameraWriter(format, width=width, height=height)
    assert type(info.value) is ValueError and str(info.value) == message
    assert len(_native.CameraWriter(format, width=min(width, 16384) or 1, height=min(height, 2048) or 1)
               .write(EVENTS[:0])) == 0


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    ("width", "accepted"),
    [(0, 0), (65535, 65535), (True, 1), (np.uint16(7), 7), (np.int64(9), 9), (Index(12), 12)],
)
def test_integers_at_the_edges_and_anything_with_index(width, accepted):
    grid = (accepted, 1, 1, 1)
    assert _native.compress(EVENTS, width, 1, 1, 1)[0] == _native.compress(EVENTS, *grid)[0]


def test_an_index_method_that_fails_passes_its_own_error():
    with pytest.raises(ZeroDivisionError):
        _native.compress(EVENTS, Index(ZeroDivisionError("no")), 1, 1, 1)
    with pytest.raises(KeyError):
        _native.load(type("P", (), {"__fspath__": lambda self: {}[0]})(), "evb")


def test_limits_and_counts_at_their_edges():
    assert len(reader().read(1)) == 9
    assert len(reader().read(2**64 - 1)) == 9
    assert _native.encode_records("csv", EVENTS[:0], 2**64 - 1) is not None
    assert len(_native.CameraWriter("dat", width=16384, height=16384).write(EVENTS, 2**32 - 31)) == 3 * 8


def test_paths_take_str_bytes_and_path_like(tmp_path):
    path = tmp_path / "p.evb"
    path.write_bytes(EVENTS.tobytes())
    for given in (str(path), os.fsencode(path), path):
        assert bytes(_native.load(given, "evb")) == EVENTS.tobytes()


def every_records_call():
    # Every function that reads event records, with all else valid.
    return {
        "summarize": lambda events: _native.summarize(events),
        "to_events": lambda events: _native.to_events(events),
        "compress": lambda events: _native.compress(events, 4, 4, 2, 2),
        "compress_sequence": lambda events: _native.compress_sequence(events, 4, 4, 2, 2, 2),
        "encode_records": lambda events: _native.encode_records("csv", events),
        "CameraWriter.write": lambda events: _native.CameraWriter("dat", width=8, height=8).write(events),
    }


@pytest.mark.parametrize("name", list(every_records_call()))
@pytest.mark.parametrize("n_bytes", [1, 8, 10, 17])
def test_every_records_argument_must_hold_whole_records(name, n_bytes):
    call = every_records_call()[name]
    with pytest.raises(ValueError) as info:
        call(b"\0" * n_bytes)
    assert str(info.value) == f"{name}() argument 'events' holds {n_bytes} bytes, not a whole number of 9-byte events"
    call(b"\0" * 18)  # whole records pass, even as plain bytes


def test_summary_is_a_named_record_equal_to_zels_stats():
    summary = _native.summarize(EVENTS)
    assert isinstance(summary, _native.EventSummary) and isinstance(summary, tuple)
    stats = zel.event_stats(zelkit.to_events(EVENTS))
    assert summary.n_events == stats["count"] == 3
    assert (summary.x_min, summary.x_max, summary.y_min, summary.y_max) == (*stats["x_range"], *stats["y_range"])
    assert (summary.t_min, summary.t_max) == stats["t_range"]
    assert (summary.t_first, summary.t_last, summary.time_ordered) == (30, 20, False)
    assert tuple(summary) == (3, 1, 5, 0, 4, 10, 30, 30, 20, False)
    assert repr(summary).startswith("zelkit._native.EventSummary(n_events=3, x_min=1,")
    assert _native.summarize(EVENTS[:0]) is None


def test_compression_figures_are_a_named_record_of_zels_result():
    data, figures = _native.compress(EVENTS, 8, 8, 4, 3)
    expected, result = zel.compress(zelkit.to_events(EVENTS), 8, 8, 4, 3)
    assert data == expected and isinstance(figures, _native.CompressionFigures)
    for name in ("n_events", "raw_bytes", "bitstream_bytes", "n_bits", "sparsity"):
        assert getattr(figures, name) == getattr(result, name), name
    assert len(figures) == 7
    _, sequence_figures = _native.compress_sequence(EVENTS, 8, 8, 4, 3, 2)
    assert type(sequence_figures) is _native.CompressionFigures


def load_second_copy():
    """zelkit._native loaded again as a separate module object."""
    spec = importlib.util.spec_from_file_location("zelkit._native", _native.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_each_module_object_keeps_its_own_classes(tmp_path):
    second = load_second_copy()
    assert second is not _native
    for name in ("Buffer", "RecordStream", "CameraReader", "CameraWriter", "EventSummary", "CompressionFigures"):
        assert getattr(second, name) is not getattr(_native, name), name
    # Functions and methods build objects of their own module's classes.
    assert type(second.summarize(EVENTS)) is second.EventSummary
    assert type(second.from_events(zelkit.to_events(EVENTS))) is second.Buffer
    path = tmp_path / "s.evb"
    path.write_bytes(EVENTS.tobytes())
    stream = second.RecordStream(path, "evb")
    assert type(stream.read(2)) is second.Buffer
    stream.close()
    assert type(_native.from_events([])) is _native.Buffer


def test_a_dropped_module_object_releases_its_classes():
    second = load_second_copy()
    # Its classes and the module refer to each other; the collector must be able to break that.
    classes = [weakref.ref(getattr(second, name)) for name in ("Buffer", "RecordStream", "CameraReader")]
    del second
    gc.collect()
    assert all(ref() is None for ref in classes)
