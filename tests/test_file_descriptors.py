"""Every way a read or a write can end (refused at open, refused mid-file,
abandoned half-read, interrupted, finished) lets go of the files it opened:
the process holds the same descriptors before and after."""

import gc
import os
import struct

import numpy as np
import pytest

import zelkit
from container_layout import parse, with_crc

EVENTS = np.array([(1, 2, 10, 1), (3, 4, 20, 0), (5, 6, 30, 1)], dtype=zelkit.EVENT_DTYPE)


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def evt3(words):
    return b"% evt 3.0\n% end\n" + np.array(words, "<u2").tobytes()


def files(folder):
    """name -> bytes of the files the cases below read."""
    frames = zelkit.encode(EVENTS, width=8, height=8, time_bins=2, max_depth=3, n_frames=2)
    damaged = bytearray(frames)
    layout = parse(frames)
    # Frame 1 numbered wrong, its checksum fixed: refused when it is decoded, not at open.
    f = layout["frames"][1]
    struct.pack_into("<Q", damaged, f["offset"] + 8, 7)
    with_crc(damaged, f["offset"], f["offset"] + 48 + len(f["payload"]))
    store = bytearray(zelkit.encode(EVENTS, codec="lossless"))
    store[36 + 48 + 3] ^= 0x10  # inside the block's payload: refused when read
    return {
        "good.raw": evt3([0x8001, 0x0005, 0x2007] * 3000),
        "bad_word.raw": evt3([0x8001, 0x0005, 0x2007] * 3000 + [0x1000]),
        "no_encoding.raw": b"% date today\n% end\n" + bytes(8),
        "bad_type.dat": b"% Version 2\n" + bytes([14, 8]) + bytes(16),
        "not.aedat4": b"#!AER-DAT3.1\r\n" + bytes(40),
        "torn.evb": bytes(10),
        "bad.csv": b"1,2,3,4\n5,6,x,8\n",
        "frames.zel": frames,
        "damaged_frames.zel": bytes(damaged),
        "store.zel": zelkit.encode(EVENTS, codec="lossless"),
        "damaged_store.zel": bytes(store),
    }


def consume(iterator):
    for _ in iterator:
        pass


def half_read(path):
    chunks = zelkit.iter_load(path, chunk_events=100)
    next(chunks)
    del chunks


CASES = {
    "load refused at open": (lambda p: zelkit.load(p / "no_encoding.raw"), zelkit.FormatError),
    "load of a DAT refused at open": (lambda p: zelkit.load(p / "bad_type.dat"), zelkit.FormatError),
    "load of a non-AEDAT 4 file": (lambda p: zelkit.load(p / "not.aedat4"), zelkit.FormatError),
    "load refused at the last word": (lambda p: zelkit.load(p / "bad_word.raw"), zelkit.FormatError),
    "load of a torn compact file": (lambda p: zelkit.load(p / "torn.evb"), zelkit.FormatError),
    "load of a bad CSV line": (lambda p: zelkit.load(p / "bad.csv"), zelkit.FormatError),
    "iter_load refused mid-file": (lambda p: consume(zelkit.iter_load(p / "bad_word.raw", chunk_events=100)),
                                   zelkit.FormatError),
    "iter_load of a store refused mid-file": (lambda p: consume(zelkit.iter_load(p / "damaged_store.zel")),
                                              zelkit.FormatError),
    "iter_load abandoned": (lambda p: half_read(p / "good.raw"), None),
    "iter_load of a store abandoned": (lambda p: half_read(p / "store.zel"), None),
    "info refused mid-file": (lambda p: zelkit.info(p / "bad_word.raw"), zelkit.FormatError),
    "open of an event store": (lambda p: zelkit.open(p / "store.zel"), zelkit.FormatError),
    "open_events of occupancy frames": (lambda p: zelkit.open_events(p / "frames.zel"), zelkit.FormatError),
    "frames refused when decoded": (lambda p: list(zelkit.open(p / "damaged_frames.zel")), zelkit.FormatError),
    "store refused when read": (lambda p: zelkit.load(p / "damaged_store.zel"), zelkit.FormatError),
    "open a missing file": (lambda p: zelkit.open(p / "missing.zel"), FileNotFoundError),
    "readers used and closed": (lambda p: [r.close() for r in (zelkit.open(p / "frames.zel"),
                                                               zelkit.open_events(p / "store.zel"))], None),
    "readers left to the collector": (lambda p: (zelkit.open(p / "frames.zel"), zelkit.open_events(p / "store.zel")),
                                      None),
    "save of values the format cannot hold": (lambda p: zelkit.save(p / "out.dat", EVENTS, width=2, height=2),
                                              ValueError),
    "save into a missing folder": (lambda p: zelkit.save(p / "none" / "out.evb", EVENTS), FileNotFoundError),
}


@pytest.mark.parametrize("name", CASES)
def test_no_descriptor_outlives_the_call(name, tmp_path):
    for file_name, content in files(tmp_path).items():
        (tmp_path / file_name).write_bytes(content)
    call, error = CASES[name]
    gc.collect()
    before = open_descriptors()
    for _ in range(3):
        if error is None:
            call(tmp_path)
        else:
            with pytest.raises(error):
                call(tmp_path)
        gc.collect()
    assert open_descriptors() == before
    assert not [n for n in os.listdir(tmp_path) if n.startswith(".tmp-")]
