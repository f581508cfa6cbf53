"""zelkit's camera formats through Python: files built here from the format
descriptions, errors, skip mode, chunking, writers and AEDAT 4 compression."""

from __future__ import annotations

import os
import struct
from pathlib import Path

import numpy as np
import pytest

from zelkit import EVENT_DTYPE, FormatError
from zelkit import camera_formats as cf

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
SHARED = Path("/work/shared/data") if Path("/work/shared/data").is_dir() else DATA


def events(rows):
    return np.array(rows, dtype=EVENT_DTYPE)


def evt3_file(tmp_path, words, header=b"% evt 3.0\n% geometry 640x480\n% end\n"):
    path = tmp_path / "x.raw"
    path.write_bytes(header + struct.pack(f"<{len(words)}H", *words))
    return path


GOOD_EVT3 = [0x8001, 0x6002, 0x0005, 0x2807, 0x3064, 0x4801, 0x5004]
WANT_EVT3 = [(7, 5, 0x1002, 1), (100, 5, 0x1002, 0), (111, 5, 0x1002, 0), (114, 5, 0x1002, 0)]


def test_evt3_load_info_and_chunks(tmp_path):
    path = evt3_file(tmp_path, GOOD_EVT3 * 3)
    info = cf.camera_info(path)
    assert (info["encoding"], info["width"], info["height"], info["geometry_source"]) == ("evt3", 640, 480, "header")
    arr = cf.load_camera(path)
    assert arr.dtype == EVENT_DTYPE
    assert arr.tolist() == WANT_EVT3 * 3
    for n in (1, 3, 5, 100):
        chunks = list(cf.iter_camera(path, chunk_events=n))
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
        cf.load_camera(path)
    assert err.value.offset == offset
    with pytest.warns(cf.SkippedDataWarning, match="skipped 1"):
        arr = cf.load_camera(path, errors="skip")
    assert arr["x"][-1] == 9
    with pytest.warns(cf.SkippedDataWarning):
        chunks = list(cf.iter_camera(path, errors="skip"))
    assert sum(c.skipped for c in chunks) == 1


def test_truncated_last_word(tmp_path):
    path = tmp_path / "t.raw"
    path.write_bytes(b"% evt 3.0\n% end\n" + struct.pack("<4H", *GOOD_EVT3[:4]) + b"\x20")
    with pytest.raises(FormatError, match="truncated"):
        cf.load_camera(path)
    with pytest.raises(FormatError, match="truncated"):
        list(cf.iter_camera(path))


def test_timestamps_never_wrap(tmp_path):
    wraps = [0x8800, 0x8000] * 256  # 2^32 us later
    path = evt3_file(tmp_path, [0x8001, 0x0001, 0x2001, *wraps, 0x8001, 0x2002])
    with pytest.raises(ValueError, match="event 1 has timestamp 4294971392"):
        cf.load_camera(path)
    with pytest.raises(ValueError, match="subtracted"):
        cf.load_camera(path, t_offset="first")
    chunks = list(cf.iter_camera(path, chunk_events=1, t_offset="chunk"))
    assert [c.t_base for c in chunks] == [4096, 2**32 + 4096]
    assert [int(c["t"][0]) for c in chunks] == [0, 0]
    with pytest.raises(ValueError, match="event 0"):
        cf.load_camera(path, t_offset=2**32)


def test_writers_round_trip_and_refuse(tmp_path):
    arr = events([(0, 0, 0, 0), (639, 479, 63, 1), (5, 6, 64, 1), (7, 8, 2**32 - 1, 0)])
    for save, name in ((cf.save_dat, "a.dat"), (cf.save_evt2, "a.raw")):
        path = tmp_path / name
        save(path, arr, width=640, height=480)
        assert cf.load_camera(path).tolist() == arr.tolist()
        info = cf.camera_info(path)
        assert (info["width"], info["height"]) == (640, 480)
    bad = events([(0, 0, 5, 0), (1, 1, 4, 0)])
    with pytest.raises(ValueError, match="t at index 1"):
        cf.save_evt2(tmp_path / "b.raw", bad)
    with pytest.raises(ValueError, match="x at index 1"):
        cf.save_dat(tmp_path / "c.dat", events([(0, 0, 0, 0), (9, 0, 0, 0)]), width=9)
    assert sorted(os.listdir(tmp_path)) == ["a.dat", "a.raw"]


def flat_table(ident: bytes, fields: list[bytes]) -> bytes:
    vt_size = 4 + 2 * len(fields)
    table_pos = 8 + vt_size + (2 if vt_size % 4 else 0)
    offs, pos = [], 4
    for f in fields:
        offs.append(pos)
        pos += len(f)
    vt = struct.pack(f"<HH{len(fields)}H", vt_size, pos, *offs)
    head = struct.pack("<I", table_pos) + ident + vt
    head += b"\0" * (table_pos - len(head))
    return head + struct.pack("<i", table_pos - 8) + b"".join(fields)


