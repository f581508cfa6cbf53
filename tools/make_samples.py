#!/usr/bin/env python3
"""Write the bundled sample recordings to samples/.

Two synthetic scenes, so an evaluation of samples/ measures two different
recordings:

- bar_sweep: a vertical bar sweeps left to right across a 128x128 sensor.
  Pixels the leading edge reaches brighten (ON, p=1); pixels the trailing
  edge leaves darken (OFF, p=0). Each pixel fires with some probability and
  latency jitter, sometimes twice, and sparse background noise is sprinkled
  over the whole sensor. The same events, sorted by time, are written in
  zel's four formats (so readers and converters can be checked against each
  other):

    samples/bar_sweep.evb    compact binary, 9-byte little-endian records
    samples/bar_sweep.bin    N-MNIST, 5-byte records (23-bit timestamps)
    samples/bar_sweep.aedat  AEDAT2: '#' header lines, 8-byte big-endian records
    samples/bar_sweep.csv    '# comment', 'x,y,t,p' header, one event per line

- street: 100 ms of a 640x480 camera watching a street: a dark van with
  bright windows drives right, a bright car left, a ball bounces across,
  over sensor noise and a few hot pixels. Only moving edges fire, as on a
  real sensor: a pixel an object's edge crosses fires OFF where the scene
  darkens and ON where it brightens, with a latency that varies per event.
  Written as a Prophesee RAW EVT 2.0 file:

    samples/street.raw       '%' header, then 32-bit words (time high + CD events)

The output is deterministic (fixed seeds), so rerunning reproduces the files
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


# ------------------------------------------------------------------ street

STREET_SEED = 20251208
STREET_WIDTH, STREET_HEIGHT = 640, 480
STREET_START_US = 16_000
STREET_DURATION_US = 100_000
STEP_US = 250                   # the scene is advanced in steps this long
EDGE_FIRE_PROBABILITY = 0.22
STREET_NOISE_HZ_PER_PIXEL = 0.08
HOT_PIXELS = ((101, 37), (333, 402), (512, 250), (27, 455))
HOT_PIXEL_HZ = 800
EVT2_DATE = "2025-12-08 12:00:00"


class Box:
    """A rectangle moving at a constant speed; ``brighter`` says which way
    the scene changes where it arrives."""

    def __init__(self, x: float, y: float, w: float, h: float, vx: float, vy: float, brighter: bool) -> None:
        self.x, self.y, self.w, self.h, self.vx, self.vy, self.brighter = x, y, w, h, vx, vy, brighter

    def span(self, row: int, t: float) -> tuple[int, int]:
        """Columns [a, b) the box covers on ``row`` at ``t`` (microseconds from the start)."""
        top = self.y + self.vy * t
        if not top <= row < top + self.h:
            return (0, 0)
        left = self.x + self.vx * t
        return (int(left), int(left + self.w))

    def rows(self, t: float) -> range:
        top = self.y + self.vy * t
        return range(max(int(top) - 1, 0), min(int(top + self.h) + 2, STREET_HEIGHT))


class Ball(Box):
    """A disc of radius w / 2, bouncing off the bottom of the picture."""

    def span(self, row: int, t: float) -> tuple[int, int]:
        r = self.w / 2
        cx, cy = self.x + self.vx * t, self.centre_y(t)
        dy = row + 0.5 - cy
        if abs(dy) >= r:
            return (0, 0)
        half = (r * r - dy * dy) ** 0.5
        return (int(cx - half), int(cx + half))

    def centre_y(self, t: float) -> float:
        # A parabola whose vertex is the top of the bounce, period 60 ms.
        phase = (t % 60_000) / 60_000 - 0.5
        return self.y + 1 - 4 * phase * phase * self.h

    def rows(self, t: float) -> range:
        cy, r = self.centre_y(t), self.w / 2
        return range(max(int(cy - r) - 3, 0), min(int(cy + r) + 4, STREET_HEIGHT))


def street_objects() -> list[Box]:
    return [
        Box(-60, 250, 230, 110, 0.0021, 0, brighter=False),      # the van, 2.1 px/ms right
        Box(10, 270, 60, 40, 0.0021, 0, brighter=True),          # its windows
        Box(100, 270, 60, 40, 0.0021, 0, brighter=True),
        Box(560, 180, 120, 50, -0.0034, 0, brighter=True),       # a car, 3.4 px/ms left
        Ball(250, 150, 36, 110, 0.0015, 0, brighter=True),       # a ball bouncing right
    ]


def street(rng: random.Random) -> list[tuple[int, int, int, int]]:
    """The street scene's events as (x, y, t, p), sorted by time."""
    events: list[tuple[int, int, int, int]] = []

    def fire(x: int, y: int, t_change: float, on: bool) -> None:
        if not (0 <= x < STREET_WIDTH and 0 <= y < STREET_HEIGHT) or rng.random() >= EDGE_FIRE_PROBABILITY:
            return
        t = STREET_START_US + int(t_change + rng.expovariate(1 / 300) + rng.randrange(40))
        events.append((x, y, t, int(on)))

    for step in range(STREET_DURATION_US // STEP_US):
        before, after = step * STEP_US, (step + 1) * STEP_US
        for box in street_objects():
            for row in box.rows(before):
                a0, b0 = box.span(row, before)
                a1, b1 = box.span(row, after)
                old = set(range(a0, b0))
                new = set(range(a1, b1))
                for x in sorted(new - old):       # the object arrives
                    fire(x, row, before + rng.random() * STEP_US, box.brighter)
                for x in sorted(old - new):       # the background returns
                    fire(x, row, before + rng.random() * STEP_US, not box.brighter)

    noise_rate = STREET_NOISE_HZ_PER_PIXEL * STREET_WIDTH * STREET_HEIGHT / 1e6
    t = 0.0
    while (t := t + rng.expovariate(noise_rate)) < STREET_DURATION_US:
        events.append((rng.randrange(STREET_WIDTH), rng.randrange(STREET_HEIGHT), STREET_START_US + int(t),
                       rng.randrange(2)))
    for x, y in HOT_PIXELS:
        t = rng.random() * 1e6 / HOT_PIXEL_HZ
        while t < STREET_DURATION_US:
            events.append((x, y, STREET_START_US + int(t), 1))
            t += rng.expovariate(HOT_PIXEL_HZ / 1e6)
    events = [e for e in events if e[2] < STREET_START_US + STREET_DURATION_US]
    events.sort(key=lambda e: e[2])
    return events


def encode_evt2(events, width: int, height: int) -> bytes:
    """Prophesee RAW, EVT 2.0: a '%' header, then little-endian 32-bit words:
    TIME_HIGH (type 0x8, t >> 6) whenever it changes, then one CD word per
    event (type 0 OFF / 1 ON, t & 63, x, y)."""
    header = (f"% date {EVT2_DATE}\n% evt 2.0\n% format EVT2;height={height};width={width}\n"
              f"% geometry {width}x{height}\n% end\n").encode("ascii")
    words = bytearray()
    high = None
    for x, y, t, p in events:
        if t >> 6 != high:
            high = t >> 6
            words += struct.pack("<I", (0x8 << 28) | high)
        words += struct.pack("<I", (p << 28) | ((t & 0x3F) << 22) | (x << 11) | y)
    return header + bytes(words)


def decode_evt2(data: bytes) -> list[tuple[int, int, int, int]]:
    body = data[data.index(b"% end\n") + len(b"% end\n"):]
    decoded, high = [], 0
    for (word,) in struct.iter_unpack("<I", body):
        kind = word >> 28
        if kind == 0x8:
            high = word & 0x0FFFFFFF
        else:
            assert kind in (0, 1)
            decoded.append(((word >> 11) & 0x7FF, word & 0x7FF, (high << 6) | ((word >> 22) & 0x3F), kind))
    return decoded


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "samples",
                        help="output directory (default: samples/)")
    args = parser.parse_args()

    events = synthesise(random.Random(SEED))
    files = {
        "bar_sweep.evb": encode_compact(events),
        "bar_sweep.bin": encode_nmnist(events),
        "bar_sweep.aedat": encode_aedat(events),
        "bar_sweep.csv": encode_csv(events),
    }
    check(events, {name.split(".")[1]: data for name, data in files.items()})
    scene = street(random.Random(STREET_SEED))
    files["street.raw"] = encode_evt2(scene, STREET_WIDTH, STREET_HEIGHT)
    assert decode_evt2(files["street.raw"]) == scene

    args.out.mkdir(parents=True, exist_ok=True)
    for name, recording in (("bar_sweep", events), ("street", scene)):
        on = sum(e[3] for e in recording)
        print(f"{name}: {len(recording)} events ({on} ON, {len(recording) - on} OFF), "
              f"t {recording[0][2]}..{recording[-1][2]} us")
    for name, data in files.items():
        path = args.out / name
        path.write_bytes(data)
        print(f"  {path}: {len(data)} bytes")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
