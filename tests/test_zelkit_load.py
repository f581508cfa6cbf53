import os
import pathlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zel
import zelkit
from zelkit_files import aedat2, csv, nmnist, rows_of

SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "samples"
FORMAT_OF = {".evb": "evb", ".bin": "nmnist", ".aedat": "aedat2", ".csv": "csv"}
# The samples in zel's own formats (zel reads no camera format).
SAMPLE_FILES = sorted(p for p in SAMPLES.iterdir() if p.suffix in FORMAT_OF)


def fields(events):
    return [(e.x, e.y, e.t, e.p) for e in events]


def make_path(tmp_path, name, content):
    """tmp_path / name as a file holding `content`, a directory ("dir") or
    nothing at all (None)."""
    path = tmp_path / name
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    return path


def os_error_text(call, *args, **kwargs):
    with pytest.raises(OSError) as info:
        call(*args, **kwargs)
    assert type(info.value) is OSError
    return info.value.args[0]


@pytest.mark.parametrize("path", SAMPLE_FILES, ids=lambda p: p.name)
def test_samples_equal_zel_by_extension_and_by_name(path):
    expected = fields(zel.load_events(str(path)))
    by_extension = zelkit.load(path)
    assert by_extension.dtype == zelkit.EVENT_DTYPE
    assert rows_of(by_extension) == expected
    assert rows_of(zelkit.load(str(path).encode(), format=FORMAT_OF[path.suffix])) == expected
    assert by_extension.flags.writeable and by_extension.flags.c_contiguous


# zel's own list of extensions, and zelkit's: every format it reads.
ZEL_LISTED = ".bin, .evb, .aedat, .csv, .txt"
ZELKIT_LISTED = ".bin, .evb, .aedat, .csv, .txt, .dat, .raw, .aedat4, .zel"


def zelkit_failure(call, *args, **kwargs):
    """What zelkit raises, as (type, zel-comparable text, offset): a
    FormatError's reason (its message without the offset) or the OSError's
    one argument."""
    with pytest.raises(OSError) as info:
        call(*args, **kwargs)
    error = info.value
    if isinstance(error, zelkit.FormatError):
        assert str(error) == f"{error.reason} (at byte offset {error.offset})"
        return type(error), error.reason, error.offset
    assert len(error.args) == 1
    return type(error), error.args[0], None


@pytest.mark.parametrize(
    ("name", "content", "kind", "offset"),
    [
        # Malformed data: FormatError, zel's text as its reason, and where.
        ("x.evb", b"\0" * 10, zelkit.FormatError, 9),
        ("x.bin", b"\0" * 7, zelkit.FormatError, 5),
        ("x.aedat", b"#h\n" + b"\0" * 12, zelkit.FormatError, 11),
        ("x.csv", b"1,2,3,1\n-1,2,3,4\n", zelkit.FormatError, 8),
        ("x.csv", b"1,2,3,256\n", zelkit.FormatError, 0),
        ("x.txt", b"# \xff\n", zelkit.FormatError, 0),
        # A file that cannot be read: exactly zel's OSError.
        ("missing.evb", None, OSError, None),
        ("dir.evb", "dir", OSError, None),
        # No format: zel's OSError, listing every format zelkit reads.
        ("x.xyz", b"", OSError, None),
        ("x.BIN", b"", OSError, None),
        (".csv", b"", OSError, None),
    ],
)
def test_failures_carry_zels_text(tmp_path, name, content, kind, offset):
    path = make_path(tmp_path, name, content)
    expected = os_error_text(zel.load_events, str(path))
    if expected.startswith("Unknown file extension"):
        expected = expected.replace(ZEL_LISTED, ZELKIT_LISTED)
    assert zelkit_failure(zelkit.load, path) == (kind, expected, offset)
    assert zelkit_failure(lambda: list(zelkit.iter_load(path, chunk_events=1))) == (kind, expected, offset)
    assert zelkit_failure(zelkit.info, path) == (kind, expected, offset)


@pytest.mark.parametrize(
    ("forced", "content", "loader"),
    [
        ("nmnist", bytes.fromhex("0a1481e240"), zel.load_nmnist),
        ("aedat2", b"#!AER-DAT2.0\r\n" + bytes.fromhex("000012350001e240"), zel.load_aedat2),
        ("csv", b"1 2 3 4 # note\n", zel.load_csv),
        ("aedat2", b"# header without line feed", zel.load_aedat2),
        ("nmnist", b"\0" * 12, zel.load_nmnist),
    ],
)
def test_forced_format_matches_zel_single_format_loader(tmp_path, forced, content, loader):
    path = tmp_path / "named.wrong"
    path.write_bytes(content)
    try:
        expected = fields(loader(str(path)))
    except OSError as error:
        assert zelkit_failure(zelkit.load, path, forced)[:2] == (zelkit.FormatError, error.args[0])
    else:
        assert rows_of(zelkit.load(path, forced)) == expected


