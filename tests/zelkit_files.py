"""Byte-level encoders for building test files independently of zelkit's writers."""

import struct
from pathlib import Path

import numpy as np

import zelkit


def evb(events):
    return zelkit.as_events(events).tobytes()


def nmnist(rows):
    return b"".join(bytes([x, y, (p << 7) | (t >> 16), (t >> 8) & 0xFF, t & 0xFF]) for x, y, t, p in rows)


def aedat2(rows, header=b"#!AER-DAT2.0\r\n"):
    return header + b"".join(struct.pack(">II", (y << 8) | (x << 1) | p, t) for x, y, t, p in rows)


def csv(rows):
    return ("x,y,t,p\n" + "".join(f"{x},{y},{t},{p}\n" for x, y, t, p in rows)).encode()


def array(rows):
    return np.array([tuple(r) for r in rows], dtype=zelkit.EVENT_DTYPE)


def rows_of(array):
    return [tuple(int(v) for v in r) for r in array.tolist()]


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
    """An AEDAT 4 file of packets (stream id, [(t, x, y, on), ...]) in
    `tmp_path`: stream 0 holds polarity events on a 346x260 sensor, stream
    1 is an IMU stream; compression "none", "lz4" or "zstd"."""
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
