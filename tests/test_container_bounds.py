"""Occupancy containers (.zel version 1): each bounded field at the largest
value the reader takes and one past it, and the fields whose every byte
counts (a forged high byte must be seen), checksums fixed up each time."""

import math
import struct

import numpy as np
import pytest

import zelkit
from container_layout import ENTRY, FRAME, INDEX_HEAD, assemble, parse, records, with_crc


def events(n=500, side=16, seed=4):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    ev["x"] = rng.integers(0, side, n)
    ev["y"] = rng.integers(0, side, n)
    ev["t"] = np.sort(rng.integers(0, 10_000, n))
    ev["p"] = rng.integers(0, 2, n)
    return ev


def sample(codec="zel"):
    """Four frames: keyframes 0 and 2, deltas 1 and 3."""
    data = zelkit.encode(events(), width=16, height=16, time_bins=4, max_depth=4, n_frames=4,
                         keyframe_interval=2, codec=codec)
    return bytearray(data), parse(data)


def reseal(data, frame):
    return with_crc(data, frame["offset"], frame["offset"] + FRAME.size + len(frame["payload"]))


def set_frame(data, layout, k, at, fmt, value):
    f = layout["frames"][k]
    struct.pack_into(fmt, data, f["offset"] + at, value)
    return reseal(data, f)


def refusal(data):
    with pytest.raises(zelkit.FormatError) as info:
        list(zelkit.decode(bytes(data)))
    return info.value


def rans_capacity(payload):
    p = payload[0] | payload[1] << 8
    likelier = max(p, 4096 - p)
    return int(2.0 * (8.0 * len(payload) + 64.0) / -math.log2(likelier / 4096))


def context_capacity(payload):
    return int(1.0 + 8.0 * (2.0 * (8.0 * len(payload) + 128.0) / -math.log2(4095 / 4096)))


def delta_capacity(layout, k):
    # Delta k right after keyframe k - 1: the larger of its pairs' expansion
    # and the keyframe's bitstream bytes.
    pairs = layout["frames"][k]["payload"]
    expanded = sum(pairs[0::2])
    previous = (layout["frames"][k - 1]["n_bits"] + 7) // 8
    return 8 * max(expanded, previous)


@pytest.mark.parametrize("codec, k, capacity, too_many", [
    ("zel", 2, lambda l: rans_capacity(l["frames"][2]["payload"]), "stream can hold"),
    ("zel", 3, lambda l: delta_capacity(l, 3), "more than its delta chain holds"),
    ("context", 2, lambda l: context_capacity(l["frames"][2]["payload"]), "payload can hold"),
    ("context", 1, lambda l: delta_capacity(l, 1), "more than its delta chain holds"),
])
def test_a_bit_count_is_bounded_by_what_the_payload_can_carry(codec, k, capacity, too_many):
    data, layout = sample(codec)
    most = capacity(layout)
    assert most > layout["frames"][k]["n_bits"]
    record = layout["frames"][k]["offset"]
    # One past the bound: refused before anything is decoded.
    over = refusal(set_frame(bytearray(data), layout, k, 32, "<Q", most + 1))
    assert too_many in str(over) and f"claims {most + 1} bits" in str(over)
    assert over.offset == record + 32
    # At the bound the count passes that check; the tree itself then does not
    # use that many bits.
    at = refusal(set_frame(bytearray(data), layout, k, 32, "<Q", most))
    assert too_many not in str(at) and f"frame {k}" in str(at)
    assert record + 24 <= at.offset


@pytest.mark.parametrize("p_zero", [1, 4095])
def test_the_extreme_rans_probabilities_pass_the_probability_check(p_zero):
    data, layout = sample()
    error = refusal(set_frame(data, layout, 0, FRAME.size, "<H", p_zero))
    assert "probability" not in str(error)
    assert "frame 0" in str(error)


def index_field(data, layout, at, fmt, value):
    start = layout["index_offset"]
    struct.pack_into(fmt, data, start + at, value)
    return with_crc(data, start, start + INDEX_HEAD.size + ENTRY.size * len(layout["index"]))


def header_field(data, layout, at, fmt, value):
    struct.pack_into(fmt, data, at, value)
    return with_crc(data, 0, 32)


def entry(k, at=0):
    return INDEX_HEAD.size + ENTRY.size * k + at


