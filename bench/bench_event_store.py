"""The .zel event store end to end from Python, beside the general compressors.

    python3 bench/bench_event_store.py [--repeats N] [--write]

For every real recording in ../shared/data and the synthetic davis-like
streams (as bench_lossless.py picks them), prints the stored file's
bits/event (blocks, index and header included) and, in M events/s:
zelkit.save to .zel, zelkit.load of it on one thread and on every core,
zelkit.load of the recording's own camera file (the speed to match), and
xz -9, brotli -11 (pip install .[bench]) and zstd -19 decompressing the
9-byte records. Every load is checked to give back the same array. --write
replaces this script's section of bench/RESULTS.md.
"""
import argparse
import datetime
import os
import pathlib
import platform
import sys
import tempfile

import numpy as np

import zelkit

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_lossless import DATA, REAL, best, peers, synthetic_streams, write_section  # noqa: E402

BEGIN = "<!-- bench_event_store.py: begin -->"
END = "<!-- bench_event_store.py: end -->"


def streams():
    """(label, events, camera file or None, its load options)."""
    for label, name, options in REAL:
        path = DATA / name
        if path.exists():
            yield label, zelkit.load(path, **options), path, options
    for label, events, _ in synthetic_streams():
        yield label, events, None, {}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args()
    load_at_start = os.getloadavg()[0]
    cores = zelkit._event_store.default_threads()
    lines = [
        f"bits/event of the .zel file; M events/s of save, load (1 thread / {cores}), the camera file's "
        f"zelkit.load, and decompression by the peers (best of {args.repeats}; peers compress once).",
        "",
        "| stream | events | .zel bits/event | vs xz -9 | save | load, 1 thread | load, "
        f"{cores} threads | camera file load | xz -9 | brotli -11 | zstd -19 |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    with tempfile.TemporaryDirectory() as tmp:
        for label, events, camera, options in streams():
            n = len(events)
            path = pathlib.Path(tmp) / "s.zel"
            save_s, _ = best(args.repeats, lambda: zelkit.save(path, events))
            one_s, back = best(args.repeats, lambda: zelkit.load(path, threads=1))
            assert np.array_equal(back, events)
            all_s, back = best(args.repeats, lambda: zelkit.load(path, threads=cores))
            assert np.array_equal(back, events)
            camera_cell = ""
            if camera is not None:
                camera_s, _ = best(args.repeats, lambda: zelkit.load(camera, **options))
                camera_cell = f"{n / camera_s / 1e6:.0f}"
            bits = 8 * path.stat().st_size / n
            others = peers(events.tobytes(), args.repeats)
            xz_bits = 8 * others["xz -9"][0] / n

            def peer(name):
                if name not in others:
                    return "n/a"
                size, _, decode_s = others[name]
                return f"{8 * size / n:.2f} ({n / decode_s / 1e6:.0f})"

            row = [label, f"{n:,}", f"**{bits:.2f}**", f"{bits / xz_bits:.3f}x", f"{n / save_s / 1e6:.1f}",
                   f"{n / one_s / 1e6:.1f}", f"{n / all_s / 1e6:.1f}", camera_cell,
                   peer("xz -9"), peer("brotli -11"), peer("zstd -19")]
            lines.append("| " + " | ".join(row) + " |")
            print(lines[-1], flush=True)
    lines += [
        "",
        "Peers: bits/event (decompression M events/s).",
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
        f"load average {load_at_start:.1f} at the start of the run and {os.getloadavg()[0]:.1f} at its end, "
        f"{datetime.date.today()}.",
    ]
    text = "\n".join(lines)
    print(text)
    if args.write:
        write_section(BEGIN, END, "`python3 bench/bench_event_store.py` (.zel event store end to end)", text)

if __name__ == "__main__":
    main()
