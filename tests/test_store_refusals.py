"""Event store (.zel version 2) refusals, one broken rule per case with every
checksum fixed up, each at its byte offset and in its own words; and the
largest value each bounded field accepts next to the one past it."""

import struct

import numpy as np
import pytest

import zelkit
from zelkit._read_options import plan_read
from container_layout import BLOCK, BLOCK_ENTRY, INDEX_HEAD, TRAILER, crc32c, forge_header, parse_store, with_crc

BLOCK_EVENTS = 16


def sample():
    """Three blocks of 16, 16 and 8 events, times rising within each."""
    rng = np.random.default_rng(21)
    ev = np.zeros(40, dtype=zelkit.EVENT_DTYPE)
    ev["x"] = rng.integers(0, 40, 40)
    ev["y"] = rng.integers(0, 30, 40)
    ev["t"] = np.sort(rng.integers(0, 5000, 40))
    ev["p"] = rng.integers(0, 2, 40)
    data = zelkit._event_store.encode_events(ev, width=40, height=30, block_events=BLOCK_EVENTS)
    layout = parse_store(data)
    assert [b["n_events"] for b in layout["blocks"]] == [16, 16, 8]
    return ev, bytearray(data), layout


def read_all(data):
    return zelkit.decode_events(bytes(data)).to_events()


def record_end(block):
    return block["offset"] + BLOCK.size + len(block["payload"])


def block_field(k, at, fmt, value):
    """Block k's record field at `at` set to `value` (or value(block)), its checksum fixed."""
    def craft(data, layout):
        b = layout["blocks"][k]
        struct.pack_into(fmt, data, b["offset"] + at, value(b) if callable(value) else value)
        return with_crc(data, b["offset"], record_end(b))
    return craft


def entry_at(layout, k, at=0):
    return layout["index_offset"] + INDEX_HEAD.size + BLOCK_ENTRY.size * k + at


def index_field(at, fmt, value):
    """An index byte at index offset + `at` forged, the index checksum fixed."""
    def craft(data, layout):
        start = layout["index_offset"]
        struct.pack_into(fmt, data, start + at, value(layout) if callable(value) else value)
        return with_crc(data, start, start + INDEX_HEAD.size + BLOCK_ENTRY.size * len(layout["index"]))
    return craft


def entry_field(k, at, fmt, value):
    return index_field(INDEX_HEAD.size + BLOCK_ENTRY.size * k + at, fmt, value)


def trailer_naming(where):
    def craft(data, layout):
        return data[: -TRAILER.size] + TRAILER.pack(where(data, layout), b"ZELINDEX")
    return craft


def payload_byte(k, at, value):
    def craft(data, layout):
        b = layout["blocks"][k]
        data[b["offset"] + BLOCK.size + at] = value
        return with_crc(data, b["offset"], record_end(b))
    return craft


def payload_field(k, at, fmt, value):
    """Block k's payload field at `at` set to value(old), the payload's own
    check (over bytes 0-9, the event count, then bytes 14 on) and the
    record's checksum fixed: a payload that only its events contradict."""
    def craft(data, layout):
        b = layout["blocks"][k]
        start = b["offset"] + BLOCK.size
        old, = struct.unpack_from(fmt, data, start + at)
        struct.pack_into(fmt, data, start + at, value(old))
        payload = bytes(data[start : start + len(b["payload"])])
        check = crc32c(payload[:10] + struct.pack("<Q", b["n_events"]) + payload[14:])
        struct.pack_into("<I", data, start + 10, check)
        return with_crc(data, b["offset"], record_end(b))
    return craft


def both(*crafts):
    def craft(data, layout):
        for one in crafts:
            data = one(data, layout)
        return data
    return craft


def block_at(k, at=0):
    return lambda layout: layout["blocks"][k]["offset"] + at


def index_at(at=0):
    return lambda layout: layout["index_offset"] + at


