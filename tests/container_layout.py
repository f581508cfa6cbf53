"""The .zel layout as docs/format.md states it, read and re-packed independently of zelkit."""

import struct

HEADER = struct.Struct("<8sHHHHHBBIQI")
FRAME = struct.Struct("<4sB3sQIIQQQ")
INDEX_HEAD = struct.Struct("<4sIQ")
ENTRY = struct.Struct("<QIIQ")
TRAILER = struct.Struct("<Q8s")


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def parse(data: bytes) -> dict:
    """Header fields, frames (with payloads) and index entries of a complete container."""
    magic, version, flags, width, height, bins, depth, _, interval, n_frames, crc = HEADER.unpack_from(data)
    assert crc == crc32c(data[:32])
    frames, offset = [], HEADER.size
    for k in range(n_frames):
        tag, kind, _, index, t_first, t_last, n_events, n_bits, length = FRAME.unpack_from(data, offset)
        assert (tag, index) == (b"FRAM", k)
        end = offset + FRAME.size + length
        assert struct.unpack_from("<I", data, end)[0] == crc32c(data[offset:end])
        frames.append(dict(offset=offset, kind=kind, t_first=t_first, t_last=t_last,
                           n_events=n_events, n_bits=n_bits, payload=data[offset + FRAME.size:end]))
        offset = end + 4
    index_offset, end_magic = TRAILER.unpack_from(data, len(data) - TRAILER.size)
    assert (index_offset, end_magic) == (offset, b"ZELINDEX")
    tag, _, count = INDEX_HEAD.unpack_from(data, offset)
    entries = [ENTRY.unpack_from(data, offset + INDEX_HEAD.size + ENTRY.size * k) for k in range(count)]
    return dict(magic=magic, version=version, flags=flags, width=width, height=height,
                time_bins=bins, max_depth=depth, keyframe_interval=interval, n_frames=n_frames,
                frames=frames, index=entries, index_offset=index_offset)


def with_crc(data: bytearray, start: int, end: int) -> bytearray:
    """Recompute the checksum that follows data[start:end], so a forged field passes it."""
    struct.pack_into("<I", data, end, crc32c(bytes(data[start:end])))
    return data


def forge_header(field_offset: int, fmt: str, value: int):
    """A craft(data, layout) that sets the header field at ``field_offset`` to
    ``value`` (packed with ``fmt``) and fixes the header checksum; the same
    for both file versions, whose headers share their checksum."""
    def craft(data: bytearray, layout: dict) -> bytearray:
        struct.pack_into(fmt, data, field_offset, value)
        return with_crc(data, 0, 32)
    return craft


def assemble(header: bytes, records: list[bytes], first_at: int = HEADER.size) -> bytes:
    """A file of ``header`` and ``records`` (whole records, in order) from offset
    ``first_at``, then an index over them and the trailer, every checksum right.
    The bytes between the header and ``first_at`` are zero."""
    out = bytearray(header[: HEADER.size]) + bytes(first_at - HEADER.size)
    entries = []
    for record in records:
        _, _, _, _, t_first, t_last, n_events, _, _ = FRAME.unpack_from(record)
        entries.append((len(out), t_first, t_last, n_events))
        out += record
    index_offset = len(out)
    block = INDEX_HEAD.pack(b"INDX", 0, len(entries)) + b"".join(ENTRY.pack(*e) for e in entries)
    out += block + struct.pack("<I", crc32c(block)) + TRAILER.pack(index_offset, b"ZELINDEX")
    return bytes(out)


def records(data: bytes, layout: dict) -> list[bytes]:
    """Each frame record of a parsed container, header to checksum."""
    return [data[f["offset"] : f["offset"] + FRAME.size + len(f["payload"]) + 4] for f in layout["frames"]]


# The event store (version 2): its own header fields, block records and
# 32-byte index entries; the magic, checksums and trailer are version 1's.
STORE_HEADER = struct.Struct("<8sHHHHHBBIQI")
BLOCK = struct.Struct("<4sIQQIIQQ")
BLOCK_ENTRY = struct.Struct("<QQIIQ")


def parse_store(data: bytes) -> dict:
    """Header fields, blocks (with payloads) and index entries of a complete event store."""
    (magic, version, flags, width, height, _, content, _, block_events, n_blocks,
     crc) = STORE_HEADER.unpack_from(data)
    assert crc == crc32c(data[:32])
    blocks, offset = [], STORE_HEADER.size
    for k in range(n_blocks):
        tag, _, index, t_base, t_first, t_last, n_events, length = BLOCK.unpack_from(data, offset)
        assert (tag, index) == (b"BLOK", k)
        end = offset + BLOCK.size + length
        assert struct.unpack_from("<I", data, end)[0] == crc32c(data[offset:end])
        blocks.append(dict(offset=offset, t_base=t_base, t_first=t_first, t_last=t_last,
                           n_events=n_events, payload=data[offset + BLOCK.size:end]))
        offset = end + 4
    index_offset, end_magic = TRAILER.unpack_from(data, len(data) - TRAILER.size)
    assert (index_offset, end_magic) == (offset, b"ZELINDEX")
    tag, _, count = INDEX_HEAD.unpack_from(data, offset)
    assert (tag, count) == (b"INDX", n_blocks)
    entries = [BLOCK_ENTRY.unpack_from(data, offset + INDEX_HEAD.size + BLOCK_ENTRY.size * k)
               for k in range(count)]
    return dict(version=version, flags=flags, width=width, height=height, content=content,
                block_events=block_events, n_blocks=n_blocks, blocks=blocks, index=entries,
                index_offset=index_offset)