REFUSED = {
    # every byte of a multi-byte field is read
    "version 0x0101": (lambda d, l: header_field(d, l, 8, "<H", 0x0101), "unknown format version 257",
                       lambda l: 8),
    "flags high byte": (lambda d, l: header_field(d, l, 10, "<H", 0x0100), "reserved header field",
                        lambda l: 10),
    "frame reserved byte 5": (lambda d, l: set_frame(d, l, 1, 5, "<B", 1), "reserved frame field",
                              lambda l: l["frames"][1]["offset"] + 5),
    "frame reserved byte 7": (lambda d, l: set_frame(d, l, 1, 7, "<B", 0x80), "reserved frame field",
                              lambda l: l["frames"][1]["offset"] + 5),
    "index reserved high byte": (lambda d, l: index_field(d, l, 4, "<I", 1 << 24), "reserved index field",
                                 lambda l: l["index_offset"] + 4),
    "frame numbered 2^32 + 1": (lambda d, l: set_frame(d, l, 1, 8, "<Q", 2**32 + 1),
                                "frame 1 is numbered 4294967297", lambda l: l["frames"][1]["offset"] + 8),
    "header count 2^32 + 4": (lambda d, l: header_field(d, l, 24, "<Q", 2**32 + 4),
                              "index lists 4 frames but the file header declares 4294967300",
                              lambda l: l["index_offset"] + 8),
    "index t_last high byte": (
        lambda d, l: index_field(d, l, entry(1, 12), "<I", l["index"][1][2] + (1 << 24)),
        "frame 1 does not match its index entry", lambda l: l["frames"][1]["offset"] + 20),
    "index n_events high word": (
        lambda d, l: index_field(d, l, entry(1, 16), "<Q", l["index"][1][3] + (1 << 32)),
        "frame 1 does not match its index entry", lambda l: l["frames"][1]["offset"] + 24),
    # one past the last kind
    "frame kind 3": (lambda d, l: set_frame(d, l, 0, 4, "<B", 3), "unknown frame kind 3",
                     lambda l: l["frames"][0]["offset"] + 4),
    # a delta where the interval puts a keyframe, past frame 0: its chain
    # starts at itself
    "delta at keyframe 2": (lambda d, l: set_frame(d, l, 2, 4, "<B", 1),
                            "delta frame 2 has no frame before it to apply to",
                            lambda l: l["frames"][2]["offset"] + 4),
    "context keyframe at delta 3": (lambda d, l: set_frame(d, l, 3, 4, "<B", 2),
                                    "frame 3 is stored as a keyframe", lambda l: l["frames"][3]["offset"] + 4),
    # record spacing: 52 bytes is the smallest record, 51 is refused
    "entry 1 51 bytes after entry 0": (lambda d, l: index_field(d, l, entry(1), "<Q", 36 + 51),
                                       "index entry 1 points at offset 87",
                                       lambda l: l["index_offset"] + entry(1)),
    "last entry 51 bytes before the index": (
        lambda d, l: index_field(d, l, entry(3), "<Q", l["index_offset"] - 51), "index entry 3 points at",
        lambda l: l["index_offset"] + entry(3)),
    "entry at the index": (lambda d, l: index_field(d, l, entry(3), "<Q", l["index_offset"]),
                           "index entry 3 points at", lambda l: l["index_offset"] + entry(3)),
    "index offset 35": (lambda d, l: d[:-16] + struct.pack("<Q8s", 35, b"ZELINDEX"),
                        "index offset 35 lies outside", lambda l: l["index_offset"] + entry(4) + 4),
}


@pytest.mark.parametrize("name", REFUSED)
def test_a_container_breaking_one_bound_is_refused_at_its_byte(name):
    craft, message, offset = REFUSED[name]
    data, layout = sample()
    error = refusal(craft(data, layout))
    assert message in str(error)
    assert error.offset == offset(layout)


def with_payload(data, layout, k, payload, n_bits):
    """The file with frame k's payload and bit count replaced, and its event
    count that of the frame before it, re-assembled."""
    parts = []
    for j, record in enumerate(records(bytes(data), layout)):
        if j == k:
            head = bytearray(record[: FRAME.size])
            struct.pack_into("<QQQ", head, 24, layout["frames"][k - 1]["n_events"], n_bits, len(payload))
            record = bytes(with_crc(head + payload + bytes(4), 0, FRAME.size + len(payload)))
        parts.append(record)
    return bytearray(assemble(bytes(data), parts))


@pytest.mark.parametrize("pairs, grows", [
    (b"\x01\x00", False),                  # xor of one zero byte: the keyframe's bits, shorter than them
    (b"\x01\x00" + b"\xff\x00" * 2, True),  # zeros past the keyframe's bits: the chain grows to 511 bytes
])
def test_a_delta_bit_count_is_bounded_by_the_longer_of_its_pairs_and_the_chain(pairs, grows):
    data, layout = sample()
    key_bits = layout["frames"][2]["n_bits"]
    chain = max(sum(pairs[0::2]), (key_bits + 7) // 8)
    assert (chain > (key_bits + 7) // 8) == grows
    # The frame's bits are the keyframe's, however far the zeros reach.
    same = zelkit.decode(bytes(with_payload(data, layout, 3, pairs, key_bits)))
    assert same[3].boxes.tolist() == same[2].boxes.tolist()
    at = refusal(with_payload(data, layout, 3, pairs, 8 * chain))
    assert f"claims {8 * chain} bits but its tree uses {key_bits}" in str(at)
    over = refusal(with_payload(data, layout, 3, pairs, 8 * chain + 1))
    assert "more than its delta chain holds" in str(over)
    assert over.offset == parse(bytes(with_payload(data, layout, 3, pairs, 0)))["frames"][3]["offset"] + 32


@pytest.mark.parametrize("n_frames, size, frames", [(0, 36, 0), (0, 35, None), (1, 36, None)])
def test_a_header_alone_is_a_container_of_the_frames_it_declares(n_frames, size, frames):
    # 36 bytes declaring no frames are a whole container (no index to lose);
    # 35 are a cut header; 36 declaring a frame lack it.
    data, layout = sample()
    head = header_field(bytearray(data[:36]), layout, 24, "<Q", n_frames)[:size]
    if frames is not None:
        reader = zelkit.decode(bytes(head))
        assert (len(reader), reader.complete) == (frames, True)
        return
    error = refusal(head)
    if size == 35:
        assert str(error).startswith("truncated file header: 35 of 36 bytes") and error.offset == 35
    else:
        assert str(error).startswith("truncated frame 0") and error.offset == 36