def trailer(layout):
    return layout["index_offset"] + INDEX_HEAD.size + BLOCK_ENTRY.size * 3 + 4


B1_LENGTH = BLOCK.size - 8  # block record's payload length field

REFUSALS = {
    # file header
    "magic": (lambda d, l: b"\x89ZEM" + d[4:], "bad magic", lambda l: 0),
    "seven bytes": (lambda d, l: d[:7], "bad magic", lambda l: 0),
    "header cut at 35": (lambda d, l: d[:35], "truncated file header: 35 of 36", lambda l: 35),
    "version in the high byte": (forge_header(8, "<H", 0x0102), "unknown format version 258", lambda l: 8),
    "version 0": (forge_header(8, "<H", 0), "unknown format version 0", lambda l: 8),
    "header checksum": (lambda d, l: d[:33] + bytes([d[33] ^ 1]) + d[34:], "file header checksum",
                        lambda l: 32),
    "flags high byte": (forge_header(10, "<H", 0x0100), "reserved header field", lambda l: 10),
    "reserved byte 16": (forge_header(16, "<B", 1), "reserved header field", lambda l: 16),
    "reserved byte 19": (forge_header(19, "<B", 0x80), "reserved header field", lambda l: 19),
    "content 0": (forge_header(18, "<B", 0), "unknown content kind 0", lambda l: 18),
    "content 2": (forge_header(18, "<B", 2), "unknown content kind 2", lambda l: 18),
    "block_events 0": (forge_header(20, "<I", 0), r"events per block 0 outside 1 \.\. 4194304", lambda l: 20),
    "block_events 2^22 + 1": (forge_header(20, "<I", 2**22 + 1), "events per block 4194305 outside",
                              lambda l: 20),
    "block_events below a block's count": (forge_header(20, "<I", 15), "index entry 0 claims 16 events",
                                           index_at(INDEX_HEAD.size + 24)),
    # trailer and index
    "index offset 35": (trailer_naming(lambda d, l: 35), "index offset 35 lies outside",
                        trailer),
    "index offset leaving 19 bytes": (trailer_naming(lambda d, l: len(d) - TRAILER.size - 19),
                                      "lies outside the file's frame area", trailer),
    "no INDX tag": (index_field(0, "<4s", b"INDY"), "does not point at an index", index_at()),
    "count against the bytes present": (index_field(8, "<Q", 4), "index claims 4 blocks but holds 96",
                                        index_at(8)),
    "index checksum": (lambda d, l: d[:-TRAILER.size - 4] + bytes([d[-TRAILER.size - 4] ^ 1])
                       + d[-TRAILER.size - 3:], "index checksum mismatch", index_at(16 + 96)),
    "reserved index field, high byte": (index_field(4, "<I", 1 << 24), "reserved index field",
                                        index_at(4)),
    "count against the header": (both(forge_header(24, "<Q", 2)),
                                 "index lists 3 blocks but the file header declares 2", index_at(8)),
    "count against a header of 2^32 + 3": (forge_header(24, "<Q", 2**32 + 3), "declares 4294967299",
                                           index_at(8)),
    "entry 0 not at 36": (entry_field(0, 0, "<Q", 37), "index entry 0 points at offset 37",
                          index_at(INDEX_HEAD.size)),
    "entry 1 51 bytes after entry 0": (entry_field(1, 0, "<Q", 36 + 51), "index entry 1 points at offset 87",
                                       index_at(INDEX_HEAD.size + BLOCK_ENTRY.size)),
    "last entry 51 bytes before the index": (
        entry_field(2, 0, "<Q", lambda l: l["index_offset"] - 51), "index entry 2 points at",
        index_at(INDEX_HEAD.size + 2 * BLOCK_ENTRY.size)),
    "entry past the index": (entry_field(2, 0, "<Q", lambda l: l["index_offset"] + 1),
                             "index entry 2 points at", index_at(INDEX_HEAD.size + 2 * BLOCK_ENTRY.size)),
    "entry with reversed times": (entry_field(1, 16, "<I", lambda l: l["index"][1][3] + 1),
                                  "index entry 1 has its time range reversed",
                                  index_at(INDEX_HEAD.size + BLOCK_ENTRY.size + 16)),
    "entry above block_events": (entry_field(2, 24, "<Q", BLOCK_EVENTS + 1), "index entry 2 claims 17 events",
                                 index_at(INDEX_HEAD.size + 2 * BLOCK_ENTRY.size + 24)),
    # block record
    "no BLOK tag": (block_field(1, 0, "<4s", b"BLOC"), "no block record where block 1 should start",
                    block_at(1)),
    "reserved block byte 4": (block_field(1, 4, "<B", 1), "reserved block field", block_at(1, 4)),
    "reserved block byte 7": (block_field(1, 7, "<B", 1), "reserved block field", block_at(1, 4)),
    "block numbered wrong": (block_field(1, 8, "<Q", 2**32 + 1), "block 1 is numbered 4294967297",
                             block_at(1, 8)),
    "block with reversed times": (block_field(2, 24, "<I", lambda b: b["t_last"] + 1),
                                  "block 2 has its time range reversed", block_at(2, 24)),
    "camera times one past 2^64": (block_field(0, 16, "<Q", lambda b: 2**64 - b["t_last"]),
                                   "block 0 has camera times past 64 bits", block_at(0, 16)),
    "camera times reaching 2^64 - 1": (block_field(0, 16, "<Q", lambda b: 2**64 - 1 - b["t_last"]),
                                       "block 0 t_base differs from its index entry", block_at(0, 16)),
    "block claiming no events": (block_field(2, 32, "<Q", 0), "block 2 claims 0 events; blocks of this "
                                 "file hold 1 to 16", block_at(2, 32)),
    "block claiming 17 events": (block_field(0, 32, "<Q", 17), "block 0 claims 17 events",
                                 block_at(0, 32)),
    "payload one byte longer than its record": (
        block_field(1, B1_LENGTH, "<Q", lambda b: len(b["payload"]) + 1), "block 1 payload length .* exceeds",
        block_at(1, B1_LENGTH)),
    "payload one byte shorter than its record": (
        block_field(1, B1_LENGTH, "<Q", lambda b: len(b["payload"]) - 1),
        "block 1 is followed by 1 bytes that belong to no record",
        lambda l: record_end(l["blocks"][1]) - 1 + 4),
    "block checksum": (lambda d, l: d[: record_end(l["blocks"][1])] + bytes([d[record_end(l["blocks"][1])] ^ 1])
                       + d[record_end(l["blocks"][1]) + 1:], "block 1 checksum mismatch",
                       lambda l: record_end(l["blocks"][1])),
    "record t_first against its entry": (block_field(1, 24, "<I", lambda b: b["t_first"] - 1),
                                         "block 1 t_first differs from its index entry", block_at(1, 24)),
    "record n_events against its entry": (block_field(2, 32, "<Q", 7),
                                          "block 2 n_events differs from its index entry", block_at(2, 32)),
    "payload of another version": (payload_byte(1, 0, 4), "lossless block has unknown version 4", block_at(1, BLOCK.size)),
    "payload with unknown flags": (payload_byte(2, 1, 0x80), "lossless block has unknown flags", block_at(2, BLOCK.size + 1)),
    "payload x_max above its events": (payload_field(1, 2, "<H", lambda v: v + 1),
                                       "lossless block's events reach x .*, not the header's",
                                       block_at(1, BLOCK.size + 2)),
    "payload y_max above its events": (payload_field(0, 4, "<H", lambda v: v + 1),
                                       "lossless block's events reach x .*, not the header's",
                                       block_at(0, BLOCK.size + 2)),
}


