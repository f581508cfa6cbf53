#!/usr/bin/env python3
"""Write a small synthetic recording to samples/ in every supported format.

A vertical bar sweeps left to right across a 128x128 sensor. Pixels the
leading edge reaches brighten (ON, p=1); pixels the trailing edge leaves
darken (OFF, p=0). Each pixel fires with some probability and latency
jitter, sometimes twice, and sparse background noise is sprinkled over the
whole sensor. The same events, sorted by time, are written as:

    samples/bar_sweep.evb    compact binary, 9-byte little-endian records
    samples/bar_sweep.bin    N-MNIST, 5-byte records (23-bit timestamps)
    samples/bar_sweep.aedat  AEDAT2: '#' header lines, 8-byte big-endian records
    samples/bar_sweep.csv    '# comment', 'x,y,t,p' header, one event per line

The output is deterministic (fixed seed), so rerunning reproduces the files
byte for byte. Only the standard library is used.
"""

from __future__ import annotations

import argparse
import pathlib
import random
import struct

SEED = 20240611
WIDTH = HEIGHT = 128            # AEDAT2 and N-MNIST both hold 7/8-bit coordinates
BAR_WIDTH = 6                   # pixels
BAR_ROWS = range(36, 92)        # the bar's vertical extent
FIRST_COLUMN, LAST_COLUMN = 6, 121
US_PER_COLUMN = 7_000           # sweep speed: one column every 7 ms
START_US = 25_000
FIRE_PROBABILITY = 0.38
DOUBLE_FIRE_PROBABILITY = 0.12
NOISE_RATE_HZ = 400             # whole-sensor background activity
MAX_NMNIST_T = (1 << 23) - 1

ROOT = pathlib.Path(__file__).resolve().parent.parent


def synthesise(rng: random.Random) -> list[tuple[int, int, int, int]]:
    """Events as (x, y, t, p), sorted by time."""
    events: list[tuple[int, int, int, int]] = []

    def edge(column: int, t_cross: int, polarity: int) -> None:
        for y in BAR_ROWS:
            if rng.random() >= FIRE_PROBABILITY:
                continue
            # Photoreceptor latency: a few hundred microseconds, long-tailed.
            t = t_cross + int(rng.expovariate(1 / 450)) + rng.randrange(60)
            events.append((column, y, t, polarity))
            if rng.random() < DOUBLE_FIRE_PROBABILITY:
                events.append((column, y, t + 150 + rng.randrange(900), polarity))

    # The bar appears at FIRST_COLUMN and runs until its trailing edge has
    # passed LAST_COLUMN, so every swept column sees one ON and one OFF edge.
    leads = range(FIRST_COLUMN, LAST_COLUMN + BAR_WIDTH + 1)
    for step, lead in enumerate(leads):
        t_cross = START_US + step * US_PER_COLUMN
        if lead <= LAST_COLUMN:
            edge(lead, t_cross, 1)                  # leading edge: brighter
        if lead - BAR_WIDTH >= FIRST_COLUMN:
            edge(lead - BAR_WIDTH, t_cross, 0)      # trailing edge: darker

    end_us = START_US + (len(leads) + 1) * US_PER_COLUMN
    t = 0.0
    while True:
        t += rng.expovariate(NOISE_RATE_HZ / 1e6)
        if t >= end_us:
            break
        events.append((rng.randrange(WIDTH), rng.randrange(HEIGHT), int(t), rng.randrange(2)))

    events.sort(key=lambda e: e[2])
    return events


def aedat_header() -> bytes:
    lines = [
        "#!AER-DAT2.0",
        "# This is a raw AE data file - do not edit",
        "# Data format is int32 address, int32 timestamp (8 bytes total), repeated for each event",
        "# Timestamps tick is 1 us",
        "# AEChip: synthetic DVS128 (bar sweep, seed %d)" % SEED,
        "# address = (y << 8) | (x << 1) | polarity",
    ]
    return "".join(line + "\r\n" for line in lines).encode("ascii")


def encode_compact(events) -> bytes:
    return b"".join(struct.pack("<HHIB", x, y, t, p) for x, y, t, p in events)


def encode_nmnist(events) -> bytes:
    out = bytearray()
    for x, y, t, p in events:
        out += bytes((x, y, (p << 7) | (t >> 16), (t >> 8) & 0xFF, t & 0xFF))
    return bytes(out)


def encode_aedat(events) -> bytes:
    body = b"".join(struct.pack(">II", (y << 8) | (x << 1) | p, t) for x, y, t, p in events)
    return aedat_header() + body


def encode_csv(events) -> bytes:
    rows = ["# synthetic bar sweep on a 128x128 sensor; t in microseconds", "x,y,t,p"]
    rows += [f"{x},{y},{t},{p}" for x, y, t, p in events]
    return ("\n".join(rows) + "\n").encode("ascii")


def check(events, files: dict[str, bytes]) -> None:
    """Decode each file independently and compare with the events."""
    for x, y, t, p in events:
        assert 0 <= x < WIDTH and 0 <= y < HEIGHT and p in (0, 1) and 0 <= t <= MAX_NMNIST_T
    assert all(a[2] <= b[2] for a, b in zip(events, events[1:]))

    evb = files["evb"]
    assert len(evb) % 9 == 0
    assert [struct.unpack_from("<HHIB", evb, i) for i in range(0, len(evb), 9)] == events

    nmnist = files["bin"]
    # load_events reads ".bin" as compact only for sizes that are multiples
    # of 9 but not of 5; 5-byte records never are.
    assert len(nmnist) % 5 == 0 and not (len(nmnist) % 9 == 0 and len(nmnist) % 5 != 0)
    decoded = []
    for i in range(0, len(nmnist), 5):
        b = nmnist[i:i + 5]
        decoded.append((b[0], b[1], ((b[2] & 0x7F) << 16) | (b[3] << 8) | b[4], b[2] >> 7))
    assert decoded == events

    aedat = files["aedat"]
    body = aedat[len(aedat_header()):]
    assert body[:1] != b"#", "first record must not look like a header line"
    decoded = []
    for i in range(0, len(body), 8):
        address, t = struct.unpack_from(">II", body, i)
        decoded.append(((address >> 1) & 0x7F, (address >> 8) & 0x7F, t, address & 1))
    assert decoded == events

    rows = files["csv"].decode("ascii").splitlines()[2:]
    assert [tuple(int(v) for v in row.split(",")) for row in rows] == events


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "samples",
                        help="output directory (default: samples/)")
    args = parser.parse_args()

    events = synthesise(random.Random(SEED))
    files = {
        "evb": encode_compact(events),
        "bin": encode_nmnist(events),
        "aedat": encode_aedat(events),
        "csv": encode_csv(events),
    }
    check(events, files)

    args.out.mkdir(parents=True, exist_ok=True)
    on = sum(e[3] for e in events)
    print(f"{len(events)} events ({on} ON, {len(events) - on} OFF), "
          f"t {events[0][2]}..{events[-1][2]} us")
    for ext, data in files.items():
        path = args.out / f"bar_sweep.{ext}"
        path.write_bytes(data)
        print(f"  {path}: {len(data)} bytes")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
