import os
import pathlib
import tempfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zel

SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "samples"
LOADERS = [zel.load_events, zel.load_nmnist, zel.load_aedat2, zel.load_csv]
SUPPORTED = ". Supported: .bin, .evb, .aedat, .csv, .txt"


def fields(events):
    return [(e.x, e.y, e.t, e.p) for e in events]


def raises_os_error(call, path):
    with pytest.raises(OSError) as info:
        call(str(path))
    assert type(info.value) is OSError
    assert info.value.errno is None
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("loader", LOADERS)
def test_missing_file_is_a_plain_os_error(loader, tmp_path):
    assert raises_os_error(loader, tmp_path / "missing.csv") == "No such file or directory (os error 2)"


@pytest.mark.parametrize("loader", LOADERS)
def test_directory_is_an_os_error(loader, tmp_path):
    directory = tmp_path / "dir.csv"
    directory.mkdir()
    assert raises_os_error(loader, directory) == "Is a directory (os error 21)"


@pytest.mark.parametrize(
    ("loader", "name", "content", "expected"),
    [
        (zel.load_nmnist, "x.csv", bytes.fromhex("0a1481e240"), [(10, 20, 123456, 1)]),
        (zel.load_aedat2, "x.bin", b"#!AER-DAT2.0\r\n# h\r\n" + bytes.fromhex("000012350001e240"), [(26, 18, 123456, 1)]),
        (zel.load_csv, "x.aedat", b"x,y,t,p\n1,2,3,1\n# c\n4 5 6 0", [(1, 2, 3, 1), (4, 5, 6, 0)]),
        (zel.load_events, "x.evb", bytes.fromhex("010203040506070809"), [(513, 1027, 134678021, 9)]),
    ],
)
def test_each_loader_reads_its_format_whatever_the_name(loader, name, content, expected, tmp_path):
    path = tmp_path / name
    path.write_bytes(content)
    events = loader(str(path))
    assert type(events) is list
    assert all(type(e) is zel.Event for e in events)
    assert fields(events) == expected
    again = loader(str(path))
    assert all(a is not b for a, b in zip(events, again))


@pytest.mark.parametrize(
    ("name", "content", "message"),
    [
        ("run.bin", bytes(7), "N-MNIST file size 7 is not a multiple of 5"),
        ("run.csv", b"1,2,3,4\n70000,2,3,1\n", "number too large to fit in target type"),
    ],
)
def test_content_errors_keep_only_their_text(name, content, message, tmp_path):
    path = tmp_path / name
    path.write_bytes(content)
    assert raises_os_error(zel.load_events, path) == message


@pytest.mark.parametrize(
    ("path", "quoted"),
    [
        ("data/run.dat", '"data/run.dat"'),
        ("C:\\data\\run.dat", '"C:\\\\data\\\\run.dat"'),
        ('say "hi"\t\r\n\0.x', '"say \\"hi\\"\\t\\r\\n\\0.x"'),
        ("it's é\u0301\u200b\u00a0 .log", '"it\'s é\\u{301}\\u{200b}\\u{a0} .log"'),
    ],
)
def test_unknown_extension_message(path, quoted, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    assert raises_os_error(zel.load_events, path) == "Unknown file extension: " + quoted + SUPPORTED


SAMPLE_FILES = ["bar_sweep.evb", "bar_sweep.bin", "bar_sweep.aedat", "bar_sweep.csv"]


def test_bundled_samples_hold_the_same_events():
    loaded = [fields(zel.load_events(str(SAMPLES / name))) for name in SAMPLE_FILES]
    assert len(loaded[0]) > 1000
    assert all(events == loaded[0] for events in loaded[1:])
    assert fields(zel.load_nmnist(str(SAMPLES / "bar_sweep.bin"))) == loaded[0]
    assert fields(zel.load_aedat2(str(SAMPLES / "bar_sweep.aedat"))) == loaded[0]
    assert fields(zel.load_csv(str(SAMPLES / "bar_sweep.csv"))) == loaded[0]


def test_relative_paths_use_the_current_directory(monkeypatch, tmp_path):
    (tmp_path / "rel.csv").write_bytes(b"1,2,3,4\n")
    monkeypatch.chdir(tmp_path)
    assert fields(zel.load_csv("rel.csv")) == [(1, 2, 3, 4)]
    assert os.getcwd() == str(tmp_path)


@settings(max_examples=150, deadline=None)
@given(content=st.binary(max_size=120), extension=st.sampled_from(["bin", "evb", "aedat", "csv", "txt"]))
def test_any_content_loads_or_raises_os_error(content, extension):
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp, "f." + extension)
        path.write_bytes(content)
        try:
            events = zel.load_events(str(path))
        except OSError as error:
            assert type(error) is OSError and isinstance(error.args[0], str)
        else:
            assert all(type(e) is zel.Event for e in events)