@pytest.mark.parametrize("name", REFUSALS)
def test_a_store_breaking_one_rule_is_refused_at_its_byte(name):
    craft, message, offset = REFUSALS[name]
    _, data, layout = sample()
    damaged = bytes(craft(data, layout))
    with pytest.raises(zelkit.FormatError, match=message) as info:
        read_all(damaged)
    assert info.value.offset == offset(layout)
    assert f"offset {info.value.offset}" in str(info.value)


def refused_as_read_is(tmp_path, name, call):
    """`call(path)` on the store broken by refusal `name` fails as reading it does."""
    craft, message, offset = REFUSALS[name]
    _, data, layout = sample()
    path = tmp_path / "s.zel"
    path.write_bytes(bytes(craft(data, layout)))
    with pytest.raises(zelkit.FormatError, match=message) as info:
        call(path)
    assert info.value.offset == offset(layout)


@pytest.mark.parametrize("read", [
    lambda path: zelkit.load(path, t_offset="first"),
    lambda path: list(zelkit.iter_load(path, chunk_events=10, t_offset="first")),
], ids=["load", "iter_load"])
@pytest.mark.parametrize("name", REFUSALS)
def test_reading_from_the_first_event_refuses_what_reading_refuses(tmp_path, name, read):
    # The first event's time comes from block 0's header, not from decoding
    # it; that must neither let a broken file through nor change the error.
    refused_as_read_is(tmp_path, name, read)