@pytest.mark.parametrize(("size", "records"), [(18, 2), (45, 9), (10, 2), (0, 0)])
def test_bin_size_rule_is_zels(tmp_path, size, records):
    path = tmp_path / "x.bin"
    path.write_bytes(bytes(range(size)))
    assert rows_of(zelkit.load(path)) == fields(zel.load_events(str(path)))
    assert len(zelkit.load(path)) == records
    assert sum(len(c) for c in zelkit.iter_load(path)) == records


def test_undecodable_file_name_loads(tmp_path):
    name = os.fsdecode(b"caf\xe9.csv")  # not UTF-8: only reachable through surrogate escapes
    (tmp_path / name).write_bytes(b"1,2,3,1\n")
    (listed,) = os.listdir(tmp_path)
    for path in (tmp_path / listed, os.path.join(os.fsencode(tmp_path), os.fsencode(listed))):
        assert rows_of(zelkit.load(path)) == [(1, 2, 3, 1)]


def test_unknown_extension_message_quotes_the_path_like_zel(tmp_path):
    path = str(tmp_path / 'we"ird\tname.xyz')
    expected = os_error_text(zel.load_events, path).replace(ZEL_LISTED, ZELKIT_LISTED)
    assert os_error_text(zelkit.load, path) == expected


@pytest.mark.parametrize("mmap", [False, True])
def test_evb_load_is_writable_copy_or_readonly_map(tmp_path, mmap):
    path = tmp_path / "x.evb"
    path.write_bytes(bytes(range(27)))
    array = zelkit.load(path, mmap=mmap)
    assert rows_of(array) == fields(zel.load_events(str(path)))
    assert array.flags.writeable is not mmap


@pytest.mark.parametrize(("content", "name"), [(b"\0" * 10, "x.evb"), (None, "missing.evb"), ("dir", "d.evb")])
def test_mmap_failures_match_reading(tmp_path, content, name):
    path = make_path(tmp_path, name, content)
    mapped = zelkit_failure(zelkit.load, path, mmap=True)
    assert mapped == zelkit_failure(zelkit.load, path)
    assert mapped[1] == os_error_text(zel.load_events, str(path))


def test_mmap_of_empty_file_and_of_other_formats(tmp_path):
    empty = tmp_path / "e.evb"
    empty.write_bytes(b"")
    assert len(zelkit.load(empty, mmap=True)) == 0
    with pytest.raises(ValueError, match="mmap"):
        zelkit.load(SAMPLES / "bar_sweep.csv", mmap=True)


@pytest.mark.parametrize("bad", [42, None, ["x.csv"]])
def test_path_types_other_than_str_bytes_pathlike_are_type_errors(bad):
    with pytest.raises(TypeError):
        zelkit.load(bad)


rows = st.lists(
    st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, (1 << 23) - 1), st.integers(0, 1)),
    max_size=40,
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.one_of(rows.map(nmnist), rows.map(csv), st.binary(max_size=120)),
       name=st.sampled_from(["r.bin", "r.evb", "r.aedat", "r.csv", "r.txt"]))
def test_random_files_load_as_zel_loads_them(tmp_path, data, name):
    path = tmp_path / name
    path.write_bytes(data)
    try:
        expected = fields(zel.load_events(str(path)))
    except OSError as error:
        assert zelkit_failure(zelkit.load, path)[:2] == (zelkit.FormatError, error.args[0])
        return
    assert rows_of(zelkit.load(path)) == expected
    for chunk_events in (1, 3):
        assert [r for c in zelkit.iter_load(path, chunk_events=chunk_events) for r in rows_of(c)] == expected


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(st.tuples(st.integers(0, 127), st.integers(0, 127), st.integers(0, 2**32 - 1), st.integers(0, 1)), max_size=30),
       header=st.sampled_from([b"", b"#!AER-DAT2.0\r\n", b"#a\n#b\r\n", b"#\n\n"]))
def test_random_aedat2_files_load_as_zel_loads_them(tmp_path, rows, header):
    path = tmp_path / "r.aedat"
    path.write_bytes(aedat2(rows, header))
    try:
        expected = fields(zel.load_events(str(path)))
    except OSError as error:
        assert zelkit_failure(zelkit.load, path)[:2] == (zelkit.FormatError, error.args[0])
        return
    assert rows_of(zelkit.load(path)) == expected
    assert [r for c in zelkit.iter_load(path, chunk_events=2) for r in rows_of(c)] == expected


DVS128_CHIP = b"# AEChip: ch.unizh.ini.jaer.chip.retina.DVS128\r\n"


