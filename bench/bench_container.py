"""Decoding the .zel container against the decode time zel.compress reports.

Run after `pip install .`:  python3 bench/bench_container.py [--events N]
With --cpu, calls are timed by process CPU time instead of wall time, which
says more about the code on a loaded machine (the compare with zel.compress's
decode_us, a wall time, is then only indicative). For instruction counts,
--decode-loop {memory,file,none} only writes the 32-frame container and
decodes all its frames three times from bytes or from a file (none: not at
all); run it under `valgrind --tool=callgrind` and subtract none's count.
Stream: a deterministic DAVIS346-like recording (346x260), 1M events over 5 s:
two edges sweeping across the sensor, each firing where it passes, plus 15 %
uniform background activity. Results of a run are kept in bench/RESULTS.md.

With --codecs it compares the keyframe codecs instead: payload bytes of
codec="zel" and codec="context" against zstd -19 and xz on the same packed
occupancy grid, per stream (the recordings in --data, when there, and the
DAVIS-like stream) and time_bins 16, 64 and 256 at max_depth 16; then a
32-frame sequence with each codec's default keyframe interval, context
keyframes with xor deltas (interval 0, through the native writer) and every
frame a keyframe; then encode and decode-to-boxes times of both codecs on the
DAVIS-like stream at time_bins 64, both through zelkit and the container.
"""
import argparse
import os
import tempfile
import time

import numpy as np

import zel
import zelkit
from timing import best_of
from zelkit.evaluation._baselines import compressed_sizes, packed_occupancy

WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH = 346, 260, 64, 16


def davis_like(n, duration_us=5_000_000, seed=346):
    rng = np.random.default_rng(seed)
    t = np.sort(rng.integers(0, duration_us, n)).astype(np.uint32)
    x = np.empty(n, dtype=np.int64)
    y = rng.integers(0, HEIGHT, n)
    noise = rng.random(n) < 0.15
    phase = t.astype(np.float64) / duration_us
    edge = rng.random(n) < 0.5
    # One vertical edge sweeping right twice a second, one tilted edge sweeping left.
    x_vertical = (phase * 2.0 * WIDTH) % WIDTH
    x_tilted = WIDTH - 1 - ((phase * 1.3 * WIDTH + 0.4 * y) % WIDTH)
    x[:] = np.where(edge, x_vertical, x_tilted) + rng.normal(0.0, 1.5, n)
    x[noise] = rng.integers(0, WIDTH, noise.sum())
    ev = np.zeros(n, dtype=zelkit.EVENT_DTYPE)
    ev["x"] = np.clip(x, 0, WIDTH - 1)
    ev["y"] = y
    ev["t"] = t
    ev["p"] = rng.integers(0, 2, n)
    return ev


def decode_loop(ev, mode):
    data = zelkit.encode(ev, width=WIDTH, height=HEIGHT, time_bins=TIME_BINS,
                         max_depth=MAX_DEPTH, n_frames=32)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "rec.zel")
        with open(path, "wb") as out:
            out.write(data)
        for _ in range(3 if mode != "none" else 0):
            with (zelkit.decode(data) if mode == "memory" else zelkit.open(path)) as reader:
                boxes = sum(f.boxes.size for f in reader)
        print(mode, boxes if mode != "none" else 0)


RECORDINGS = [("evt3", "evt3_sample.raw", {}), ("evt2", "evt2_sample.raw", {}),
              ("aedat4", "sample.aedat4", {"t_offset": "first"}), ("ncars", "sample_ncars.dat", {}),
              ("nmnist", "sample_nmnist.bin", {})]


def default_data():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for up in (os.path.dirname(root), os.path.dirname(os.path.dirname(root))):
        if os.path.isdir(os.path.join(up, "shared", "data")):
            return os.path.join(up, "shared", "data")
    return os.path.join(os.path.dirname(root), "shared", "data")


def codec_streams(data_dir):
    """(name, events, width, height): the recordings found, then the DAVIS-like stream."""
    streams = []
    for name, file, options in RECORDINGS:
        path = os.path.join(data_dir, file)
        if os.path.exists(path):
            info = zelkit.info(path)
            ev = zelkit.load(path, **options)
            streams.append((name, ev, max(info.width, int(ev["x"].max()) + 1),
                            max(info.height, int(ev["y"].max()) + 1)))
    streams.append(("davis 1M", davis_like(1_000_000), WIDTH, HEIGHT))
    return streams


def payload_bytes(data):
    with zelkit.decode(data) as reader:
        return sum(frame.payload_bytes for frame in reader)