# What only decoding a block shows: a header its events contradict.
FOUND_BY_DECODING = ("payload x_max above its events", "payload y_max above its events")


@pytest.mark.parametrize("name", [name for name in REFUSALS if name not in FOUND_BY_DECODING])
def test_planning_a_read_refuses_what_reading_refuses(tmp_path, name):
    # The command plans a store's read without decoding it; a broken file
    # must still fail there, at the same byte and in the same words.
    refused_as_read_is(tmp_path, name, plan_read)


@pytest.mark.parametrize("craft", [
    forge_header(20, "<I", 2**22),                   # the largest block size a header may name
    forge_header(20, "<I", BLOCK_EVENTS),            # exactly the blocks' count
    forge_header(12, "<I", 0),                       # sensor size not known
    entry_field(2, 24, "<Q", 8),               # unchanged: a short last block
], ids=["block_events 2^22", "block_events equal to the count", "no sensor size", "short last block"])
def test_the_edges_a_store_header_and_index_accept(craft):
    events, data, layout = sample()
    back = read_all(craft(data, layout))
    np.testing.assert_array_equal(back, events)


def test_a_block_may_reach_the_last_camera_microsecond():
    # t_base + t_last = 2^64 - 1 in record and entry alike is read; the
    # event's time no longer fits the output's 64 bits only after t_offset.
    events, data, layout = sample()
    b = layout["blocks"][2]
    base = 2**64 - 1 - b["t_last"]
    data = block_field(2, 16, "<Q", base)(data, layout)
    data = entry_field(2, 8, "<Q", base)(data, layout)
    store = zelkit.decode_events(bytes(data))
    assert store.read(0, 2).tolist() == events[:32].tolist()
    with pytest.raises(ValueError, match="event 32 has timestamp"):
        store.read(2, 1)
    back = store.read(2, 1, t_offset=base)
    np.testing.assert_array_equal(back, events[32:])


def _without_trailer(data, layout):
    return bytes(data[: layout["index_offset"]])


@pytest.mark.parametrize("cut, message, offset", [
    # the third record's header is 48 bytes; one short of it
    (lambda l: l["blocks"][2]["offset"] + BLOCK.size - 1, "truncated block 2: the file ends 47 bytes",
     lambda l: l["blocks"][2]["offset"] + BLOCK.size - 1),
    # its header whole, its checksum one byte short
    (lambda l: l["index_offset"] - 1, "block 2 payload length .* runs past the end of the file",
     lambda l: l["blocks"][2]["offset"] + B1_LENGTH),
])
def test_a_store_without_index_that_declares_its_blocks_needs_all_of_them(cut, message, offset):
    _, data, layout = sample()
    with pytest.raises(zelkit.FormatError, match=message) as info:
        read_all(data[: cut(layout)])
    assert info.value.offset == offset(layout)