def aedat4_file(tmp_path, compression: str, packets: list[tuple[int, list[tuple[int, int, int, int]]]]) -> Path:
    import lz4.frame
    import zstandard

    xml = (
        '<dv><node name="outInfo" path="/m/outInfo/"><node name="0" path="/m/outInfo/0/">'
        '<attr key="typeIdentifier" type="string">EVTS</attr><node name="info" path="/m/outInfo/0/info/">'
        '<attr key="sizeX" type="int">346</attr><attr key="sizeY" type="int">260</attr></node></node>'
        '<node name="1" path="/m/outInfo/1/"><attr key="typeIdentifier" type="string">IMUS</attr></node></node></dv>'
    ).encode()
    code = {"none": 0, "lz4": 1, "zstd": 3}[compression]
    header = flat_table(b"IOHE", [struct.pack("<i", code), struct.pack("<I", 12), struct.pack("<q", -1)])
    # vtable slots: 0 compression (+4), 1 table position (+12), 2 info (+8)
    header = header[:12] + struct.pack("<HHH", 4, 12, 8) + header[18:]
    header += struct.pack("<I", len(xml)) + xml
    body = b""
    for stream, evs in packets:
        fb = flat_table(b"EVTS", [struct.pack("<I", 4)]) + struct.pack("<I", len(evs))
        fb += b"".join(struct.pack("<qhhB3x", t, x, y, on) for t, x, y, on in evs)
        payload = struct.pack("<I", len(fb)) + fb
        if compression == "lz4":
            payload = lz4.frame.compress(payload)
        elif compression == "zstd":
            payload = zstandard.ZstdCompressor().compress(payload)
        body += struct.pack("<iI", stream, len(payload)) + payload
    path = tmp_path / f"{compression}.aedat4"
    path.write_bytes(b"#!AER-DAT4.0\r\n" + struct.pack("<I", len(header)) + header + body)
    return path


T0 = 1_605_507_430_438_338
PACKETS = [(0, [(T0, 1, 2, 1), (T0 + 5, 345, 259, 0)]), (1, [(T0, 9, 9, 1)]), (0, [(T0 + 9, 3, 4, 1)])]


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
def test_aedat4_compressions(tmp_path, compression):
    path = aedat4_file(tmp_path, compression, PACKETS)
    info = cf.camera_info(path)
    assert (info["width"], info["height"], info["compression"]) == (346, 260, compression)
    with pytest.raises(ValueError, match="event 0 has timestamp"):
        cf.load_camera(path)
    arr = cf.load_camera(path, t_offset="first")
    assert arr.tolist() == [(1, 2, 0, 1), (345, 259, 5, 0), (3, 4, 9, 1)]
    for n in (1, 2, 5):
        chunks = list(cf.iter_camera(path, chunk_events=n, t_offset="first"))
        assert np.concatenate(chunks).tolist() == arr.tolist()


def test_aedat4_truncated_and_corrupt(tmp_path):
    path = aedat4_file(tmp_path, "lz4", PACKETS)
    data = path.read_bytes()
    path.write_bytes(data[:-5])
    with pytest.raises(FormatError, match="runs past"):
        cf.load_camera(path, t_offset="first")
    with pytest.warns(cf.SkippedDataWarning):
        assert len(cf.load_camera(path, t_offset="first", errors="skip")) == 2
    corrupt = bytearray(data)
    corrupt[-12:-4] = b"\xff" * 8
    path.write_bytes(bytes(corrupt))
    with pytest.raises(FormatError):
        cf.load_camera(path, t_offset="first")


@pytest.mark.parametrize("name", ["dat", "raw", "aedat4"])
def test_garbage_is_a_format_error(tmp_path, name):
    rng = np.random.default_rng(7)
    for trial in range(20):
        path = tmp_path / f"g{trial}.{name}"
        prefix = {"dat": b"% Width 4\n% Height 4\n\x00\x08", "raw": b"% evt 3.0\n% end\n", "aedat4": b""}[name]
        path.write_bytes(prefix + rng.integers(0, 256, int(rng.integers(0, 300)), dtype=np.uint8).tobytes())
        try:
            cf.load_camera(path)
        except ValueError:
            pass  # FormatError or a timestamp refusal: never a crash or a hang


@pytest.mark.skipif(not SHARED.is_dir(), reason="recorded sample files are not present")
def test_real_recordings_smoke():
    counts = {"evt3_sample.raw": 219_596, "evt2_sample.raw": 539_481, "sample_ncars.dat": 2_009, "sample.aedat4": 111_954}
    for name, count in counts.items():
        arr = cf.load_camera(SHARED / name, t_offset="first")
        assert len(arr) == count
        assert np.concatenate(list(cf.iter_camera(SHARED / name, chunk_events=65_536, t_offset="first"))).tobytes() == arr.tobytes()