def compare_codecs(args, timed):
    streams = codec_streams(args.data)
    print("| stream, tb | zel | context | x zel | min(zstd -19, xz) grid | x grid | bytes met? |")
    print("|---|---|---|---|---|---|---|")
    for name, ev, width, height in streams:
        for bins in (16, 64, 256):
            grid = dict(width=width, height=height, time_bins=bins, max_depth=MAX_DEPTH)
            sizes = {codec: payload_bytes(zelkit.encode(ev, codec=codec, **grid)) for codec in zelkit.CODECS}
            packed = packed_occupancy(ev, width, height, bins)
            general = min(compressed_sizes(packed, ("zstd19", "xz")).values())
            to_zel, to_grid = sizes["context"] / sizes["zel"], sizes["context"] / general
            met = "**yes**" if to_zel <= 0.70 and to_grid <= 0.75 else "no"
            print(f"| {name} {bins} | {sizes['zel']:,} | {sizes['context']:,} | {to_zel:.3f} | "
                  f"{general:,} | {to_grid:.3f} | {met} |", flush=True)
    print()
    print("| stream, 32 frames, tb 64 | zel (interval 0) | context + xor deltas (interval 0) | "
          "context, interval 8 | context, every frame (its default) |")
    print("|---|---|---|---|---|")
    for name, ev, width, height in streams:
        arr = zelkit.as_events(ev)
        files = [zelkit._native.encode(arr, width, height, 64, MAX_DEPTH, 32, interval, codec)
                 for codec, interval in (("zel", 0), ("context", 0), ("context", 8), ("context", 1))]
        print(f"| {name} | " + " | ".join(f"{len(f):,}" for f in files) + " |", flush=True)
    print()
    ev = streams[-1][1]
    grid = dict(width=WIDTH, height=HEIGHT, time_bins=TIME_BINS, max_depth=MAX_DEPTH)
    print(f"| davis 1M, tb {TIME_BINS}, best of {args.repeats} | zel ms | context ms | zel / context |")
    print("|---|---|---|---|")
    for n_frames in (1, 32):
        encode_s, decode_s, files = {}, {}, {}
        # Interleaved, so both codecs see the same machine load.
        for _ in range(args.repeats):
            for codec in zelkit.CODECS:
                seconds, files[codec] = timed(1, lambda: zelkit.encode(ev, n_frames=n_frames, codec=codec, **grid))
                encode_s[codec] = min(encode_s.get(codec, float("inf")), seconds)
                seconds, _ = timed(1, lambda: [f.boxes for f in zelkit.decode(files[codec])])
                decode_s[codec] = min(decode_s.get(codec, float("inf")), seconds)
        for what, times in (("encode", encode_s), ("decode to boxes", decode_s)):
            print(f"| {what}, {n_frames} frame{'s' if n_frames > 1 else ''} | {times['zel'] * 1e3:.1f} | "
                  f"{times['context'] * 1e3:.1f} | {times['zel'] / times['context']:.2f}x |", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--cpu", action="store_true", help="time by process CPU time")
    parser.add_argument("--decode-loop", choices=("memory", "file", "none"))
    parser.add_argument("--codecs", action="store_true", help="compare codec=\"zel\" and codec=\"context\"")
    parser.add_argument("--data", default=default_data(),
                        help="folder of the real recordings for --codecs (default: shared/data beside "
                             "the clone or beside its folder of worktrees)")
    args = parser.parse_args()
    if args.decode_loop:
        decode_loop(davis_like(args.events), args.decode_loop)
        return
    clock = time.process_time if args.cpu else time.perf_counter

    def timed(repeats, call):
        return best_of(repeats, call, clock)

    if args.codecs:
        compare_codecs(args, timed)
        return

    ev = davis_like(args.events)

    as_list = [zel.Event(int(a), int(b), int(c), int(d)) for a, b, c, d in ev.tolist()]
    seconds, data = timed(3, lambda: zelkit.encode(ev, width=WIDTH, height=HEIGHT,
                                                     time_bins=TIME_BINS, max_depth=MAX_DEPTH))
    print(f"zelkit.encode, 1 frame: {seconds * 1e3:.1f} ms, {len(data)} bytes")
    # The two are interleaved so that both see the same machine load.
    reported, decode_s = float("inf"), float("inf")
    for _ in range(args.repeats):
        payload, result = zel.compress(as_list, WIDTH, HEIGHT, TIME_BINS, MAX_DEPTH)
        reported = min(reported, result.decode_us / 1e6)
        seconds, boxes = timed(1, lambda: zelkit.decode(data)[0].boxes)
        decode_s = min(decode_s, seconds)
    print(f"zel.compress: {result!r} n_bits={result.n_bits}")
    print(f"zelkit.decode -> boxes ({boxes.size} boxes): {decode_s * 1e3:.2f} ms "
          f"= {decode_s / reported:.2f}x compress's decode_us ({reported * 1e3:.2f} ms), "
          f"best of {args.repeats} each")
    frame = zelkit.decode(data)[0]
    ev_s, _ = timed(args.repeats, frame.to_events)
    grid_s, _ = timed(args.repeats, frame.to_grid)
    print(f"Frame.to_events: {ev_s * 1e3:.2f} ms; Frame.to_grid: {grid_s * 1e3:.2f} ms")
    dist_s, dist = timed(1, lambda: zelkit.distortion(ev, frame))
    print(f"distortion: {dist_s * 1e3:.1f} ms {dist}")

    for n_frames, interval in [(32, None), (32, 8)]:
        data = zelkit.encode(ev, width=WIDTH, height=HEIGHT, time_bins=TIME_BINS,
                             max_depth=MAX_DEPTH, n_frames=n_frames, keyframe_interval=interval)
        reader = zelkit.decode(data)
        payload = sum(f.payload_bytes for f in reader)
        overhead = len(data) - payload
        seq_s, _ = timed(3, lambda: [f.boxes for f in zelkit.decode(data)])
        print(f"{n_frames} frames, keyframe_interval={interval}: payload {payload} bytes, "
              f"container {len(data)} bytes, overhead {overhead} bytes = "
              f"{100.0 * overhead / payload:.3f} %; decode all frames {seq_s * 1e3:.1f} ms")
        if interval:
            seek_s, _ = timed(3, lambda: zelkit.decode(data)[31].boxes)
            print(f"  seek to frame 31: {seek_s * 1e3:.1f} ms")
        # The same frames read by position from a file (in the page cache).
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "rec.zel")
            with open(path, "wb") as out:
                out.write(data)

            def from_file():
                with zelkit.open(path) as reader:
                    return [f.boxes for f in reader]

            file_s, _ = timed(3, from_file)
            print(f"  zelkit.open, decode all frames: {file_s * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