def test_a_store_without_index_reads_every_declared_block():
    events, data, layout = sample()
    store = zelkit.decode_events(_without_trailer(data, layout))
    assert store.complete and len(store.blocks) == 3
    np.testing.assert_array_equal(store.to_events(), events)


@pytest.mark.parametrize("end, whole", [
    (lambda l: l["blocks"][2]["offset"], 2),                        # at a record's start
    (lambda l: l["blocks"][2]["offset"] + 1, 2),                    # one byte into it
    (lambda l: l["blocks"][2]["offset"] + BLOCK.size, 2),           # its header whole
    (lambda l: l["index_offset"] - 1, 2),                           # one byte short of whole
    (lambda l: l["index_offset"], 3),                               # whole, no index
    (lambda l: l["index_offset"] + INDEX_HEAD.size + 1, 3),         # in the index
])
def test_an_interrupted_store_reads_the_blocks_before_the_cut(end, whole):
    # Header count all ones: every whole record is read, a partial one and
    # a partial index are not, and the store says it is incomplete.
    events, data, layout = sample()
    data = forge_header(24, "<Q", 2**64 - 1)(data, layout)
    store = zelkit.decode_events(bytes(data[: end(layout)]))
    assert not store.complete
    assert len(store.blocks) == whole
    np.testing.assert_array_equal(store.to_events(), events[: [0, 16, 32, 40][whole]])


@pytest.mark.parametrize("shift, failing", [
    (0, None),          # the latest event lands on 2**32 - 1
    (-1, 39),           # one microsecond less subtracted: it lands on 2**32
    (None, 32),         # more subtracted than the earliest camera time
])
def test_times_after_t_offset_must_fit_32_bits_exactly(shift, failing):
    # Block 2 (events 32..39, times rising) moved to a base of 2**40.
    events, data, layout = sample()
    b = layout["blocks"][2]
    base = 2**40
    data = block_field(2, 16, "<Q", base)(data, layout)
    data = entry_field(2, 8, "<Q", base)(data, layout)
    store = zelkit.decode_events(bytes(data))
    if shift is None:
        offset = base + b["t_first"] + 1
    else:
        offset = base + b["t_last"] - (2**32 - 1) + shift
    if failing is None:
        back = store.read(2, 1, t_offset=offset)
        assert back["t"].tolist() == [t + base - offset for t in events["t"][32:].tolist()]
        assert back["t"].max() == 2**32 - 1
    else:
        with pytest.raises(ValueError, match=f"^event {failing} has timestamp \\d+ us \\({offset} us subtracted\\)"):
            store.read(2, 1, t_offset=offset)


@pytest.mark.parametrize("first, count, take", [
    (3, None, slice(0, 0)), (3, 0, slice(0, 0)), (0, 3, slice(0, 40)), (2, 1, slice(32, 40)), (0, 0, slice(0, 0)),
    (4, None, "first must be a block number from 0 to 3, not 4"),
    (-1, None, "first must be a block number from 0 to 3, not -1"),
    (True, None, "first must be a block number from 0 to 3, not True"),
    (0, 4, "count must be an int from 0 to 3, not 4"),
    (2, 2, "count must be an int from 0 to 1, not 2"),
    (1, -1, "count must be an int from 0 to 2, not -1"),
    (0, 1.0, "count must be an int from 0 to 3, not 1.0"),
])
def test_store_reads_take_block_ranges_up_to_the_last_block(first, count, take):
    events, data, _ = sample()
    store = zelkit.decode_events(bytes(data))
    if isinstance(take, str):
        with pytest.raises(ValueError) as info:
            store.read(first, count)
        assert str(info.value) == take
    else:
        np.testing.assert_array_equal(store.read(first, count), events[take])