@pytest.mark.parametrize("header, from_header", [
    (b"#!AER-DAT2.0\r\n" + DVS128_CHIP, True),
    (b"#!AER-DAT2.0\r\n# comment\r\n" + DVS128_CHIP, True),   # anywhere among the comments
    (b"#!AER-DAT2.0\r\n# AEChip: eu.seebetter.ini.chips.davis.DAVIS240C\r\n", False),  # another chip
    (b"#!AER-DAT2.0\r\n# recorded with a DVS128\r\n", False),  # a mention is not the chip line
    (b"#!AER-DAT2.0\r\n", False),
    (b"", False),
])
def test_an_aedat2_header_naming_the_dvs128_gives_its_sensor_size(tmp_path, header, from_header):
    path = tmp_path / "r.aedat"
    path.write_bytes(aedat2([(3, 9, 10, 1), (20, 4, 30, 0)], header))
    info = zelkit.info(path)
    assert info.size_from_header is from_header
    assert (info.width, info.height) == ((128, 128) if from_header else (21, 10))
    assert rows_of(zelkit.load(path)) == [(3, 9, 10, 1), (20, 4, 30, 0)]


def test_long_csv_line_and_lines_across_read_blocks(tmp_path):
    # Lines straddle the reader's internal block boundary; one comment is
    # longer than a block; a non-ASCII comment sits among ASCII lines.
    lines = [f"{i % 65536},{i % 7},{i},{i % 2}\n" for i in range(40000)]
    lines.insert(100, "#" + "é" * 400_000 + "\n")
    path = tmp_path / "long.csv"
    path.write_text("".join(lines), encoding="utf-8")
    assert rows_of(zelkit.load(path)) == fields(zel.load_events(str(path)))


# Pieces of CSV lines near every rule: column limits, leading zeros, signs,
# separators zel splits on and white space it only trims, line endings, and
# lines that are skipped or fail. A third of the lines have the plain shape
# ("x,y,t,p\n") zelkit decodes without the general line parser.
_numbers = st.one_of(
    st.integers(0, 2**32).map(str),
    st.sampled_from(["0", "00000", "000001", "255", "256", "65535", "65536", "4294967295",
                     "4294967296", "9999999999", "+7", "-1", "+", "1.5", "6553z", "99999z"]),
)
_separators = st.sampled_from([",", ",", ",", " ", "\t", ", ", ",,"])
_endings = st.sampled_from(["\n", "\n", "\r\n", "\r\r\n", " \n", "\r", ""])


def _column(limit):
    return st.one_of(st.integers(0, limit).map(str),
                     st.sampled_from([str(limit), str(limit + 1), "0000000000001", "+1", "-1", "1.5", "9" * 11]))


# Four numbers, single commas, LF or CRLF: plain unless a value is out of
# range, too wide or not a digit string.
_plain_shaped = st.tuples(_column(65535), _column(65535), _column(2**32 - 1), _column(255),
                          st.sampled_from(["\n", "\r\n"])).map(lambda r: ",".join(r[:4]) + r[4])
_csv_line = st.one_of(
    _plain_shaped,
    st.tuples(_numbers, _separators, _numbers, _separators, _numbers, _separators, _numbers, _endings)
    .map("".join),
    st.sampled_from(["x,y,t,p\n", "# comment\n", "\n", "1,2,3\n", " 1,2,3,4\n", "1,2,3,4,5\n",
                     "\ufeff1,2,3,4\n", "1,2,3,4\u00a0\n"]),
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(lines=st.lists(_csv_line, max_size=60), bad_byte=st.booleans())
def test_random_csv_text_reads_as_zel_load_csv(tmp_path, lines, bad_byte):
    data = "".join(lines).encode()
    if bad_byte:
        data += b"# \xff\n"
    path = tmp_path / "r.csv"
    path.write_bytes(data)
    try:
        expected = fields(zel.load_csv(str(path)))
    except OSError as error:
        failure = zelkit_failure(zelkit.load, path)
        assert failure[:2] == (zelkit.FormatError, error.args[0])
        assert zelkit_failure(lambda: list(zelkit.iter_load(path, chunk_events=2))) == failure
        return
    assert rows_of(zelkit.load(path)) == expected
    assert [r for c in zelkit.iter_load(path, chunk_events=2) for r in rows_of(c)] == expected


@pytest.mark.parametrize("offset", [None, 0, 27])
def test_format_error_is_a_value_error_and_an_os_error_and_pickles_whole(offset):
    import pickle

    error = zelkit.FormatError("bad record", offset)
    assert isinstance(error, ValueError) and isinstance(error, OSError)
    assert (error.errno, error.strerror, error.filename) == (None, None, None)
    assert str(error) == ("bad record" if offset is None else f"bad record (at byte offset {offset})")
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is zelkit.FormatError
    assert (str(again), again.offset, again.reason) == (str(error), offset, "bad record")
    for kind in (ValueError, OSError):
        with pytest.raises(kind):
            raise error
